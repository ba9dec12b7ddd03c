#include "util/shown_text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace varnel {
namespace {

using namespace std::string_literals;

TEST(ShownLine, OneLineWithoutDirectionControlsCutOutsideAPair) {
  const std::u16string x79(79, u'x');
  const std::u16string pair = u"\U0001F600";
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"A\r\nB\0C\x85\x9F\u2028\u2029\xA0"s, u"A  B C    \xA0"},  // U+00A0 is a real blank
      {u"invoice\u202Efdp.exe\u2066\u200E\u061C", u"invoicefdp.exe"},
      {u"\u2065\u206A\u200D\u0627", u"\u2065\u206A\u200D\u0627"},  // neighbours are text
      {x79 + u"yz", x79 + u"y"},
      {x79 + pair, x79},  // the pair would straddle the cut
      {x79.substr(1) + pair + u"y", x79.substr(1) + pair},
      {x79 + u"\u202E" + pair, x79},       // a dropped control takes no room
      {x79 + u"\xD800", x79 + u"\xD800"},  // a lone half is the text's own
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(ShownLine(text), shown);
  EXPECT_EQ(ShownLine(u"abc", 0), u"");
  EXPECT_EQ(ShownLine(std::u16string(500, u'\n'), kWholeLine), std::u16string(500, u' '));
}

}  // namespace
}  // namespace varnel
