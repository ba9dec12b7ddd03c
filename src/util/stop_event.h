#pragma once
// The one way to interrupt a session worker. On Windows it is a manual-reset kernel event, so the
// network layer can hand NativeHandle() to WaitForMultipleObjects beside its own completion
// events; elsewhere the same operations run on a condition variable, so the portable worker and
// its tests behave identically.
#include <chrono>

#if !defined(_WIN32)
#include <condition_variable>
#include <mutex>
#endif

namespace varnel {

class StopEvent {
 public:
  // Created unsignalled. Failure to create the event throws std::runtime_error
  // "Unable to create network event.".
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

#if defined(_WIN32)
  // The kernel event (a HANDLE); owned by this object.
  void* NativeHandle() const noexcept { return handle_; }
#endif

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;
#else
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  bool set_ = false;
#endif
};

}  // namespace varnel
