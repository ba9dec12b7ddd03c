// The fuzzer holds what every outcome promises (a refusal is the sentence of the first failing
// check, normalising is idempotent, permission only widens); here are the exact sentences and
// the boundaries.
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
static_assert(InspectServerUrl(u"wss://a..b/", false).fault == ServerUrlFault::kInvalidHostName);

constexpr std::u16string_view kInsecure =
    u"Use the default support URL, wss://, or --allow-insecure-local with a localhost or private "
    u"IP address.";

std::u16string Outcome(std::u16string_view url, bool allow_insecure_local = true) {
  try {
    return u"accepted as " + ValidateServerUrl(url, allow_insecure_local).url;
  } catch (const LaunchError& error) {
    return error.message();
  }
}

TEST(ValidateServerUrlTest, NormalisesAcceptedUrls) {
  EXPECT_EQ(ValidateServerUrl(u"wss://Server1.LAN/Client", false),
            (ServerEndpoint{u"wss://server1.lan:443/Client", u"server1.lan", u"/Client",
                            u"wss://server1.lan:443", 443, true}));
  EXPECT_EQ(ValidateServerUrl(u"wss://[FE80::AB]:1/x", false),
            (ServerEndpoint{u"wss://[fe80::ab]:1/x", u"fe80::ab", u"/x", u"wss://[fe80::ab]:1", 1,
                            true}));
  const std::pair<std::u16string_view, std::u16string_view> cases[] = {
      {u"Ws://LOCALHOST", u"ws://localhost:80/"},
      {u"wss://host:00080/", u"wss://host:80/"},
      {u"wss://8.8.8.8:65535", u"wss://8.8.8.8:65535/"},
      {u"wss://h/a%2Fb%C3%a9", u"wss://h:443/a%2Fb%C3%a9"},
      {u"wss://h/a/../B/./c//:@!$&'()*+,;=~_-.", u"wss://h:443/a/../B/./c//:@!$&'()*+,;=~_-."},
      {u"wss://1.2.3.4a", u"wss://1.2.3.4a:443/"},
  };
  for (const auto& [text, url] : cases) {
    EXPECT_EQ(Outcome(text), u"accepted as " + std::u16string(url)) << Utf16ToUtf8(text);
  }
}

TEST(ValidateServerUrlTest, PlainWsOnlyToLocalHostsAndOnlyWhenAllowed) {
  for (std::u16string_view url : {u"ws://localhost", u"ws://10.1.2.3", u"ws://172.16.0.1",
                                  u"ws://172.31.255.255", u"ws://192.168.0.10", u"ws://127.0.0.2",
                                  u"ws://[::1]:9000", u"ws://[fd00::1]", u"ws://[fc00::]"}) {
    EXPECT_EQ(Outcome(url).substr(0, 11), u"accepted as") << Utf16ToUtf8(url);
    EXPECT_EQ(Outcome(url, false), kInsecure) << Utf16ToUtf8(url);
  }
  for (std::u16string_view url :
       {u"ws://172.32.0.1", u"ws://172.15.0.1", u"ws://192.169.0.1", u"ws://[fe80::1]",
        u"ws://[::ffff:127.0.0.1]", u"ws://[fe00::1]", u"ws://localhost.lan", u"ws://localhos"}) {
    EXPECT_EQ(Outcome(url), kInsecure) << Utf16ToUtf8(url);
  }
}

TEST(ValidateServerUrlTest, RefusesWithTheReasonOfTheFirstFailingCheck) {
  const std::u16string label63(63, u'a');
  const std::u16string host253 =
      label63 + u'.' + label63 + u'.' + label63 + u'.' + std::u16string(61, u'b');
  const std::u16string path2041 = u"/" + std::u16string(2040, u'p');
  EXPECT_EQ(Outcome(u"wss://" + label63 + u".lan"), u"accepted as wss://" + label63 + u".lan:443/");
  EXPECT_EQ(Outcome(u"wss://" + host253 + u":1"), u"accepted as wss://" + host253 + u":1/");
  EXPECT_EQ(Outcome(u"wss://h" + path2041), u"accepted as wss://h:443" + path2041);

  const std::pair<std::u16string_view, std::vector<std::u16string>> cases[] = {
      {u"The server URL must contain only ASCII characters and no spaces.",
       {u"wss://a b/", u"wss://host/\u00e9", u"wss://host/a\\b", u"wss://h" + path2041 + u"p"}},
      // The scheme is checked before the query.
      {u"Use a wss:// server URL, or ws:// for local development.",
       {u"", u"wss:/host", u"wsss://host/", u"http://host/?x"}},
      {u"Query strings and fragments are not allowed in the server URL.",
       {u"wss://host/a?b", u"wss://host#frag"}},
      {u"The server host is missing or the URL contains credentials.",
       {u"wss://", u"wss:///path", u"wss://user@host/"}},
      {u"Enclose the IPv6 address in square brackets.", {u"wss://[::1", u"wss://[::1/]"}},
      {u"Invalid IPv6 address.", {u"wss://[]", u"wss://[fe80::1%251]"}},
      {u"Invalid port format after the IPv6 address.", {u"wss://[::1]x"}},
      {u"Invalid server host length.", {u"wss://:443/", u"wss://" + host253 + u"b"}},
      {u"Invalid IPv4 address.", {u"wss://1.2.3", u"wss://256.1.1.1", u"wss://01.2.3.4"}},
      {u"Invalid server host name.",
       {u"wss://a-.lan", u"wss://-a.lan", u"wss://a_b.lan", u"wss://a" + label63 + u".lan"}},
      {u"Remove the trailing dot from the host name.", {u"wss://server1.lan.", u"wss://a.:80"}},
      {u"The port must be a number from 1 to 65535.",
       {u"wss://[::1]:", u"wss://host:123456", u"wss://host:80a", u"wss://host:1:2"}},
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
    for (const std::u16string& url : urls) EXPECT_EQ(Outcome(url), message) << Utf16ToUtf8(url);
  }
}

}  // namespace
}  // namespace varnel
