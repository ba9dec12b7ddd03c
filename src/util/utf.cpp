// UTF-8 and UTF-16 conversions that never fail: malformed input becomes U+FFFD.
#include "util/utf.h"

namespace varnel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

char32_t DecodeUtf8(std::string_view utf8, std::size_t& at) noexcept {
  const auto lead = static_cast<unsigned char>(utf8[at]);
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  // The allowed range of the second byte narrows for E0, ED, F0 and F4 so that overlong forms,
  // surrogates and values above U+10FFFF are cut off at the first byte that proves them wrong.
  int length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    ++at;
    return kReplacement;
  }
  ++at;
  for (int k = 1; k < length; ++k) {
    if (at >= utf8.size()) return kReplacement;
    const auto byte = static_cast<unsigned char>(utf8[at]);
    const bool in_range = k == 1 ? (byte >= low && byte <= high) : IsContinuation(byte);
    if (!in_range) return kReplacement;
    value = (value << 6) | (byte & 0x3F);
    ++at;
  }
  return value;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  // Never more units than bytes; the buffer is cut to size at the end.
  std::u16string out(utf8.size(), u'\0');
  char16_t* next = out.data();
  std::size_t at = 0;
  while (at < utf8.size()) next = EncodeUtf16(DecodeUtf8(utf8, at), next);
  out.resize(static_cast<std::size_t>(next - out.data()));
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  // At most three bytes per unit: a pair of units makes four.
  std::string out(3 * utf16.size(), '\0');
  char* next = out.data();
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t value = utf16[i];
    if (IsHighSurrogate(value) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
      value = CombineSurrogates(value, utf16[i + 1]);
      ++i;
    } else if (IsSurrogate(value)) {
      value = kReplacement;
    }
    next = EncodeUtf8(value, next);
  }
  out.resize(static_cast<std::size_t>(next - out.data()));
  return out;
}

std::u16string AsciiToUtf16(std::string_view ascii) { return {ascii.begin(), ascii.end()}; }

}  // namespace varnel
