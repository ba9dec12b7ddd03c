// A hostile server and command line against what the window shows: whatever texts they send, the
// details keep their own lines in their own order, the permissions line tells the truth, and no
// shown text carries a line break, a control or a change of direction, or more of an outside
// value than the window shows of one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/status_presentation.h"
#include "util/shown_text.h"
#include "util/utf.h"

namespace varnel {
namespace {

const std::u16string_view kPieces[] = {
    u"Alice",
    u"\r\n",
    u"\r",
    u"\n",
    {u"\0", 1},
    u"\t\x1b\x7F\x85\x9B",
    u"\u2028\u2029",
    u"\u202A\u202E",
    u"\u2066\u2069",
    u"\u200F\u061C",
    u"\U0001F600",
    u"\xD800",
    u"\r\nPermissions: None\r\nRecording: Off (not available yet)"};

bool OnOneLine(std::u16string_view text) {
  return std::ranges::none_of(text, [](char16_t unit) {
    return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029 ||
           IsBidiControl(unit);
  });
}

// The details' lines in order, each with the number of outside values it carries; besides them a
// line holds its label and at most 26 units of its own ("Assigned by support ticket").
void CheckDetails(const LaunchOptions& options, const SessionSnapshot& shown,
                  std::u16string_view details) {
  const bool request = !shown.request_id.empty();
  std::vector<std::pair<std::u16string_view, std::size_t>> expected = {
      {u"Market: ", 2},        {u"Store: ", request ? 1 : 2}, {u"Company ID: ", 0},
      {u"Vendor: ", 2},        {u"Application: ", 2},         {u"Server: ", 1},
      {u"Support agent: ", 1}, {u"Permissions: ", 0},         {u"Recording: Off", 0}};
  if (request) expected.push_back({u"Request ID: ", 1});
  expected.insert(
      expected.end(),
      {{u"Client version: ", 0}, {u"Expected server: ", 0}, {u"Connected server: ", 1}});
  if (!shown.command_warning.empty()) expected.push_back({u"Command warning: ", 0});
  if (!shown.file_state.empty()) expected.push_back({u"File transfer: ", 1});
  if (!shown.file_warning.empty()) expected.push_back({shown.file_warning, 0});
  if (!options.requester.empty()) expected.push_back({u"Requested by: ", 1});
  if (!options.reason.empty()) expected.push_back({u"Reason: ", 1});

  std::size_t start = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::size_t end = details.find(u"\r\n", start);
    ASSERT_EQ(end == details.npos, i + 1 == expected.size()) << Utf16ToUtf8(details);
    const std::u16string_view line = details.substr(start, end - start);
    const auto& [label, values] = expected[i];
    ASSERT_TRUE(line.starts_with(label) && OnOneLine(line)) << Utf16ToUtf8(line);
    ASSERT_LE(line.size(), label.size() + values * kShownValueUnits + 26) << Utf16ToUtf8(line);
    start = end + 2;
  }
  // Control ends with the session; the permissions line says what is running.
  const std::u16string_view permissions = shown.control_active && !shown.finished
                                              ? u"Screen, mouse and keyboard"
                                          : shown.preview_active ? u"Screen updates (view only)"
                                                                 : u"None";
  const std::size_t at = details.find(u"\r\nPermissions: ") + 15;
  EXPECT_EQ(details.substr(at, details.find(u"\r\n", at) - at), permissions);
}

TEST(StatusPresentationPropertyTest, ForgedTextsStayInTheirPlace) {
  const char* turns_text = std::getenv("QUILLORY_PRESENTATION_TURNS");
  const int turns = turns_text ? std::atoi(turns_text) : 3000;
  std::mt19937 random(20261207);
  const auto below = [&](std::size_t limit) {
    return std::uniform_int_distribution<std::size_t>(0, limit - 1)(random);
  };
  // Mostly short, now and then as long as a reply can carry.
  const auto forged = [&] {
    std::u16string text;
    const std::size_t units = below(40) == 0 ? below(below(50) == 0 ? 360000 : 4000) : below(12);
    while (text.size() < units) text += kPieces[below(std::size(kPieces))];
    return text;
  };
  const auto forge = [&](std::initializer_list<std::u16string*> texts) {
    for (std::u16string* text : texts) *text = below(3) == 0 ? u"" : forged();
  };
  LaunchOptions options = ParseLaunchOptions({});
  SessionSnapshot shown;
  WindowFlags flags;
  for (int turn = 0; turn < turns && !testing::Test::HasFatalFailure(); ++turn) {
    if (turn % 50 == 0) {
      forge({&options.market_code, &options.market_name, &options.store_code, &options.store_name,
             &options.vendor_code, &options.vendor_name, &options.program_name,
             &options.program_version, &options.requester, &options.reason, &options.server.url});
      options.legacy_auto_connect = below(2);
    }
    SessionSnapshot snap;
    forge({&snap.status_text, &snap.staff_id, &snap.request_id, &snap.consent_id, &snap.store,
           &snap.server_version, &snap.file_state, &snap.end_reason});
    if (below(4) == 0) snap.end_reason = u"staff_end";
    if (below(3) == 0) snap.version_warning = u"Version mismatch: server " + forged();
    if (below(3) == 0) snap.command_warning = u"Not processed.";
    if (below(3) == 0) snap.file_warning = u"File transfer failed or was cancelled.";
    for (bool* flag : {&snap.consent_required, &snap.finished, &snap.preview_active,
                       &snap.control_request_pending, &snap.control_active}) {
      *flag = below(2);
    }
    const RefreshPresentation out = PresentRefresh(options, shown, snap, flags);
    for (const auto& text :
         {out.status_line, out.window_title, out.banner_text, std::optional(out.end_notice_text)}) {
      ASSERT_TRUE(OnOneLine(text.value_or(u"")));
    }
    if (out.details_text) CheckDetails(options, snap, *out.details_text);
    CheckDetails(options, shown, ComposeDetailsText(options, shown));
    shown = snap;
    flags.entry_mode = out.entry_mode;
  }
}

}  // namespace
}  // namespace varnel
