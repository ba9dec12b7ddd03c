#pragma once
// WinHTTP is not on Windows' known-library list, so the program does not import it: its functions
// come from the system folder's winhttp.dll, loaded on first use (see util/system_library_win.h).
#include <windows.h>
#include <winhttp.h>

namespace varnel {

struct WinHttpFunctions {
  decltype(&::WinHttpOpen) Open;
  decltype(&::WinHttpSetTimeouts) SetTimeouts;
  decltype(&::WinHttpConnect) Connect;
  decltype(&::WinHttpOpenRequest) OpenRequest;
  decltype(&::WinHttpSetOption) SetOption;
  decltype(&::WinHttpSetStatusCallback) SetStatusCallback;
  decltype(&::WinHttpSendRequest) SendRequest;
  decltype(&::WinHttpReceiveResponse) ReceiveResponse;
  decltype(&::WinHttpQueryHeaders) QueryHeaders;
  decltype(&::WinHttpWebSocketCompleteUpgrade) WebSocketCompleteUpgrade;
  decltype(&::WinHttpWebSocketSend) WebSocketSend;
  decltype(&::WinHttpWebSocketReceive) WebSocketReceive;
  decltype(&::WinHttpCloseHandle) CloseHandle;
};

// The functions; nullptr, with the loader's reason in GetLastError(), when the library or one of
// them is missing. Every WinHTTP handle was made by these, so a caller holding one need not check.
const WinHttpFunctions* WinHttp() noexcept;

// Closes a handle that the functions above made.
inline BOOL CloseWinHttpHandle(HINTERNET handle) noexcept { return WinHttp()->CloseHandle(handle); }

}  // namespace varnel
