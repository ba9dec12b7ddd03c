#include "app/worker_parts_win.h"

#include <objbase.h>
#include <windows.h>

#include <memory>
#include <string_view>

#include "input/input_platform_win.h"
#include "net/websocket_connection_win.h"
#include "screen/screen_win.h"
#include "transfer/file_platform_win.h"
#include "util/unique_handle_win.h"

namespace varnel {

SessionWorkerParts MakeProgramWorkerParts() {
  SessionWorkerParts parts;
  parts.connect = MakeWebSocketConnectionFactory();
  parts.screen = MakeWindowsScreen();
  // The injector looks monitors up afresh for every batch, as the worker's screen does.
  parts.input = MakeWindowsInputInjector([](std::u16string_view id) { return FindMonitor(id); });
  parts.file = MakeWindowsFileTransfer();
  // The JSON layer and the capture encoder use COM on the worker's own thread.
  parts.thread_enter = [] {
    const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(result)) {
      throw PlatformError("Unable to initialise COM.", static_cast<std::uint32_t>(result));
    }
  };
  parts.thread_leave = [] { CoUninitialize(); };
  return parts;
}

}  // namespace varnel
