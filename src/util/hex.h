#pragma once
// Hexadecimal digits, read and written the same way everywhere.
namespace varnel {

inline constexpr char16_t kLowerHexDigits[] = u"0123456789abcdef";

// The value of one hexadecimal digit of either case, or -1.
constexpr int HexValue(char32_t c) noexcept {
  if (c >= u'0' && c <= u'9') return static_cast<int>(c - u'0');
  if (c >= u'a' && c <= u'f') return static_cast<int>(c - u'a') + 10;
  if (c >= u'A' && c <= u'F') return static_cast<int>(c - u'A') + 10;
  return -1;
}

}  // namespace varnel
