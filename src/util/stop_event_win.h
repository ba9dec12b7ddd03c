#pragma once
// The kernel event behind a StopEvent, for the waits of the Windows layer.
#include <windows.h>

#include "util/stop_event.h"

namespace varnel {

struct StopEventAccess {
  // Owned by the StopEvent; valid while it lives.
  static HANDLE Handle(const StopEvent& event) noexcept;
};

}  // namespace varnel
