#pragma once
// One WebSocket connection to the support server over WinHTTP in asynchronous mode. Every
// blocking step runs on the session worker's thread and waits on events that the WinHTTP status
// callback sets from WinHTTP's own threads; every wait also watches the session's stop event and
// ends after at most ten seconds, a whole reply within kReplyWaitMs, and closing the socket waits
// at most kCloseWaitMs for WinHTTP to let go of it.
#include <windows.h>
#include <winhttp.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "json/json.h"
#include "launch/server_url.h"
#include "net/exchange_rules.h"
#include "net/network_error.h"
#include "net/winhttp_functions_win.h"
#include "util/stop_event_win.h"
#include "util/unique_handle_win.h"

namespace varnel {

// WinHTTP's handles: sessions, connections, requests and WebSockets.
using WinHttpHandle = NullableHandle<HINTERNET, &CloseWinHttpHandle>;

// The completion state of one WinHTTP handle, shared by the waiting thread and the callback.
// Its address is the handle's context value. WinHTTP's callback holds a share of it from the
// moment the callback is installed until the handle's closing notification, so the context
// outlives every call WinHTTP can still make with that address, however the client ends.
struct CallbackContext : std::enable_shared_from_this<CallbackContext> {
  // Both events unsignalled. Throws PlatformError "Unable to create network event.".
  static std::shared_ptr<CallbackContext> Create();
  CallbackContext();
  CallbackContext(const CallbackContext&) = delete;
  CallbackContext& operator=(const CallbackContext&) = delete;

  KernelHandle completed_event;     // manual reset: a completion or error was recorded
  KernelHandle closed_event;        // manual reset: WinHTTP reported the handle closing
  std::mutex lock;                  // guards the four results below
  DWORD status = 0;                 // last recorded callback status (0 = none yet)
  DWORD error = 0;                  // error of a request-error notification (0 = none)
  DWORD bytes_transferred = 0;      // from a WebSocket read completion
  DWORD buffer_type = 0;            // WINHTTP_WEB_SOCKET_BUFFER_TYPE of the same completion
  WinHttpHandle handle;             // the request or WebSocket handle; closed by CloseAndWait
  bool callback_installed = false;  // a closing notification will arrive for `handle`
  bool wait_on_close = false;       // WinHTTP may still be using the buffers below until then
  std::shared_ptr<CallbackContext> callback_share;  // released by the closing notification
  // The WebSocket's send and receive buffers live here rather than in the client: if the closing
  // notification is late, the client stops waiting for it, and a send or receive still pending
  // then uses memory the callback's share keeps alive.
  std::string send_buffer;
  std::array<char, kReceivePieceBytes> receive_buffer{};
};

class WebSocketClient {
 public:
  // Opens the connection (the whole upgrade) or throws NetworkError (keeping the stack's error
  // code), Cancelled, or the PlatformError of CallbackContext; whatever was opened is released
  // first. `stop_event` is borrowed and must outlive the client. `reply_wait_ms` bounds the wait
  // for a whole reply; tests shorten it.
  WebSocketClient(const ServerEndpoint& endpoint, const StopEvent& stop_event,
                  DWORD reply_wait_ms = kReplyWaitMs);
  // Closes without a close frame: the socket, then the request, then connection and session.
  // Never throws.
  ~WebSocketClient();
  WebSocketClient(const WebSocketClient&) = delete;
  WebSocketClient& operator=(const WebSocketClient&) = delete;

  // Sends `request` as one UTF-8 text message and returns the one reply object that passed the
  // envelope check (see InterpretReply). Throws NetworkError, Cancelled (the stop event is set
  // before or during the exchange) or JsonError. A failed exchange leaves the connection unusable.
  JsonObject Exchange(const JsonObject& request);

  // The transport half of Exchange: sends `request` (UTF-8, at most kMaxMessageBytes) and returns
  // the bytes of the one complete text message that answers it, unparsed.
  std::string ExchangeText(std::string_view request);

  static void ResetCompletion(CallbackContext& context) noexcept;
  // Waits at most `wait_ms` (the step's ten seconds unless a shorter bound remains).
  static void WaitForCompletion(CallbackContext& context, HANDLE stop_event, DWORD expected_status,
                                DWORD wait_ms = kStepWaitMs);
  static void AttachHandle(CallbackContext& context, HINTERNET handle, bool wait_on_close);
  static void CloseAndWait(CallbackContext& context) noexcept;
  static void CALLBACK OnWinHttpStatus(HINTERNET handle, DWORD_PTR context, DWORD status,
                                       LPVOID info, DWORD info_length);

 private:
  void Open(const ServerEndpoint& endpoint);
  std::string SendAndReceive();
  void Close() noexcept;

  HANDLE stop_event_;
  DWORD reply_wait_ms_;
  WinHttpHandle http_session_;
  WinHttpHandle http_connection_;
  std::shared_ptr<CallbackContext> request_;
  std::shared_ptr<CallbackContext> socket_;
};

}  // namespace varnel
