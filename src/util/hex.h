#pragma once
// Hexadecimal digits, read and written the same way everywhere.
#include <algorithm>
#include <cstddef>
#include <string_view>

namespace varnel {

inline constexpr char16_t kLowerHexDigits[] = u"0123456789abcdef";

// The value of one hexadecimal digit of either case, or -1.
constexpr int HexValue(char32_t c) noexcept {
  if (c >= u'0' && c <= u'9') return static_cast<int>(c - u'0');
  if (c >= u'a' && c <= u'f') return static_cast<int>(c - u'a') + 10;
  if (c >= u'A' && c <= u'F') return static_cast<int>(c - u'A') + 10;
  return -1;
}

// Exactly `length` digits, all of them from kLowerHexDigits: the form of the ids and secrets this
// program makes and the server's transfer ids. Upper-case digits read as hexadecimal too, yet
// are not that form.
constexpr bool IsLowerHex(std::u16string_view text, std::size_t length) noexcept {
  return text.size() == length && std::all_of(text.begin(), text.end(), [](char16_t c) {
           return HexValue(c) >= 0 && !(c >= u'A' && c <= u'F');
         });
}

}  // namespace varnel
