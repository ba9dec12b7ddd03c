#include "util/utf.h"

#include <gtest/gtest.h>

namespace varnel {
namespace {

TEST(Utf8ToUtf16, DecodesEveryEncodingLength) {
  EXPECT_EQ(Utf8ToUtf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), u"a\u00E9\u20AC\U0001F600");
}

TEST(Utf8ToUtf16, ReplacesEachMaximalIllFormedSubsequenceOnce) {
  EXPECT_EQ(Utf8ToUtf16("\x80"), u"\uFFFD");                      // stray continuation
  EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\uFFFD");                      // truncated at the end
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82x"), u"\uFFFDx");                // truncated before ASCII
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong lead never valid
  EXPECT_EQ(Utf8ToUtf16("\xE0\x80\x80"), u"\uFFFD\uFFFD\uFFFD");  // overlong three-byte
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  EXPECT_EQ(Utf8ToUtf16("\xFF"), u"\uFFFD");
}

TEST(Utf16ToUtf8, EncodesPairsAndReplacesLoneSurrogates) {
  EXPECT_EQ(Utf16ToUtf8(u"a\u00E9\U0001F600"), "a\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t{0xDC00}, u'x'}), "\xEF\xBF\xBDx");
}

TEST(Utf, RoundTripsEveryScalarValueBoundary) {
  for (char32_t value :
       {0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    std::u16string text;
    if (value < 0x10000) {
      text.push_back(static_cast<char16_t>(value));
    } else {
      text.push_back(static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10)));
      text.push_back(static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
    }
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text) << static_cast<unsigned>(value);
  }
}

}  // namespace
}  // namespace varnel
