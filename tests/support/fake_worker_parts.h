#pragma once
// A fake desktop for the session worker: the test keeps one FakeDesktop, and Parts() hands the
// worker a connection factory, screen, input injector and file engine that all forward to it.
// What a suite cares about it sets as a hook; the rest behaves like a quiet, willing desktop.
// With `note` set, the parts report what the worker did to them, in order: "connect",
// "disconnect", "capture:<id>", "release", "stop_input", "input_destroyed", "reset_transfer".
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/session_worker.h"

namespace varnel {

inline const MonitorInfo kFakePrimary{u"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, true};
inline const MonitorInfo kFakeSecond{u"\\\\.\\DISPLAY2", {1920, 0, 3200, 1024}, false};

// A reply as the connection hands it over, from its wire text.
JsonObject ParsedReply(std::string_view utf8);
// What the fake screen captures unless told otherwise: a small picture of the monitor, or
// "Selected monitor is unavailable." without one.
PreviewFrame FakePicture(const std::optional<MonitorInfo>& monitor);

struct FakeDesktop {
  // The server: answers each request. Unset, the session ends at the first turn.
  std::function<JsonObject(const JsonObject& request)> exchange;
  // The stop event the worker connected with, for a server that waits on it.
  const StopEvent* connect_stop = nullptr;

  // Primary first. FindMonitor: the empty id is the primary, any other must match exactly.
  std::vector<MonitorInfo> monitors{kFakePrimary};
  // Unset: FakePicture.
  std::function<PreviewFrame(const std::optional<MonitorInfo>& monitor)> capture;

  // Unset: every batch is applied.
  std::function<bool(const JsonArray& inputs, bool allowed, std::u16string_view monitor)> input;
  // Releases made without the injector's lock held by the releasing thread.
  std::atomic<int> unlocked_releases{0};

  // Unset: nothing to do.
  std::function<std::optional<JsonObject>(const JsonObject& file, std::u16string_view prompt_id,
                                          std::u16string_view prompt_path)>
      file_step;

  std::function<void(const std::string& event)> note;

  std::optional<MonitorInfo> FindMonitor(std::u16string_view id) const;
  // The parts for one worker; the desktop must outlive it. The clock and thread hooks are left
  // empty for the caller.
  SessionWorkerParts Parts();
  void Note(const std::string& event) const {
    if (note) note(event);
  }
};

// A clock that moves only when told: by `step` at every reading, and through each pause, by the
// pause itself unless `on_pause` takes over.
class FakeSessionClock final : public SessionClock {
 public:
  TimePoint Now() override { return now += step; }
  bool Pause(const StopEvent& stop_event, std::chrono::milliseconds pause) override;

  TimePoint now{};
  std::chrono::milliseconds step{0};
  std::function<void(std::chrono::milliseconds pause)> on_pause;
};

}  // namespace varnel
