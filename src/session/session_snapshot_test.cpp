#include "session/session_snapshot.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/network_error.h"
#include "util/utf.h"

namespace varnel {
namespace {

JsonObject Reply(std::u16string_view session_fields, std::u16string_view top_level = u"") {
  auto reply = JsonObject::TryParse(u"{\"ok\":true" + std::u16string(top_level) +
                                    u",\"session\":{" + std::u16string(session_fields) + u"}}");
  if (!reply) throw std::runtime_error("test reply did not parse");
  return *reply;
}

// An active session with screen preview offered, before the viewer's condition is added.
const std::u16string kActive = u"\"state\":\"active\",\"screen_preview\":true";
const std::u16string kViewer = u",\"viewer_connected\":true";
const std::u16string kWatched = kActive + kViewer + u",\"preview_requested\":true";
constexpr TurnFacts kApproved{.support_approved = true};
constexpr TurnFacts kLive{.support_approved = true, .input_live = true};
const std::u16string kWaiting = u"\"state\":\"waiting\"";
const std::u16string kAsking = u"\"state\":\"awaiting_consent\"";

class SnapshotTest : public ::testing::Test {
 protected:
  SessionSnapshot Update(std::u16string_view session_fields, TurnFacts facts = {},
                         std::u16string_view top_level = u"") {
    state.UpdateFromReply(Reply(session_fields, top_level), facts);
    return state.Snapshot();
  }

  SessionSharedState state;
};

TEST_F(SnapshotTest, FieldsComeFromTheSessionAndAbsentOnesReadAsDefaults) {
  const SessionSnapshot full =
      Update(kWaiting +
             u",\"id\":\"r-1\",\"staff_id\":\"agent7\",\"store\":\"S01\",\"ixcompany\":2,"
             u"\"end_reason\":\"x\",\"file\":{\"id\":\"t-1\",\"direction\":\"upload\","
             u"\"name\":\"a.txt\",\"state\":\"awaiting_pick\"}");
  EXPECT_EQ(
      std::vector({full.request_id, full.staff_id, full.store, full.end_reason,
                   full.file_transfer_id, full.file_direction, full.file_name, full.file_state}),
      std::vector<std::u16string>(
          {u"r-1", u"agent7", u"S01", u"x", u"t-1", u"upload", u"a.txt", u"awaiting_pick"}));
  EXPECT_EQ(full.ixcompany, 2);
  SessionSnapshot expected;
  expected.status_text = u"Connected - Waiting for support agent";
  EXPECT_EQ(Update(kWaiting), expected);

  // The company number goes towards zero and saturates at the 32-bit limits.
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  const std::pair<std::u16string_view, std::int32_t> companies[] = {
      {u"12.9", 12}, {u"-3.5", -3}, {u"1e12", kMax}, {u"-1e300", -kMax - 1}};
  for (const auto& [number, company] : companies) {
    EXPECT_EQ(Update(kWaiting + u",\"ixcompany\":" + std::u16string(number)).ixcompany, company);
  }
}

TEST_F(SnapshotTest, AnUnsupportedStateRaisesAndChangesNothing) {
  const SessionSnapshot before = Update(kWaiting + u",\"id\":\"r-1\"");
  try {
    Update(u"\"state\":\"Active\",\"id\":\"r-2\",\"consent_id\":\"c\"");
    ADD_FAILURE() << "no error for an unsupported state";
  } catch (const NetworkError& error) {
    EXPECT_EQ(error.message(), u"Unsupported server session state.");
  }
  EXPECT_EQ(state.Snapshot(), before);
}

TEST(SnapshotStatus, EachTextUnderItsConditionsAndEachOverrideWinsOverTheNext) {
  struct Case {
    std::u16string fields;
    TurnFacts facts;
    std::u16string_view text;
    bool finished = false;
  };
  const std::u16string needs_update = u"Support approved - Screen preview needs a server update";
  const std::u16string control = u",\"control_id\":\"k\"";
  const std::u16string paused = u",\"control_paused\":true";
  const std::u16string ended = u"\"state\":\"ended\",\"end_reason\":";
  // clang-format off
  const Case cases[] = {
      {kWaiting, {}, u"Connected - Waiting for support agent"},
      {kAsking, {}, u"Support agent assigned - Your approval is required"},
      // Only an active session asks for remote control.
      {kAsking + control, {}, u"Support agent assigned - Your approval is required"},
      {kWatched, kApproved, u"Screen preview active - View only"},
      {kWatched + u",\"screen_preview\":false", kApproved, needs_update},
      // Declined support: no preview, and the viewer's condition is not the customer's to see.
      {kActive, {}, needs_update},
      {u"\"state\":\"denied\"", {}, u"Support request declined", true},
      {u"\"state\":\"expired\"", {}, u"Support request expired", true},
      {ended + u"\"staff_end\"", {},
       u"The support agent ended this session. Remote access has stopped.", true},
      {ended + u"\"timeout\"", {}, u"Support session ended", true},
      // A control request over live input, live input over a missing viewer, then the viewer's
      // condition: gone over paused over not asking for the preview over the base text.
      {kActive + control, kLive, u"Remote control requested - Your approval is required"},
      {kActive, kLive, u"Remote control active - Use Stop Support to stop"},
      {kActive + paused, kApproved, u"Agent viewer disconnected - Waiting for reconnection"},
      {kActive + kViewer + paused, kApproved, u"Agent viewer paused - Support remains connected"},
      {kActive + kViewer, kApproved, u"Agent viewer not responding - Input paused"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SessionSharedState state;
    state.UpdateFromReply(Reply(c.fields), c.facts);
    EXPECT_EQ(state.Snapshot().status_text, c.text) << Utf16ToUtf8(c.fields);
    EXPECT_EQ(state.Snapshot().finished, c.finished) << Utf16ToUtf8(c.fields);
  }
}

TEST_F(SnapshotTest, TheLastWordIsFinalAndWarningsStay) {
  const std::u16string command_warning =
      u"A command could not be processed. Update the server/client if needed. Support remains "
      u"connected.";
  EXPECT_EQ(Update(kWaiting, {}, u",\"command_error\":\"\"").command_warning, u"");
  EXPECT_EQ(Update(kWaiting, {}, u",\"command_error\":\"bad\"").command_warning, command_warning);
  EXPECT_EQ(Update(kWaiting).command_warning, command_warning);
  SessionSharedState failed_input;
  failed_input.UpdateFromReply(Reply(kWaiting), {.input_failed = true});
  EXPECT_EQ(failed_input.Snapshot().command_warning, command_warning);
  state.SetServerVersion(CheckServerVersion(u"0.9.3"));
  state.SetServerVersion(CheckServerVersion(u"0.9.2"));
  EXPECT_EQ(state.Snapshot().version_warning, CheckServerVersion(u"0.9.3").warning);

  // Publish with `finished` closes the prompt and stops the preview.
  Update(kWatched + u",\"control_id\":\"k\"", kLive);
  state.Publish(kStoppedText, true);
  const SessionSnapshot stopped = state.Snapshot();
  EXPECT_EQ(stopped.status_text, u"Stopped - No remote permissions");
  EXPECT_FALSE(stopped.consent_required || stopped.preview_active);
  // Nothing later replaces the last word, e.g. a failure while closing.
  state.Publish(kConnectionFailedText, true);
  state.UpdateFromReply(Reply(kWaiting), {});
  state.SetFileWarning();
  state.SetServerVersion(CheckServerVersion(u"0.9.4"));
  EXPECT_EQ(state.Snapshot(), stopped);

  failed_input.SetFileWarning();
  EXPECT_EQ(failed_input.Snapshot().file_warning,
            u"File transfer failed or was cancelled. Files must be 200 MB or smaller. For uploads, "
            u"choose a new filename. Support remains connected.");
}

TEST_F(SnapshotTest, ConsentIsAcceptedOnceForTheOpenPrompt) {
  constexpr ConsentKind kSupport = ConsentKind::kSupport;
  const std::u16string asking = kAsking + u",\"consent_id\":\"c-1\"";
  EXPECT_FALSE(state.SubmitConsent(true, u"", kSupport));  // nothing asked yet
  Update(asking);
  EXPECT_FALSE(state.SubmitConsent(true, u"c-0", kSupport));               // stale id
  EXPECT_FALSE(state.SubmitConsent(true, u"c-1", ConsentKind::kControl));  // not what was asked
  EXPECT_TRUE(state.SubmitConsent(false, u"c-1", kSupport));
  EXPECT_FALSE(state.Snapshot().consent_required);            // the prompt closes at once
  EXPECT_FALSE(state.SubmitConsent(true, u"c-1", kSupport));  // a second answer before the first
  // The server has not seen the answer yet and still asks; the prompt stays closed meanwhile.
  EXPECT_FALSE(Update(asking).consent_required);

  EXPECT_EQ(state.TakeConsentAnswer(), (ConsentAnswer{u"c-1", false, false}));
  EXPECT_FALSE(state.TakeConsentAnswer());  // handed over once
  // Still asked after the answer went out: the prompt opens again.
  EXPECT_TRUE(Update(asking).consent_required);

  // The same id turned into a control request: an answer to the support prompt the customer saw
  // is not one to remote control, and the reverse.
  Update(kActive + u",\"control_id\":\"c-1\"", kApproved);
  EXPECT_FALSE(state.SubmitConsent(true, u"c-1", kSupport));
  Update(asking);
  EXPECT_FALSE(state.SubmitConsent(true, u"c-1", ConsentKind::kControl));
  EXPECT_FALSE(state.TakeConsentAnswer());
  Update(kActive + u",\"control_id\":\"c-1\"", kApproved);
  EXPECT_TRUE(state.SubmitConsent(true, u"c-1", ConsentKind::kControl));
  EXPECT_EQ(state.TakeConsentAnswer(), (ConsentAnswer{u"c-1", true, true}));
}

TEST_F(SnapshotTest, FileChoiceOnlyForTheTransferWaitingForTheCustomer) {
  auto transfer = [](std::u16string_view file_state) {
    return u"\"state\":\"active\",\"file\":{\"id\":\"t-1\",\"state\":\"" +
           std::u16string(file_state) + u"\"}";
  };
  // Before the customer allowed support, or outside an active session, no file is taken.
  Update(transfer(u"awaiting_save"));
  EXPECT_FALSE(state.SubmitFileChoice(u"t-1", u"C:\\x"));
  Update(u"\"state\":\"waiting\",\"file\":{\"id\":\"t-1\",\"state\":\"awaiting_save\"}", kApproved);
  EXPECT_FALSE(state.SubmitFileChoice(u"t-1", u"C:\\x"));
  EXPECT_FALSE(state.Snapshot().files_allowed);

  EXPECT_TRUE(Update(transfer(u"awaiting_save"), kApproved).files_allowed);
  EXPECT_FALSE(state.SubmitFileChoice(u"t-2", u"C:\\x"));
  EXPECT_TRUE(state.SubmitFileChoice(u"t-1", u"C:\\first"));
  EXPECT_TRUE(state.SubmitFileChoice(u"t-1", u"C:\\second"));  // not taken yet: replaced
  EXPECT_EQ(state.TakeFileChoice(), (FileChoice{u"t-1", u"C:\\second"}));
  EXPECT_EQ(state.TakeFileChoice(), FileChoice{});  // handed over once

  Update(transfer(u"awaiting_pick"), kApproved);
  EXPECT_TRUE(state.SubmitFileChoice(u"t-1", u""));  // a cancelled dialog is a choice too
  for (const std::u16string_view other : {u"sending", u"Awaiting_pick", u"complete"}) {
    Update(transfer(other), kApproved);
    EXPECT_FALSE(state.SubmitFileChoice(u"t-1", u"C:\\x")) << Utf16ToUtf8(other);
  }
}

}  // namespace
}  // namespace varnel
