#include "app/status_presentation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "util/utf.h"

// The cases name only the fields that matter; the others keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace varnel {
namespace {

LaunchOptions Defaults() { return ParseLaunchOptions({}); }

// A snapshot from letters: C consent asked, R control requested, A control active, P preview,
// F finished, E ended by the agent, V version warning, Q request "r-1", 2 consent id "c2". The
// status text is the letters themselves, so every other row changes it.
SessionSnapshot Snap(std::string_view letters) {
  const auto has = [letters](char letter) { return letters.find(letter) != letters.npos; };
  SessionSnapshot snap{.status_text = AsciiToUtf16(letters)};
  snap.consent_required = has('C');
  snap.control_request_pending = has('R');
  snap.control_active = has('A');
  snap.preview_active = has('P');
  snap.finished = has('F');
  if (has('E')) snap.end_reason = u"staff_end";
  if (has('V')) snap.version_warning = u"Version differs.";
  if (has('Q')) snap.request_id = u"r-1";
  if (has('2')) snap.consent_id = u"c2";
  return snap;
}

// What a refresh does to the window's mode, title, button and notices, in a few words.
std::string Summary(const RefreshPresentation& out) {
  std::u16string text;
  if (out.entry_mode_changed) text += out.entry_mode ? u"entry" : u"session";
  if (out.clear_ticket) text += u"+clear ";
  text += u"title=" + out.window_title.value_or(u"-") + u" [" + out.connect_text + u"]";
  if (out.consent_attention) text += u" attention";
  if (out.end_notice) {
    text += out.end_notice_box ? u" notice+box" : u" notice";
    text += out.end_notice_focus == EndNoticeFocus::kName ? u"@name" : u"@ticket";
  }
  if (out.last_ended_request_id) text += u" agent-end=" + *out.last_ended_request_id;
  if (out.agent_end_attention) text += u"+alert";
  return Utf16ToUtf8(text);
}

TEST(StatusPresentationTest, PromptExplanationAndAllowCaption) {
  const std::u16string_view explanations[] = {
      u"One snapshot is sent", u"Allow the assigned agent to s", u"Allow the assigned agent to u",
      u"The support agent"};
  const std::tuple<std::string_view, std::u16string_view, int> cases[] = {
      {"CRVAP", u"Allow your support agent to use your mouse and keyboard?", 2},
      {"CVAP", u"Allow your support agent to view your screen and use your mouse and keyboard?", 1},
      {"VAP", u"Version mismatch - Open details for warning.", 0},
      {"AP", u"Screen, mouse and keyboard access is enabled.", 0},
      {"P", u"Screen sharing is enabled.", 0},
      {"", u"One screen snapshot is sent on connection.", 0},
      {"FRA", u"One screen snapshot is sent on connection.", 0},  // ended: control is gone
      {"FEAV", u"Support ended by the agent. Remote access has stopped.", 3},
      {"EA", u"Screen, mouse and keyboard access is enabled.", 0},
  };
  for (const auto& [letters, prompt, explanation] : cases) {
    const SessionSnapshot snap = Snap(letters);
    const RefreshPresentation out = PresentRefresh(Defaults(), snap, snap, {});
    EXPECT_EQ(out.prompt_line, prompt) << letters;
    EXPECT_TRUE(out.explanation.starts_with(explanations[explanation])) << letters;
    EXPECT_EQ(out.allow_caption, explanation == 2 ? u"Allow control" : u"Allow Support");
    EXPECT_EQ(std::pair(out.allow_enabled, out.entry_enabled),
              std::pair(snap.consent_required, snap.finished));
  }
}

TEST(StatusPresentationTest, SessionWalkInTicketMode) {
  const std::pair<std::string_view, std::string_view> steps[] = {
      {"", "title=Quillory [Connecting...]"},
      {"Q", "session+clear title=Quillory - Q [Retry connection]"},
      {"QC", "title=Quillory - QC [Retry connection] attention"},
      {"QC", "title=- [Retry connection]"},
      {"QC2", "title=Quillory - QC2 [Retry connection] attention"},
      {"QFE", "entry+clear title=Quillory [Connect] notice+box@name agent-end=r-1+alert"},
      {"QFE", "title=- [Connect]"},
      {"F", "title=Quillory [Connect]"},
  };
  SessionSnapshot shown;
  WindowFlags flags;
  for (const auto& [letters, expected] : steps) {
    const RefreshPresentation out = PresentRefresh(Defaults(), shown, Snap(letters), flags);
    EXPECT_EQ(Summary(out), expected) << letters;
    shown = Snap(letters);
    flags.entry_mode = out.entry_mode;
    flags.end_notice_shown = flags.end_notice_shown || out.end_notice;
    flags.last_ended_request_id = out.last_ended_request_id.value_or(flags.last_ended_request_id);
    if (out.attention_consent_id) flags.last_attention_consent_id = out.attention_consent_id;
  }
}

// Allow is held greyed whenever the prompt is new to the customer (a new id, or the same id
// asking for something else), and the customer is called at most once per consent id.
TEST(StatusPresentationTest, ANewPromptHoldsAllowAndCallsTheCustomerOncePerId) {
  const std::optional<std::u16string> none;
  const std::optional<std::u16string> c2 = u"c2";
  const std::tuple<std::string_view, std::string_view, WindowFlags, std::string> cases[] = {
      {"Q", "QC2", {.last_attention_consent_id = none}, "hold attention"},
      {"QC2", "QC2", {.last_attention_consent_id = c2, .allow_held = true}, ""},
      {"QC2", "QC2", {.last_attention_consent_id = c2}, "enabled"},
      {"QC", "QC2", {.last_attention_consent_id = u""}, "hold attention"},
      {"QC2", "QCR2", {.last_attention_consent_id = c2}, "hold"},  // support became control
      {"QCR2", "QC2", {.last_attention_consent_id = c2}, "hold"},
      {"Q", "QC2", {.last_attention_consent_id = c2}, "hold"},  // asked again after Allow
      {"Q", "QC2", {.started_hidden = true}, "hold"},
      {"Q", "QC2", {.file_prompt_open = true}, "hold"},
      {"QC2", "QC2", {.close_prompt_open = true}, "enabled"},
      {"QC2", "QC2", {}, "enabled attention"},  // called once the dialog in the way has closed
      {"QC2", "Q", {.last_attention_consent_id = c2}, ""},
  };
  for (const auto& [before, now, flags, expected] : cases) {
    const RefreshPresentation out = PresentRefresh(Defaults(), Snap(before), Snap(now), flags);
    std::string summary = out.allow_enabled ? "enabled " : "";
    if (out.hold_allow) summary += "hold ";
    if (out.consent_attention) summary += "attention ";
    EXPECT_EQ(summary, expected.empty() ? "" : expected + " ") << before << " > " << now;
    EXPECT_EQ(out.attention_consent_id.value_or(u"-"),
              out.consent_attention ? Snap(now).consent_id : u"-");
  }
}

// A transfer in words: "+" files allowed (support approved, session active), "-" not, "F"
// finished; then its state, direction and id.
SessionSnapshot Transfer(std::string_view words) {
  std::istringstream in{std::string(words)};
  std::string allowed, state, direction, id;
  in >> allowed >> state >> direction >> id;
  SessionSnapshot snap{.file_transfer_id = AsciiToUtf16(id),
                       .file_direction = AsciiToUtf16(direction),
                       .file_state = AsciiToUtf16(state)};
  snap.files_allowed = allowed != "-";
  snap.finished = allowed == "F";
  return snap;
}

TEST(StatusPresentationTest, FileDialogOnlyAfterConsentForItsDirectionAndNotInThePause) {
  const auto now = std::chrono::steady_clock::now();
  const FilePromptMemory paused{u"t0", now + std::chrono::milliseconds(1)};
  const std::tuple<std::string_view, FilePromptMemory, WindowFlags, FilePrompt> cases[] = {
      {"+ awaiting_pick to_staff t1", {}, {}, FilePrompt::kPick},
      {"+ awaiting_save to_customer t1", {u"t0", now}, {}, FilePrompt::kSave},  // pause over
      {"- awaiting_pick to_staff t1", {}, {}, FilePrompt::kNone},  // before Allow Support
      {"F awaiting_save to_customer t1", {}, {}, FilePrompt::kNone},
      {"+ awaiting_pick to_customer t1", {}, {}, FilePrompt::kNone},
      {"+ awaiting_save to_staff t1", {}, {}, FilePrompt::kNone},
      {"+ awaiting_save - t1", {}, {}, FilePrompt::kNone},
      {"+ staging to_staff t1", {}, {}, FilePrompt::kNone},
      {"+ awaiting_pick to_staff", {}, {}, FilePrompt::kNone},
      {"+ awaiting_pick to_staff t1", {u"t1", {}}, {}, FilePrompt::kNone},  // asked once
      {"+ awaiting_pick to_staff t1", paused, {}, FilePrompt::kNone},
      {"+ awaiting_pick to_staff t1", {}, {.file_prompt_open = true}, FilePrompt::kNone},
      {"+ awaiting_pick to_staff t1", {}, {.close_prompt_open = true}, FilePrompt::kNone},
      {"+ awaiting_pick to_staff t1", {}, {.started_hidden = true}, FilePrompt::kNone},
  };
  for (const auto& [transfer, memory, flags, expected] : cases) {
    EXPECT_EQ(ChooseFilePrompt(Transfer(transfer), memory, flags, now), expected) << transfer;
  }
  EXPECT_GE(kFilePromptPauseAfterCancel, std::chrono::seconds(3));
}

TEST(StatusPresentationTest, RetryShowsConnectingInTheTitleToo) {
  const StartPresentation session = PresentStart(false);
  EXPECT_EQ(session.status_line, u"Connecting to server...");
  EXPECT_EQ(session.window_title, u"Quillory - Connecting to server...");
  EXPECT_FALSE(session.connect_text);
  const StartPresentation entry = PresentStart(true);
  EXPECT_EQ(entry.connect_text, u"Connecting...");
  EXPECT_FALSE(entry.window_title);  // the entry form keeps the plain title
}

TEST(StatusPresentationTest, NoticesWaitForOpenPromptsAndStayQuietWhenHidden) {
  const std::tuple<WindowFlags, bool, bool, std::u16string, std::string> cases[] = {
      {{.started_hidden = true}, false, true, u"", " notice@name agent-end=r-1"},
      {{.file_prompt_open = true}, false, true, u"", ""},
      {{.close_prompt_open = true}, false, true, u"", ""},
      {{.end_notice_shown = true}, false, false, u"", " agent-end=r-1+alert"},
      {{}, false, false, u"", " notice+box@ticket agent-end=r-1+alert"},
      {{}, false, true, u"Ann", " notice+box@ticket agent-end=r-1+alert"},
      {{.entry_mode = false}, true, true, u"", "- QFE [Retry connection] agent-end=r-1+alert"},
  };
  for (const auto& [flags, legacy, name_required, requester, expected] : cases) {
    LaunchOptions options = Defaults();
    options.legacy_auto_connect = legacy;
    options.customer_name_required = name_required;
    options.requester = requester;
    const std::string prefix = legacy ? "title=Quillory " : "title=Quillory [Connect]";
    EXPECT_EQ(Summary(PresentRefresh(options, {}, Snap("QFE"), flags)), prefix + expected);
  }
}

TEST(StatusPresentationTest, DetailsAndBannerAreRebuiltOnlyWhenTheyChange) {
  const SessionSnapshot base = Snap("QAP");
  std::vector<SessionSnapshot> changes(4, base);
  changes[0].store = u"S2";  // the store and company replace the launch values once assigned
  changes[1].ixcompany = -3;
  changes[2].staff_id = u"agent";
  changes[3].finished = true;  // control that ends with the session is no permission any more
  for (const SessionSnapshot& changed : changes) {
    const RefreshPresentation out = PresentRefresh(Defaults(), base, changed, {});
    EXPECT_EQ(out.details_text, ComposeDetailsText(Defaults(), changed));
    EXPECT_FALSE(out.banner_text);
  }
  EXPECT_FALSE(PresentRefresh(Defaults(), base, base, {}).details_text);
  EXPECT_EQ(PresentRefresh(Defaults(), base, Snap("QAPV"), {}).banner_text, u"Version differs.");
}

TEST(StatusPresentationTest, TicketAndNameChecks) {
  for (const auto* ticket : {u"123456", u"012345"}) EXPECT_TRUE(IsValidTicket(ticket));
  for (const auto* ticket : {u"12345", u"1234567", u"12a456", u"", u"12 456", u"\uFF1123456"}) {
    EXPECT_FALSE(IsValidTicket(ticket)) << Utf16ToUtf8(ticket);
  }
  const std::u16string longest(128, u'a');
  for (const std::u16string& typed :
       {std::u16string(u" \t Ann\r\n"), std::u16string(u" \t\r\n"), std::u16string(u"\u3000\u00A0"),
        std::u16string(u"Ann\tLee"), std::u16string(u"Ann\x7F"), std::u16string(),
        longest + u"a"}) {
    EXPECT_FALSE(AcceptCustomerName(typed)) << Utf16ToUtf8(typed);
  }
  EXPECT_EQ(AcceptCustomerName(u"  Ann Lee  "), u"Ann Lee");
  EXPECT_EQ(AcceptCustomerName(longest), longest);
  EXPECT_EQ(AcceptCustomerName(u"\u3000Ann"), u"\u3000Ann");  // only blanks are trimmed
}

TEST(StatusPresentationTest, DetailsText) {
  EXPECT_EQ(ComposeDetailsText(Defaults(), {}),
            u"Market: \r\nStore: \r\nCompany ID: Assigned by support ticket\r\nVendor: "
            u"\r\nApplication: Quillory  2026.10.6.1\r\nServer: " +
                Defaults().server.url +
                u"\r\nSupport agent: Not assigned\r\nPermissions: None\r\nRecording: Off (not "
                u"available yet)\r\nClient version: 2026.10.6.1\r\nExpected server: "
                u"0.9.2\r\nConnected server: Not connected");
  LaunchOptions options = Defaults();
  options.market_code = u"M1";
  options.store_code = u"S1";
  options.store_name = u"Main";
  options.requester = u"Ann";
  SessionSnapshot assigned = Snap("QPF");
  assigned.store = u"S7";
  assigned.ixcompany = -5;
  assigned.file_state = u"failed";
  assigned.file_warning = u"Transfer failed.";
  // Which permissions line shows, and the lines' order, is the property test's.
  const std::u16string text = ComposeDetailsText(options, assigned);
  for (const std::u16string_view part :
       {u"Market: M1\r\nStore: S7\r\nCompany ID: -5\r\n", u"\r\nRequest ID: r-1\r\n",
        u"File transfer: failed\r\nTransfer failed.\r\nRequested by: Ann"}) {
    EXPECT_NE(text.find(part), std::u16string::npos) << Utf16ToUtf8(part);
  }
  EXPECT_NE(ComposeDetailsText(options, {}).find(u"Store: Main (S1)\r\n"), std::u16string::npos);
  EXPECT_EQ(CodeWithName(u"", u"Name"), u"Name ()");
}

TEST(StatusPresentationTest, SuggestedSaveNameNamesAPlainFileAndReadsAsItIs) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"a/b:c*?.txt", u"a_b_c__.txt"},
      {u"a\t\"b\"\n<|>\\", u"a__b______"},
      {u"invoice\u202Efdp.exe", u"invoicefdp.exe"},
      {u"x\u2028y\x85z", u"x y z"},
      {u"report.exe. . .", u"report.exe"},
      {u"report.pdf" + std::u16string(90, u' ') + u".exe", u"report.pdf"},
      {std::u16string(100, u'n'), std::u16string(80, u'n')},
      {u"nUl.", u"_nUl"},
      {u"...", u""},
  };
  for (const auto& [name, proposed] : cases) {
    EXPECT_EQ(SanitizeSuggestedFileName(name), proposed) << Utf16ToUtf8(name);
  }
  // Device names, with any extension and in any case, and names that only look like one.
  for (const std::u16string name :
       {u"CON", u"con.txt", u"Lpt9.tar.gz", u"COM0", u"com\u00B9.log", u"AUX .txt", u"conout$"}) {
    EXPECT_EQ(SanitizeSuggestedFileName(name), u"_" + name) << Utf16ToUtf8(name);
  }
  for (const std::u16string name : {u"CONSOLE.txt", u"COM10", u"LPT", u"xnul.txt"}) {
    EXPECT_EQ(SanitizeSuggestedFileName(name), name) << Utf16ToUtf8(name);
  }
}

TEST(StatusPresentationTest, StopSupportLeavesNoPermissionsShown) {
  const StopPresentation out = PresentStop(Defaults(), Snap("QAP"));
  EXPECT_FALSE(out.shown.preview_active || out.shown.control_active);
  // The sentence itself is session_snapshot_test's.
  const std::u16string stopped(kStoppedText);
  EXPECT_EQ(std::vector({out.status_line, out.prompt_line, out.window_title}),
            std::vector({stopped, stopped, u"Quillory - " + stopped}));
  EXPECT_EQ(out.details_text, ComposeDetailsText(Defaults(), out.shown));
}

}  // namespace
}  // namespace varnel
