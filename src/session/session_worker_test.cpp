#include "session/session_worker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "net/network_error.h"
#include "session/wire_messages.h"
#include "support/fake_worker_parts.h"
#include "util/utf.h"

namespace varnel {
namespace {

using json = nlohmann::json;
using std::chrono::milliseconds;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr milliseconds kPatience{30000};
constexpr auto kByName = [](const auto& info) { return std::string(info.param.name); };

// ---- replies ----

json Session(const std::string& state, json fields = json::object()) {
  fields["state"] = state;
  return fields;
}

// The agent's viewer is open and asks for pictures.
json Active(json fields = json::object()) {
  json session = {{"state", "active"}, {"viewer_connected", true}, {"preview_requested", true}};
  session.update(fields);
  return session;
}

// Active, with remote control granted under `generation`.
json Controlled(const std::string& generation, json fields = json::object()) {
  json session = Active({{"control_allowed", true}, {"control_generation", generation}});
  session.update(fields);
  return session;
}

json Reply(json session, json top = json::object()) {
  top["ok"] = true;
  top["session"] = std::move(session);
  return top;
}

json SupportPrompt(json fields = json::object()) {
  fields["consent_id"] = "c-1";
  return Session("awaiting_consent", std::move(fields));
}

const json kMove = {{"inputs", json::array({{{"kind", "move"}, {"x", 100}, {"y", 200}}})}};

// Where a stop test stops the worker.
struct StopCase {
  const char* name;
  const char* at;  // the event the stop comes at
  int count;       // which of those events
  std::size_t captures;
  std::size_t sent;
};

// One worker with a scripted server on a two-monitor fake desktop that records, in one ordered
// log, what the worker did. The input injector logs each batch as "live:" or "off:", the monitor
// and the number of commands.
class SessionWorkerTest : public ::testing::Test {
 public:
  SessionWorkerTest() {
    desktop.monitors = {kFakePrimary, kFakeSecond};
    desktop.note = [this](const std::string& event) { Note(event); };
    desktop.exchange = [this](const JsonObject& request) { return Answer(request); };
    desktop.capture = [this](const std::optional<MonitorInfo>& monitor) {
      if (capture_fails) return PreviewFrame{{}, u"Screen capture failed.", 0, 0, {}, {}};
      return FakePicture(monitor);
    };
    desktop.input = [this](const JsonArray& inputs, bool allowed, std::u16string_view monitor) {
      Note(std::string(allowed ? "live:" : "off:") + Utf16ToUtf8(monitor) + ":" +
           std::to_string(inputs.size()));
      if (std::exchange(input_throws, false)) throw JsonError("not an object");
      return !std::exchange(input_fails, false);
    };
    desktop.file_step = [this](const JsonObject&, std::u16string_view id,
                               std::u16string_view path) -> std::optional<JsonObject> {
      Note("file_step:" + Utf16ToUtf8(id) + ":" + Utf16ToUtf8(path));
      if (file_fails) throw FileTransferError("Unable to create temporary file");
      return std::nullopt;
    };
    clock->on_pause = [this](milliseconds pause) {
      Note("pause");
      clock->now += pause;
    };
  }

  // ---- the server's side ----

  // The reply to the next request. `hook` runs on the worker's thread when the request arrives;
  // `delay` is how long the server takes. A text reply is a network failure with that sentence.
  void Then(json reply, std::function<void()> hook = nullptr, milliseconds delay = {}) {
    script.emplace_back(std::move(reply), std::move(hook), delay);
  }
  // Replies to the connect message and to the request.
  void Handshake(json session, json top = json::object()) {
    Then({{"ok", true}, {"server_version", "0.9.2"}});
    Then(Reply(std::move(session), std::move(top)));
  }
  // The handshake opens the prompt `session`; the customer answers while the first turn's reply
  // is awaited, so the answer goes out at 200 ms.
  void Prompt(const json& session, std::u16string id, bool approved) {
    Handshake(session);
    if (session.value("screen_preview", false)) Then(Reply(session));  // to the initial picture
    Then(Reply(session), [this, id, approved] {
      EXPECT_TRUE(worker->SubmitConsent(approved, id, PromptedConsentKind(worker->Snapshot())));
    });
  }

  JsonObject Answer(const JsonObject& request) {
    sent.push_back(json::parse(Utf16ToUtf8(request.Serialize())));
    sent_at.push_back(
        std::chrono::duration_cast<milliseconds>(clock->now.time_since_epoch()).count());
    Note("exchange:" + sent.back().value("type", std::string()));
    if (script.empty()) {
      // A worker that never reaches the end must not spin on the fake clock until the limit.
      const bool expected = respond && sent.size() < 100;
      EXPECT_TRUE(expected) << "unexpected request " << sent.back().dump();
      Then(expected ? respond(sent.back()) : json("The script has no more replies."));
    }
    const auto [reply, hook, delay] = std::move(script.front());
    script.pop_front();
    if (hook) hook();
    clock->now += delay;
    if (reply.is_string()) throw NetworkError(Utf8ToUtf16(reply.get<std::string>()));
    return ParsedReply(reply.dump());
  }

  // ---- running ----

  void Start() {
    SessionWorkerParts parts = desktop.Parts();
    parts.clock = clock;
    parts.thread_enter = [this] {
      if (enter_fails) throw std::runtime_error("CoInitializeEx failed");
    };
    parts.thread_leave = [this] {
      Note("leave");
      left.Set();
    };
    worker = std::make_unique<SessionWorker>(options, DeviceCredentials{}, std::move(parts));
    worker->Start();
  }
  // Waits until the session ended, joins the worker and returns its last snapshot.
  SessionSnapshot Finish() {
    EXPECT_TRUE(left.WaitFor(kPatience)) << "the session never ended";
    worker->Stop();
    EXPECT_EQ(desktop.unlocked_releases, 0) << "held input released without the lock";
    return worker->Snapshot();
  }
  SessionSnapshot Run() {
    Start();
    const SessionSnapshot last = Finish();
    EXPECT_EQ(script.size(), 0u) << "the session ended before the script did";
    return last;
  }

  // ---- what happened ----

  // Records an event, and asks the worker to stop where `stopping` says.
  void Note(std::string event) {
    {
      std::lock_guard<std::mutex> guard(log_lock);
      log.push_back(event);
      if (!stopping || event.rfind(stopping->at, 0) != 0 || ++seen != stopping->count) return;
      stopped_at = log.size();
    }
    worker->RequestStop();
  }

  // The events that start with `pattern`, a regular expression, separated by spaces.
  std::string Story(const std::string& pattern) {
    const std::regex start("^(" + pattern + ")");
    std::lock_guard<std::mutex> guard(log_lock);
    std::string story;
    for (const std::string& event : log) {
      if (std::regex_search(event, start)) story += (story.empty() ? "" : " ") + event;
    }
    return story;
  }
  std::size_t Count(const std::string& pattern) {
    const std::string story = Story(pattern);
    return story.empty() ? 0 : std::count(story.begin(), story.end(), ' ') + 1;
  }

  // Set before Start; afterwards only the worker's thread touches them, until it is joined.
  LaunchOptions options;
  FakeDesktop desktop;
  std::shared_ptr<FakeSessionClock> clock = std::make_shared<FakeSessionClock>();
  std::deque<std::tuple<json, std::function<void()>, milliseconds>> script;
  std::function<json(const json&)> respond;  // once the script is used up
  bool capture_fails = false, input_fails = false, input_throws = false, file_fails = false;
  bool enter_fails = false;
  const StopCase* stopping = nullptr;
  int seen = 0;                // events that could have been the stop's
  std::size_t stopped_at = 0;  // log entries up to the stop
  std::vector<json> sent;
  std::vector<long long> sent_at;  // fake-clock milliseconds

  StopEvent left;
  std::mutex log_lock;
  std::vector<std::string> log;
  std::unique_ptr<SessionWorker> worker;  // last: joined before the rest goes
};

// ---- handshake and pacing ----

// The session offers an initial picture after already selecting another monitor: the first look
// is still at the primary monitor, and the message echoes the selection it answers.
TEST_F(SessionWorkerTest, ConnectsRequestsAndShowsThePrimaryMonitorWhenOffered) {
  Handshake(Session("waiting", {{"screen_preview", true},
                                {"multi_monitor", true},
                                {"selected_monitor", "\\\\.\\DISPLAY2"},
                                {"monitor_revision", 4}}));
  Then(Reply(Session("ended")));

  Run();

  EXPECT_EQ(Story("connect|exchange|capture"),
            "connect exchange:ticket_connect exchange:request capture: exchange:initial_preview");
  EXPECT_EQ(sent[2]["monitor_id"], "\\\\.\\DISPLAY2");
  EXPECT_EQ(sent[2]["monitor_revision"], 4);
}

// ---- consent and remote input ----

// A declined support answer allows neither pictures nor input.
TEST_F(SessionWorkerTest, DeclinedSupportSendsNoPicturesAndRunsNoInput) {
  Prompt(SupportPrompt(), u"c-1", false);
  for (int turn = 0; turn < 4; ++turn) Then(Reply(Controlled("g1"), kMove));
  Then(Reply(Session("ended")));

  Run();

  EXPECT_EQ(sent[3], json({{"type", "consent"},
                           {"consent_id", "c-1"},
                           {"approved", false},
                           {"input_approved", false}}));
  EXPECT_EQ(Story("live|off|exchange:preview"), "off::0 off::0 off::1 off::1 off::1 off::1 off::0");
}

// After the customer approved remote control, each reply carries one input command. The reply
// limit counts from the message the reply answers; a withdrawn grant releases what is held, and
// only a new answer lets input run again.
TEST_F(SessionWorkerTest, ControlInputNeedsTheAnswerTheSameGrantAndQuickReplies) {
  Prompt(Active({{"control_id", "k-1"}}), u"k-1", true);
  Then(Reply(Controlled("g1"), kMove), nullptr, milliseconds(749));
  Then(Reply(Controlled("g1"), kMove), nullptr, milliseconds(750));
  Then(Reply(Active(), kMove));
  const json asking = Reply(Controlled("g2", {{"control_id", "k-2"}}), kMove);
  Then(asking);
  Then(asking, [this] { EXPECT_TRUE(worker->SubmitConsent(true, u"k-2", ConsentKind::kControl)); });
  Then(Reply(Controlled("g2"), kMove));
  Then(Reply(Session("ended")));

  Run();

  EXPECT_EQ(sent[3],
            json({{"type", "control_consent"}, {"consent_id", "k-1"}, {"approved", true}}));
  EXPECT_EQ(Story("live|off|release"),
            "release off::0 release off::0 live::1 off::1 release off::1 off::1 off::1 live::1 "
            "release off::0 release");
}

// The agent asks again while input runs; the customer declines in the very turn whose batch fails.
TEST_F(SessionWorkerTest, AFailedInputBatchIsReportedInsteadOfTheConsentAnswer) {
  Prompt(Active({{"control_id", "k-1"}}), u"k-1", true);
  const json asking = Reply(Controlled("g1", {{"control_id", "k-2"}}), kMove);
  Then(asking);
  Then(asking, [this] {
    EXPECT_TRUE(worker->SubmitConsent(false, u"k-2", ConsentKind::kControl));
    input_fails = true;
  });
  Then(Reply(Controlled("g1"), kMove), [this] { input_throws = true; });
  Then(Reply(Session("ended")));

  const SessionSnapshot last = Run();

  ASSERT_EQ(sent.size(), 7u);
  EXPECT_EQ(sent[4], json({{"type", "status"}}));
  EXPECT_EQ(sent[5], json({{"type", "status"}, {"input_error", true}}));
  EXPECT_EQ(sent[6], json({{"type", "status"}, {"input_error", true}}));  // the batch raised
  EXPECT_FALSE(last.command_warning.empty());
  // Each failure released what was held; the answer, though not sent, turned input off.
  EXPECT_THAT(Story("live|off|release"), HasSubstr("live::1 live::1 release off::1 release"));
}

// ---- preview frames ----

// The first frame's reply takes 300 ms, the third capture fails, and the viewer reports that it
// lost its picture after the fifth frame.
TEST_F(SessionWorkerTest, FramesArePacedFromTheLastFramesReplyAndWholeWhenTheViewerLacksOne) {
  Prompt(SupportPrompt(), u"c-1", true);
  respond = [this](const json& message) {
    const std::size_t frames = Count("exchange:preview_frame");
    if (message["type"] == "preview_frame" && frames == 1) clock->now += milliseconds(300);
    capture_fails = frames == 2;
    if (frames == 6) return Reply(Session("ended"));
    return Reply(Active({{"preview_has_frame", frames != 5}}));
  };

  Run();

  std::vector<std::string> frames;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (sent[i]["type"] != "preview_frame") continue;
    frames.push_back(std::to_string(sent_at[i]) + " " +
                     (sent[i].contains("jpeg")            ? "whole"
                      : sent[i].value("unchanged", false) ? "unchanged"
                                                          : sent[i].value("capture_error", "")));
  }
  EXPECT_THAT(frames, ElementsAre("500 whole", "1300 unchanged", "1800 capture_unavailable",
                                  "2300 whole", "2800 unchanged", "3300 whole"));
}

// The viewer stops asking for pictures for one turn after the first frame; it may have lost its
// picture then, so the next frame goes out whole though the screen did not change.
TEST_F(SessionWorkerTest, AViewerThatStopsAskingGetsAWholeFrameWhenItAsksAgain) {
  Prompt(SupportPrompt(), u"c-1", true);
  respond = [this](const json& message) {
    const std::size_t frames = Count("exchange:preview_frame");
    if (frames == 2) return Reply(Session("ended"));
    const bool asks = frames != 1 || message["type"] != "preview_frame";
    return Reply(Active({{"preview_has_frame", true}, {"preview_requested", asks}}));
  };

  Run();

  EXPECT_TRUE(sent.back().contains("jpeg"));
}

// With several monitors input waits for a frame of the selection (at first the empty one, which
// is the primary monitor); a new selection stops it at once, the next frame goes out whole and
// input runs again once the agent has seen it.
TEST_F(SessionWorkerTest, ANewMonitorSelectionReleasesHeldInputAndForcesAWholeFrame) {
  const json multi = {{"multi_monitor", true}, {"preview_has_frame", true}};
  const std::string selected = "\\\\.\\DISPLAY2";
  Prompt(SupportPrompt(multi), u"c-1", true);
  respond = [this, multi, selected](const json& message) {
    const std::size_t frames = Count("exchange:preview_frame");
    const bool status = message["type"] == "status";
    if (frames == 2 && status) return Reply(Session("ended"));
    json session = Controlled("g1", multi);
    if (frames == 2 || (frames == 1 && status)) session["selected_monitor"] = selected;
    return Reply(session, kMove);
  };

  Run();

  const json& second = sent[sent.size() - 2];
  EXPECT_EQ(second["monitor_id"], selected);
  EXPECT_TRUE(second.contains("jpeg"));
  EXPECT_EQ(Story("capture"), "capture: capture:" + selected);
  const std::string story = Story("live|off|release|exchange:preview_frame");
  EXPECT_LT(story.find("exchange:preview_frame"), story.find("live"));
  EXPECT_THAT(story, HasSubstr("exchange:preview_frame live::1 release off:" + selected + ":1"));
  EXPECT_THAT(story, HasSubstr("exchange:preview_frame live:" + selected + ":1"));
  for (std::size_t i = 1; i < sent.size(); ++i) EXPECT_TRUE(sent[i].contains("monitors")) << i;
}

// ---- file transfer ----

struct FileCase {
  const char* name;
  std::string state;
  bool rejected;     // the server rejected the last file command; otherwise the step fails
  std::string next;  // the message that follows
};

class SessionWorkerFiles : public SessionWorkerTest,
                           public ::testing::WithParamInterface<FileCase> {};

// The record is reset at once; only an active transfer is cancelled.
TEST_P(SessionWorkerFiles, AFailureCancelsAnActiveTransferAndWarnsButKeepsTheSession) {
  const std::string id(32, 'f');
  file_fails = true;
  Handshake(Active({{"file", {{"id", id}, {"state", GetParam().state}}}}),
            GetParam().rejected ? json{{"command_error", "bad_chunk"}} : json::object());
  Then(Reply(Session("ended")));

  const SessionSnapshot last = Run();

  EXPECT_THAT(Story("reset_transfer|exchange|file_step"),
              ::testing::StartsWith("exchange:ticket_connect exchange:request " +
                                    std::string(GetParam().rejected ? "" : "file_step:: ") +
                                    "reset_transfer exchange:" + GetParam().next));
  EXPECT_EQ(sent.at(2).value("transfer_id", id), id);
  EXPECT_FALSE(last.file_warning.empty());
  EXPECT_EQ(last.status_text, u"Support session ended");
}

INSTANTIATE_TEST_SUITE_P(
    SessionWorker, SessionWorkerFiles,
    ::testing::Values(FileCase{"Rejected", "staging", true, "file_cancel"},
                      FileCase{"StepFails", "delivering", false, "file_cancel"},
                      FileCase{"StepFailsWhenIdle", "complete", false, "status"}),
    kByName);

// The customer's choice is handed to the engine once, in the turn after it was made.
TEST_F(SessionWorkerTest, TheCustomersFileChoiceReachesTheNextFileStepOnce) {
  const std::string id(32, 'a');
  const json offer = Active({{"file", {{"id", id}, {"state", "awaiting_save"}}}});
  Prompt(Session("awaiting_consent", {{"consent_id", "c"}}), u"c", true);
  Then(Reply(offer));
  Then(Reply(offer), [this, id] {
    EXPECT_TRUE(worker->SubmitFileChoice(Utf8ToUtf16(id), u"C:\\Users\\ada\\report.txt"));
  });
  Then(Reply(offer));
  Then(Reply(Session("ended")));

  Run();

  EXPECT_EQ(Story("file_step"),
            "file_step:: file_step:: file_step:" + id + ":C:\\Users\\ada\\report.txt file_step::");
}

// ---- the end of a session ----

struct EndCase {
  const char* name;
  json reply;
  std::u16string text;
};

class SessionWorkerEnd : public SessionWorkerTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(SessionWorkerEnd, TheReplyDecidesTheLastWordAndNothingFollows) {
  Handshake(Session("waiting"));
  Then(GetParam().reply);

  const SessionSnapshot last = Run();

  EXPECT_EQ(last.status_text, GetParam().text);
  EXPECT_TRUE(last.finished);
  EXPECT_EQ(sent.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(SessionWorker, SessionWorkerEnd,
                         ::testing::Values(EndCase{"Denied", Reply(Session("denied")),
                                                   u"Support request declined"},
                                           EndCase{"UnknownState", Reply(Session("paused")),
                                                   u"Unsupported server session state."}),
                         kByName);

// A version mismatch never stops the session; a recoverable error reply reaches the turn like any
// other, and its command error shows the warning (the texts are the snapshot's).
TEST_F(SessionWorkerTest, TheServersVersionAndACommandErrorReachTheSnapshot) {
  Then({{"ok", true}, {"server_version", "0.9.1"}});
  Then(Reply(Session("waiting")));
  Then({{"ok", false},
        {"recoverable", true},
        {"error", "bad_message"},
        {"command_error", "unknown_type"},
        {"session", Session("waiting")}});
  Then(Reply(Session("ended")));

  const SessionSnapshot last = Run();

  EXPECT_EQ(last.server_version, u"0.9.1");
  EXPECT_EQ(last.version_warning, CheckServerVersion(u"0.9.1").warning);
  EXPECT_FALSE(last.command_warning.empty());
  EXPECT_EQ(last.file_warning, u"");  // no transfer ran
}

// The set-up runs before anything looks at the stop request, so stopping at once changes nothing.
TEST_F(SessionWorkerTest, AFailedThreadSetUpEndsWithTheGenericSentenceAndIsNotUndone) {
  enter_fails = true;
  Start();
  worker->Stop();

  EXPECT_EQ(worker->Snapshot().status_text, kConnectionFailedText);
  EXPECT_EQ(Story("connect|leave"), "");
}

// ---- stopping ----

class SessionWorkerStop : public SessionWorkerTest,
                          public ::testing::WithParamInterface<StopCase> {};

// The session offers the initial picture; the customer approves support at 100 ms and the first
// frame falls due at 500 ms.
TEST_P(SessionWorkerStop, AStopAtAnyWaitEndsWithoutRemotePermissionsAndReleasesEverything) {
  Prompt(SupportPrompt({{"screen_preview", true}}), u"c-1", true);
  respond = [](const json&) { return Reply(Active()); };
  stopping = &GetParam();

  Start();
  const SessionSnapshot last = Finish();

  EXPECT_EQ(last.status_text, u"Stopped - No remote permissions");
  EXPECT_TRUE(last.finished);
  EXPECT_EQ(Count("capture"), GetParam().captures);
  EXPECT_EQ(sent.size(), GetParam().sent);
  // Nothing stays pressed and no half-written file remains before the customer is told; Stop
  // itself, once the thread is joined, resets the transfer again and ends the injector.
  EXPECT_THAT(std::vector(log.begin() + static_cast<std::ptrdiff_t>(stopped_at), log.end()),
              ElementsAre("stop_input", "reset_transfer", "release", "disconnect", "leave",
                          "stop_input", "reset_transfer", "input_destroyed"));
}

INSTANTIATE_TEST_SUITE_P(SessionWorker, SessionWorkerStop,
                         ::testing::Values(StopCase{"BeforeInitialCapture", "exchange:request", 1,
                                                    0, 2},
                                           StopCase{"AfterInitialCapture", "capture:", 1, 1, 2},
                                           StopCase{"Pause", "pause", 1, 1, 3},
                                           StopCase{"BeforeFrameCapture", "file_step", 4, 1, 7},
                                           StopCase{"AfterFrameCapture", "capture:", 2, 2, 7}),
                         kByName);

}  // namespace
}  // namespace varnel
