#pragma once
// The one place where the program's session worker is put together from its platform parts.
#include "session/session_worker.h"

namespace varnel {

// The parts of one session worker as the program runs it: the WinHTTP connection, COM in the
// multithreaded apartment on the worker's thread, GDI/WIC screen previews, SendInput injection
// with its watchdog already running, and the file engine on the customer's disk.
SessionWorkerParts MakeProgramWorkerParts();

}  // namespace varnel
