#include "util/utf.h"

#include <gtest/gtest.h>

#include <string_view>
#include <utility>

namespace varnel {
namespace {

TEST(Utf, EveryEncodingLengthAtItsBoundariesConvertsBothWays) {
  const std::pair<std::string_view, std::u16string_view> cases[] = {
      {"a\x7F", u"a\x7F"},
      {"\xC2\x80", u"\x80"},
      {"\xDF\xBF", u"\x7FF"},
      {"\xE0\xA0\x80", u"\x800"},
      {"\xED\x9F\xBF", u"\xD7FF"},
      {"\xEE\x80\x80", u"\xE000"},
      {"\xEF\xBF\xBF", u"\xFFFF"},
      {"\xF0\x90\x80\x80", u"\U00010000"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
  };
  for (const auto& [utf8, utf16] : cases) {
    EXPECT_EQ(Utf8ToUtf16(utf8), utf16) << utf8.size() << " bytes";
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8) << utf8.size() << " bytes";
  }
}

TEST(Utf8ToUtf16, ReplacesEachMaximalIllFormedSubsequenceOnce) {
  EXPECT_EQ(Utf8ToUtf16("\x80"), u"\uFFFD");                      // stray continuation
  EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\uFFFD");                      // truncated at the end
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82x"), u"\uFFFDx");                // truncated before ASCII
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong lead never valid
  EXPECT_EQ(Utf8ToUtf16("\xE0\x80\x80"), u"\uFFFD\uFFFD\uFFFD");  // overlong three-byte
  EXPECT_EQ(Utf8ToUtf16("\xF0\x8F\xBF\xBF"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // overlong four-byte
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  EXPECT_EQ(Utf8ToUtf16("\xF5\x80\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // lead never valid
  EXPECT_EQ(Utf8ToUtf16("\xFF"), u"\uFFFD");
}

TEST(Utf16ToUtf8, ReplacesLoneSurrogates) {
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t{0xD800}, u'x'}), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t{0xDC00}, u'x'}), "\xEF\xBF\xBDx");
}

}  // namespace
}  // namespace varnel
