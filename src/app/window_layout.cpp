#include "app/window_layout.h"

#include <cstdint>

namespace varnel {
namespace {

// Client sizes in 96-DPI units.
constexpr ClientSize kEntrySize{380, 154};
constexpr ClientSize kCompactSize{380, 178};
constexpr ClientSize kDetailsSize{490, 570};
constexpr ClientSize kDetailsMinimum{490, 490};

}  // namespace

int ScaleForDpi(int length, int dpi) {
  // Half a unit rounds away from zero, as MulDiv does.
  const std::int64_t product = std::int64_t{length} * dpi;
  return static_cast<int>((product >= 0 ? product + 48 : product - 48) / 96);
}

ClientSize ViewClientSize(WindowView view, int dpi) {
  const ClientSize size = view == WindowView::kEntry     ? kEntrySize
                          : view == WindowView::kCompact ? kCompactSize
                                                         : kDetailsSize;
  return {ScaleForDpi(size.width, dpi), ScaleForDpi(size.height, dpi)};
}

ClientSize MinimumClientSize(WindowView view, int dpi) {
  if (view != WindowView::kDetails) return ViewClientSize(view, dpi);
  return {ScaleForDpi(kDetailsMinimum.width, dpi), ScaleForDpi(kDetailsMinimum.height, dpi)};
}

WindowLayout LayOutWindow(const ViewState& state, int dpi, ClientSize client) {
  const auto s = [dpi](int length) { return ScaleForDpi(length, dpi); };
  const int width = client.width;
  const int height = client.height;
  const int m = s(18);
  const int content_width = width - 2 * m;
  WindowLayout layout;
  const auto place = [&layout](WindowControl control, int x, int y, int w, int h) {
    layout[static_cast<std::size_t>(control)] = ControlRect{x, y, w, h};
  };
  using enum WindowControl;

  if (state.view == WindowView::kEntry) {
    int t = 14;
    if (state.name_shown) {
      place(kNameLabel, m, s(14), content_width, s(22));
      place(kNameField, m, s(40), content_width, s(32));
      t = 80;
    }
    place(kTicketLabel, m, s(t), content_width, s(22));
    place(kTicketField, m, s(t) + s(26), content_width - s(12) - s(104), s(32));
    place(kConnect, width - s(104) - m, s(t) + s(26), s(104), s(32));
    return layout;
  }

  const int y = height - s(52);
  place(kDetailsToggle, m, y, s(116), s(36));
  place(kClose, width - m - s(80), y, s(80), s(36));
  place(kStopSupport, width - m - s(80) - s(136), y, s(124), s(36));
  if (state.view == WindowView::kCompact) {
    place(kPromptLine, m, s(14), content_width, s(48));
    place(kAllow, m, s(66), content_width, s(48));
    return layout;
  }
  const int b = state.warning_shown ? s(72) : 0;
  place(kTitle, m, s(16), content_width, s(30));
  place(kStatusLine, m, s(54), content_width, s(46));
  if (state.warning_shown) place(kBanner, m, s(106), content_width, s(68));
  place(kDetailsText, m, s(110) + b, content_width, height - b - s(330));
  place(kConnect, m, height - s(208), s(160), s(30));
  place(kExplanation, m, height - s(166), content_width, s(54));
  place(kAllow, m, height - s(108), content_width, s(48));
  return layout;
}

}  // namespace varnel
