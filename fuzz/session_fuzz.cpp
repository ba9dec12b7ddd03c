// Fuzzes whole sessions: several turns of reply texts (built from the input, sometimes with raw
// bytes spliced in) go through the reply envelope, the typed reply, the snapshot, the real input
// injector on the recording platform and the real file engine on the disk in memory, while a
// customer answers prompts and a second thread presses Stop Support at a moment the input picks.
// Checked against the fuzzer's own account:
// - no press reaches the desktop unless the customer allowed it (approving support allows input
//   too, while the agent's grant lasts);
// - once the stop has returned, at most the one event already on its way is a press;
// - nothing is held once the session is torn down, and no temporary file is left on the disk;
// - every status text the window could show is one the customer may be shown.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "input/platform_input_injector.h"
#include "net/exchange_rules.h"
#include "session/session_worker.h"
#include "support/fake_input_platform.h"
#include "support/fake_worker_parts.h"
#include "support/memory_files.h"
#include "util/utf.h"

namespace varnel {
namespace {

using fuzz::Require;
using json = nlohmann::json;

constexpr int kMaxTurns = 12;
constexpr int kNeverStop = 1000;
const std::u16string kPicked = u"C:\\Users\\c\\report.txt";
const std::u16string kSaveAs = u"C:\\Users\\c\\tool.zip";

// Everything random is drawn before the worker starts: the provider is not shared across threads.
struct Script {
  std::vector<std::string> replies;  // wire texts after the handshake
  std::vector<bool> approves;        // the customer's answer to each prompt, in turn
  int stop_at = kNeverStop;          // Stop Support after this many exchanges and events
};

// Seven times in eight: live control needs many conditions at once, so most replies grant them.
bool Mostly(FuzzedDataProvider& in) { return in.ConsumeIntegralInRange(0, 7) != 0; }

std::string RandomReply(FuzzedDataProvider& in) {
  static const char* const kStates[] = {"waiting", "awaiting_consent", "active", "active",
                                        "active",  "denied",           "ended",  "Active"};
  static const char* const kFileStates[] = {"awaiting_pick", "awaiting_save", "staging",
                                            "delivering",    "complete",      "cancelled"};
  static const char* const kKinds[] = {"key_down", "key_up",  "down",      "up",   "move",
                                       "wheel",    "release", "open_tool", "bogus"};
  json session = {{"state", kStates[in.ConsumeIntegralInRange(0, 7)]},
                  {"consent_id", "c" + std::to_string(in.ConsumeIntegralInRange(0, 2))},
                  {"control_allowed", Mostly(in)},
                  {"control_generation", "g1"},
                  {"preview_requested", Mostly(in)},
                  {"viewer_connected", true},
                  {"screen_preview", Mostly(in)}};
  if (in.ConsumeBool())
    session["control_id"] = "k" + std::to_string(in.ConsumeIntegralInRange(0, 2));
  if (!Mostly(in)) session["control_paused"] = true;
  json reply = {{"ok", true}, {"session", session}};
  if (!Mostly(in)) {
    const std::string id = in.ConsumeBool() ? "0123456789abcdef0123456789abcdef" : "f1";
    reply["session"]["file"] = {{"id", id},
                                {"state", kFileStates[in.ConsumeIntegralInRange(0, 5)]},
                                {"direction", in.ConsumeBool() ? "to_staff" : "to_customer"},
                                {"name", "tool.zip"},
                                {"size", in.ConsumeIntegralInRange(0, 12)},
                                {"received", in.ConsumeIntegralInRange(0, 12)},
                                {"chunks", in.ConsumeIntegralInRange(0, 3)}};
    if (in.ConsumeBool())
      reply["file_reply"] = {{"index", in.ConsumeIntegralInRange(0, 2)},
                             {"data", "aGVsbG8gd29ybGQ="}};
  }
  json inputs = json::array();
  for (int n = in.ConsumeIntegralInRange(0, 40); n > 0; --n) {
    inputs.push_back({{"kind", kKinds[in.ConsumeIntegralInRange(0, 8)]},
                      {"key", in.ConsumeIntegralInRange(0, 260)},
                      {"x", in.ConsumeIntegralInRange(0, 65535)},
                      {"y", in.ConsumeIntegralInRange(0, 65535)},
                      {"button", in.ConsumeIntegralInRange(0, 2)},
                      {"delta", 120},
                      {"tool", "control_panel"}});
  }
  reply["inputs"] = inputs;
  std::string text = reply.dump();
  if (in.ConsumeIntegralInRange(0, 7) == 0) {
    // Raw bytes spliced in: the envelope and the JSON layer meet what no server should send.
    const std::size_t at = in.ConsumeIntegralInRange<std::size_t>(0, text.size());
    text.insert(at, in.ConsumeRandomLengthString(16));
  }
  return text;
}

Script ReadScript(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Script script;
  script.stop_at = in.ConsumeIntegralInRange(0, 2 * kNeverStop);
  for (int i = 0; i < 8; ++i) script.approves.push_back(Mostly(in));
  const int turns = in.ConsumeIntegralInRange(1, kMaxTurns);
  for (int i = 0; i < turns && in.remaining_bytes() > 0; ++i) {
    script.replies.push_back(RandomReply(in));
  }
  return script;
}

bool MayShow(std::u16string_view text) {
  static constexpr std::u16string_view kRejected = u"Server rejected the request: ";
  return fuzz::IsStatusText(text) || text == u"The server sent invalid JSON." ||
         (text.starts_with(kRejected) && text.size() <= kRejected.size() + 80);
}

// One session and its account; the worker's parts forward here.
class Session {
 public:
  explicit Session(Script script) : script_(std::move(script)) {}

  void Run() {
    disk_->files[kPicked].bytes = {'h', 'i'};
    auto platform = std::make_unique<FakeInputPlatform>(time_);
    platform_ = platform.get();
    platform_->on_event = [this](const SentEvent& e) { OnEvent(e); };
    platform_->on_tool = [this] { Tick(); };
    desktop_.exchange = [this](const JsonObject& request) { return Answer(request); };
    SessionWorkerParts parts = desktop_.Parts();
    parts.input = std::make_unique<PlatformInputInjector>(
        std::move(platform), [this](std::u16string_view id) { return desktop_.FindMonitor(id); });
    parts.file = MakeFileTransfer(std::make_unique<MemoryFiles>(disk_));
    parts.clock = std::make_shared<FakeSessionClock>();  // every reply is prompt
    worker_ =
        std::make_unique<SessionWorker>(LaunchOptions{}, DeviceCredentials{}, std::move(parts));
    std::thread stopper([this] { StopAtTheChosenMoment(); });
    worker_->Start();
    while (!worker_->Snapshot().finished) std::this_thread::yield();
    {
      std::lock_guard<std::mutex> guard(lock_);
      over_ = true;
    }
    moved_.notify_all();
    stopper.join();
    time_.RunFree();
    worker_->Stop();

    Require(MayShow(worker_->Snapshot().status_text), "a final status text");
    std::lock_guard<std::mutex> guard(platform_lock_);
    Require(pressed_.keys.empty() && pressed_.buttons.empty(), "nothing held after teardown");
    for (const auto& [path, file] : disk_->files) {
      Require(!path.ends_with(u".part"), "no temporary file after the session");
    }
  }

 private:
  JsonObject Answer(const JsonObject& request) {
    Tick();
    const SessionSnapshot shown = worker_->Snapshot();
    Require(MayShow(shown.status_text), "a status text");
    // The customer answers an open prompt, and picks or saves a file when asked.
    if (shown.consent_required && answers_ < script_.approves.size()) {
      const bool approved = script_.approves[answers_++];
      if (worker_->SubmitConsent(approved, shown.consent_id, PromptedConsentKind(shown)) &&
          approved) {
        std::lock_guard<std::mutex> guard(platform_lock_);
        input_allowed_ = true;
      }
    }
    if (shown.file_state == u"awaiting_pick")
      worker_->SubmitFileChoice(shown.file_transfer_id, kPicked);
    if (shown.file_state == u"awaiting_save")
      worker_->SubmitFileChoice(shown.file_transfer_id, kSaveAs);

    if (request.GetStringOrEmpty(u"type") == u"ticket_connect") {
      return InterpretReply(R"({"ok":true,"server_version":"0.9.2"})");
    }
    if (next_reply_ < script_.replies.size()) return InterpretReply(script_.replies[next_reply_++]);
    return InterpretReply(R"({"ok":true,"session":{"state":"ended"}})");
  }

  void OnEvent(const SentEvent& e) {
    Tick();
    std::lock_guard<std::mutex> guard(platform_lock_);
    pressed_.Apply(e);
    if (e.IsRelease()) return;
    Require(input_allowed_, "a press the customer never allowed");
    if (stop_returned_) Require(++presses_after_stop_ <= 1, "a press after Stop Support");
  }

  // One more exchange, event or tool start: the stopper may be due.
  void Tick() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      ++moments_;
    }
    moved_.notify_all();
  }

  void StopAtTheChosenMoment() {
    {
      std::unique_lock<std::mutex> guard(lock_);
      moved_.wait(guard, [&] { return over_ || moments_ >= script_.stop_at; });
      if (over_ && moments_ < script_.stop_at) return;
    }
    worker_->RequestStop();
    std::lock_guard<std::mutex> guard(platform_lock_);
    stop_returned_ = true;
  }

  const Script script_;
  FakeDesktop desktop_;
  std::shared_ptr<MemoryDisk> disk_ = std::make_shared<MemoryDisk>();
  FakeInputClock time_;
  FakeInputPlatform* platform_ = nullptr;
  std::unique_ptr<SessionWorker> worker_;
  std::size_t next_reply_ = 0;  // worker thread only
  std::size_t answers_ = 0;     // worker thread only

  std::mutex lock_;  // the stopper's moment
  std::condition_variable moved_;
  int moments_ = 0;
  bool over_ = false;

  std::mutex platform_lock_;  // the account of the desktop
  PressedInput pressed_;
  bool input_allowed_ = false;
  bool stop_returned_ = false;
  int presses_after_stop_ = 0;
};

}  // namespace
}  // namespace varnel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  varnel::Session(varnel::ReadScript(data, size)).Run();
  return 0;
}
