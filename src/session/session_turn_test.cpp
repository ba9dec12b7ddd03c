#include "session/session_turn.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace varnel {
namespace {

using std::chrono::milliseconds;

// A turn in which every condition for live input holds.
struct LiveTurn {
  SessionReply reply;
  bool monitor_stable = true;
  TurnState state;
  TurnClock::time_point now = TurnClock::time_point{} + milliseconds(749);

  LiveTurn() {
    reply.state = SessionState::kActive;
    reply.control_allowed = true;
    reply.preview_requested = true;
    reply.control_generation = u"g1";
    state.input_approved = true;
    state.approved_generation = u"g1";
  }
  bool Live() const { return IsInputLive(reply, monitor_stable, state, now); }
};

// Each condition alone turns input off; so does every pair of them, so no condition hides behind
// another.
TEST(SessionTurnTest, InputIsLiveOnlyWhileEveryConditionHolds) {
  const std::vector<std::pair<const char*, std::function<void(LiveTurn&)>>> breaks = {
      {"monitor unstable", [](LiveTurn& t) { t.monitor_stable = false; }},
      {"file active",
       [](LiveTurn& t) {
         t.reply.file.id = u"t-1";
         t.reply.file.state = u"delivering";
       }},
      {"not approved", [](LiveTurn& t) { t.state.input_approved = false; }},
      {"not allowed", [](LiveTurn& t) { t.reply.control_allowed = false; }},
      {"paused", [](LiveTurn& t) { t.reply.control_paused = true; }},
      {"viewer not asking", [](LiveTurn& t) { t.reply.preview_requested = false; }},
      {"awaiting consent", [](LiveTurn& t) { t.reply.state = SessionState::kAwaitingConsent; }},
      {"empty generation",
       [](LiveTurn& t) {
         t.reply.control_generation.clear();
         t.state.approved_generation.clear();
       }},
      {"other generation", [](LiveTurn& t) { t.reply.control_generation = u"g2"; }},
      {"reply took 750 ms",
       [](LiveTurn& t) { t.now = TurnClock::time_point{} + kInputReplyLimit; }},
  };
  EXPECT_TRUE(LiveTurn().Live());
  for (std::size_t i = 0; i < breaks.size(); ++i) {
    for (std::size_t j = i; j < breaks.size(); ++j) {
      LiveTurn turn;
      breaks[i].second(turn);
      breaks[j].second(turn);
      EXPECT_FALSE(turn.Live()) << breaks[i].first << " + " << breaks[j].first;
    }
  }
  // A finished transfer is no obstacle.
  LiveTurn done;
  done.reply.file.id = u"t-1";
  done.reply.file.state = u"complete";
  EXPECT_TRUE(done.Live());
}

TEST(SessionTurnTest, WithSeveralMonitorsTheLastFrameMustShowTheSelectionWhereItIs) {
  const MonitorInfo second{u"\\\\.\\DISPLAY2", {1920, 0, 3200, 1024}, false};
  SessionReply reply;
  reply.multi_monitor = true;
  reply.selected_monitor = second.id;
  reply.monitor_revision = 3;
  const LastFrame shown{u"cGljdHVyZQ==", second.id, 3, second.rect};

  EXPECT_TRUE(IsMonitorStable(reply, &second, shown));
  // The selected monitor was unplugged: never stable, even against a frame of an empty rectangle.
  EXPECT_FALSE(IsMonitorStable(reply, nullptr, shown));
  EXPECT_FALSE(IsMonitorStable(reply, nullptr, LastFrame{u"", second.id, 3, {}}));
  for (const LastFrame& other : {LastFrame{shown.jpeg, u"", 3, second.rect},
                                 LastFrame{shown.jpeg, second.id, 2, second.rect},
                                 LastFrame{shown.jpeg, second.id, 3, {1920, 0, 2880, 1024}}}) {
    EXPECT_FALSE(IsMonitorStable(reply, &second, other));
  }
  // One monitor: nothing to mistake, whatever was shown.
  reply.multi_monitor = false;
  EXPECT_TRUE(IsMonitorStable(reply, nullptr, LastFrame{}));
}

// A withdrawn grant ends the approval and asks for held input to be released; a renewed one keeps
// the generation the customer approved.
TEST(SessionTurnTest, TheApprovalBelongsToOneGrant) {
  TurnState state;
  state.input_approved = true;
  SessionReply reply;
  reply.control_allowed = true;
  reply.control_generation = u"g1";
  EXPECT_FALSE(FollowControlGrant(reply, state));
  reply.control_generation = u"g2";
  EXPECT_FALSE(FollowControlGrant(reply, state));
  EXPECT_EQ(state.approved_generation, u"g1");
  reply.control_allowed = false;
  EXPECT_TRUE(FollowControlGrant(reply, state));
  EXPECT_FALSE(state.input_approved);
  EXPECT_EQ(state.approved_generation, u"");
}

// Like live input, a frame needs every condition at once; the spacing ends exactly at its time.
TEST(SessionTurnTest, PreviewIsDueOnlyWhileEveryConditionHolds) {
  SessionReply reply;
  reply.state = SessionState::kActive;
  reply.preview_requested = true;
  TurnState state;
  state.support_approved = true;
  state.next_preview_at = TurnClock::time_point{} + kPreviewInterval;
  const TurnClock::time_point due = state.next_preview_at;
  EXPECT_TRUE(IsPreviewDue(true, reply, state, due));
  EXPECT_FALSE(IsPreviewDue(true, reply, state, due - milliseconds(1)));
  EXPECT_FALSE(IsPreviewDue(false, reply, state, due)) << "a consent answer or error goes first";
  SessionReply waiting = reply;
  waiting.state = SessionState::kAwaitingConsent;
  EXPECT_FALSE(IsPreviewDue(true, waiting, state, due));
  SessionReply not_asking = reply;
  not_asking.preview_requested = false;
  EXPECT_FALSE(IsPreviewDue(true, not_asking, state, due));
  state.support_approved = false;
  EXPECT_FALSE(IsPreviewDue(true, reply, state, due));
}

// A failed input batch is reported once, in place of the plain status, and then no more.
TEST(SessionTurnTest, AFailedBatchIsReportedOnceInsteadOfThePlainStatus) {
  TurnState state;
  state.input_error_pending = true;
  const NextMessage error = ChooseMessage(std::nullopt, state);
  EXPECT_EQ(error.message.Serialize(), u"{\"type\":\"status\",\"input_error\":true}");
  EXPECT_FALSE(error.plain_status);
  const NextMessage after = ChooseMessage(std::nullopt, state);
  EXPECT_EQ(after.message.Serialize(), u"{\"type\":\"status\"}");
  EXPECT_TRUE(after.plain_status);
}

// A reply that does not say the server holds a frame means it holds none: the next goes whole.
TEST(SessionTurnTest, AReplySilentAboutTheServersFrameMeansItHasNone) {
  const auto reply = JsonObject::TryParse(u"{\"ok\":true,\"session\":{\"state\":\"active\"}}");
  ASSERT_TRUE(reply);
  EXPECT_FALSE(ReadSessionReply(*reply).preview_has_frame);
}

}  // namespace
}  // namespace varnel
