#pragma once
// The Windows C runtime's wide iswspace class, fixed here so that the answer never depends on a
// locale or on the C library of the machine that runs the tests. Sources: below U+0100 the UCRT's
// own table (U+0009 to U+000D, U+0020, U+0085, U+00A0); from U+0100 up iswctype asks
// GetStringTypeW for C1_SPACE, which Windows gives the Unicode space separators and the line and
// paragraph separators (Zs, Zl, Zp). Together: the Unicode White_Space set.

namespace varnel {

constexpr bool IsWideSpace(char16_t unit) noexcept {
  switch (unit) {
    case 0x0020:
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return (unit >= 0x0009 && unit <= 0x000D) || (unit >= 0x2000 && unit <= 0x200A);
  }
}

}  // namespace varnel
