#pragma once
// Whether the customer's own desktop has the input. Both the previews and the injected input stop
// while Windows is locked or a secure desktop (a UAC prompt, the sign-in screen) has it: those
// pixels are not the customer's to share, and the agent's keys must not reach them.
#include "util/unique_handle_win.h"

namespace varnel {

// The input desktop when it is "Default"; empty otherwise. Held by a capture to its end.
DesktopHandle OpenDefaultInputDesktop();

inline bool InputDesktopIsDefault() { return static_cast<bool>(OpenDefaultInputDesktop()); }

}  // namespace varnel
