#pragma once
// A recording stand-in for the platform, for the injector's tests, its fuzzer and the consent
// property test. Its clock moves only when a test moves it, and then in lockstep with the
// watchdog: the clock stops at each of the watchdog's wake times until the watchdog has polled,
// so every release it makes happens at an exact, repeatable time.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "input/input_platform.h"

namespace varnel {

class FakeInputClock {
 public:
  std::uint64_t Now() {
    std::lock_guard<std::mutex> guard(lock_);
    return now_;
  }

  // The watchdog's sleep: until the clock reaches the wake time, or at once once time runs free.
  void Sleep(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> guard(lock_);
    watchdog_ = std::this_thread::get_id();
    ++sleeps_;
    wake_ = now_ + static_cast<std::uint64_t>(duration.count());
    sleeping_ = true;
    changed_.notify_all();
    changed_.wait(guard, [&] { return now_ >= wake_ || free_; });
    if (free_) now_ = std::max(now_, wake_);
    sleeping_ = false;
  }

  // Moves the clock to `when`, letting the watchdog poll at each wake time on the way. The caller
  // must not hold the injector's lock.
  void AdvanceTo(std::uint64_t when) {
    std::unique_lock<std::mutex> guard(lock_);
    while (now_ < when && !free_) {
      changed_.wait(guard, [&] { return sleeping_ || free_; });
      const std::uint64_t sleeps = sleeps_;
      now_ = std::min(when, wake_);
      changed_.notify_all();
      if (now_ == wake_) changed_.wait(guard, [&] { return sleeps_ != sleeps || free_; });
    }
    now_ = std::max(now_, when);
  }
  void Advance(std::uint64_t milliseconds) { AdvanceTo(Now() + milliseconds); }

  // From now on each of the watchdog's sleeps moves the clock on and returns at once: before the
  // injector is destroyed.
  void RunFree() {
    std::lock_guard<std::mutex> guard(lock_);
    free_ = true;
    changed_.notify_all();
  }

  bool OnWatchdogThread() {
    std::lock_guard<std::mutex> guard(lock_);
    return watchdog_ == std::this_thread::get_id();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::uint64_t now_ = 10000;
  std::uint64_t wake_ = 0;
  std::uint64_t sleeps_ = 0;
  bool sleeping_ = false;
  bool free_ = false;
  std::thread::id watchdog_;
};

// One event the platform was asked to send, with the clock's time.
struct SentEvent {
  bool key = false;
  KeyEvent key_event;
  MouseEvent mouse_event;
  std::uint64_t tick = 0;

  // Releases are key-ups and button-ups; anything else acts on the desktop.
  bool IsRelease() const {
    constexpr std::uint32_t kButtonUps = kMouseLeftUp | kMouseMiddleUp | kMouseRightUp;
    return key ? (key_event.flags & kKeyUp) != 0
               : mouse_event.flags != 0 && (mouse_event.flags & ~kButtonUps) == 0;
  }
};

// Keys and buttons the platform has pressed and not released, from the events it inserted.
struct PressedInput {
  std::set<std::uint16_t> keys;
  std::set<std::int32_t> buttons;

  void Apply(const SentEvent& e) {
    static constexpr std::uint32_t kDown[] = {kMouseLeftDown, kMouseMiddleDown, kMouseRightDown};
    static constexpr std::uint32_t kUp[] = {kMouseLeftUp, kMouseMiddleUp, kMouseRightUp};
    if (e.key && (e.key_event.flags & kKeyUp)) keys.erase(e.key_event.vk);
    if (e.key && !(e.key_event.flags & kKeyUp)) keys.insert(e.key_event.vk);
    for (int button = 0; button < 3 && !e.key; ++button) {
      if (e.mouse_event.flags & kDown[button]) buttons.insert(button);
      if (e.mouse_event.flags & kUp[button]) buttons.erase(button);
    }
  }
};

// Settings are written before the injector is built or while the test holds no expectations of
// the watchdog; the record is read under `lock`.
class FakeInputPlatform final : public InputPlatform {
 public:
  explicit FakeInputPlatform(FakeInputClock& clock) : clock_(clock) {}

  bool InputDesktopIsDefault() override { return desktop_default; }
  bool SendMouse(const MouseEvent& event) override { return Record(SentEvent{false, {}, event}); }
  bool SendKey(const KeyEvent& event) override { return Record(SentEvent{true, event, {}}); }
  bool OwnWindowAt(std::int32_t x, std::int32_t y) override {
    return own_window && own_window(x, y);
  }
  bool OwnWindowInForeground() override { return own_foreground; }
  VirtualScreen VirtualScreenMetrics() override { return desktop; }
  std::uint64_t TickCount() override {
    const std::uint64_t now = clock_.Now();
    if (!clock_.OnWatchdogThread()) {
      std::lock_guard<std::mutex> guard(lock);
      last_accepted = now;
    }
    return now;
  }
  std::u16string SystemDirectory() override { return system_directory; }
  bool OpenTool(std::u16string_view file, std::u16string_view parameters) override {
    if (on_tool) on_tool();
    std::lock_guard<std::mutex> guard(lock);
    tools.push_back(std::u16string(file) + u"|" + std::u16string(parameters));
    return tool_opens;
  }
  std::chrono::nanoseconds MonotonicNow() override {
    return std::chrono::milliseconds(clock_.Now());
  }
  void Sleep(std::chrono::milliseconds duration) override { clock_.Sleep(duration); }

  std::vector<SentEvent> Sent() {
    std::lock_guard<std::mutex> guard(lock);
    return sent;
  }

  // Settings.
  bool desktop_default = true;
  VirtualScreen desktop{0, 0, 3840, 1080};
  std::function<bool(std::int32_t, std::int32_t)> own_window;
  bool own_foreground = false;
  std::u16string system_directory = u"C:\\windows\\system32";
  bool tool_opens = true;
  std::size_t fail_send_at = SIZE_MAX;  // the index of the first event the platform refuses
  // Sees every event as it is sent, on the sending thread; must not call back into the injector.
  std::function<void(const SentEvent&)> on_event;
  // Runs as a tool starts, on the starting thread, before it is recorded.
  std::function<void()> on_tool;

  // The record.
  std::mutex lock;
  std::vector<SentEvent> sent;
  std::vector<std::u16string> tools;
  // The time the last batch was accepted (not the watchdog's read).
  std::uint64_t last_accepted = 0;

 private:
  bool Record(SentEvent event) {
    event.tick = clock_.Now();
    if (on_event) on_event(event);
    std::lock_guard<std::mutex> guard(lock);
    sent.push_back(event);
    return sent.size() - 1 != fail_send_at;
  }

  FakeInputClock& clock_;
};

}  // namespace varnel
