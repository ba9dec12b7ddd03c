#pragma once
// The one way to interrupt a session worker. On Windows it is a manual-reset kernel event, so the
// network layer can wait on it beside its own completion events (stop_event_win.h hands out the
// handle); elsewhere the same operations run on a condition variable, so the portable worker and
// its tests behave identically.
#include <chrono>
#include <memory>

namespace varnel {

class StopEvent {
 public:
  // Created unsignalled. On Windows an event the system refuses raises PlatformError "Unable to
  // create network event."; the portable event fails only as any allocation does.
  StopEvent();
  ~StopEvent();
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;

  // Signals every present and future waiter until Reset.
  void Set() noexcept;
  void Reset() noexcept;
  // Tests without waiting.
  bool IsSet() const noexcept;
  // Returns true as soon as the event is set, false when the time passed without it.
  bool WaitFor(std::chrono::milliseconds timeout) const noexcept;

 private:
  friend struct StopEventAccess;
  // The platform's event, defined beside each implementation so this header names no platform.
  struct Native;
  std::unique_ptr<Native> native_;
};

}  // namespace varnel
