#include "session/session_worker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "net/network_error.h"
#include "util/utf.h"

namespace varnel {
namespace {

using json = nlohmann::json;
using std::chrono::milliseconds;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

constexpr auto kPatience = std::chrono::seconds(30);

// Everything the fakes saw, in order, from whichever thread.
class Log {
 public:
  void Add(std::string event) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
  }
  // The events from the first `from` on (everything when it never happened).
  std::vector<std::string> After(const std::string& from) const {
    std::vector<std::string> all = Events();
    auto it = std::find(all.begin(), all.end(), from);
    return std::vector<std::string>(it == all.end() ? all.begin() : it, all.end());
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> events_;
};

// A flag one thread raises and another waits for, with a generous limit instead of a sleep.
class Signal {
 public:
  void Raise() {
    std::lock_guard<std::mutex> guard(lock_);
    raised_ = true;
    changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, kPatience, [this] { return raised_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool raised_ = false;
};

// Holds the worker until the test has called RequestStop, as a real wait on the stop event would.
void WaitForStop(const StopEvent& stop_event) {
  if (!stop_event.WaitFor(std::chrono::duration_cast<milliseconds>(kPatience))) {
    ADD_FAILURE() << "the stop request never came";
  }
}

class FakeClock final : public SessionClock {
 public:
  explicit FakeClock(Log& log) : log_(log) {}
  TimePoint Now() override {
    std::lock_guard<std::mutex> guard(lock_);
    return now_;
  }
  bool Pause(const StopEvent& stop_event, milliseconds pause) override {
    log_.Add("pause");
    if (on_pause) on_pause(stop_event);
    Advance(pause);
    return stop_event.IsSet();
  }
  void Advance(milliseconds step) {
    std::lock_guard<std::mutex> guard(lock_);
    now_ += step;
  }
  long long MillisecondsSinceStart() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::chrono::duration_cast<milliseconds>(now_ - TimePoint{}).count();
  }

  std::function<void(const StopEvent&)> on_pause;  // set before Start

 private:
  Log& log_;
  std::mutex lock_;
  TimePoint now_{};
};

// The server side, scripted step by step: each request takes the next step.
class ScriptedServer {
 public:
  struct Step {
    json reply;
    milliseconds delay{0};             // how long the server takes, on the fake clock
    std::function<void()> on_request;  // runs on the worker's thread when the request arrives
    std::u16string network_error;      // non-empty: the exchange fails with it
    bool block = false;                // wait for the stop request, then Cancelled
  };

  ScriptedServer(Log& log, FakeClock& clock) : log_(log), clock_(clock) {}

  ScriptedServer& Then(json reply, milliseconds delay = milliseconds(0)) {
    return Add(Step{std::move(reply), delay, nullptr, {}, false});
  }
  ScriptedServer& ThenDo(std::function<void()> on_request, json reply) {
    return Add(Step{std::move(reply), milliseconds(0), std::move(on_request), {}, false});
  }
  ScriptedServer& ThenFail(std::u16string text) {
    return Add(Step{json(), milliseconds(0), nullptr, std::move(text), false});
  }
  ScriptedServer& ThenBlock() { return Add(Step{json(), milliseconds(0), nullptr, {}, true}); }

  void Connect(const ServerEndpoint& endpoint, const StopEvent& stop_event) {
    log_.Add("connect");
    {
      std::lock_guard<std::mutex> guard(lock_);
      endpoint_ = endpoint;
    }
    if (connect_blocks) {
      blocked_.Raise();
      WaitForStop(stop_event);
      throw Cancelled{};
    }
    if (!connect_error.empty()) throw NetworkError(connect_error);
  }

  JsonObject Exchange(const JsonObject& request, const StopEvent& stop_event) {
    const json sent = json::parse(Utf16ToUtf8(request.Serialize()));
    log_.Add("exchange:" + sent.value("type", std::string()));
    Step step;
    {
      std::lock_guard<std::mutex> guard(lock_);
      requests_.push_back(sent);
      request_times_.push_back(clock_.MillisecondsSinceStart());
      if (steps_.empty()) {
        ADD_FAILURE() << "unexpected request " << sent.dump();
        throw NetworkError(u"The script has no more replies.");
      }
      step = std::move(steps_.front());
      steps_.pop_front();
    }
    if (step.on_request) step.on_request();
    if (step.block) {
      blocked_.Raise();
      WaitForStop(stop_event);
      throw Cancelled{};
    }
    if (!step.network_error.empty()) throw NetworkError(step.network_error);
    clock_.Advance(step.delay);
    std::optional<JsonObject> reply = JsonObject::TryParse(Utf8ToUtf16(step.reply.dump()));
    if (!reply) throw std::logic_error("a scripted reply must be an object");
    return *reply;
  }

  std::vector<json> Requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
  }
  std::vector<std::string> Types() const {
    std::vector<std::string> types;
    for (const json& request : Requests()) types.push_back(request.value("type", ""));
    return types;
  }
  // Fake-clock time at which each request was sent, in milliseconds.
  std::vector<long long> RequestTimes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return request_times_;
  }
  bool WaitUntilBlocked() { return blocked_.Wait(); }
  ServerEndpoint ConnectedTo() const {
    std::lock_guard<std::mutex> guard(lock_);
    return endpoint_;
  }
  std::size_t StepsLeft() const {
    std::lock_guard<std::mutex> guard(lock_);
    return steps_.size();
  }

  bool connect_blocks = false;   // set before Start
  std::u16string connect_error;  // set before Start

 private:
  ScriptedServer& Add(Step step) {
    std::lock_guard<std::mutex> guard(lock_);
    steps_.push_back(std::move(step));
    return *this;
  }

  Log& log_;
  FakeClock& clock_;
  mutable std::mutex lock_;
  std::deque<Step> steps_;
  std::vector<json> requests_;
  std::vector<long long> request_times_;
  ServerEndpoint endpoint_;
  Signal blocked_;
};

class FakeConnection final : public Connection {
 public:
  FakeConnection(ScriptedServer& server, Log& log) : server_(server), log_(log) {}
  ~FakeConnection() override { log_.Add("disconnect"); }
  void Connect(const ServerEndpoint& endpoint, const StopEvent& stop_event) override {
    stop_event_ = &stop_event;
    server_.Connect(endpoint, stop_event);
  }
  JsonObject Exchange(const JsonObject& request) override {
    return server_.Exchange(request, *stop_event_);
  }

 private:
  ScriptedServer& server_;
  Log& log_;
  const StopEvent* stop_event_ = nullptr;
};

MonitorInfo Monitor(std::u16string id, ScreenRect rect, bool primary) {
  return MonitorInfo{std::move(id), rect, primary};
}

const MonitorInfo kPrimary = Monitor(u"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, true);
const MonitorInfo kSecond = Monitor(u"\\\\.\\DISPLAY2", {1920, 0, 3200, 1024}, false);

// Everything here runs on the worker's thread once it started; the test changes it only before
// Start or from a hook on that thread.
class FakeScreen final : public Screen {
 public:
  FakeScreen(Log& log, FakeClock& clock) : log_(log), clock_(clock) {}
  std::vector<MonitorInfo> ListMonitors() override {
    log_.Add("list_monitors");
    return monitors;
  }
  std::optional<MonitorInfo> FindMonitor(std::u16string_view id) override {
    for (const MonitorInfo& monitor : monitors) {
      if (id.empty() ? monitor.primary : monitor.id == id) return monitor;
    }
    return std::nullopt;
  }
  PreviewFrame CapturePreview(std::u16string_view id) override {
    log_.Add("capture:" + Utf16ToUtf8(id));
    if (on_capture) on_capture();
    clock_.Advance(capture_time);
    PreviewFrame frame;
    const std::optional<MonitorInfo> monitor = FindMonitor(id);
    if (!monitor) {
      frame.error = u"Selected monitor is unavailable.";
      return frame;
    }
    frame.monitor_id = monitor->id;
    frame.rect = monitor->rect;
    if (!capture_error.empty()) {
      frame.error = capture_error;
      return frame;
    }
    frame.jpeg = picture;
    frame.width = 64;
    frame.height = 36;
    return frame;
  }

  std::vector<MonitorInfo> monitors{kPrimary};
  std::u16string picture = u"cGljdHVyZS0x";
  std::u16string capture_error;
  milliseconds capture_time{0};
  std::function<void()> on_capture;

 private:
  Log& log_;
  FakeClock& clock_;
};

class FakeInput final : public InputInjector {
 public:
  explicit FakeInput(Log& log) : log_(log) {}
  ~FakeInput() override { log_.Add("input_destroyed"); }

  bool ApplyInputs(const JsonArray& inputs, bool allowed, std::u16string_view monitor_id) override {
    EXPECT_NE(owner_, std::this_thread::get_id()) << "ApplyInputs called with the lock held";
    std::lock_guard<InputInjector> guard(*this);
    log_.Add(std::string("apply:") + (allowed ? "live" : "off") + ":" + Utf16ToUtf8(monitor_id) +
             ":" + std::to_string(inputs.size()));
    if (throw_next) {
      throw_next = false;
      throw JsonError("an input command is not an object");
    }
    if (fail_next) {
      fail_next = false;
      return false;
    }
    return true;
  }
  void ReleaseAll() noexcept override {
    EXPECT_EQ(owner_, std::this_thread::get_id()) << "ReleaseAll without the lock";
    log_.Add("release");
  }
  void StopInput() noexcept override {
    std::lock_guard<InputInjector> guard(*this);
    log_.Add("stop_input");
  }
  void lock() override {
    EXPECT_NE(owner_, std::this_thread::get_id()) << "the injector's lock taken twice";
    mutex_.lock();
    owner_ = std::this_thread::get_id();
  }
  void unlock() noexcept override {
    owner_ = std::thread::id();
    mutex_.unlock();
  }

  // Set before Start or from a hook on the worker's thread.
  bool fail_next = false;
  bool throw_next = false;

 private:
  Log& log_;
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
};

class FakeFiles final : public FileTransfer {
 public:
  explicit FakeFiles(Log& log) : log_(log) {}
  std::optional<JsonObject> FileTransferStep(const JsonObject& file, const JsonObject&,
                                             std::u16string_view prompt_id,
                                             std::u16string_view prompt_path,
                                             const StopEvent&) override {
    log_.Add("file_step:" + Utf16ToUtf8(file.GetStringOrEmpty(u"state")) + ":" +
             Utf16ToUtf8(prompt_id) + ":" + Utf16ToUtf8(prompt_path));
    if (step) return step(file, prompt_id);
    return std::nullopt;
  }
  void ResetTransfer() noexcept override { log_.Add("reset_transfer"); }

  // Set before Start: the step's answer for the session's file object and the prompt's id.
  std::function<std::optional<JsonObject>(const JsonObject&, std::u16string_view)> step;

 private:
  Log& log_;
};

// ---- replies ----

json Session(const std::string& state, json fields = json::object()) {
  json session = {{"state", state}};
  session.update(fields);
  return session;
}

json Active(json fields = json::object()) {
  json session = Session("active", {{"id", "req-1"},
                                    {"staff_id", "agent-7"},
                                    {"screen_preview", true},
                                    {"viewer_connected", true},
                                    {"preview_requested", true}});
  session.update(fields);
  return session;
}

// Active with remote control granted under `generation`.
json Controlled(const std::string& generation, json fields = json::object()) {
  json session = Active({{"control_allowed", true}, {"control_generation", generation}});
  session.update(fields);
  return session;
}

json Reply(json session, json top = json::object()) {
  json reply = {{"ok", true}, {"session", std::move(session)}};
  reply.update(top);
  return reply;
}

json Move() { return json::array({{{"kind", "move"}, {"x", 100}, {"y", 200}}}); }

std::vector<std::string> Matching(const std::vector<std::string>& events,
                                  const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& event : events) {
    if (event.rfind(prefix, 0) == 0) found.push_back(event);
  }
  return found;
}

class SessionWorkerTest : public ::testing::Test {
 protected:
  SessionWorkerTest() {
    options.server.url = u"ws://127.0.0.1:8080/client";
    options.server.host = u"127.0.0.1";
    options.server.path = u"/client";
    options.server.origin = u"ws://127.0.0.1:8080";
    options.server.port = 8080;
    options.server.secure = false;
    options.ixcompany = 42;
    options.support_ticket = u"123456";
    options.market_code = u"M1";
    options.requester = u"Dana";
    credentials.device_id = std::u16string(32, u'a');
    credentials.token = std::u16string(64, u'b');
  }

  ~SessionWorkerTest() override {
    if (worker) worker->Stop();
  }

  // The first two replies: the version check and the request's reply with `session`, which offers
  // the initial preview only when asked to.
  void Handshake(json session, bool offer_preview = false, const std::string& version = "0.9.2") {
    if (!offer_preview) session["screen_preview"] = false;
    server.Then({{"ok", true}, {"server_version", version}});
    server.Then(Reply(std::move(session)));
  }

  void Start() {
    SessionWorkerParts parts;
    parts.connect = [this] { return std::make_unique<FakeConnection>(server, log); };
    auto screen_part = std::make_unique<FakeScreen>(log, *clock);
    auto input_part = std::make_unique<FakeInput>(log);
    auto file_part = std::make_unique<FakeFiles>(log);
    screen_part->monitors = std::move(screen_setup.monitors);
    screen_part->picture = screen_setup.picture;
    screen_part->on_capture = screen_setup.on_capture;
    file_part->step = std::move(file_setup);
    screen = screen_part.get();
    input = input_part.get();
    files = file_part.get();
    parts.screen = std::move(screen_part);
    parts.input = std::move(input_part);
    parts.file = std::move(file_part);
    parts.clock = clock;
    parts.thread_enter = [this] {
      log.Add("enter");
      if (enter_fails) throw std::runtime_error("CoInitializeEx failed");
    };
    parts.thread_leave = [this] {
      log.Add("leave");
      left.Raise();
    };
    worker = std::make_unique<SessionWorker>(options, credentials, std::move(parts));
    worker->Start();
  }

  // Waits until the worker's thread is through, joins it, and returns the last snapshot.
  SessionSnapshot Finish() {
    if (!enter_fails) {
      EXPECT_TRUE(left.Wait()) << "the session never ended";
    }
    const SessionSnapshot last = worker->Snapshot();
    worker->Stop();
    return last;
  }

  // Runs a whole scripted session to its end.
  SessionSnapshot Run() {
    Start();
    return Finish();
  }

  Log log;
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(log);
  ScriptedServer server{log, *clock};
  LaunchOptions options;
  DeviceCredentials credentials;
  struct {
    std::vector<MonitorInfo> monitors{kPrimary};
    std::u16string picture = u"cGljdHVyZS0x";
    std::function<void()> on_capture;
  } screen_setup;
  std::function<std::optional<JsonObject>(const JsonObject&, std::u16string_view)> file_setup;
  bool enter_fails = false;
  Signal left;
  std::unique_ptr<SessionWorker> worker;
  // Owned by the worker; valid until Stop.
  FakeScreen* screen = nullptr;
  FakeInput* input = nullptr;
  FakeFiles* files = nullptr;
};

// ---- handshake ----

TEST_F(SessionWorkerTest, TicketConnectThenRequestThenInitialPreviewOfThePrimaryMonitor) {
  screen_setup.monitors = {kPrimary, kSecond};
  Handshake(Session("waiting", {{"screen_preview", true},
                                {"multi_monitor", true},
                                {"selected_monitor", "\\\\.\\DISPLAY2"},
                                {"monitor_revision", 4}}),
            true, "0.9.3");
  server.Then(Reply(Session("ended")));

  const SessionSnapshot last = Run();

  EXPECT_EQ(server.ConnectedTo(), options.server);
  const std::vector<json> sent = server.Requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], json({{"type", "ticket_connect"},
                           {"support_ticket", "123456"},
                           {"ixcompany", 42},
                           {"device_id", std::string(32, 'a')},
                           {"token", std::string(64, 'b')},
                           {"market_code", "M1"},
                           {"store_code", ""},
                           {"vendor_code", ""}}));
  EXPECT_EQ(sent[1]["type"], "request");
  EXPECT_EQ(sent[1]["requester"], "Dana");
  ASSERT_EQ(sent[1]["monitors"].size(), 2u);
  // The picture is of the primary monitor; the message only echoes the server's selection.
  EXPECT_EQ(sent[2]["type"], "initial_preview");
  EXPECT_EQ(sent[2]["monitor_id"], "\\\\.\\DISPLAY2");
  EXPECT_EQ(sent[2]["monitor_revision"], 4);
  EXPECT_EQ(sent[2]["jpeg"], "cGljdHVyZS0x");
  EXPECT_THAT(Matching(log.Events(), "capture:"), ElementsAre("capture:"));
  EXPECT_THAT(log.Events(),
              ElementsAre("enter", "connect", "exchange:ticket_connect", "list_monitors",
                          "exchange:request", "capture:", "exchange:initial_preview", "release",
                          "apply:off::0", "reset_transfer", "release", "disconnect", "leave",
                          "stop_input", "reset_transfer", "input_destroyed"));
  EXPECT_EQ(last.server_version, u"0.9.3");
  EXPECT_THAT(Utf16ToUtf8(last.version_warning), ::testing::HasSubstr("Version mismatch"));
  EXPECT_EQ(last.status_text, u"Support session ended");
  EXPECT_TRUE(last.finished);
}

TEST_F(SessionWorkerTest, LegacyModeConnectsWithoutTicket) {
  options.legacy_auto_connect = true;
  Handshake(Session("expired"));

  const SessionSnapshot last = Run();

  const std::vector<json> sent = server.Requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0]["type"], "connect");
  EXPECT_FALSE(sent[0].contains("support_ticket"));
  EXPECT_FALSE(sent[0].contains("ixcompany"));
  EXPECT_EQ(sent[1]["ixcompany"], 42);
  EXPECT_EQ(last.server_version, u"0.9.2");
  EXPECT_TRUE(last.version_warning.empty());
  EXPECT_EQ(last.status_text, u"Support request expired");
}

TEST_F(SessionWorkerTest, WithoutPreviewOfferTheFirstTurnAnswersTheRequestReply) {
  Handshake(Session("waiting"));
  server.Then(Reply(Session("waiting")));
  server.Then(Reply(Session("denied")));

  const SessionSnapshot last = Run();

  EXPECT_THAT(server.Types(), ElementsAre("ticket_connect", "request", "status", "status"));
  EXPECT_THAT(Matching(log.Events(), "capture:"), ElementsAre());
  EXPECT_EQ(last.status_text, u"Support request declined");
}

// ---- pacing ----

TEST_F(SessionWorkerTest, PausesOneHundredMillisecondsBeforeEveryTurnMessage) {
  Handshake(Session("waiting"));
  server.Then(Reply(Session("waiting")), milliseconds(30));
  server.Then(Reply(Session("waiting")), milliseconds(30));
  server.Then(Reply(Session("ended")));

  Run();

  EXPECT_THAT(Matching(log.Events(), "pause").size(), 3u);
  // Nothing after the final reply: no pause and no message.
  // Each turn reads the reply (control is not granted: held input is released), applies the
  // batch, pauses, lets the file step run and sends.
  EXPECT_THAT(log.After("exchange:status"),
              ElementsAre("exchange:status", "release", "apply:off::0", "pause",
                          "file_step:::", "exchange:status", "release", "apply:off::0", "pause",
                          "file_step:::", "exchange:status", "release", "apply:off::0",
                          "reset_transfer", "release", "disconnect", "leave", "stop_input",
                          "reset_transfer", "input_destroyed"));
  EXPECT_THAT(server.RequestTimes(), ElementsAre(0, 0, 100, 230, 360));
}

TEST_F(SessionWorkerTest, PreviewsAreSpacedFiveHundredMillisecondsFromThePreviousFramesReply) {
  Handshake(Session("awaiting_consent"));
  server.ThenDo([this] { worker->SubmitConsent(true, u""); }, Reply(Session("awaiting_consent")));
  server.Then(Reply(Active()));  // answers the consent, sent at 200 ms
  for (int turn = 0; turn < 12; ++turn) {
    // The first frame (the third message from here) waits 300 ms for its reply.
    server.Then(Reply(Active()), turn == 2 ? milliseconds(300) : milliseconds(0));
  }
  server.Then(Reply(Session("ended")));

  Run();

  const std::vector<std::string> types = server.Types();
  const std::vector<long long> times = server.RequestTimes();
  std::vector<long long> frame_times;
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (types[i] == "preview_frame") frame_times.push_back(times[i]);
  }
  // Loop start 0: consent at 200; the first frame is due at 500, its reply arrives at 800, so
  // the next one is due at 1300 and the one after at 1800.
  EXPECT_THAT(frame_times, ElementsAre(500, 1300, 1800));
  EXPECT_EQ(types[3], "consent");
}

// ---- consent and control ----

TEST_F(SessionWorkerTest, ApprovedSupportConsentIsSentAndPermitsPreviewAndInput) {
  Handshake(Session("awaiting_consent", {{"consent_id", "c-1"}}));
  server.ThenDo([this] { EXPECT_TRUE(worker->SubmitConsent(true, u"c-1")); },
                Reply(Session("awaiting_consent", {{"consent_id", "c-1"}})));
  server.Then(Reply(Controlled("g1"), {{"inputs", Move()}}));  // answers the consent
  server.Then(Reply(Session("ended", {{"end_reason", "staff_end"}})));

  const SessionSnapshot last = Run();

  const std::vector<json> sent = server.Requests();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[3], json({{"type", "consent"},
                           {"consent_id", "c-1"},
                           {"approved", true},
                           {"input_approved", true}}));
  // The support consent covers input as long as the grant lasts.
  EXPECT_THAT(Matching(log.Events(), "apply:"),
              ElementsAre("apply:off::0", "apply:off::0", "apply:live::1", "apply:off::0"));
  EXPECT_EQ(last.status_text, u"The support agent ended this session. Remote access has stopped.");
}

TEST_F(SessionWorkerTest, DeclinedSupportConsentSendsNoPreviewAndRunsNoInput) {
  Handshake(Session("awaiting_consent", {{"consent_id", "c-1"}}));
  server.ThenDo([this] { worker->SubmitConsent(false, u"c-1"); },
                Reply(Session("awaiting_consent", {{"consent_id", "c-1"}})));
  for (int turn = 0; turn < 8; ++turn) server.Then(Reply(Controlled("g1"), {{"inputs", Move()}}));
  server.Then(Reply(Session("ended")));

  const SessionSnapshot last = Run();

  const std::vector<json> sent = server.Requests();
  EXPECT_EQ(sent[3]["type"], "consent");
  EXPECT_EQ(sent[3]["approved"], false);
  EXPECT_EQ(sent[3]["input_approved"], false);
  EXPECT_THAT(server.Types(), Not(Contains("preview_frame")));
  EXPECT_THAT(Matching(log.Events(), "apply:live"), ElementsAre());
  EXPECT_FALSE(last.preview_active);
}

TEST_F(SessionWorkerTest, WithdrawnControlNeedsANewAnswerBeforeInputRunsAgain) {
  Handshake(Active({{"control_id", "k-1"}}));
  server.ThenDo([this] { EXPECT_TRUE(worker->SubmitConsent(true, u"k-1")); },
                Reply(Active({{"control_id", "k-1"}})));
  server.Then(Reply(Controlled("g1"), {{"inputs", Move()}}));  // answers control_consent: live
  server.Then(Reply(Active(), {{"inputs", Move()}}));          // withdrawn: off, released
  server.Then(Reply(Controlled("g2"), {{"inputs", Move()}}));  // granted again: still off
  server.Then(Reply(Controlled("g2", {{"control_id", "k-2"}})));
  server.ThenDo([this] { EXPECT_TRUE(worker->SubmitConsent(true, u"k-2")); },
                Reply(Controlled("g2", {{"control_id", "k-2"}})));
  server.Then(Reply(Controlled("g2"), {{"inputs", Move()}}));  // after the new answer: live
  server.Then(Reply(Session("ended")));

  Run();

  const std::vector<json> sent = server.Requests();
  EXPECT_EQ(sent[3],
            json({{"type", "control_consent"}, {"consent_id", "k-1"}, {"approved", true}}));
  EXPECT_EQ(sent[8],
            json({{"type", "control_consent"}, {"consent_id", "k-2"}, {"approved", true}}));
  const std::vector<std::string> applied = Matching(log.Events(), "apply:");
  ASSERT_EQ(applied.size(), 9u);
  EXPECT_THAT(std::vector<std::string>(applied.begin() + 2, applied.end()),
              ElementsAre("apply:live::1", "apply:off::1", "apply:off::1", "apply:off::0",
                          "apply:off::0", "apply:live::1", "apply:off::0"));
}

TEST_F(SessionWorkerTest, AChangedGenerationStopsInput) {
  Handshake(Active({{"control_id", "k-1"}}));
  server.ThenDo([this] { worker->SubmitConsent(true, u"k-1"); },
                Reply(Active({{"control_id", "k-1"}})));
  server.Then(Reply(Controlled("g1"), {{"inputs", Move()}}));
  server.Then(Reply(Controlled("g2"), {{"inputs", Move()}}));
  server.Then(Reply(Controlled("g2"), {{"inputs", Move()}}));
  server.Then(Reply(Session("ended")));

  Run();

  const std::vector<std::string> applied = Matching(log.Events(), "apply:");
  EXPECT_THAT(std::vector<std::string>(applied.begin() + 2, applied.end()),
              ElementsAre("apply:live::1", "apply:off::1", "apply:off::1", "apply:off::0"));
}

TEST_F(SessionWorkerTest, ControlPausedOrViewerNotAskingKeepsInputOff) {
  Handshake(Active({{"control_id", "k-1"}}));
  server.ThenDo([this] { worker->SubmitConsent(true, u"k-1"); },
                Reply(Active({{"control_id", "k-1"}})));
  server.Then(Reply(Controlled("g1", {{"control_paused", true}}), {{"inputs", Move()}}));
  server.Then(Reply(Controlled("g1", {{"preview_requested", false}}), {{"inputs", Move()}}));
  server.Then(Reply(Controlled("g1"), {{"inputs", Move()}}));
  server.Then(Reply(Session("ended")));

  Run();

  const std::vector<std::string> applied = Matching(log.Events(), "apply:");
  EXPECT_THAT(std::vector<std::string>(applied.begin() + 2, applied.end()),
              ElementsAre("apply:off::1", "apply:off::1", "apply:live::1", "apply:off::0"));
}

// Replies taking 749 ms still carry live input; 750 ms do not.
TEST_F(SessionWorkerTest, InputOnlyFromRepliesFasterThanSevenHundredFiftyMilliseconds) {
  Handshake(Active({{"control_id", "k-1"}}));
  server.ThenDo([this] { worker->SubmitConsent(true, u"k-1"); },
                Reply(Active({{"control_id", "k-1"}})));
  server.Then(Reply(Controlled("g1"), {{"inputs", Move()}}), milliseconds(749));
  server.Then(Reply(Controlled("g1"), {{"inputs", Move()}}), milliseconds(750));
  server.Then(Reply(Controlled("g1"), {{"inputs", Move()}}), milliseconds(10));
  server.Then(Reply(Session("ended")));

  Run();

  const std::vector<std::string> applied = Matching(log.Events(), "apply:");
  EXPECT_THAT(std::vector<std::string>(applied.begin() + 2, applied.end()),
              ElementsAre("apply:live::1", "apply:off::1", "apply:live::1", "apply:off::0"));
}

// ---- preview frames ----

TEST_F(SessionWorkerTest, UnchangedPicturesOmitTheBytesUnlessTheViewerHasNoFrame) {
  Handshake(Session("awaiting_consent"));
  server.ThenDo([this] { worker->SubmitConsent(true, u""); }, Reply(Session("awaiting_consent")));
  server.Then(Reply(Active()));  // answers the consent, sent at 200 ms
  // Messages 5 to 19 go out every 100 ms from 300 ms: frames at 500, 1000 and 1500 ms (messages
  // 7, 12 and 17). Before the third, the viewer reports that it lost its picture.
  for (int message = 5; message <= 19; ++message) {
    server.Then(Reply(Active({{"preview_has_frame", message < 15}})));
  }
  server.Then(Reply(Session("ended")));

  Run();

  std::vector<json> frames;
  for (const json& request : server.Requests()) {
    if (request["type"] == "preview_frame") frames.push_back(request);
  }
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0]["unchanged"], false);
  EXPECT_EQ(frames[0]["jpeg"], "cGljdHVyZS0x");
  EXPECT_EQ(frames[1]["unchanged"], true);
  EXPECT_FALSE(frames[1].contains("jpeg"));
  EXPECT_EQ(frames[1]["width"], 64);
  EXPECT_EQ(frames[2]["unchanged"], false);  // the viewer lost its picture
  EXPECT_EQ(frames[2]["jpeg"], "cGljdHVyZS0x");
}

TEST_F(SessionWorkerTest, AFailedCaptureIsReportedAndTheNextPictureIsSentInFull) {
  Handshake(Session("awaiting_consent"));
  server.ThenDo([this] { worker->SubmitConsent(true, u""); }, Reply(Session("awaiting_consent")));
  server.Then(Reply(Active({{"preview_has_frame", true}})));  // answers the consent
  // Frames go out as messages 7, 12 and 17; only the second capture fails.
  for (int message = 5; message <= 19; ++message) {
    const json reply = Reply(Active({{"preview_has_frame", true}}));
    if (message == 8) {
      server.ThenDo([this] { screen->capture_error = u"Screen capture failed."; }, reply);
    } else if (message == 13) {
      server.ThenDo([this] { screen->capture_error.clear(); }, reply);
    } else {
      server.Then(reply);
    }
  }
  server.Then(Reply(Session("ended")));

  Run();

  std::vector<json> frames;
  for (const json& request : server.Requests()) {
    if (request["type"] == "preview_frame") frames.push_back(request);
  }
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_TRUE(frames[0].contains("jpeg"));
  EXPECT_EQ(frames[1]["capture_error"], "capture_unavailable");
  EXPECT_FALSE(frames[1].contains("jpeg"));
  EXPECT_FALSE(frames[1].contains("width"));
  EXPECT_EQ(frames[2]["unchanged"], false);
  EXPECT_TRUE(frames[2].contains("jpeg"));
}

// ---- several monitors ----

TEST_F(SessionWorkerTest, MultiMonitorInputWaitsForAFrameOfTheCurrentSelection) {
  screen_setup.monitors = {kPrimary, kSecond};
  const json second = {
      {"multi_monitor", true}, {"selected_monitor", "\\\\.\\DISPLAY2"}, {"monitor_revision", 1}};
  json moved = second;
  moved["monitor_revision"] = 2;
  Handshake(Active({{"control_id", "k-1"}, {"multi_monitor", true}}));
  server.ThenDo([this] { worker->SubmitConsent(true, u"k-1"); },
                Reply(Active({{"control_id", "k-1"}, {"multi_monitor", true}})));
  // Control granted before the agent has seen the selected monitor: input waits.
  server.Then(Reply(Controlled("g1", second), {{"inputs", Move()}}));  // answers control_consent
  server.Then(Reply(Controlled("g1", second), {{"inputs", Move()}}));
  server.Then(Reply(Controlled("g1", second), {{"inputs", Move()}}));
  // Support was never approved here, so no frame would ever come: approve it now.
  server.Then(Reply(Session("awaiting_consent", second)));
  server.ThenDo([this] { worker->SubmitConsent(true, u""); },
                Reply(Session("awaiting_consent", second)));
  server.Then(Reply(Controlled("g1", second)));  // answers the consent: at 700 ms, a frame is due
  server.Then(Reply(Controlled("g1", second), {{"inputs", Move()}}));  // the frame's reply: live
  server.Then(Reply(Controlled("g1", moved), {{"inputs", Move()}}));   // new revision: off
  server.Then(Reply(Controlled("g1", moved), {{"inputs", Move()}}));
  server.Then(Reply(Session("ended")));

  Run();

  const std::vector<json> sent = server.Requests();
  for (std::size_t i = 1; i < sent.size(); ++i) {
    EXPECT_TRUE(sent[i].contains("monitors")) << "message " << i << " lacks the monitor list";
  }
  std::vector<std::string> types = server.Types();
  ASSERT_EQ(types[9], "preview_frame");
  EXPECT_EQ(sent[9]["monitor_id"], "\\\\.\\DISPLAY2");
  EXPECT_EQ(sent[9]["monitor_revision"], 1);
  const std::vector<std::string> applied = Matching(log.Events(), "apply:");
  EXPECT_THAT(applied, ElementsAre("apply:off::0", "apply:off::0", "apply:off:\\\\.\\DISPLAY2:1",
                                   "apply:off:\\\\.\\DISPLAY2:1", "apply:off:\\\\.\\DISPLAY2:1",
                                   "apply:off:\\\\.\\DISPLAY2:0", "apply:off:\\\\.\\DISPLAY2:0",
                                   "apply:off:\\\\.\\DISPLAY2:0", "apply:live:\\\\.\\DISPLAY2:1",
                                   "apply:off:\\\\.\\DISPLAY2:1", "apply:off:\\\\.\\DISPLAY2:1",
                                   "apply:off::0"));
  EXPECT_THAT(Matching(log.Events(), "capture:"), ElementsAre("capture:\\\\.\\DISPLAY2"));
}

// The agent's empty selection means the primary monitor; the frame records the selection as the
// server named it, so input follows once the agent has seen it.
TEST_F(SessionWorkerTest, AnEmptySelectionIsThePrimaryMonitorAndInputFollowsItsFrame) {
  screen_setup.monitors = {kSecond, kPrimary};
  const json multi = {{"multi_monitor", true}};
  Handshake(Session("awaiting_consent", multi));
  server.ThenDo([this] { worker->SubmitConsent(true, u""); },
                Reply(Session("awaiting_consent", multi)));
  server.Then(Reply(Controlled("g1", multi)));  // answers the consent, sent at 200 ms
  server.Then(Reply(Controlled("g1", multi), {{"inputs", Move()}}));
  server.Then(Reply(Controlled("g1", multi), {{"inputs", Move()}}));
  server.Then(Reply(Controlled("g1", multi), {{"inputs", Move()}}));  // the frame's reply
  server.Then(Reply(Session("ended")));

  Run();

  EXPECT_THAT(server.Types(), ElementsAre("ticket_connect", "request", "status", "consent",
                                          "status", "status", "preview_frame", "status"));
  EXPECT_THAT(Matching(log.Events(), "capture:"), ElementsAre("capture:"));
  const std::vector<std::string> applied = Matching(log.Events(), "apply:");
  EXPECT_THAT(std::vector<std::string>(applied.begin() + 3, applied.end()),
              ElementsAre("apply:off::1", "apply:off::1", "apply:live::1", "apply:off::0"));
}

TEST_F(SessionWorkerTest, ANewSelectionReleasesHeldInputAndForcesAFullFrame) {
  screen_setup.monitors = {kPrimary, kSecond};
  const json first = {{"multi_monitor", true}, {"preview_has_frame", true}};
  const json other = {{"multi_monitor", true},
                      {"preview_has_frame", true},
                      {"selected_monitor", "\\\\.\\DISPLAY2"},
                      {"monitor_revision", 1}};
  Handshake(Session("awaiting_consent", first));
  server.ThenDo([this] { worker->SubmitConsent(true, u""); },
                Reply(Session("awaiting_consent", first)));
  server.Then(Reply(Active(first)));  // answers the consent, sent at 200 ms
  server.Then(Reply(Active(first)));
  server.Then(Reply(Active(first)));
  server.Then(Reply(Active(other)));  // the first frame's reply (500 ms): the agent switches
  for (int turn = 0; turn < 4; ++turn) server.Then(Reply(Active(other)));
  server.Then(Reply(Session("ended")));  // the second frame's reply (1000 ms)

  Run();

  std::vector<json> frames;
  for (const json& request : server.Requests()) {
    if (request["type"] == "preview_frame") frames.push_back(request);
  }
  ASSERT_EQ(frames.size(), 2u);
  // Same picture bytes, but the viewer must get the new monitor in full.
  EXPECT_EQ(frames[1]["monitor_id"], "\\\\.\\DISPLAY2");
  EXPECT_EQ(frames[1]["unchanged"], false);
  EXPECT_TRUE(frames[1].contains("jpeg"));
  // The switch released held input at once, before the input step of that turn.
  const std::vector<std::string> after_switch = log.After("exchange:preview_frame");
  ASSERT_GE(after_switch.size(), 4u);
  EXPECT_THAT(std::vector<std::string>(after_switch.begin() + 1, after_switch.begin() + 4),
              ElementsAre("release", "release", "apply:off:\\\\.\\DISPLAY2:0"));
}

TEST_F(SessionWorkerTest, AMovedMonitorCountsAsANewSelection) {
  screen_setup.monitors = {kPrimary, kSecond};
  const json first = {{"multi_monitor", true}, {"preview_has_frame", true}};
  Handshake(Session("awaiting_consent", first));
  server.ThenDo([this] { worker->SubmitConsent(true, u""); },
                Reply(Session("awaiting_consent", first)));
  for (int turn = 0; turn < 5; ++turn) server.Then(Reply(Active(first)));
  // The primary monitor's resolution changes between two turns.
  server.ThenDo([this] { screen->monitors[0].rect.right = 1280; }, Reply(Active(first)));
  for (int turn = 0; turn < 4; ++turn) server.Then(Reply(Active(first)));
  server.Then(Reply(Session("ended")));

  Run();

  std::vector<json> frames;
  for (const json& request : server.Requests()) {
    if (request["type"] == "preview_frame") frames.push_back(request);
  }
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1]["unchanged"], false);
}

// ---- failures inside a turn ----

TEST_F(SessionWorkerTest, AFailedInputBatchIsReportedInsteadOfAConsentAnswer) {
  Handshake(Active({{"control_id", "k-1"}}));
  server.ThenDo([this] { worker->SubmitConsent(true, u"k-1"); },
                Reply(Active({{"control_id", "k-1"}})));
  server.Then(Reply(Controlled("g1", {{"control_id", "k-2"}}), {{"inputs", Move()}}));
  // The agent asks again while input runs; the customer answers; the same turn's batch fails.
  server.ThenDo(
      [this] {
        EXPECT_TRUE(worker->SubmitConsent(false, u"k-2"));
        input->fail_next = true;
      },
      Reply(Controlled("g1", {{"control_id", "k-2"}}), {{"inputs", Move()}}));
  server.ThenDo([this] { input->throw_next = true; },
                Reply(Controlled("g1"), {{"inputs", Move()}}));
  server.Then(Reply(Session("ended")));

  const SessionSnapshot last = Run();

  const std::vector<json> sent = server.Requests();
  ASSERT_EQ(sent.size(), 7u);
  EXPECT_EQ(sent[3]["type"], "control_consent");
  EXPECT_EQ(sent[4], json({{"type", "status"}}));
  // The failed batch wins; the answer given in that turn is not sent.
  EXPECT_EQ(sent[5], json({{"type", "status"}, {"input_error", true}}));
  // A batch that raises counts as failed too.
  EXPECT_EQ(sent[6], json({{"type", "status"}, {"input_error", true}}));
  EXPECT_THAT(Utf16ToUtf8(last.command_warning), ::testing::HasSubstr("could not be processed"));
  // Each failure released held input (under the injector's lock, which the fake checks) before
  // the turn went on; the declined answer, though not sent, already turned input off.
  const std::vector<std::string> events = log.Events();
  const auto failed = std::find(std::find(events.begin(), events.end(), "apply:live::1") + 1,
                                events.end(), "apply:live::1");
  ASSERT_NE(failed, events.end());
  EXPECT_THAT(std::vector<std::string>(failed, failed + 8),
              ElementsAre("apply:live::1", "release", "pause", "exchange:status", "apply:off::1",
                          "release", "pause", "exchange:status"));
}

TEST_F(SessionWorkerTest, ARejectedFileCommandCancelsTheTransferWithAWarning) {
  const json file = {{"id", std::string(32, 'f')}, {"state", "staging"}, {"direction", "to_staff"}};
  Handshake(Active({{"file", file}}));
  server.Then(Reply(Active({{"file", file}}), {{"command_error", "bad_chunk"}}));
  server.Then(Reply(Session("ended")));

  const SessionSnapshot last = Run();

  const std::vector<json> sent = server.Requests();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[2], json::object({{"type", "status"}}));  // the step had nothing to say
  EXPECT_EQ(sent[3], json({{"type", "file_cancel"}, {"transfer_id", std::string(32, 'f')}}));
  // The rejected command never reached the engine; the record was reset.
  EXPECT_THAT(Matching(log.Events(), "file_step:"), ElementsAre("file_step:staging::"));
  EXPECT_THAT(log.After("exchange:status"), Contains("reset_transfer"));
  EXPECT_THAT(Utf16ToUtf8(last.file_warning), ::testing::StartsWith("File transfer failed"));
  EXPECT_EQ(last.status_text, u"Support session ended");
}

TEST_F(SessionWorkerTest, AFailingFileStepCancelsAnActiveTransferOnly) {
  const std::string id(32, 'e');
  const json waiting = {{"id", id}, {"state", "awaiting_save"}, {"direction", "to_customer"}};
  file_setup = [](const JsonObject& file,
                  std::u16string_view prompt_id) -> std::optional<JsonObject> {
    if (file.GetStringOrEmpty(u"state") == u"awaiting_save") {
      if (prompt_id.empty()) return std::nullopt;
      JsonObject accept = JsonObject::New();
      accept.InsertString(u"type", u"file_accept");
      return accept;
    }
    throw FileTransferError("Unable to create temporary file");
  };
  Handshake(Active({{"file", waiting}}));
  server.ThenDo([this, id] { worker->SubmitFileChoice(Utf8ToUtf16(id), u"C:\\x.bin"); },
                Reply(Active({{"file", waiting}})));
  server.Then(Reply(Active({{"file", {{"id", id}, {"state", "delivering"}}}})));
  server.Then(Reply(Active({{"file", {{"id", id}, {"state", "complete"}}}})));
  server.Then(Reply(Session("ended")));

  const SessionSnapshot last = Run();

  EXPECT_THAT(server.Types(), ElementsAre("ticket_connect", "request", "status", "file_accept",
                                          "file_cancel", "status"));
  EXPECT_THAT(
      Matching(log.Events(), "file_step:"),
      ElementsAre("file_step:awaiting_save::", "file_step:awaiting_save:" + id + ":C:\\x.bin",
                  "file_step:delivering::", "file_step:complete::"));
  EXPECT_FALSE(last.file_warning.empty());
}

// ---- how a session ends ----

struct EndCase {
  const char* name;
  json last_reply;
  std::u16string text;
};

class SessionEndTest : public SessionWorkerTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(SessionEndTest, PublishesItsLastWordAndReleasesEverything) {
  Handshake(Session("waiting"));
  server.Then(GetParam().last_reply);

  const SessionSnapshot last = Run();

  EXPECT_EQ(last.status_text, GetParam().text);
  EXPECT_TRUE(last.finished);
  EXPECT_FALSE(last.consent_required);
  EXPECT_THAT(server.Types(), ElementsAre("ticket_connect", "request", "status"));
  EXPECT_EQ(server.StepsLeft(), 0u);
  EXPECT_THAT(log.After("exchange:status"),
              ::testing::IsSupersetOf({"reset_transfer", "release", "disconnect", "leave"}));
}

INSTANTIATE_TEST_SUITE_P(
    EveryEnd, SessionEndTest,
    ::testing::Values(
        EndCase{"AgentEnded", Reply(Session("ended", {{"end_reason", "staff_end"}})),
                u"The support agent ended this session. Remote access has stopped."},
        EndCase{"Ended", Reply(Session("ended", {{"end_reason", "timeout"}})),
                u"Support session ended"},
        EndCase{"Expired", Reply(Session("expired")), u"Support request expired"},
        EndCase{"Denied", Reply(Session("denied")), u"Support request declined"},
        EndCase{"UnknownState", Reply(Session("paused")), u"Unsupported server session state."},
        EndCase{"EmptyState", Reply(Session("")), u"Unsupported server session state."},
        EndCase{"MissingSession", json({{"ok", true}}),
                u"Unable to complete the connection. Check the server configuration and try "
                u"again."},
        EndCase{"WrongFieldType", Reply(Session("active", {{"control_allowed", "yes"}})),
                u"Unable to complete the connection. Check the server configuration and try "
                u"again."}),
    [](const ::testing::TestParamInfo<EndCase>& end) { return std::string(end.param.name); });

TEST_F(SessionWorkerTest, ANetworkErrorEndsTheSessionWithItsSentence) {
  Handshake(Session("waiting"));
  server.ThenFail(u"The server did not respond in time.");

  const SessionSnapshot last = Run();

  EXPECT_EQ(last.status_text, u"The server did not respond in time.");
  EXPECT_TRUE(last.finished);
}

TEST_F(SessionWorkerTest, AFailedConnectEndsTheSessionWithItsSentence) {
  server.connect_error = u"Network error 12029. Check the server address and certificate.";

  const SessionSnapshot last = Run();

  EXPECT_EQ(last.status_text, u"Network error 12029. Check the server address and certificate.");
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(SessionWorkerTest, AMissingSessionInTheRequestReplyFailsBeforeAnyPicture) {
  server.Then({{"ok", true}, {"server_version", "0.9.2"}});
  server.Then({{"ok", true}});

  const SessionSnapshot last = Run();

  EXPECT_EQ(last.status_text,
            u"Unable to complete the connection. Check the server configuration and try again.");
  EXPECT_THAT(Matching(log.Events(), "capture:"), ElementsAre());
}

TEST_F(SessionWorkerTest, AFailedThreadSetUpEndsWithTheGenericSentence) {
  enter_fails = true;
  Start();
  // Without a successful set-up there is no "leave" to wait for: wait for the last word.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!worker->Snapshot().finished && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  const SessionSnapshot last = Finish();

  EXPECT_EQ(last.status_text,
            u"Unable to complete the connection. Check the server configuration and try again.");
  EXPECT_THAT(log.Events(), Not(Contains("connect")));
  EXPECT_THAT(log.Events(), Not(Contains("leave")));
}

// ---- stopping ----

enum class WaitPoint {
  kConnect,
  kFirstExchange,
  kRequestExchange,
  kBeforeInitialCapture,
  kAfterInitialCapture,
  kInitialPreviewExchange,
  kPause,
  kTurnExchange,
  kBeforeFrameCapture,
  kAfterFrameCapture,
  kFrameExchange,
};

class SessionStopTest : public SessionWorkerTest, public ::testing::WithParamInterface<WaitPoint> {
 protected:
  // Scripts the session so that it reaches the wait point. Returns true when the test must send
  // the stop request itself once the worker waits there; false when a hook on the worker's
  // thread sends it (the moments between two waits).
  bool ReachWaitPoint() {
    const json offer = Session("awaiting_consent", {{"screen_preview", true}});
    switch (GetParam()) {
      case WaitPoint::kConnect:
        server.connect_blocks = true;
        return true;
      case WaitPoint::kFirstExchange:
        server.ThenBlock();
        return true;
      case WaitPoint::kRequestExchange:
        server.Then({{"ok", true}}).ThenBlock();
        return true;
      case WaitPoint::kBeforeInitialCapture:
        server.Then({{"ok", true}});
        server.ThenDo([this] { worker->RequestStop(); }, Reply(offer));
        return false;
      case WaitPoint::kAfterInitialCapture:
        screen_setup.on_capture = [this] { worker->RequestStop(); };
        Handshake(offer, true);
        return false;
      case WaitPoint::kInitialPreviewExchange:
        Handshake(offer, true);
        server.ThenBlock();
        return true;
      case WaitPoint::kPause:
        clock->on_pause = [this](const StopEvent& stop_event) {
          paused.Raise();
          WaitForStop(stop_event);
        };
        Handshake(Session("waiting"));
        return true;
      case WaitPoint::kTurnExchange:
        Handshake(Session("waiting"));
        server.Then(Reply(Session("waiting")));
        server.ThenBlock();
        return true;
      case WaitPoint::kBeforeFrameCapture:
      case WaitPoint::kAfterFrameCapture:
      case WaitPoint::kFrameExchange:
        // Initial picture, consent at 200 ms, the first frame due at 500 ms.
        Handshake(offer, true);
        server.Then(Reply(offer));
        server.ThenDo([this] { worker->SubmitConsent(true, u""); }, Reply(offer));
        for (int turn = 0; turn < 3; ++turn) server.Then(Reply(Active()));
        if (GetParam() == WaitPoint::kFrameExchange) {
          server.ThenBlock();
          return true;
        }
        if (GetParam() == WaitPoint::kAfterFrameCapture) {
          screen_setup.on_capture = [this] {
            if (clock->MillisecondsSinceStart() >= 500) worker->RequestStop();
          };
        } else {
          // The stop lands during the file step of the frame's turn.
          file_setup = [this](const JsonObject&, std::u16string_view) -> std::optional<JsonObject> {
            if (clock->MillisecondsSinceStart() >= 500) worker->RequestStop();
            return std::nullopt;
          };
        }
        return false;
    }
    return false;
  }

  Signal paused;
};

TEST_P(SessionStopTest, StopAtEveryWaitEndsWithoutRemotePermissions) {
  const bool stop_from_test = ReachWaitPoint();
  Start();
  if (stop_from_test) {
    if (GetParam() == WaitPoint::kPause) {
      ASSERT_TRUE(paused.Wait());
    } else {
      ASSERT_TRUE(server.WaitUntilBlocked());
    }
    worker->RequestStop();
  }
  const SessionSnapshot last = Finish();

  EXPECT_EQ(last.status_text, u"Stopped - No remote permissions");
  EXPECT_TRUE(last.finished);
  EXPECT_FALSE(last.consent_required);
  EXPECT_FALSE(last.preview_active);
  // The request released input at once (StopInput); on its way out, after the wait it was in,
  // the worker reset the transfer and released again before it closed the connection.
  const std::vector<std::string> events = log.Events();
  EXPECT_THAT(events, Contains("stop_input"));
  const auto left_at = std::find(events.begin(), events.end(), "leave");
  ASSERT_NE(left_at, events.end());
  auto waited = left_at;
  while (waited != events.begin()) {
    --waited;
    const std::string& event = *waited;
    if (event == "connect" || event == "pause" || event.rfind("exchange:", 0) == 0 ||
        event.rfind("capture:", 0) == 0 || event.rfind("file_step:", 0) == 0) {
      break;
    }
  }
  EXPECT_THAT(std::vector<std::string>(waited, left_at),
              ::testing::IsSupersetOf({"reset_transfer", "release", "disconnect"}));
  // No picture is taken once the stop is seen, and none is sent after it.
  const std::vector<std::string> types = server.Types();
  switch (GetParam()) {
    case WaitPoint::kBeforeInitialCapture:
      EXPECT_THAT(Matching(events, "capture:"), ElementsAre());
      EXPECT_THAT(types, ElementsAre("ticket_connect", "request"));
      break;
    case WaitPoint::kAfterInitialCapture:
      EXPECT_THAT(Matching(events, "capture:"), ElementsAre("capture:"));
      EXPECT_THAT(types, ElementsAre("ticket_connect", "request"));
      break;
    case WaitPoint::kBeforeFrameCapture:
      EXPECT_THAT(Matching(events, "capture:"), ElementsAre("capture:"));
      EXPECT_THAT(types, Not(Contains("preview_frame")));
      break;
    case WaitPoint::kAfterFrameCapture:
      EXPECT_THAT(Matching(events, "capture:"), ElementsAre("capture:", "capture:"));
      EXPECT_THAT(types, Not(Contains("preview_frame")));
      break;
    default:
      break;
  }
}

std::string WaitPointName(const ::testing::TestParamInfo<WaitPoint>& point) {
  static const char* const kNames[] = {"Connect",
                                       "FirstExchange",
                                       "RequestExchange",
                                       "BeforeInitialCapture",
                                       "AfterInitialCapture",
                                       "InitialPreviewExchange",
                                       "Pause",
                                       "TurnExchange",
                                       "BeforeFrameCapture",
                                       "AfterFrameCapture",
                                       "FrameExchange"};
  return kNames[static_cast<int>(point.param)];
}

INSTANTIATE_TEST_SUITE_P(
    EveryWait, SessionStopTest,
    ::testing::Values(WaitPoint::kConnect, WaitPoint::kFirstExchange, WaitPoint::kRequestExchange,
                      WaitPoint::kBeforeInitialCapture, WaitPoint::kAfterInitialCapture,
                      WaitPoint::kInitialPreviewExchange, WaitPoint::kPause,
                      WaitPoint::kTurnExchange, WaitPoint::kBeforeFrameCapture,
                      WaitPoint::kAfterFrameCapture, WaitPoint::kFrameExchange),
    WaitPointName);

TEST_F(SessionWorkerTest, StopFromTheWorkersOwnThreadIsRefused) {
  std::error_code refused;
  Handshake(Session("waiting"));
  server.ThenDo(
      [this, &refused] {
        try {
          worker->Stop();
        } catch (const std::system_error& error) {
          refused = error.code();
        }
      },
      Reply(Session("waiting")));

  const SessionSnapshot last = Run();

  EXPECT_EQ(refused, std::errc::resource_deadlock_would_occur);
  // The refused Stop still asked for the stop: the next wait saw it.
  EXPECT_EQ(last.status_text, u"Stopped - No remote permissions");
}

TEST_F(SessionWorkerTest, AWorkerRunsOnceAndStopsTwiceHarmlessly) {
  Handshake(Session("ended"));
  Start();
  EXPECT_THROW(worker->Start(), std::logic_error);
  Finish();
  EXPECT_NO_THROW(worker->Stop());
  EXPECT_NO_THROW(worker->RequestStop());
  EXPECT_EQ(Matching(log.Events(), "input_destroyed").size(), 1u);
}

TEST(SessionWorkerParts, AMissingPartIsRefused) {
  SessionWorkerParts parts;
  EXPECT_THROW(SessionWorker(LaunchOptions{}, DeviceCredentials{}, std::move(parts)),
               std::invalid_argument);
}

TEST(SteadySessionClock, PauseEndsAtOnceWhenStopped) {
  const std::shared_ptr<SessionClock> clock = MakeSteadySessionClock();
  StopEvent stop_event;
  EXPECT_FALSE(clock->Pause(stop_event, milliseconds(1)));
  stop_event.Set();
  const auto before = clock->Now();
  EXPECT_TRUE(clock->Pause(stop_event, std::chrono::hours(1)));
  EXPECT_GE(clock->Now(), before);
}

}  // namespace
}  // namespace varnel
