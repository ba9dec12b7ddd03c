// Property: the session worker with the real injector, a scripted server sending long runs of
// random replies and a customer answering at random, never lets anything but a release reach the
// desktop in a turn where control is not live, and nothing stays pressed past the watchdog's bound.
// The test keeps its own account of when control is live, from the replies it sends and the
// answers and frames it sees, and the fake platform checks every event against it.
//
// QUILLORY_CONSENT_TURNS sets the number of turns (default 5000); QUILLORY_CONSENT_SEED the seed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "input/platform_input_injector.h"
#include "session/session_worker.h"
#include "support/fake_input_platform.h"
#include "support/fake_worker_parts.h"
#include "util/utf.h"

namespace varnel {
namespace {

using json = nlohmann::json;
using std::chrono::milliseconds;

constexpr int kTurnsPerSession = 200;
const char* const kMonitorIds[] = {"", "\\\\.\\DISPLAY1", "\\\\.\\DISPLAY2", "\\\\.\\DISPLAY9"};

long long Setting(const char* name, long long fallback) {
  const char* value = std::getenv(name);
  return value ? std::atoll(value) : fallback;
}

// One session: the server, the customer, the screen and the clock, all on the worker's thread.
class ConsentSession final {
 public:
  struct Stats {
    long long live = 0;     // turns in which control was live
    long long pressed = 0;  // events other than releases that reached the desktop
  };
  ConsentSession(std::mt19937_64& random, long long& turns, Stats& stats)
      : random_(random), turns_(turns), stats_(stats) {}

  void Run() {
    auto platform = std::make_unique<FakeInputPlatform>(time_);
    platform_ = platform.get();
    platform_->on_event = [this](const SentEvent& e) { Check(e); };
    desktop_.monitors = {kFakePrimary, kFakeSecond};
    desktop_.exchange = [this](const JsonObject& request) { return Answer(request); };
    desktop_.capture = [this](const std::optional<MonitorInfo>& monitor) {
      captured_ = monitor && Chance(0.9) ? monitor : std::nullopt;
      if (!captured_) return PreviewFrame{{}, u"Screen capture failed.", 0, 0, {}, {}};
      return FakePicture(monitor);
    };
    desktop_.note = [this](const std::string& event) {
      if (event == "disconnect") ended_.Set();
    };
    clock_->now = FakeSessionClock::TimePoint(milliseconds(time_.Now()));
    clock_->on_pause = [this](milliseconds pause) {
      Pass(static_cast<std::uint64_t>(pause.count()));
    };
    SessionWorkerParts parts = desktop_.Parts();
    parts.input = std::make_unique<PlatformInputInjector>(
        std::move(platform), [this](std::u16string_view id) { return desktop_.FindMonitor(id); });
    parts.clock = clock_;
    worker_ =
        std::make_unique<SessionWorker>(LaunchOptions{}, DeviceCredentials{}, std::move(parts));
    worker_->Start();
    ASSERT_TRUE(ended_.WaitFor(milliseconds(120000))) << "the session never ended";
    // The platform goes with the injector: its last releases are followed as they are sent.
    time_.RunFree();
    worker_->Stop();
    EXPECT_TRUE(pressed_.keys.empty() && pressed_.buttons.empty()) << "held after the session";
  }

  std::string failure;

 private:
  bool Chance(double p) { return std::bernoulli_distribution(p)(random_); }
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  // Time passes only on the worker's thread, outside the injector's lock; the watchdog polls at
  // each of its wake times on the way.
  void Pass(std::uint64_t duration) {
    time_.Advance(duration);
    clock_->now = FakeSessionClock::TimePoint(milliseconds(time_.Now()));
    std::lock_guard<std::mutex> guard(platform_->lock);
    const bool holding = !pressed_.keys.empty() || !pressed_.buttons.empty();
    if (holding && time_.Now() >= platform_->last_accepted + kHoldMilliseconds + 50) {
      Fail("input held at " + std::to_string(time_.Now()) + " after a batch at " +
           std::to_string(platform_->last_accepted));
    }
  }

  void Check(const SentEvent& e) {
    std::lock_guard<std::mutex> guard(platform_->lock);
    if (!e.IsRelease()) ++stats_.pressed;
    if (!e.IsRelease() && !live_) Fail("an event reached the desktop while control was off");
    pressed_.Apply(e);
  }
  void Fail(const std::string& what) {
    if (failure.empty())
      failure = what + " (turn " + std::to_string(turns_) + ", " + account_ + ")";
  }

  JsonObject Answer(const JsonObject& request) {
    const std::u16string type = request.GetStringOrEmpty(u"type");
    // What the worker did in its last turn: took the customer's answer, showed a monitor.
    if (answer_) input_approved_ = *std::exchange(answer_, std::nullopt);
    if (type == u"preview_frame" && captured_) {
      frame_ = {request.GetStringOrEmpty(u"monitor_id"),
                request.GetNumberOr(u"monitor_revision", 0), captured_->rect};
    }
    live_ = false;
    // Like a real server: an approved support request becomes active, an answered control request
    // is no longer asked.
    if (type == u"consent" && request.GetBooleanOr(u"approved", false)) state_ = "active";
    if (type == u"control_consent") asking_ = false;  // answered

    json session;
    milliseconds delay{0};
    if (type == u"ticket_connect") {
      return ParsedReply(R"({"ok":true,"server_version":"0.9.2"})");
    }
    if (type == u"request") {
      multi_ = Chance(0.5);
      session = {{"state", "waiting"}, {"multi_monitor", multi_}};
    } else {
      session = NextSession(delay);
      ++turns_;
    }
    // The customer answers whatever the window asks, sometimes late or with a stale id.
    const SessionSnapshot shown = worker_->Snapshot();
    if (shown.consent_required && Chance(0.5)) {
      const bool approved = Chance(0.85);
      const std::u16string id = Chance(0.95) ? shown.consent_id : u"stale";
      if (worker_->SubmitConsent(approved, id, PromptedConsentKind(shown))) answer_ = approved;
    }
    json reply = {{"ok", true}, {"session", session}};
    if (Chance(0.8)) reply["inputs"] = Inputs();
    Pass(static_cast<std::uint64_t>(delay.count()));
    return ParsedReply(reply.dump());
  }

  // The next reply's session, and the worker's verdict on it by the rules of control.
  json NextSession(milliseconds& delay) {
    if (Chance(0.02)) state_ = Pick(10) < 7 ? "active" : Pick(2) ? "awaiting_consent" : "waiting";
    if (turns_since_start_++ == kTurnsPerSession) state_ = "ended";
    // The agent mostly holds the grant and asks again soon after losing it.
    if (Chance(allowed_ ? 0.01 : 0.1)) allowed_ = !allowed_;
    if (Chance(asking_ ? 0.01 : 0.1)) asking_ = !asking_;
    if (Chance(0.01)) generation_ = Pick(4) == 0 ? "" : "g" + std::to_string(Pick(3));
    if (Chance(0.03)) selected_ = kMonitorIds[Pick(4)];
    if (Chance(0.02)) revision_ += 1;
    if (Chance(0.02)) {  // a monitor changes its size
      ScreenRect& rect = desktop_.monitors[Pick(2)].rect;
      rect.bottom = rect.bottom == 1080 ? 1024 : 1080;
    }
    const bool paused = Chance(0.08), viewing = Chance(0.9), file = Chance(0.06);
    const int timing = Pick(20);
    delay = milliseconds(timing < 16 ? Pick(200) : timing < 18 ? 749 + Pick(2) : 1000 + Pick(2000));

    json session = {{"state", state_},
                    {"control_allowed", allowed_},
                    {"control_generation", generation_},
                    {"control_paused", paused},
                    {"preview_requested", viewing},
                    {"preview_has_frame", Chance(0.9)},
                    {"multi_monitor", multi_},
                    {"selected_monitor", selected_},
                    {"monitor_revision", revision_}};
    if (state_ == "awaiting_consent") session["consent_id"] = "c-" + std::to_string(turns_ / 50);
    if (state_ == "active" && asking_) session["control_id"] = "k-" + std::to_string(turns_ / 50);
    if (file) session["file"] = {{"id", "f-1"}, {"state", "sending"}};

    // The rules: a withdrawn grant ends the approval; the first grant after an approval fixes
    // its generation; the agent must have seen the monitor it steers; the reply must be quick.
    const std::u16string selected = Utf8ToUtf16(selected_);
    const std::optional<MonitorInfo> monitor = desktop_.FindMonitor(selected);
    const bool stable = !multi_ || (monitor && selected == frame_.monitor_id &&
                                    revision_ == frame_.revision && monitor->rect == frame_.rect);
    if (!allowed_) {
      input_approved_ = false;
      approved_generation_.clear();
    } else if (input_approved_ && approved_generation_.empty()) {
      approved_generation_ = generation_;
    }
    live_ = stable && !file && input_approved_ && allowed_ && !paused && viewing &&
            state_ == "active" && !generation_.empty() && approved_generation_ == generation_ &&
            delay < kInputReplyLimit;
    stats_.live += live_ ? 1 : 0;
    account_ = session.dump() + " approved " + std::to_string(input_approved_) + " under " +
               approved_generation_ + ", " + std::to_string(delay.count()) + " ms, " +
               (stable ? "stable" : "unstable");
    return session;
  }

  json Inputs() {
    static const char* const kKinds[] = {"release",  "move",   "down",  "up",
                                         "key_down", "key_up", "wheel", "refused"};
    json inputs = json::array();
    for (int n = Pick(4); n > 0; --n) {
      const std::string kind = kKinds[Pick(8)];
      json command = {{"kind", kind},      {"x", Pick(65536)},     {"y", Pick(65536)},
                      {"button", Pick(3)}, {"key", 8 + Pick(215)}, {"delta", Pick(2401) - 1200}};
      if (kind == "refused") command = {{"kind", "move"}, {"x", 65536}, {"y", 0}};
      inputs.push_back(command);
    }
    return inputs;
  }

  struct Frame {
    std::u16string monitor_id;
    double revision = -1.0;
    ScreenRect rect;
  };

  std::mt19937_64& random_;
  long long& turns_;
  Stats& stats_;
  FakeInputClock time_;
  FakeDesktop desktop_;  // its monitors are the server's: their sizes change
  std::shared_ptr<FakeSessionClock> clock_ = std::make_shared<FakeSessionClock>();
  FakeInputPlatform* platform_ = nullptr;
  PressedInput pressed_;  // under platform_->lock once the worker runs
  std::unique_ptr<SessionWorker> worker_;
  StopEvent ended_;

  // The server's side.
  std::string state_ = "awaiting_consent", generation_ = "g1", selected_;
  bool allowed_ = true, asking_ = true, multi_ = false;
  double revision_ = 0;
  int turns_since_start_ = 0;

  // The account of control.
  std::optional<bool> answer_;  // taken in the worker's next turn
  bool input_approved_ = false;
  std::string approved_generation_;  // empty: none recorded (an empty generation is none too)
  std::optional<MonitorInfo> captured_;
  Frame frame_;
  bool live_ = false;
  std::string account_;  // of the last reply, for a failure
};

TEST(InputConsentProperty, NothingButReleasesReachesTheDesktopUnlessControlIsLive) {
  const long long wanted = Setting("QUILLORY_CONSENT_TURNS", 5000);
  std::mt19937_64 random(static_cast<std::uint64_t>(Setting("QUILLORY_CONSENT_SEED", 1)));
  long long turns = 0;
  ConsentSession::Stats stats;
  while (turns < wanted) {
    ConsentSession session(random, turns, stats);
    session.Run();
    ASSERT_EQ(session.failure, "");
  }
  // The property means little unless control is often live and input often reaches the desktop.
  EXPECT_GT(stats.live, turns / 20);
  EXPECT_GT(stats.pressed, turns / 20);
  RecordProperty("turns", std::to_string(turns));
  std::printf("turns checked: %lld, %lld with control live, %lld events sent\n", turns, stats.live,
              stats.pressed);
}

}  // namespace
}  // namespace varnel
