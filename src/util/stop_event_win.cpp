// The stop event as a manual-reset kernel event that WinHTTP waits can list.
#include "util/stop_event_win.h"

#include "util/unique_handle_win.h"

namespace varnel {

struct StopEvent::Native {
  KernelHandle event = MakeManualResetEvent();
};

HANDLE StopEventAccess::Handle(const StopEvent& event) noexcept {
  return event.native_->event.get();
}

StopEvent::StopEvent() : native_(std::make_unique<Native>()) {}

StopEvent::~StopEvent() = default;

void StopEvent::Set() noexcept { SetEvent(native_->event.get()); }

void StopEvent::Reset() noexcept { ResetEvent(native_->event.get()); }

bool StopEvent::IsSet() const noexcept {
  return WaitForSingleObject(native_->event.get(), 0) == WAIT_OBJECT_0;
}

bool StopEvent::WaitFor(std::chrono::milliseconds timeout) const noexcept {
  // INFINITE is 0xFFFFFFFF: longer limits are cut just below it rather than turning endless.
  const auto count = timeout.count();
  const DWORD limit = count <= 0            ? 0
                      : count >= 0xFFFFFFFE ? 0xFFFFFFFEu
                                            : static_cast<DWORD>(count);
  return WaitForSingleObject(native_->event.get(), limit) == WAIT_OBJECT_0;
}

}  // namespace varnel
