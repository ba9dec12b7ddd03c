#pragma once
// The one place where the program's session worker is put together from its platform parts.
#include "session/session_worker.h"

namespace varnel {

// The parts of one session worker as the program runs it: the WinHTTP connection, COM in the
// multithreaded apartment on the worker's thread, and the screen, input and file parts.
// Parts that this build cannot offer report themselves unavailable to the agent the way a failed
// part would (a capture failure, a refused input batch, a failed file transfer); none of them
// pretends to work.
SessionWorkerParts MakeProgramWorkerParts();

}  // namespace varnel
