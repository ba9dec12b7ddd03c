// WinHTTP's functions, looked up once in the System32 copy of the library.
#include "net/winhttp_functions_win.h"

#include "util/system_library_win.h"

namespace varnel {
namespace {

struct Loaded {
  WinHttpFunctions functions{};
  DWORD error = ERROR_SUCCESS;
};

Loaded Load() noexcept {
  static SystemLibrary library(L"winhttp.dll");
  Loaded loaded;
  WinHttpFunctions& f = loaded.functions;
  const bool found = library.Find(f.Open, "WinHttpOpen") &&
                     library.Find(f.SetTimeouts, "WinHttpSetTimeouts") &&
                     library.Find(f.Connect, "WinHttpConnect") &&
                     library.Find(f.OpenRequest, "WinHttpOpenRequest") &&
                     library.Find(f.SetOption, "WinHttpSetOption") &&
                     library.Find(f.SetStatusCallback, "WinHttpSetStatusCallback") &&
                     library.Find(f.SendRequest, "WinHttpSendRequest") &&
                     library.Find(f.ReceiveResponse, "WinHttpReceiveResponse") &&
                     library.Find(f.QueryHeaders, "WinHttpQueryHeaders") &&
                     library.Find(f.WebSocketCompleteUpgrade, "WinHttpWebSocketCompleteUpgrade") &&
                     library.Find(f.WebSocketSend, "WinHttpWebSocketSend") &&
                     library.Find(f.WebSocketReceive, "WinHttpWebSocketReceive") &&
                     library.Find(f.CloseHandle, "WinHttpCloseHandle");
  if (!found) loaded.error = library.Error();
  return loaded;
}

}  // namespace

const WinHttpFunctions* WinHttp() noexcept {
  static const Loaded loaded = Load();
  if (loaded.error != ERROR_SUCCESS) {
    SetLastError(loaded.error);
    return nullptr;
  }
  return &loaded.functions;
}

}  // namespace varnel
