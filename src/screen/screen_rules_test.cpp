#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "screen/monitor_order.h"
#include "screen/preview_rules.h"

namespace varnel {
namespace {

MonitorInfo Monitor(std::u16string id, bool primary = false, ScreenRect rect = {0, 0, 10, 10}) {
  return MonitorInfo{std::move(id), rect, primary};
}

std::vector<std::u16string> Ids(const std::vector<MonitorInfo>& monitors) {
  std::vector<std::u16string> ids;
  for (const MonitorInfo& monitor : monitors) ids.push_back(monitor.id);
  return ids;
}

TEST(MonitorOrder, PrimaryFirstThenOrdinalIds) {
  struct Case {
    std::vector<MonitorInfo> reported;
    std::vector<std::u16string> expected;
  };
  const Case cases[] = {
      {{Monitor(u"\\\\.\\DISPLAY3", true), Monitor(u"\\\\.\\DISPLAY1"),
        Monitor(u"\\\\.\\DISPLAY2")},
       {u"\\\\.\\DISPLAY3", u"\\\\.\\DISPLAY1", u"\\\\.\\DISPLAY2"}},
      // Ordinal, not numeric: DISPLAY10 between 1 and 2; a prefix sorts first.
      {{Monitor(u"\\\\.\\DISPLAY2"), Monitor(u"\\\\.\\DISPLAY10"), Monitor(u"\\\\.\\DISPLAY1"),
        Monitor(u"\\\\.\\DISPLAY9", true)},
       {u"\\\\.\\DISPLAY9", u"\\\\.\\DISPLAY1", u"\\\\.\\DISPLAY10", u"\\\\.\\DISPLAY2"}},
      // Case matters: upper-case letters have the smaller code units.
      {{Monitor(u"\\\\.\\display1"), Monitor(u"\\\\.\\DISPLAY1")},
       {u"\\\\.\\DISPLAY1", u"\\\\.\\display1"}},
      {{}, {}},
  };
  for (Case c : cases) {
    EXPECT_EQ(Ids(OrderMonitors(c.reported)), c.expected);
    // Whatever order the platform reports them in.
    std::reverse(c.reported.begin(), c.reported.end());
    EXPECT_EQ(Ids(OrderMonitors(c.reported)), c.expected);
  }
}

TEST(MonitorOrder, KeepsTheFirstSixteenReported) {
  std::vector<MonitorInfo> reported;
  for (char16_t letter = u'B'; letter < u'B' + 16; ++letter) reported.push_back(Monitor({letter}));
  // The seventeenth would sort first, as primary and by id, yet it was reported too late.
  reported.push_back(Monitor(u"A", true));
  const std::vector<MonitorInfo> kept = OrderMonitors(reported);
  ASSERT_EQ(kept.size(), 16U);
  EXPECT_EQ(kept.front().id, u"B");
  EXPECT_FALSE(FindMonitorIn(kept, u"A"));
  EXPECT_FALSE(FindMonitorIn(kept, u""));
}

TEST(MonitorOrder, FindMonitor) {
  const std::vector<MonitorInfo> monitors = OrderMonitors(
      {Monitor(u"\\\\.\\DISPLAY1", false, {-2560, 0, 0, 1440}),
       Monitor(u"\\\\.\\DISPLAY2", true, {0, 0, 1920, 1080}), Monitor(u"\\\\.\\DISPLAY10")});
  struct Case {
    std::u16string id;
    std::optional<std::u16string> found;
  };
  const Case cases[] = {
      {u"", u"\\\\.\\DISPLAY2"},
      {u"\\\\.\\DISPLAY1", u"\\\\.\\DISPLAY1"},
      {u"\\\\.\\DISPLAY10", u"\\\\.\\DISPLAY10"},
      {u"\\\\.\\display1", std::nullopt},
      {u"\\\\.\\DISPLAY", std::nullopt},
      {u"\\\\.\\DISPLAY1 ", std::nullopt},
      {std::u16string(u"\\\\.\\DISPLAY1\0", 13), std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<MonitorInfo> found = FindMonitorIn(monitors, c.id);
    EXPECT_EQ(found ? std::optional(found->id) : std::nullopt, c.found);
  }
  EXPECT_EQ(FindMonitorIn(monitors, u"\\\\.\\DISPLAY1")->rect, (ScreenRect{-2560, 0, 0, 1440}));
}

// Truncated, not rounded, and never below one pixel; the bounds are the property test's below.
TEST(PreviewRules, ScaleTable) {
  struct Case {
    std::int64_t width, height;
    PreviewSize first, fallback;
  };
  const Case cases[] = {
      {1280, 1024, {900, 720}, {450, 360}}, {1366, 768, {1280, 719}, {640, 359}},
      {800, 600, {800, 600}, {480, 360}},   {1080, 1920, {405, 720}, {202, 360}},
      {2560, 1, {1280, 1}, {640, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    EXPECT_EQ(ScalePreview(c.width, c.height, 1280, 720), c.first);
    EXPECT_EQ(ScalePreview(c.width, c.height, 640, 360), c.fallback);
  }
}

TEST(PreviewRules, ScaleNeverEnlargesNorExceedsTheBox) {
  std::mt19937 random(11);
  std::uniform_int_distribution<std::int64_t> side(1, 20000);
  for (int i = 0; i < 20000; ++i) {
    const std::int64_t w = side(random), h = side(random);
    const PreviewSize size = ScalePreview(w, h, 1280, 720);
    ASSERT_LE(size.width, std::min<std::int64_t>(w, 1280)) << w << "x" << h;
    ASSERT_LE(size.height, std::min<std::int64_t>(h, 720)) << w << "x" << h;
    // One side reaches its limit (or the source size) up to the truncation.
    ASSERT_TRUE(size.width + 1 >= std::min<std::int64_t>(w, 1280) ||
                size.height + 1 >= std::min<std::int64_t>(h, 720))
        << w << "x" << h;
  }
}

TEST(PreviewRules, CursorPlacement) {
  const PreviewSize out{1280, 720};
  struct Case {
    CursorShape cursor;
    std::int32_t left, top;
    std::optional<CursorPlacement> placement;
  };
  const Case cases[] = {
      // Colour cursor: the bitmap's own height.
      {{960, 540, 0, 0, 32, 32, false}, 0, 0, CursorPlacement{640, 360, 21, 21}},
      // Monochrome: the mask holds two halves.
      {{960, 540, 0, 0, 32, 64, true}, 0, 0, CursorPlacement{640, 360, 21, 21}},
      // Hot spot and a monitor at negative coordinates.
      {{-1910, 10, 16, 16, 32, 32, false}, -1920, 0, CursorPlacement{-4, -4, 21, 21}},
      // The area's first column and row are inside, the column after it is not.
      {{-1920, 0, 0, 0, 32, 32, false}, -1920, 0, CursorPlacement{0, 0, 21, 21}},
      {{0, 0, 0, 0, 32, 32, false}, -1920, 0, std::nullopt},
      {{-1921, 5, 0, 0, 32, 32, false}, -1920, 0, std::nullopt},
      {{5, 1080, 0, 0, 32, 32, false}, 0, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PlaceCursor(c.cursor, out, 1920, 1080, c.left, c.top), c.placement)
        << c.cursor.x << "," << c.cursor.y;
  }
  // A tiny cursor is still drawn one pixel large.
  EXPECT_EQ(PlaceCursor({5, 5, 0, 0, 1, 2, true}, {640, 360}, 1920, 1080, 0, 0),
            (CursorPlacement{2, 2, 1, 1}));
  EXPECT_FALSE(PlaceCursor({0, 0, 0, 0, 32, 32, false}, out, 0, 1080, 0, 0));
}

static_assert(!JpegSizeAcceptable(0) && JpegSizeAcceptable(1) && JpegSizeAcceptable(262144) &&
              !JpegSizeAcceptable(262145));

TEST(PreviewRules, PackBgrDropsTheFourthByte) {
  const std::vector<std::uint8_t> bgrx = {1, 2, 3, 255, 4, 5, 6, 0, 7, 8, 9, 17};
  std::vector<std::uint8_t> bgr(9, 0xEE);
  PackBgr(bgrx, bgr);
  EXPECT_EQ(bgr, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(PreviewRules, CaptureFallsBackOnceAfterAnOverflow) {
  // jpeg, error, width, height, monitor id, rect
  const PreviewFrame picture{u"AAAA", u"", 640, 0, u"M", {}};
  const PreviewFrame too_large{
      u"", std::u16string(kPreviewTooLargeText), 0, 0, u"M", {0, 0, 1920, 1080}};
  const PreviewFrame unavailable{u"", std::u16string(kMonitorUnavailableText), 0, 0, u"", {}};
  const PreviewFrame failed{u"", std::u16string(kCaptureFailedText), 0, 0, u"", {}};
  const std::runtime_error raised("encoder");

  struct Case {
    std::vector<std::variant<PreviewFrame, std::runtime_error>> results;
    std::size_t calls;
    PreviewFrame expected;
  };
  const Case cases[] = {
      {{picture}, 1, picture},
      {{unavailable}, 1, unavailable},
      {{too_large, picture}, 2, picture},
      {{too_large, too_large}, 2, too_large},
      {{too_large, unavailable}, 2, unavailable},
      {{raised}, 1, failed},
      {{too_large, raised}, 2, failed},
  };
  const PreviewSize kAsks[] = {kPreviewFirstAttempt, kPreviewFallback};
  for (const Case& c : cases) {
    std::vector<PreviewSize> asked;
    const PreviewFrame frame = CapturePreviewWith([&](std::uint32_t w, std::uint32_t h) {
      asked.push_back({w, h});
      const auto& result = c.results.at(asked.size() - 1);
      if (const auto* error = std::get_if<std::runtime_error>(&result)) throw *error;
      return std::get<PreviewFrame>(result);
    });
    EXPECT_EQ(frame, c.expected);
    EXPECT_EQ(asked, std::vector(kAsks, kAsks + c.calls));
  }
}

}  // namespace
}  // namespace varnel
