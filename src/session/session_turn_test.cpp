#include "session/session_turn.h"

#include <gtest/gtest.h>

namespace varnel {
namespace {

using std::chrono::milliseconds;

// Whether input is live, the monitor stable and the approval bound to its grant is the consent
// property's account (input_consent_property_test), checked against the real worker every turn.
// What the worker's order of calls hides is pinned here: a withdrawn grant is never live, even
// before FollowControlGrant has ended the approval, and one monitor is stable even when none was
// found.
TEST(SessionTurnTest, AWithdrawnGrantIsNeverLiveAndOneMonitorAlwaysStable) {
  SessionReply reply;
  reply.state = SessionState::kActive;
  reply.preview_requested = true;
  reply.control_allowed = true;
  reply.control_generation = u"g1";
  TurnState state;
  state.input_approved = true;
  state.approved_generation = u"g1";
  EXPECT_TRUE(IsInputLive(reply, true, state, TurnClock::time_point{}));
  reply.control_allowed = false;
  EXPECT_FALSE(IsInputLive(reply, true, state, TurnClock::time_point{}));
  EXPECT_TRUE(IsMonitorStable(SessionReply{}, nullptr, LastFrame{}));
}

// A frame needs every condition at once; the spacing ends exactly at its time.
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
