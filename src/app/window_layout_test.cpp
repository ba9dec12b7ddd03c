// The status window's layout by its rules: at every DPI from 96 to 288 and every client size from
// the view's minimum up, each visible control lies inside the client area, none covers another and
// both side margins are the margin; at each view's own size a control stays within rounding of its
// 96-DPI place scaled, and never shrinks as the DPI grows. The 96-DPI places are the design.
#include "app/window_layout.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace varnel {
namespace {

// At 96 DPI and the view's own size, each control in creation order: "x,y,w,h", "-" if hidden.
const std::pair<ViewState, const char*> kDesigns[] = {
    {{WindowView::kEntry, true},
     "- - - - - 258,106,104,32 18,14,344,22 18,40,344,32 18,80,344,22 18,106,228,32 - - - - -"},
    {{WindowView::kEntry}, "- - - - - 258,40,104,32 - - 18,14,344,22 18,40,228,32 - - - - -"},
    {{WindowView::kCompact},
     "- - - - - - - - - - 18,66,344,48 18,126,116,36 146,126,124,36 282,126,80,36 18,14,344,48"},
    {{WindowView::kDetails, false, true},
     "18,106,454,68 18,16,454,30 18,54,454,46 18,182,454,168 18,404,454,54 18,362,160,30 - - - - "
     "18,462,454,48 18,518,116,36 256,518,124,36 392,518,80,36 -"},
};

std::string Describe(const WindowLayout& layout) {
  std::string text;
  for (const auto& r : layout) {
    text += (text.empty() ? "" : " ") +
            (r ? std::to_string(r->x) + "," + std::to_string(r->y) + "," +
                     std::to_string(r->width) + "," + std::to_string(r->height)
               : "-");
  }
  return text;
}

// The first rule `layout` breaks in a client area of `size`, or nothing.
std::string BrokenRule(const WindowLayout& layout, ClientSize size, int dpi) {
  int left = size.width;
  int right = 0;
  for (std::size_t i = 0; i < layout.size(); ++i) {
    if (!layout[i]) continue;
    const ControlRect& r = *layout[i];
    if (r.width <= 0 || r.height <= 0 || r.x < 0 || r.y < 0 || r.x + r.width > size.width ||
        r.y + r.height > size.height) {
      return std::to_string(i) + " outside";
    }
    for (std::size_t j = i + 1; j < layout.size(); ++j) {
      const auto& o = layout[j];
      if (o && r.x < o->x + o->width && o->x < r.x + r.width && r.y < o->y + o->height &&
          o->y < r.y + r.height) {
        return std::to_string(i) + " over " + std::to_string(j);
      }
    }
    left = std::min(left, r.x);
    right = std::max(right, r.x + r.width);
  }
  const int margin = ScaleForDpi(18, dpi);
  return left == margin && right == size.width - margin ? "" : "side margins";
}

TEST(WindowLayoutTest, KeepsItsRulesAtEveryDpiAndSize) {
  for (const auto& [state, places] : kDesigns) {
    const WindowLayout at96 = LayOutWindow(state, 96, ViewClientSize(state.view, 96));
    ASSERT_EQ(Describe(at96), places);
    WindowLayout previous = at96;
    for (int dpi = 96; dpi <= 288; ++dpi) {
      SCOPED_TRACE(places + (" at " + std::to_string(dpi)));
      const WindowLayout own = LayOutWindow(state, dpi, ViewClientSize(state.view, dpi));
      const auto near = [dpi](int actual, int at_96) {
        return std::abs(actual * 96 - at_96 * dpi) <= 2 * 96;
      };
      for (std::size_t i = 0; i < own.size(); ++i) {
        const auto &r = own[i], &d = at96[i];
        ASSERT_EQ(r.has_value(), d.has_value());
        ASSERT_TRUE(!r || (near(r->x, d->x) && near(r->y, d->y) && near(r->width, d->width) &&
                           near(r->height, d->height) && r->width >= previous[i]->width &&
                           r->height >= previous[i]->height))
            << i;
      }
      previous = own;
      const ClientSize minimum = MinimumClientSize(state.view, dpi);
      for (int dx = 0; dx <= 130; dx += 13) {
        for (int dy = 0; dy <= 130; dy += 13) {
          const ClientSize size{minimum.width + dx, minimum.height + dy};
          ASSERT_EQ(BrokenRule(LayOutWindow(state, dpi, size), size, dpi), "") << dx << "," << dy;
        }
      }
    }
  }
}

}  // namespace
}  // namespace varnel
