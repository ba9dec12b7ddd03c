// A hostile server and command line against what the window shows: whatever texts they send, the
// details keep their own lines in their own order, the permissions line tells the truth, and no
// shown text carries a line break, a control or a change of direction, or more of an outside
// value than the window shows of one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/status_presentation.h"
#include "util/shown_text.h"
#include "util/utf.h"

namespace varnel {
namespace {

// Pieces a forger would reach for; a text is a random run of them.
const std::u16string kPieces[] = {
    u"a",
    u"Alice",
    u"\r\n",
    u"\n",
    u"\r",
    std::u16string(1, u'\0'),
    u"\t",
    u"\x1b",
    u"\x7F",
    u"\x85",
    u"\x9B",
    u"\u2028",
    u"\u2029",
    u"\u202A",
    u"\u202E",
    u"\u2066",
    u"\u2069",
    u"\u200F",
    u"\u061C",
    u"\U0001F600",
    u"\xD800",
    u"\xDC00",
    u"\u00e9",
    u"Permissions: None",
    u"\r\nPermissions: None\r\nRecording: Off (not available yet)",
    u"\r\nSupport agent: ",
};

class Forger {
 public:
  explicit Forger(unsigned seed) : random_(seed) {}

  std::u16string Text() {
    std::u16string text;
    // Mostly short, now and then as long as a reply can carry.
    const std::size_t pieces = Chance(40) ? Below(Chance(50) ? 360000 : 4000) : Below(12);
    while (text.size() < pieces) text += kPieces[Below(std::size(kPieces))];
    return text;
  }
  bool Chance(unsigned one_in) { return Below(one_in) == 0; }
  std::size_t Below(std::size_t limit) {
    return std::uniform_int_distribution<std::size_t>(0, limit - 1)(random_);
  }

  SessionSnapshot Snapshot() {
    SessionSnapshot snap;
    for (std::u16string* text : {&snap.status_text, &snap.staff_id, &snap.request_id,
                                 &snap.consent_id, &snap.server_version, &snap.store,
                                 &snap.file_transfer_id, &snap.file_name, &snap.file_state}) {
      if (!Chance(4)) *text = Text();
    }
    if (Chance(2)) snap.end_reason = Chance(2) ? u"staff_end" : Text();
    if (Chance(3)) snap.version_warning = u"Version mismatch: server " + Text();
    if (Chance(3)) snap.command_warning = u"A command could not be processed.";
    if (Chance(3)) snap.file_warning = u"File transfer failed or was cancelled.";
    snap.ixcompany = static_cast<std::int32_t>(random_());
    for (bool* flag : {&snap.consent_required, &snap.finished, &snap.preview_active,
                       &snap.control_request_pending, &snap.control_active}) {
      *flag = Chance(2);
    }
    return snap;
  }

  LaunchOptions Options() {
    LaunchOptions options = ParseLaunchOptions({});
    for (std::u16string* text :
         {&options.market_code, &options.market_name, &options.store_code, &options.store_name,
          &options.vendor_code, &options.vendor_name, &options.program_name,
          &options.program_version, &options.requester, &options.reason, &options.server.url}) {
      if (Chance(2)) *text = Text();
    }
    options.legacy_auto_connect = Chance(2);
    options.customer_name_required = Chance(2);
    return options;
  }

 private:
  std::mt19937 random_;
};

bool BreaksTheLine(char16_t unit) {
  return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029 ||
         IsBidiControl(unit);
}

void ExpectOneLine(std::u16string_view text, const char* what) {
  for (const char16_t unit : text) {
    ASSERT_FALSE(BreaksTheLine(unit)) << what << " holds U+" << std::hex << int(unit);
  }
}

std::vector<std::u16string> Lines(std::u16string_view text) {
  std::vector<std::u16string> lines;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(u"\r\n", start);
    lines.emplace_back(text.substr(start, end - start));
    if (end == text.npos) return lines;
    start = end + 2;
  }
}

// The lines the details must have, in order, each with the most units its value may show:
// one outside value shows at most 80, a code with its name 80 + " (" + 80 + ")".
struct Line {
  std::u16string_view label;
  std::size_t longest;
};

std::vector<Line> ExpectedLines(const LaunchOptions& options, const SessionSnapshot& shown) {
  constexpr std::size_t kOne = kShownValueUnits;
  constexpr std::size_t kNamed = 2 * kShownValueUnits + 3;
  const bool request = !shown.request_id.empty();
  std::vector<Line> lines = {{u"Market: ", kNamed},
                             {u"Store: ", request ? kOne : kNamed},
                             {u"Company ID: ", 26},
                             {u"Vendor: ", kNamed},
                             {u"Application: ", kNamed - 1},
                             {u"Server: ", kOne},
                             {u"Support agent: ", kOne},
                             {u"Permissions: ", 26},
                             {u"Recording: Off (not available yet)", 0}};
  if (request) lines.push_back({u"Request ID: ", kOne});
  lines.insert(
      lines.end(),
      {{u"Client version: ", 11}, {u"Expected server: ", 5}, {u"Connected server: ", kOne}});
  if (!shown.command_warning.empty()) lines.push_back({u"Command warning: ", 100});
  if (!shown.file_state.empty()) lines.push_back({u"File transfer: ", kOne});
  if (!shown.file_warning.empty()) lines.push_back({u"File transfer failed", 100});
  if (!options.requester.empty()) lines.push_back({u"Requested by: ", kOne});
  if (!options.reason.empty()) lines.push_back({u"Reason: ", kOne});
  return lines;
}

void CheckDetails(const LaunchOptions& options, const SessionSnapshot& shown,
                  std::u16string_view details) {
  const std::vector<std::u16string> lines = Lines(details);
  const std::vector<Line> expected = ExpectedLines(options, shown);
  ASSERT_EQ(lines.size(), expected.size()) << Utf16ToUtf8(details);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    ASSERT_TRUE(lines[i].starts_with(expected[i].label)) << Utf16ToUtf8(lines[i]);
    ASSERT_LE(lines[i].size() - expected[i].label.size(), expected[i].longest)
        << Utf16ToUtf8(lines[i]);
    ExpectOneLine(lines[i], "a details line");
  }
  // Control ends with the session; what the permissions line says must be what is running.
  const bool control = shown.control_active && !shown.finished;
  const std::u16string_view permissions = control                ? u"Screen, mouse and keyboard"
                                          : shown.preview_active ? u"Screen updates (view only)"
                                                                 : u"None";
  EXPECT_EQ(lines[7], u"Permissions: " + std::u16string(permissions));
}

TEST(StatusPresentationPropertyTest, ForgedTextsStayInTheirPlace) {
  const char* turns_text = std::getenv("QUILLORY_PRESENTATION_TURNS");
  const int turns = turns_text ? std::atoi(turns_text) : 3000;
  Forger forger(20261207);
  LaunchOptions options = forger.Options();
  SessionSnapshot shown;
  WindowFlags flags;
  for (int turn = 0; turn < turns && !testing::Test::HasFatalFailure(); ++turn) {
    if (forger.Chance(50)) options = forger.Options();
    const SessionSnapshot snap = forger.Snapshot();
    const RefreshPresentation out = PresentRefresh(options, shown, snap, flags);
    for (const auto& [text, what] :
         {std::pair(out.status_line, "the status line"), std::pair(out.window_title, "the title"),
          std::pair(out.banner_text, "the banner"),
          std::pair(std::optional(out.end_notice_text), "the end notice")}) {
      if (text) ExpectOneLine(*text, what);
    }
    if (out.window_title && out.status_line && *out.window_title != kWindowTitle) {
      EXPECT_EQ(*out.window_title, std::u16string(kWindowTitlePrefix) + *out.status_line);
    }
    if (out.details_text) CheckDetails(options, snap, *out.details_text);
    CheckDetails(options, shown, ComposeDetailsText(options, shown));
    shown = snap;
    flags.entry_mode = out.entry_mode;
  }
}

}  // namespace
}  // namespace varnel
