#include "util/shown_text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace varnel {
namespace {

using namespace std::string_literals;

TEST(ShownLine, BreaksBecomeSpacesAndDirectionControlsVanish) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"Alice\r\nPermissions: None", u"Alice  Permissions: None"},
      {u"a\0b"s, u"a b"},  // a NUL must not end the text for the window calls
      {u"\t\v\f\x1b\x1f", u"     "},
      {u"a\x7F\x80\x85\x9F\xA0z", u"a    \xA0z"},  // C1 ends at U+009F; U+00A0 is a real blank
      {u"x\u2028y\u2029z", u"x y z"},
      {u"invoice\u202Efdp.exe", u"invoicefdp.exe"},
      {u"\u202A\u202B\u202C\u202D\u202Eab\u2066\u2067\u2068\u2069\u200E\u200F\u061Ccd", u"abcd"},
      {u"\u2065\u206A\u200D\u0627", u"\u2065\u206A\u200D\u0627"},  // neighbours are text
      {u"", u""},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(ShownLine(text), shown);
}

TEST(ShownLine, CutsAfterDroppingAndNeverInsideAPair) {
  const std::u16string pair = u"\U0001F600";
  const std::u16string x79(79, u'x');
  const std::pair<std::u16string, std::u16string> cases[] = {
      {std::u16string(81, u'x'), std::u16string(80, u'x')},
      {x79 + pair, x79},  // the pair would straddle the cut
      {x79.substr(1) + pair + u"y", x79.substr(1) + pair},
      {x79 + u"\u202E" + u"yz", x79 + u"y"},  // a dropped control takes no room
      {x79 + u"\u202E" + pair, x79},          // nor does it join the pair to the text before
      {x79 + u"\xD800", x79 + u"\xD800"},     // a lone half is the text's own, not the cut's
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(ShownLine(text), shown);
  EXPECT_EQ(ShownLine(u"abc", 0), u"");
  EXPECT_EQ(ShownLine(std::u16string(500, u'\n'), kWholeLine), std::u16string(500, u' '));
}

}  // namespace
}  // namespace varnel
