#include "app/worker_parts_win.h"

#include <objbase.h>
#include <windows.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "net/websocket_connection_win.h"
#include "screen/screen_win.h"
#include "transfer/file_platform_win.h"
#include "util/unique_handle_win.h"

namespace varnel {
namespace {

class UnavailableInput final : public InputInjector {
 public:
  bool ApplyInputs(const JsonArray& inputs, bool allowed, std::u16string_view) override {
    std::lock_guard<std::mutex> guard(lock_);
    return !allowed || stopped_ || inputs.size() == 0;
  }
  void ReleaseAll() noexcept override {}
  void StopInput() noexcept override {
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
  }
  void lock() override { lock_.lock(); }
  void unlock() noexcept override { lock_.unlock(); }

 private:
  std::mutex lock_;
  bool stopped_ = false;
};

}  // namespace

SessionWorkerParts MakeProgramWorkerParts() {
  SessionWorkerParts parts;
  parts.connect = MakeWebSocketConnectionFactory();
  parts.screen = MakeWindowsScreen();
  parts.input = std::make_unique<UnavailableInput>();
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
