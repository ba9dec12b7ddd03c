#include "util/utf.h"

#include <cstdint>

namespace varnel {
namespace {

constexpr char16_t kReplacement = u'\uFFFD';

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

void AppendCodePoint(std::u16string& out, char32_t code_point) {
  if (code_point < 0x10000) {
    out.push_back(static_cast<char16_t>(code_point));
  } else {
    code_point -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
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
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t consumed = 1;
    bool complete = true;
    for (int k = 1; k < length; ++k) {
      if (i + consumed >= utf8.size()) {
        complete = false;
        break;
      }
      const auto byte = static_cast<unsigned char>(utf8[i + consumed]);
      const bool in_range = k == 1 ? (byte >= low && byte <= high) : IsContinuation(byte);
      if (!in_range) {
        complete = false;
        break;
      }
      value = (value << 6) | (byte & 0x3F);
      ++consumed;
    }
    if (complete) {
      AppendCodePoint(out, value);
    } else {
      out.push_back(kReplacement);
    }
    i += consumed;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t value = utf16[i];
    if (value >= 0xD800 && value <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      value = 0x10000 + ((value - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (value >= 0xD800 && value <= 0xDFFF) {
      value = kReplacement;
    }
    if (value < 0x80) {
      out.push_back(static_cast<char>(value));
    } else if (value < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (value >> 6)));
      out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (value >> 12)));
      out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (value >> 18)));
      out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
  }
  return out;
}

std::u16string AsciiToUtf16(std::string_view ascii) { return {ascii.begin(), ascii.end()}; }

}  // namespace varnel
