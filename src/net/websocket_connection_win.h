#pragma once
// The session worker's Connection on Windows: the WinHTTP WebSocket client.
#include "net/connection.h"

namespace varnel {

// Each call makes a new, not yet connected connection for one session.
ConnectionFactory MakeWebSocketConnectionFactory();

}  // namespace varnel
