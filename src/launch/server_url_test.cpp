#include "launch/server_url.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "launch/launch_error.h"
#include "launch/server_url_rules.h"
#include "util/utf.h"

namespace varnel {
namespace {

// The build refuses a bad default URL with this check; it must work at compile time.
static_assert(InspectServerUrl(u"wss://support.example:47812/client", false).fault ==
              ServerUrlFault::kNone);
static_assert(InspectServerUrl(u"wss://a..b/", false).fault == ServerUrlFault::kInvalidHostName);
static_assert(!InspectServerUrl(u"ws://localhost/", true).secure);

constexpr std::u16string_view kInsecure =
    u"Use the default support URL, wss://, or --allow-insecure-local with a localhost or private "
    u"IP address.";

std::u16string Outcome(std::u16string_view url, bool allow_insecure_local) {
  try {
    return u"accepted as " + ValidateServerUrl(url, allow_insecure_local).url;
  } catch (const LaunchError& error) {
    EXPECT_STREQ(error.what(), "Invalid launch options");
    return error.message();
  }
}

TEST(ValidateServerUrlTest, NormalisesAcceptedUrls) {
  EXPECT_EQ(ValidateServerUrl(u"wss://Server1.LAN/Client", false),
            (ServerEndpoint{u"wss://server1.lan:443/Client", u"server1.lan", u"/Client",
                            u"wss://server1.lan:443", 443, true}));
  EXPECT_EQ(
      ValidateServerUrl(u"Ws://LOCALHOST", true),
      (ServerEndpoint{u"ws://localhost:80/", u"localhost", u"/", u"ws://localhost:80", 80, false}));
  EXPECT_EQ(ValidateServerUrl(u"wss://[FE80::AB]:1/x", false),
            (ServerEndpoint{u"wss://[fe80::ab]:1/x", u"fe80::ab", u"/x", u"wss://[fe80::ab]:1", 1,
                            true}));

  const std::pair<std::u16string_view, std::u16string_view> cases[] = {
      {u"WSS://host:47812/client", u"wss://host:47812/client"},
      {u"ws://[::1]:9000", u"ws://[::1]:9000/"},
      {u"wss://8.8.8.8:65535", u"wss://8.8.8.8:65535/"},
      {u"wss://host:00080/", u"wss://host:80/"},
      {u"wss://h/a%2Fb%C3%a9", u"wss://h:443/a%2Fb%C3%a9"},
      {u"wss://h/a/../B/./c//:@!$&'()*+,;=~_-.", u"wss://h:443/a/../B/./c//:@!$&'()*+,;=~_-."},
      {u"wss://1.2.3.4a", u"wss://1.2.3.4a:443/"},
  };
  for (const auto& [text, url] : cases) {
    EXPECT_EQ(Outcome(text, true), u"accepted as " + std::u16string(url)) << Utf16ToUtf8(text);
  }
  // What is shown and stored must itself pass the same check unchanged.
  for (const std::u16string_view text : {u"Ws://LOCALHOST", u"wss://[FE80::AB]:1/x"}) {
    const ServerEndpoint endpoint = ValidateServerUrl(text, true);
    EXPECT_EQ(ValidateServerUrl(endpoint.url, true), endpoint);
  }
}

TEST(ValidateServerUrlTest, PlainWsOnlyToLocalHostsAndOnlyWhenAllowed) {
  for (std::u16string_view url : {u"ws://localhost", u"ws://10.1.2.3", u"ws://172.16.0.1",
                                  u"ws://172.31.255.255", u"ws://192.168.0.10", u"ws://127.0.0.2",
                                  u"ws://[::1]:9000", u"ws://[fd00::1]", u"ws://[fc00::]"}) {
    EXPECT_EQ(Outcome(url, true).substr(0, 11), u"accepted as") << Utf16ToUtf8(url);
    EXPECT_EQ(Outcome(url, false), kInsecure) << Utf16ToUtf8(url);
  }
  for (std::u16string_view url :
       {u"ws://172.32.0.1", u"ws://172.15.0.1", u"ws://8.8.8.8", u"ws://192.169.0.1",
        u"ws://11.0.0.1", u"ws://[fe80::1]", u"ws://[::ffff:127.0.0.1]", u"ws://[::2]",
        u"ws://[fe00::1]", u"ws://server1", u"ws://localhost.lan", u"ws://localhos"}) {
    EXPECT_EQ(Outcome(url, true), kInsecure) << Utf16ToUtf8(url);
  }
  EXPECT_EQ(Outcome(u"wss://[fe80::1]", false), u"accepted as wss://[fe80::1]:443/");
}

TEST(ValidateServerUrlTest, RefusesWithTheReasonOfTheFirstFailingCheck) {
  const std::pair<std::u16string_view, std::vector<std::u16string_view>> cases[] = {
      {u"The server URL must contain only ASCII characters and no spaces.",
       {u"wss://a b/", u"wss://host/\u00e9", u"wss://host/a\\b", u"wss://host/\x7f"}},
      // The scheme is checked before the query.
      {u"Use a wss:// server URL, or ws:// for local development.",
       {u"", u"wss:/host", u"https://host/", u"wsss://host/", u"http://host/?x"}},
      {u"Query strings and fragments are not allowed in the server URL.",
       {u"wss://host/a?b", u"wss://host#frag"}},
      {u"The server host is missing or the URL contains credentials.",
       {u"wss://", u"wss:///path", u"wss://user@host/"}},
      {u"Enclose the IPv6 address in square brackets.", {u"wss://[::1", u"wss://[::1/]"}},
      {u"Invalid IPv6 address.", {u"wss://[]", u"wss://[::g]", u"wss://[fe80::1%251]"}},
      {u"Invalid port format after the IPv6 address.", {u"wss://[::1]x", u"wss://[::1]]"}},
      {u"Invalid server host length.", {u"wss://::1", u"wss://:443/"}},
      {u"Invalid IPv4 address.",
       {u"wss://1.2.3", u"wss://256.1.1.1", u"wss://01.2.3.4", u"wss://1.2.3.4."}},
      {u"Invalid server host name.",
       {u"wss://a-.lan", u"wss://-a.lan", u"wss://a_b.lan", u"wss://a..b"}},
      {u"Remove the trailing dot from the host name.", {u"wss://server1.lan.", u"wss://a.:80"}},
      {u"The port must be a number from 1 to 65535.",
       {u"wss://[::1]:", u"wss://host:123456", u"wss://host:80a", u"wss://host:",
        u"wss://host:1:2"}},
      // The port is checked before insecure use, and insecure use before the path.
      {u"The port must be between 1 and 65535.",
       {u"wss://[::1]:0", u"wss://host:0", u"wss://host:65536", u"ws://8.8.8.8:0"}},
      {kInsecure, {u"ws://8.8.8.8/a%zz"}},
      {u"Invalid percent encoding in the URL path.", {u"wss://h/a%2", u"wss://h/a%zz"}},
      {u"Control characters and backslashes are not allowed in the URL path.",
       {u"wss://h/a%5Cb", u"wss://h/a%7F", u"wss://h/a%0A"}},
      {u"The URL path contains an unsupported character.",
       {u"wss://h/a\"b", u"wss://h/a<b", u"wss://h/a|b", u"wss://h/a[b]", u"wss://h/a`b"}},
  };
  for (const auto& [message, urls] : cases) {
    for (const std::u16string_view url : urls) {
      EXPECT_EQ(Outcome(url, true), message) << Utf16ToUtf8(url);
    }
  }
}

TEST(ValidateServerUrlTest, LengthLimits) {
  const std::u16string label63(63, u'a');
  EXPECT_EQ(ValidateServerUrl(u"wss://" + label63 + u".lan", false).host, label63 + u".lan");
  EXPECT_EQ(Outcome(u"wss://a" + label63 + u".lan", false), u"Invalid server host name.");

  // 253 units in all (four labels of 63 and separators, less one character).
  const std::u16string host253 =
      label63 + u'.' + label63 + u'.' + label63 + u'.' + std::u16string(61, u'b');
  ASSERT_EQ(host253.size(), 253u);
  EXPECT_EQ(ValidateServerUrl(u"wss://" + host253 + u":1", false).host, host253);
  EXPECT_EQ(Outcome(u"wss://" + host253 + u"b", false), u"Invalid server host length.");

  const std::u16string at_limit = u"wss://h/" + std::u16string(2040, u'p');
  EXPECT_EQ(ValidateServerUrl(at_limit, false).path.size(), 2041u);
  EXPECT_EQ(Outcome(at_limit + u"p", false),
            u"The server URL must contain only ASCII characters and no spaces.");
}

}  // namespace
}  // namespace varnel
