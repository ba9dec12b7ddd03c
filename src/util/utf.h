#pragma once
// UTF-8 exists only on the wire; everything inside the program is UTF-16. These two conversions
// are the only bridge, and neither can fail: malformed input becomes U+FFFD, as the platform's
// own converters do, so a hostile peer can never make a text unreadable. The code-point pieces
// below are the same conversions one character at a time, for code (the JSON layer) that writes
// into buffers of its own.
#include <cstddef>
#include <string>
#include <string_view>

namespace varnel {

// Each maximal ill-formed subsequence (truncated sequence, stray continuation byte, overlong
// form, encoded surrogate, value above U+10FFFF) becomes one U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// A lone surrogate becomes U+FFFD (EF BF BD); everything else is encoded exactly.
std::string Utf16ToUtf8(std::u16string_view utf16);

// For fixed ASCII texts only (messages, keys, literals): widens byte by byte.
std::u16string AsciiToUtf16(std::string_view ascii);

constexpr bool IsHighSurrogate(char32_t unit) noexcept { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool IsLowSurrogate(char32_t unit) noexcept { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr bool IsSurrogate(char32_t unit) noexcept { return unit >= 0xD800 && unit <= 0xDFFF; }
constexpr char32_t CombineSurrogates(char32_t high, char32_t low) noexcept {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

constexpr std::size_t Utf8Length(char32_t code_point) noexcept {
  return code_point < 0x80 ? 1 : code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
}

// Writes the Utf8Length(code_point) bytes of a code point (no surrogate) at `out`; returns the end.
inline char* EncodeUtf8(char32_t code_point, char* out) noexcept {
  if (code_point < 0x80) {
    *out++ = static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    *out++ = static_cast<char>(0xC0 | (code_point >> 6));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (code_point >> 12));
    *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (code_point >> 18));
    *out++ = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  }
  return out;
}

// Writes a code point as one UTF-16 unit or a surrogate pair at `out`; returns the end.
inline char16_t* EncodeUtf16(char32_t code_point, char16_t* out) noexcept {
  if (code_point < 0x10000) {
    *out++ = static_cast<char16_t>(code_point);
  } else {
    code_point -= 0x10000;
    *out++ = static_cast<char16_t>(0xD800 + (code_point >> 10));
    *out++ = static_cast<char16_t>(0xDC00 + (code_point & 0x3FF));
  }
  return out;
}

// Decodes the sequence that starts at `at` and moves `at` past it; a maximal ill-formed
// subsequence reads as U+FFFD, as in Utf8ToUtf16.
char32_t DecodeUtf8(std::string_view utf8, std::size_t& at) noexcept;

}  // namespace varnel
