#include "session/session_snapshot.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "net/network_error.h"

namespace varnel {
namespace {

JsonObject Reply(std::u16string_view session_fields, std::u16string_view top_level = u"") {
  const std::u16string text = u"{\"ok\":true" + std::u16string(top_level) + u",\"session\":{" +
                              std::u16string(session_fields) + u"}}";
  auto reply = JsonObject::TryParse(text);
  if (!reply) throw std::runtime_error("test reply did not parse");
  return *reply;
}

// An active session with a connected, watching, unpaused viewer and screen preview offered.
constexpr std::u16string_view kWatched =
    u"\"state\":\"active\",\"screen_preview\":true,\"viewer_connected\":true,"
    u"\"preview_requested\":true";

constexpr TurnFacts kApproved{.support_approved = true};

class SnapshotTest : public ::testing::Test {
 protected:
  SessionSnapshot Update(std::u16string_view session_fields, TurnFacts facts = {},
                         std::u16string_view top_level = u"") {
    state.UpdateFromReply(Reply(session_fields, top_level), facts);
    return state.Snapshot();
  }
  std::u16string Status(std::u16string_view session_fields, TurnFacts facts = {}) {
    return Update(session_fields, facts).status_text;
  }

  SessionSharedState state;
};

TEST_F(SnapshotTest, FieldsComeFromTheSessionAndAbsentOnesReadAsDefaults) {
  EXPECT_EQ(state.Snapshot().status_text, u"Connecting to server...");
  const SessionSnapshot full = Update(
      u"\"state\":\"waiting\",\"id\":\"r-1\",\"staff_id\":\"agent7\",\"store\":\"S01\","
      u"\"ixcompany\":2,\"end_reason\":\"x\",\"file\":{\"id\":\"t-1\",\"direction\":\"upload\","
      u"\"name\":\"a.txt\",\"state\":\"awaiting_pick\"}");
  EXPECT_EQ(full.request_id, u"r-1");
  EXPECT_EQ(full.staff_id, u"agent7");
  EXPECT_EQ(full.store, u"S01");
  EXPECT_EQ(full.ixcompany, 2);
  EXPECT_EQ(full.end_reason, u"x");
  EXPECT_EQ(full.file_transfer_id, u"t-1");
  EXPECT_EQ(full.file_direction, u"upload");
  EXPECT_EQ(full.file_name, u"a.txt");
  EXPECT_EQ(full.file_state, u"awaiting_pick");

  // Every field the bare reply leaves out is back to empty, zero or false.
  SessionSnapshot expected;
  expected.status_text = u"Connected - Waiting for support agent";
  EXPECT_EQ(Update(u"\"state\":\"waiting\""), expected);
}

TEST_F(SnapshotTest, CompanyNumberIsTruncatedTowardsZeroAndSaturates) {
  EXPECT_EQ(Update(u"\"state\":\"waiting\",\"ixcompany\":12.9").ixcompany, 12);
  EXPECT_EQ(Update(u"\"state\":\"waiting\",\"ixcompany\":-3.5").ixcompany, -3);
  EXPECT_EQ(Update(u"\"state\":\"waiting\",\"ixcompany\":-0.9").ixcompany, 0);
  EXPECT_EQ(Update(u"\"state\":\"waiting\",\"ixcompany\":2147483647.9").ixcompany,
            std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(Update(u"\"state\":\"waiting\",\"ixcompany\":1e12").ixcompany,
            std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(Update(u"\"state\":\"waiting\",\"ixcompany\":-1e300").ixcompany,
            std::numeric_limits<std::int32_t>::min());
}

TEST_F(SnapshotTest, BadRepliesRaiseAndChangeNothing) {
  Update(u"\"state\":\"waiting\",\"id\":\"r-1\"");
  const SessionSnapshot before = state.Snapshot();

  EXPECT_THROW(state.UpdateFromReply(*JsonObject::TryParse(u"{\"ok\":true}"), {}), JsonError);
  for (const std::u16string_view unsupported :
       {u"\"id\":\"r-2\"", u"\"state\":\"\"", u"\"state\":\"Active\"", u"\"state\":\"paused\""}) {
    try {
      state.UpdateFromReply(Reply(unsupported), {});
      ADD_FAILURE() << "no error for an unsupported state";
    } catch (const NetworkError& error) {
      EXPECT_EQ(error.message(), u"Unsupported server session state.");
    }
  }
  EXPECT_THROW(Update(u"\"state\":\"waiting\",\"id\":\"r-3\",\"ixcompany\":\"2\""), JsonError);
  EXPECT_THROW(Update(u"\"state\":\"waiting\",\"id\":\"r-3\",\"file\":[]"), JsonError);
  EXPECT_THROW(Update(u"\"state\":\"waiting\",\"id\":\"r-3\"", {}, u",\"command_error\":1"),
               JsonError);
  EXPECT_EQ(state.Snapshot(), before);
}

TEST_F(SnapshotTest, BaseTextsByState) {
  EXPECT_EQ(Status(u"\"state\":\"waiting\""), u"Connected - Waiting for support agent");
  EXPECT_EQ(Status(u"\"state\":\"awaiting_consent\""),
            u"Support agent assigned - Your approval is required");
  EXPECT_EQ(Status(kWatched, kApproved), u"Screen preview active - View only");
  EXPECT_TRUE(state.Snapshot().preview_active);
  EXPECT_EQ(Status(std::u16string(kWatched) + u",\"screen_preview\":false", kApproved),
            u"Support approved - Screen preview needs a server update");
  EXPECT_FALSE(state.Snapshot().preview_active);
  // Final states each end their own session.
  auto final_status = [](std::u16string_view fields) {
    SessionSharedState ended;
    ended.UpdateFromReply(Reply(fields), {});
    EXPECT_TRUE(ended.Snapshot().finished);
    return ended.Snapshot().status_text;
  };
  EXPECT_EQ(final_status(u"\"state\":\"denied\""), u"Support request declined");
  EXPECT_EQ(final_status(u"\"state\":\"expired\""), u"Support request expired");
}

TEST_F(SnapshotTest, DeclinedSupportGetsNoViewerTexts) {
  // The customer declined earlier: no preview, and the viewer's condition is not theirs to see.
  EXPECT_EQ(Status(u"\"state\":\"active\",\"screen_preview\":true"),
            u"Support approved - Screen preview needs a server update");
  EXPECT_FALSE(state.Snapshot().preview_active);
}

TEST_F(SnapshotTest, EachOverrideWinsOverTheNext) {
  const std::u16string active = u"\"state\":\"active\",\"screen_preview\":true";
  const TurnFacts live{.support_approved = true, .input_live = true};
  // 1 over 2: a control request while input is live.
  EXPECT_EQ(Status(active + u",\"control_id\":\"k\"", live),
            u"Remote control requested - Your approval is required");
  // 2 over 3: live input while the viewer is gone.
  EXPECT_EQ(Status(active, live), u"Remote control active - Use Stop Support to stop");
  // 3.1 over 3.2 over 3.3.
  EXPECT_EQ(Status(active + u",\"control_paused\":true", kApproved),
            u"Agent viewer disconnected - Waiting for reconnection");
  EXPECT_EQ(Status(active + u",\"viewer_connected\":true,\"control_paused\":true", kApproved),
            u"Agent viewer paused - Support remains connected");
  EXPECT_EQ(Status(active + u",\"viewer_connected\":true", kApproved),
            u"Agent viewer not responding - Input paused");
  // 3.3 over the base text of an offered preview that the viewer does not ask for.
  EXPECT_TRUE(state.Snapshot().preview_active);
}

TEST_F(SnapshotTest, ControlRequestAsksWithTheControlId) {
  const SessionSnapshot snapshot = Update(
      std::u16string(kWatched) + u",\"consent_id\":\"c-1\",\"control_id\":\"k-1\"", kApproved);
  EXPECT_EQ(snapshot.status_text, u"Remote control requested - Your approval is required");
  EXPECT_TRUE(snapshot.consent_required);
  EXPECT_TRUE(snapshot.control_request_pending);
  EXPECT_EQ(snapshot.consent_id, u"k-1");

  // Outside "active" a control id is not a request.
  const SessionSnapshot waiting =
      Update(u"\"state\":\"awaiting_consent\",\"consent_id\":\"c-1\",\"control_id\":\"k-1\"");
  EXPECT_FALSE(waiting.control_request_pending);
  EXPECT_TRUE(waiting.consent_required);
  EXPECT_EQ(waiting.consent_id, u"c-1");
}

TEST_F(SnapshotTest, AgentEndedSessionIsFinal) {
  const SessionSnapshot ended = Update(u"\"state\":\"ended\",\"end_reason\":\"staff_end\"");
  EXPECT_TRUE(ended.finished);
  EXPECT_EQ(ended.status_text, u"The support agent ended this session. Remote access has stopped.");
  EXPECT_EQ(ended.end_reason, u"staff_end");
  // A later publication, e.g. from a failure while closing, does not replace the last word.
  state.Publish(kConnectionFailedText, true);
  state.UpdateFromReply(Reply(u"\"state\":\"waiting\""), {});
  state.SetFileWarning();
  EXPECT_EQ(state.Snapshot(), ended);

  SessionSharedState other;
  other.UpdateFromReply(Reply(u"\"state\":\"ended\",\"end_reason\":\"timeout\""), {});
  EXPECT_EQ(other.Snapshot().status_text, u"Support session ended");
  EXPECT_TRUE(other.Snapshot().finished);
}

TEST_F(SnapshotTest, PublishFinishedClosesPromptAndPreviewButKeepsControlFlags) {
  state.Publish(kConnectingText, false);
  EXPECT_FALSE(state.Snapshot().finished);
  Update(std::u16string(kWatched) + u",\"control_id\":\"k\"",
         {.support_approved = true, .input_live = true});
  ASSERT_TRUE(state.Snapshot().consent_required);
  ASSERT_TRUE(state.Snapshot().preview_active);

  state.Publish(kStoppedText, true);
  const SessionSnapshot stopped = state.Snapshot();
  EXPECT_EQ(stopped.status_text, u"Stopped - No remote permissions");
  EXPECT_TRUE(stopped.finished);
  EXPECT_FALSE(stopped.consent_required);
  EXPECT_FALSE(stopped.preview_active);
  EXPECT_TRUE(stopped.control_request_pending);
  EXPECT_TRUE(stopped.control_active);
  EXPECT_FALSE(state.SubmitConsent(true, u"k"));
}

TEST_F(SnapshotTest, WarningsAreSetOnceAndStay) {
  const std::u16string command_warning =
      u"A command could not be processed. Update the server/client if needed. Support remains "
      u"connected.";
  EXPECT_EQ(Update(u"\"state\":\"waiting\"", {}, u",\"command_error\":\"\"").command_warning, u"");
  EXPECT_EQ(Update(u"\"state\":\"waiting\"", {}, u",\"command_error\":\"bad\"").command_warning,
            command_warning);
  EXPECT_EQ(Update(u"\"state\":\"waiting\"").command_warning, command_warning);

  SessionSharedState other;
  other.UpdateFromReply(Reply(u"\"state\":\"waiting\""), {.input_failed = true});
  EXPECT_EQ(other.Snapshot().command_warning, command_warning);

  other.SetFileWarning();
  other.UpdateFromReply(Reply(u"\"state\":\"waiting\""), {});
  EXPECT_EQ(other.Snapshot().file_warning,
            u"File transfer failed or was cancelled. Files must be 200 MB or smaller. For uploads, "
            u"choose a new filename. Support remains connected.");

  other.SetServerVersion(CheckServerVersion(u"0.9.3"));
  EXPECT_EQ(other.Snapshot().server_version, u"0.9.3");
  EXPECT_NE(other.Snapshot().version_warning, u"");
  SessionSharedState matching;
  matching.SetServerVersion(CheckServerVersion(u"0.9.2"));
  EXPECT_EQ(matching.Snapshot().server_version, u"0.9.2");
  EXPECT_EQ(matching.Snapshot().version_warning, u"");
}

TEST_F(SnapshotTest, ConsentIsAcceptedOnceForTheOpenPrompt) {
  EXPECT_FALSE(state.SubmitConsent(true, u""));  // nothing asked yet
  Update(u"\"state\":\"awaiting_consent\",\"consent_id\":\"c-1\"");
  EXPECT_FALSE(state.SubmitConsent(true, u"c-0"));  // stale id
  EXPECT_FALSE(state.TakeConsentAnswer());

  EXPECT_TRUE(state.SubmitConsent(false, u"c-1"));
  EXPECT_FALSE(state.Snapshot().consent_required);  // the prompt closes at once
  EXPECT_FALSE(state.SubmitConsent(true, u"c-1"));  // second answer before the first is sent

  // The server has not seen the answer yet and still asks; the prompt stays closed meanwhile.
  EXPECT_FALSE(Update(u"\"state\":\"awaiting_consent\",\"consent_id\":\"c-1\"").consent_required);

  EXPECT_EQ(state.TakeConsentAnswer(), (ConsentAnswer{u"c-1", false, false}));
  EXPECT_FALSE(state.TakeConsentAnswer());  // handed over once
  // Still asked after the answer went out: the prompt opens again and takes a new answer.
  EXPECT_TRUE(Update(u"\"state\":\"awaiting_consent\",\"consent_id\":\"c-1\"").consent_required);
  EXPECT_TRUE(state.SubmitConsent(true, u"c-1"));
  EXPECT_EQ(state.TakeConsentAnswer(), (ConsentAnswer{u"c-1", true, false}));
}

TEST_F(SnapshotTest, ControlConsentIsMarkedAsSuch) {
  Update(std::u16string(kWatched) + u",\"consent_id\":\"c-1\",\"control_id\":\"k-1\"", kApproved);
  EXPECT_FALSE(state.SubmitConsent(true, u"c-1"));  // the open prompt is the control request
  EXPECT_TRUE(state.SubmitConsent(true, u"k-1"));
  EXPECT_EQ(state.TakeConsentAnswer(), (ConsentAnswer{u"k-1", true, true}));
}

TEST_F(SnapshotTest, AnswerToAPromptWithoutIdIsNotLost) {
  Update(u"\"state\":\"awaiting_consent\"");
  EXPECT_TRUE(state.SubmitConsent(true, u""));
  EXPECT_FALSE(state.SubmitConsent(true, u""));
  EXPECT_EQ(state.TakeConsentAnswer(), (ConsentAnswer{u"", true, false}));
}

TEST_F(SnapshotTest, FileChoiceOnlyForTheTransferWaitingForTheCustomer) {
  EXPECT_FALSE(state.SubmitFileChoice(u"", u"C:\\x"));  // no transfer at all
  Update(u"\"state\":\"active\",\"file\":{\"id\":\"t-1\",\"state\":\"awaiting_save\"}");
  EXPECT_FALSE(state.SubmitFileChoice(u"t-2", u"C:\\x"));
  EXPECT_EQ(state.TakeFileChoice(), FileChoice{});

  EXPECT_TRUE(state.SubmitFileChoice(u"t-1", u"C:\\first"));
  EXPECT_TRUE(state.SubmitFileChoice(u"t-1", u"C:\\second"));  // not taken yet: replaced
  EXPECT_EQ(state.TakeFileChoice(), (FileChoice{u"t-1", u"C:\\second"}));
  EXPECT_EQ(state.TakeFileChoice(), FileChoice{});  // handed over once

  Update(u"\"state\":\"active\",\"file\":{\"id\":\"t-1\",\"state\":\"awaiting_pick\"}");
  EXPECT_TRUE(state.SubmitFileChoice(u"t-1", u""));  // a cancelled dialog is a choice too
  EXPECT_EQ(state.TakeFileChoice(), (FileChoice{u"t-1", u""}));

  for (const std::u16string_view other_state : {u"sending", u"Awaiting_pick", u"complete"}) {
    Update(u"\"state\":\"active\",\"file\":{\"id\":\"t-1\",\"state\":\"" +
           std::u16string(other_state) + u"\"}");
    EXPECT_FALSE(state.SubmitFileChoice(u"t-1", u"C:\\x")) << std::u16string(other_state).size();
  }
}

}  // namespace
}  // namespace varnel
