// WinHTTP's asynchronous WebSocket calls, each wait bounded and listing the stop event first.
#include "net/websocket_client_win.h"

#include <algorithm>
#include <chrono>

#include "build_config.h"
#include "net/exchange_rules.h"
#include "net/winhttp_functions_win.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

// WinHTTP reports a socket's closing within milliseconds of the close; a notification that has
// not come after two seconds may never come, and Stop, Retry, exit and logoff wait for this.
constexpr DWORD kCloseWaitMs = 2000;
constexpr int kTransportLimitMs = 5000;
// All completions plus handle creation and closing. Written as a number because MinGW's
// WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS predates the current SDK's value.
constexpr DWORD kCallbackFlags = 0x097E0C00;

// The step's sentence for the customer, the platform's code for whoever diagnoses it.
[[noreturn]] void Fail(std::u16string_view sentence) {
  throw NetworkError(std::u16string(sentence), GetLastError());
}

bool SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
  return WinHttp()->SetOption(handle, option, &value, sizeof(value)) != FALSE;
}

// Asynchronous calls report "started" as success or as ERROR_IO_PENDING.
bool Started(DWORD result) { return result == NO_ERROR || result == ERROR_IO_PENDING; }

// From here until the handle's closing notification WinHTTP may call back with the context.
void InstallCallbackShare(CallbackContext& context) {
  context.callback_installed = true;
  context.callback_share = context.shared_from_this();
}

}  // namespace

CallbackContext::CallbackContext()
    : completed_event(MakeManualResetEvent()), closed_event(MakeManualResetEvent()) {}

std::shared_ptr<CallbackContext> CallbackContext::Create() {
  return std::make_shared<CallbackContext>();
}

WebSocketClient::WebSocketClient(const ServerEndpoint& endpoint, const StopEvent& stop_event,
                                 DWORD reply_wait_ms)
    : stop_event_(StopEventAccess::Handle(stop_event)),
      reply_wait_ms_(reply_wait_ms),
      request_(CallbackContext::Create()),
      socket_(CallbackContext::Create()) {
  try {
    Open(endpoint);
  } catch (...) {
    Close();
    throw;
  }
}

WebSocketClient::~WebSocketClient() { Close(); }

void WebSocketClient::Close() noexcept {
  // Reverse order of opening; the buffers, connection and session follow as members.
  if (socket_) {
    CloseAndWait(*socket_);
    socket_.reset();
  }
  if (request_) {
    CloseAndWait(*request_);
    request_.reset();
  }
}

void WebSocketClient::Open(const ServerEndpoint& endpoint) {
  // Plain ws:// is allowed only to local addresses; "localhost" is pinned to IPv4 loopback so
  // that no name lookup can send it anywhere else.
  const bool secure = endpoint.secure;
  const std::u16string host =
      !secure && endpoint.host == u"localhost" ? u"127.0.0.1" : endpoint.host;

  // Without the library there is no connection, as with any other failure of this first step.
  if (WinHttp() == nullptr) Fail(u"Unable to initialize WinHTTP.");
  // Only wss may go through a proxy: a local ws:// connection must never leave the machine.
  http_session_.reset(
      WinHttp()->Open(L"" QUILLORY_SYSTEM_NAME "/0.5",
                      secure ? WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY,
                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
  if (http_session_.get() == nullptr ||
      !WinHttp()->SetTimeouts(http_session_.get(), kTransportLimitMs, kTransportLimitMs,
                              kTransportLimitMs, kTransportLimitMs)) {
    Fail(u"Unable to initialize WinHTTP.");
  }

  http_connection_.reset(WinHttp()->Connect(http_session_.get(), Wide(host), endpoint.port, 0));
  if (http_connection_.get() == nullptr) {
    Fail(u"Unable to initialize the server connection.");
  }

  AttachHandle(*request_,
               WinHttp()->OpenRequest(http_connection_.get(), L"GET", Wide(endpoint.path), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      secure ? WINHTTP_FLAG_SECURE : 0),
               false);

  // No redirects (the server address is the one the customer was given), never the Windows
  // logon credentials, and the platform's own certificate validation untouched.
  HINTERNET request = request_->handle.get();
  if (!SetDwordOption(request, WINHTTP_OPTION_REDIRECT_POLICY,
                      WINHTTP_OPTION_REDIRECT_POLICY_NEVER) ||
      !SetDwordOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY,
                      WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH) ||
      !WinHttp()->SetOption(request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0)) {
    Fail(u"Unable to configure a WebSocket connection.");
  }

  ResetCompletion(*request_);
  if (!WinHttp()->SendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                              0, reinterpret_cast<DWORD_PTR>(request_.get())) &&
      GetLastError() != ERROR_IO_PENDING) {
    Fail(u"Unable to connect to the server.");
  }
  WaitForCompletion(*request_, stop_event_, WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE);

  ResetCompletion(*request_);
  if (!WinHttp()->ReceiveResponse(request, nullptr) && GetLastError() != ERROR_IO_PENDING) {
    Fail(u"Unable to receive the server response.");
  }
  WaitForCompletion(*request_, stop_event_, WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE);

  // Some stacks hand out a WebSocket for any answer; only 101 is an accepted upgrade.
  DWORD status_code = 0;
  DWORD size = sizeof(status_code);
  if (!WinHttp()->QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status_code, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
    Fail(u"The server did not accept the WebSocket connection.");
  }
  if (status_code != HTTP_STATUS_SWITCH_PROTOCOLS) {
    throw NetworkError(u"The server did not accept the WebSocket connection.", status_code);
  }

  AttachHandle(
      *socket_,
      WinHttp()->WebSocketCompleteUpgrade(request, reinterpret_cast<DWORD_PTR>(socket_.get())),
      true);
  CloseAndWait(*request_);
}

JsonObject WebSocketClient::Exchange(const JsonObject& request) {
  if (WaitForSingleObject(stop_event_, 0) == WAIT_OBJECT_0) throw Cancelled{};
  socket_->send_buffer = EncodeRequest(request);
  return InterpretReply(SendAndReceive());
}

std::string WebSocketClient::ExchangeText(std::string_view request) {
  if (WaitForSingleObject(stop_event_, 0) == WAIT_OBJECT_0) throw Cancelled{};
  CheckRequestSize(request.size());
  socket_->send_buffer.assign(request);
  return SendAndReceive();
}

std::string WebSocketClient::SendAndReceive() {
  ResetCompletion(*socket_);
  const DWORD sent = WinHttp()->WebSocketSend(
      socket_->handle.get(), WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
      socket_->send_buffer.data(), static_cast<DWORD>(socket_->send_buffer.size()));
  if (!Started(sent)) throw NetworkError(u"Unable to send the support request.", sent);
  WaitForCompletion(*socket_, stop_event_, WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE);

  // Only the reply to this request is ever read: the server speaks only when spoken to.
  std::string reply;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point reply_deadline = Clock::now() + std::chrono::milliseconds(reply_wait_ms_);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(reply_deadline - Clock::now());
    if (left.count() <= 0) throw NetworkError(u"The server did not respond in time.");
    const auto wait_ms = static_cast<DWORD>(std::min<long long>(kStepWaitMs, left.count()));
    ResetCompletion(*socket_);
    const DWORD started = WinHttp()->WebSocketReceive(
        socket_->handle.get(), socket_->receive_buffer.data(),
        static_cast<DWORD>(socket_->receive_buffer.size()), nullptr, nullptr);
    if (!Started(started)) throw NetworkError(u"The server connection was lost.", started);
    WaitForCompletion(*socket_, stop_event_, WINHTTP_CALLBACK_STATUS_READ_COMPLETE, wait_ms);
    DWORD bytes = 0;
    DWORD type = 0;
    {
      std::lock_guard guard(socket_->lock);
      bytes = socket_->bytes_transferred;
      type = socket_->buffer_type;
    }
    if (type != WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE &&
        type != WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE) {
      throw NetworkError(u"The server closed the connection or sent an unsupported message.");
    }
    // The count comes from the stack; never trust it past the buffer it was given.
    if (bytes > socket_->receive_buffer.size()) {
      throw NetworkError(u"Unexpected network response.");
    }
    AppendReplyPiece(reply, std::string_view(socket_->receive_buffer.data(), bytes));
    if (type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE) return reply;
  }
}

void WebSocketClient::ResetCompletion(CallbackContext& context) noexcept {
  ResetEvent(context.completed_event.get());
  std::lock_guard guard(context.lock);
  context.status = 0;
  context.error = 0;
  // A read completion without its details must not pass off the previous piece as new data.
  context.bytes_transferred = 0;
  context.buffer_type = WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE;
}

void WebSocketClient::WaitForCompletion(CallbackContext& context, HANDLE stop_event,
                                        DWORD expected_status, DWORD wait_ms) {
  // The stop event comes first so that a stop wins over a completion that arrived with it.
  const HANDLE waits[] = {stop_event, context.completed_event.get()};
  const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, wait_ms);
  if (woke == WAIT_OBJECT_0) throw Cancelled{};
  if (woke != WAIT_OBJECT_0 + 1) throw NetworkError(u"The server did not respond in time.", woke);
  std::lock_guard guard(context.lock);
  if (context.error != 0) throw NetworkError(NetworkErrorMessage(context.error), context.error);
  if (context.status != expected_status) throw NetworkError(u"Unexpected network response.");
}

void WebSocketClient::AttachHandle(CallbackContext& context, HINTERNET handle, bool wait_on_close) {
  if (handle == nullptr) Fail(u"Unable to create a network request.");
  context.handle.reset(handle);
  // A WebSocket handle inherits the request's callback, so its closing notification arrives even
  // if installing our own fails below.
  context.wait_on_close = wait_on_close;
  if (wait_on_close) InstallCallbackShare(context);
  DWORD_PTR value = reinterpret_cast<DWORD_PTR>(&context);
  if (!WinHttp()->SetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &value, sizeof(value))) {
    Fail(u"Unable to initialize network context.");
  }
  if (WinHttp()->SetStatusCallback(handle, OnWinHttpStatus, kCallbackFlags, 0) ==
      WINHTTP_INVALID_STATUS_CALLBACK) {
    Fail(u"Unable to initialize network callbacks.");
  }
  InstallCallbackShare(context);
}

void WebSocketClient::CloseAndWait(CallbackContext& context) noexcept {
  if (!context.handle) return;
  context.handle.reset();
  // The socket's closing is awaited, briefly, so that a session normally ends with WinHTTP done
  // with it; should the notification never come, the callback's share keeps the context and its
  // buffers alive for whatever WinHTTP still does with them. The request's closing is not
  // awaited: Wine finishes a pending upgrade only when the server answers or the connection drops,
  // which would hold a stop request hostage to the server.
  if (context.callback_installed && context.wait_on_close) {
    WaitForSingleObject(context.closed_event.get(), kCloseWaitMs);
  }
}

void CALLBACK WebSocketClient::OnWinHttpStatus(HINTERNET, DWORD_PTR context_value, DWORD status,
                                               LPVOID info, DWORD info_length) {
  auto* context = reinterpret_cast<CallbackContext*>(context_value);
  if (context == nullptr) return;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: {
      // The last notification for the handle: WinHTTP's share ends with it, possibly freeing
      // the context once the event is set, so nothing touches the context after that.
      const std::shared_ptr<CallbackContext> share = std::move(context->callback_share);
      SetEvent(context->closed_event.get());
      return;
    }
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE: {
      {
        std::lock_guard guard(context->lock);
        context->status = status;
        if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR && info != nullptr &&
            info_length >= sizeof(WINHTTP_ASYNC_RESULT)) {
          context->error = static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError;
        } else if (status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE && info != nullptr &&
                   info_length == sizeof(WINHTTP_WEB_SOCKET_STATUS)) {
          const auto* result = static_cast<const WINHTTP_WEB_SOCKET_STATUS*>(info);
          context->bytes_transferred = result->dwBytesTransferred;
          context->buffer_type = static_cast<DWORD>(result->eBufferType);
        }
      }
      SetEvent(context->completed_event.get());
      return;
    }
    default:
      return;
  }
}

}  // namespace varnel
