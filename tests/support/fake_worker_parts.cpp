#include "support/fake_worker_parts.h"

#include <memory>
#include <mutex>
#include <thread>

#include "util/utf.h"

namespace varnel {
namespace {

// Every part in one: the worker owns one instance per part, each forwarding to the desktop, and
// the connection and the injector say goodbye when the worker destroys them.
class FakePart final : public Connection, public Screen, public InputInjector, public FileTransfer {
 public:
  explicit FakePart(FakeDesktop& desktop, std::string goodbye = "")
      : desktop_(desktop), goodbye_(std::move(goodbye)) {}
  ~FakePart() override {
    if (!goodbye_.empty()) desktop_.Note(goodbye_);
  }

  void Connect(const ServerEndpoint&, const StopEvent& stop_event) override {
    desktop_.connect_stop = &stop_event;
    desktop_.Note("connect");
  }
  JsonObject Exchange(const JsonObject& request) override {
    if (desktop_.exchange) return desktop_.exchange(request);
    return ParsedReply(R"({"ok":true,"session":{"state":"ended"}})");
  }

  std::vector<MonitorInfo> ListMonitors() override { return desktop_.monitors; }
  std::optional<MonitorInfo> FindMonitor(std::u16string_view id) override {
    return desktop_.FindMonitor(id);
  }
  PreviewFrame CapturePreview(std::u16string_view id) override {
    desktop_.Note("capture:" + Utf16ToUtf8(id));
    const std::optional<MonitorInfo> monitor = desktop_.FindMonitor(id);
    return desktop_.capture ? desktop_.capture(monitor) : FakePicture(monitor);
  }

  bool ApplyInputs(const JsonArray& inputs, bool allowed, std::u16string_view monitor) override {
    return !desktop_.input || desktop_.input(inputs, allowed, monitor);
  }
  void ReleaseAll() noexcept override {
    if (owner_.load() != std::this_thread::get_id()) ++desktop_.unlocked_releases;
    desktop_.Note("release");
  }
  void StopInput() noexcept override { desktop_.Note("stop_input"); }
  void lock() override {
    lock_.lock();
    owner_ = std::this_thread::get_id();
  }
  void unlock() noexcept override {
    owner_ = std::thread::id();
    lock_.unlock();
  }

  std::optional<JsonObject> FileTransferStep(const JsonObject& file, const JsonObject&,
                                             std::u16string_view prompt_id,
                                             std::u16string_view prompt_path,
                                             const StopEvent&) override {
    if (!desktop_.file_step) return std::nullopt;
    return desktop_.file_step(file, prompt_id, prompt_path);
  }
  void ResetTransfer() noexcept override { desktop_.Note("reset_transfer"); }

 private:
  FakeDesktop& desktop_;
  const std::string goodbye_;
  std::mutex lock_;
  std::atomic<std::thread::id> owner_{};
};

}  // namespace

JsonObject ParsedReply(std::string_view utf8) { return *JsonObject::TryParse(Utf8ToUtf16(utf8)); }

PreviewFrame FakePicture(const std::optional<MonitorInfo>& monitor) {
  if (!monitor) return PreviewFrame{{}, u"Selected monitor is unavailable.", 0, 0, {}, {}};
  return PreviewFrame{u"cGljdHVyZQ==", {}, 64, 36, monitor->id, monitor->rect};
}

std::optional<MonitorInfo> FakeDesktop::FindMonitor(std::u16string_view id) const {
  for (const MonitorInfo& m : monitors) {
    if (id.empty() ? m.primary : m.id == id) return m;
  }
  return std::nullopt;
}

SessionWorkerParts FakeDesktop::Parts() {
  SessionWorkerParts parts;
  parts.connect = [this] { return std::make_unique<FakePart>(*this, "disconnect"); };
  parts.screen = std::make_unique<FakePart>(*this);
  parts.input = std::make_unique<FakePart>(*this, "input_destroyed");
  parts.file = std::make_unique<FakePart>(*this);
  return parts;
}

bool FakeSessionClock::Pause(const StopEvent& stop_event, std::chrono::milliseconds pause) {
  if (on_pause) {
    on_pause(pause);
  } else {
    now += pause;
  }
  return stop_event.IsSet();
}

}  // namespace varnel
