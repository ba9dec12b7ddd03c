#include <windows.h>

#include <stdexcept>

#include "util/stop_event.h"

namespace varnel {

StopEvent::StopEvent() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (handle_ == nullptr) throw std::runtime_error("Unable to create network event.");
}

StopEvent::~StopEvent() { CloseHandle(handle_); }

void StopEvent::Set() noexcept { SetEvent(handle_); }

void StopEvent::Reset() noexcept { ResetEvent(handle_); }

bool StopEvent::IsSet() const noexcept { return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }

bool StopEvent::WaitFor(std::chrono::milliseconds timeout) const noexcept {
  // INFINITE is 0xFFFFFFFF: longer limits are cut just below it rather than turning endless.
  const auto count = timeout.count();
  const DWORD limit = count <= 0            ? 0
                      : count >= 0xFFFFFFFE ? 0xFFFFFFFEu
                                            : static_cast<DWORD>(count);
  return WaitForSingleObject(handle_, limit) == WAIT_OBJECT_0;
}

}  // namespace varnel
