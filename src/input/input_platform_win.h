#pragma once
// The injector's platform on Windows: SendInput one event at a time, the input-desktop check, the
// own-window checks, the virtual-screen metrics, the monotonic clock and the shell for the tools.
#include <memory>

#include "input/input_platform.h"
#include "input/platform_input_injector.h"

namespace varnel {

std::unique_ptr<InputPlatform> MakeWindowsInputPlatform();

// The session's injector, its watchdog running. `find_monitor` is the program's monitor lookup.
std::unique_ptr<InputInjector> MakeWindowsInputInjector(MonitorLookup find_monitor);

}  // namespace varnel
