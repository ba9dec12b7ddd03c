#include "app/worker_parts_win.h"

#include <objbase.h>
#include <windows.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "net/websocket_connection_win.h"
#include "util/unique_handle_win.h"

namespace varnel {
namespace {

constexpr char16_t kCaptureUnavailableText[] = u"Screen capture failed.";

// No capture in this build: the agent is told so in every frame instead of seeing a picture.
class UnavailableScreen final : public Screen {
 public:
  std::vector<MonitorInfo> ListMonitors() override { return {}; }
  std::optional<MonitorInfo> FindMonitor(std::u16string_view) override { return std::nullopt; }
  PreviewFrame CapturePreview(std::u16string_view) override {
    PreviewFrame frame;
    frame.error = kCaptureUnavailableText;
    return frame;
  }
};

// No injection in this build: a batch that would run is refused, which makes the worker report
// an input error to the agent; nothing is ever held, so there is nothing to release.
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

// No file engine in this build: a live transfer fails at once, so the worker cancels it and the
// customer sees the file warning; no file is opened or written.
class UnavailableFiles final : public FileTransfer {
 public:
  std::optional<JsonObject> FileTransferStep(const JsonObject& file, const JsonObject&,
                                             std::u16string_view, std::u16string_view,
                                             const StopEvent&) override {
    const std::u16string id = file.GetStringOrEmpty(u"id");
    const std::u16string state = file.GetStringOrEmpty(u"state");
    if (id.empty() || state == u"idle" || state == u"complete" || state == u"cancelled" ||
        state == u"expired") {
      return std::nullopt;
    }
    throw FileTransferError("File transfer is not available in this build.");
  }
  void ResetTransfer() noexcept override {}
};

}  // namespace

SessionWorkerParts MakeProgramWorkerParts() {
  SessionWorkerParts parts;
  parts.connect = MakeWebSocketConnectionFactory();
  parts.screen = std::make_unique<UnavailableScreen>();
  parts.input = std::make_unique<UnavailableInput>();
  parts.file = std::make_unique<UnavailableFiles>();
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
