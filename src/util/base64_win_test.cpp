// What the platform's Base64 decoder accepts and refuses, as the file transfer relies on it: a
// text it accepts decodes to exactly the size it announced first, so the announced file size
// cannot be overrun; characters outside the alphabet are refused, so garbage is "Invalid file
// data" rather than a corrupt file.
#include "util/base64_win.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "util/utf.h"

namespace varnel {
namespace {

struct DecodeCase {
  std::u16string text;
  std::optional<std::string> bytes;  // nothing: refused
};

TEST(Base64, WhatTheDecoderAcceptsAndRefuses) {
  const DecodeCase cases[] = {
      {u"QUJD", "ABC"},
      {u"QUI=", "AB"},
      {u"QQ==", "A"},
      {u"QUJD\r\nREVG", "ABCDEF"},
      {u"QUJD\nREVG", "ABCDEF"},
      {u"QUJD REVG", "ABCDEF"},
      // Lax: the engine checks these against the letters the text carries (file_transfer.cpp).
      {u"QUI", "AB"},
      {u"QQ==QUJD", "A"},
      {u"QUJ$", std::nullopt},
      {u"QU-D", std::nullopt},
      {u"QU_D", std::nullopt},
      {u"QUJ\u00e9", std::nullopt},
      {u"@@@@", std::nullopt},
      {std::u16string(u"QU\0D", 4), std::nullopt},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.text));
    const std::optional<std::size_t> size = DecodedBase64Size(c.text);
    const std::optional<std::vector<std::uint8_t>> bytes = DecodeBase64(c.text);
    ASSERT_EQ(bytes.has_value(), c.bytes.has_value());
    ASSERT_EQ(size.has_value(), c.bytes.has_value());
    if (c.bytes) {
      EXPECT_EQ(std::string(bytes->begin(), bytes->end()), *c.bytes);
      EXPECT_EQ(*size, bytes->size());
    }
  }
}

TEST(Base64, EveryByteAndAFullChunkRoundTripWithoutLineBreaks) {
  std::vector<std::uint8_t> bytes(196608);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  for (const std::size_t length :
       {std::size_t{1}, std::size_t{2}, std::size_t{256}, bytes.size()}) {
    const std::vector<std::uint8_t> part(bytes.begin(), bytes.begin() + static_cast<long>(length));
    const std::u16string text = EncodeBase64(part);
    EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(text.find_first_of(u"\r\n"), std::u16string::npos);
    EXPECT_EQ(DecodeBase64(text), part);
  }
}

}  // namespace
}  // namespace varnel
