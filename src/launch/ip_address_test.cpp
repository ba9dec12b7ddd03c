// The IPv4 notation is compared with the C library's by the server URL fuzzer, which also reads
// every IPv6 address it accepts back from its full form; here are the IPv6 forms themselves.
#include "launch/ip_address.h"

#include <gtest/gtest.h>

#include <string_view>

#include "util/utf.h"

namespace varnel {
namespace {

// Compile-time use is part of the contract: the default server URL is checked with these parsers.
static_assert(ParseIpv4(u"192.168.0.1") == Ipv4Address{{192, 168, 0, 1}});
static_assert(!ParseIpv4(u"1.2.3"));
static_assert(ParseIpv6(u"::1")->bytes[15] == 1);

TEST(ParseIpv6Test, AcceptsFullCompressedAndDottedForms) {
  const std::pair<std::u16string_view, Ipv6Address> cases[] = {
      {u"::", {}},
      {u"1::", {{0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}},
      {u"2001:DB8:85a3::8A2E:370:7334",
       {{0x20, 0x01, 0x0d, 0xb8, 0x85, 0xa3, 0, 0, 0, 0, 0x8a, 0x2e, 0x03, 0x70, 0x73, 0x34}}},
      {u"1:2:3:4:5:6:1.2.3.4", {{0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 1, 2, 3, 4}}},
      // The tail of an IPv6 address may carry up to three digits per part.
      {u"1::001.2.3.4", {{0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}}},
      // "::" may stand for a single zero group, at either end or inside.
      {u"::0:a:b:c:d:e:f", {{0, 0, 0, 0, 0, 0xa, 0, 0xb, 0, 0xc, 0, 0xd, 0, 0xe, 0, 0xf}}},
      {u"1:2:3::5:6:7:8", {{0, 1, 0, 2, 0, 3, 0, 0, 0, 5, 0, 6, 0, 7, 0, 8}}},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ParseIpv6(text), expected) << Utf16ToUtf8(text);
  }
}

TEST(ParseIpv6Test, RefusesWhatThePlatformParserRefuses) {
  // A dotted tail needs six groups before it (at most five with "::") and must end the address.
  for (std::u16string_view text :
       {u"", u":", u":::", u"1111::5555:", u"1:2:3:4:5:6:7", u"1:2:3:4:5:6::7:8", u"1::2::3",
        u"12345::1", u"::01234", u"g::1", u"fe80::1%1", u"[::1]", u" ::1", u"1.2.3.4",
        u"1:2:3:4:5:6:7:1.2.3.4", u"1::1.2.3.4::1", u"1::0001.2.3.4", u"1::1.2.3.256",
        u"::1.2.3."}) {
    EXPECT_FALSE(ParseIpv6(text)) << Utf16ToUtf8(text);
  }
}

}  // namespace
}  // namespace varnel
