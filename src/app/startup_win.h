#pragma once
// The program's start-up on the UI thread: from the process command line to the exit code.
#include <windows.h>

namespace varnel {

// Process exit codes.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitLaunchOptionsRejected = 2;
inline constexpr int kExitInstanceNotResponding = 3;
inline constexpr int kExitStartupFailed = 4;

// Runs start-up from the process command line to the exit code; never throws.
int RunQuillory(HINSTANCE instance, int show_command) noexcept;

}  // namespace varnel
