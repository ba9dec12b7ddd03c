// The worker's connection factory on Windows.
#include "net/websocket_connection_win.h"

#include <memory>
#include <stdexcept>

#include "net/websocket_client_win.h"

namespace varnel {
namespace {

class WebSocketConnection final : public Connection {
 public:
  void Connect(const ServerEndpoint& endpoint, const StopEvent& stop_event) override {
    // A second Connect replaces the first connection, which closes before the new one opens.
    client_.reset();
    client_ = std::make_unique<WebSocketClient>(endpoint, stop_event);
  }

  JsonObject Exchange(const JsonObject& request) override {
    if (!client_) throw std::logic_error("Exchange before Connect");
    return client_->Exchange(request);
  }

 private:
  std::unique_ptr<WebSocketClient> client_;
};

}  // namespace

ConnectionFactory MakeWebSocketConnectionFactory() {
  return [] { return std::make_unique<WebSocketConnection>(); };
}

}  // namespace varnel
