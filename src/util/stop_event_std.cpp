// The stop event on a condition variable, for the native builds.
#include <condition_variable>
#include <mutex>

#include "util/stop_event.h"

namespace varnel {

struct StopEvent::Native {
  std::mutex lock;
  std::condition_variable changed;
  bool set = false;
};

StopEvent::StopEvent() : native_(std::make_unique<Native>()) {}
StopEvent::~StopEvent() = default;

void StopEvent::Set() noexcept {
  {
    std::lock_guard guard(native_->lock);
    native_->set = true;
  }
  native_->changed.notify_all();
}

void StopEvent::Reset() noexcept {
  std::lock_guard guard(native_->lock);
  native_->set = false;
}

bool StopEvent::IsSet() const noexcept {
  std::lock_guard guard(native_->lock);
  return native_->set;
}

bool StopEvent::WaitFor(std::chrono::milliseconds timeout) const noexcept {
  Native& native = *native_;
  std::unique_lock guard(native.lock);
  // A negative limit means "do not wait", as a zero-time kernel wait does.
  if (timeout.count() <= 0) return native.set;
  return native.changed.wait_for(guard, timeout, [&native] { return native.set; });
}

}  // namespace varnel
