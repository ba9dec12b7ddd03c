#pragma once
// The session's remote input: checks every command of the agent, maps pointer positions onto the
// selected monitor, sends one platform event at a time and remembers every key and button it
// pressed, so that they can always be released again: by the next batch that is not allowed, by
// the worker, by the teardown, and by the watchdog thread once commands stop arriving.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "input/input_injector.h"
#include "input/input_platform.h"

namespace varnel {

inline constexpr std::uint64_t kHoldMilliseconds = 1500;
inline constexpr std::chrono::milliseconds kWatchdogPoll{50};

// A JSON number as a 32-bit integer, truncated toward zero; NaN and values that do not fit become
// the smallest 32-bit integer, which every range check refuses.
std::int32_t ToInt32(double number);

class PlatformInputInjector final : public InputInjector {
 public:
  // What the injector holds, read under its lock.
  struct Held {
    std::set<std::uint16_t> keys;
    std::set<std::int32_t> buttons;
    std::uint64_t hold_deadline = 0;
    bool stopped = false;
  };

  // Starts the watchdog; a thread that cannot be started raises std::system_error
  // (resource_unavailable_try_again).
  PlatformInputInjector(std::unique_ptr<InputPlatform> platform, MonitorLookup find_monitor);
  // Releases everything held, then ends and joins the watchdog.
  ~PlatformInputInjector() override;

  bool ApplyInputs(const JsonArray& inputs, bool allowed, std::u16string_view monitor_id) override;
  void ReleaseAll() noexcept override;
  void StopInput() noexcept override;
  void lock() override { lock_.lock(); }
  void unlock() noexcept override;

  Held HeldInput();

 private:
  struct Target;
  struct ToolLaunch;
  void ReleaseIfFree() noexcept;
  void CheckNotStopped() const;
  // The tool to start once the lock is released, for an "open_tool" command.
  std::optional<ToolLaunch> ApplyOne(const JsonObject& command, const Target& target);
  void PointerStep(const JsonObject& command, std::u16string_view kind, const Target& target);
  void KeyStep(const JsonObject& command, bool down, const Target& target);
  void Hold(const Target& target);
  void WheelStep(const JsonObject& command);
  ToolLaunch ToolStep(const JsonObject& command);
  void WatchdogBody() noexcept;

  const std::unique_ptr<InputPlatform> platform_;
  const MonitorLookup find_monitor_;
  std::mutex lock_;
  std::set<std::uint16_t> held_keys_;
  std::set<std::int32_t> held_buttons_;
  // Set by StopInput before any lock is taken; read before every element and every press.
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> watchdog_stop_{false};
  std::uint64_t hold_deadline_ = 0;
  std::thread watchdog_;  // last: started once everything it reads exists
};

}  // namespace varnel
