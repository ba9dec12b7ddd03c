// Outside texts made safe to show: one line, no direction controls, cut to their limit.
#include "util/shown_text.h"

#include <algorithm>

#include "util/utf.h"

namespace varnel {
namespace {

// Units that start a new line or act as control characters in an edit control, a static, a
// title bar or a message box.
bool IsShownAsSpace(char16_t unit) {
  return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029;
}

}  // namespace

bool IsBidiControl(char16_t unit) {
  return (unit >= 0x202A && unit <= 0x202E) || (unit >= 0x2066 && unit <= 0x2069) ||
         unit == 0x200E || unit == 0x200F || unit == 0x061C;
}

std::u16string ShownLine(std::u16string_view text, std::size_t max_units) {
  std::u16string shown;
  // A reply may hold texts of hundreds of thousands of units; only what is shown is looked at.
  shown.reserve(std::min(text.size(), max_units));
  for (const char16_t unit : text) {
    if (IsBidiControl(unit)) continue;
    if (shown.size() == max_units) {
      if (IsLowSurrogate(unit) && !shown.empty() && IsHighSurrogate(shown.back())) {
        shown.pop_back();
      }
      break;
    }
    shown.push_back(IsShownAsSpace(unit) ? u' ' : unit);
  }
  return shown;
}

}  // namespace varnel
