#pragma once
// The session worker's view of the support server: one connection per session, carrying strictly
// one request and then its one reply. The worker never includes a platform header; the WinHTTP
// WebSocket client implements this on Windows and the worker's tests script it.
#include <functional>
#include <memory>

#include "json/json.h"
#include "launch/server_url.h"
#include "util/stop_event.h"

namespace varnel {

class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  // Closes the connection without a closing message and never throws: the session simply ends.
  virtual ~Connection() = default;

  // Opens the connection to `endpoint`. Every wait also watches `stop_event`, which is borrowed
  // and outlives the connection. Throws NetworkError (with the customer's sentence), Cancelled
  // when the stop event is seen, or std::runtime_error when a platform resource cannot be made.
  virtual void Connect(const ServerEndpoint& endpoint, const StopEvent& stop_event) = 0;

  // Sends `request` and returns its reply once the reply passed the envelope check: a reply whose
  // "ok" is not true comes back only when it is marked recoverable and carries a "session";
  // every other error reply is thrown as NetworkError with the sentence for its code. Throws
  // Cancelled when the stop event is set before or during the exchange. Called only after a
  // successful Connect, by one thread at a time.
  virtual JsonObject Exchange(const JsonObject& request) = 0;
};

// Makes the (not yet connected) connection of one session; called once, on the worker's thread.
using ConnectionFactory = std::function<std::unique_ptr<Connection>()>;

}  // namespace varnel
