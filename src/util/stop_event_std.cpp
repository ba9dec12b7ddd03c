#include "util/stop_event.h"

namespace varnel {

StopEvent::StopEvent() = default;
StopEvent::~StopEvent() = default;

void StopEvent::Set() noexcept {
  {
    std::lock_guard guard(lock_);
    set_ = true;
  }
  changed_.notify_all();
}

void StopEvent::Reset() noexcept {
  std::lock_guard guard(lock_);
  set_ = false;
}

bool StopEvent::IsSet() const noexcept {
  std::lock_guard guard(lock_);
  return set_;
}

bool StopEvent::WaitFor(std::chrono::milliseconds timeout) const noexcept {
  std::unique_lock guard(lock_);
  // A negative limit means "do not wait", as a zero-time kernel wait does.
  if (timeout.count() <= 0) return set_;
  return changed_.wait_for(guard, timeout, [this] { return set_; });
}

}  // namespace varnel
