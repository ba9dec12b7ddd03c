#include "launch/launch_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "build_config.h"
#include "util/utf.h"

namespace varnel {
namespace {

using Args = std::vector<std::u16string>;

std::u16string RejectionOf(const Args& args) {
  try {
    ParseLaunchOptions(args);
    return u"(accepted)";
  } catch (const LaunchError& error) {
    EXPECT_STREQ(error.what(), "Invalid launch options");
    return error.message();
  }
}

std::string Joined(const Args& args) {
  std::string text;
  for (const auto& arg : args) text += "[" + Utf16ToUtf8(arg) + "]";
  return text;
}

const std::u16string kInvalidValue = u"Empty, too long, or invalid value for option: ";
const std::u16string kCompanyMessage = u"--ixcompany must be a 32-bit integer.";
const std::u16string kCompany2Only =
    u"--identity is for --ixcompany 2. Other customers enter their name in the support window.";
const std::u16string kFiveFields =
    u"--identity must contain market code|store code|vendor code|program name|version.";
const std::u16string kFieldLength = u"Each --identity field must contain 1 to 128 characters.";
const std::u16string kRepeated = u"Do not repeat --identity fields as separate launch options.";

TEST(ParseLaunchOptionsTest, NoArgumentsGiveTheStandaloneDefaults) {
  const LaunchOptions options = ParseLaunchOptions({});
  LaunchOptions expected;
  expected.server = ValidateServerUrl(build::kDefaultServerUrl, false);
  expected.program_name = u"Quillory";
  expected.program_version = u"2026.10.6.1";
  EXPECT_EQ(options, expected);
  EXPECT_EQ(options.ixcompany, 1);
  EXPECT_TRUE(options.customer_name_required);
  EXPECT_TRUE(options.server.secure);
}

TEST(ParseLaunchOptionsTest, LoneHelpSetsOnlyShowHelp) {
  LaunchOptions expected;
  expected.show_help = true;
  EXPECT_EQ(ParseLaunchOptions({u"--help"}), expected);
  EXPECT_EQ(RejectionOf({u"--help", u"--requester", u"Ann"}), u"Unknown option: --help");
  EXPECT_EQ(RejectionOf({u"--requester", u"Ann", u"--help"}), u"Unknown option: --help");
  EXPECT_EQ(RejectionOf({u"--HELP"}), u"Unknown option: --HELP");
}

TEST(ParseLaunchOptionsTest, AtMost28ArgumentsAndTheLimitIsCheckedFirst) {
  // Every option once: 26 arguments, the most a successful parse can have.
  // clang-format off
  const Args all = {
      u"--server-url", u"wss://h/",   u"--market-code", u"m",        u"--market-name", u"m",
      u"--store-code", u"s",          u"--store-name", u"s",         u"--vendor-code", u"v",
      u"--vendor-name", u"v",         u"--program-name", u"p",       u"--program-version", u"1",
      u"--requester", u"r",           u"--reason", u"r",             u"--ixcompany", u"2",
      u"--legacy-auto-connect",       u"--allow-insecure-local"};
  // clang-format on
  ASSERT_EQ(all.size(), 26u);
  EXPECT_EQ(ParseLaunchOptions(all).server.url, u"wss://h:443/");

  // 28 are scanned to the end ...
  Args twenty_eight = all;
  twenty_eight.insert(twenty_eight.end(), {u"--bogus", u"x"});
  EXPECT_EQ(RejectionOf(twenty_eight), u"Unknown option: --bogus");

  // ... 29 are refused before any of them is looked at, valid or not.
  Args twenty_nine = twenty_eight;
  twenty_nine.push_back(u"x");
  EXPECT_EQ(RejectionOf(twenty_nine), u"Too many command-line arguments.");
  Args many_flags(29, u"--legacy-auto-connect");
  EXPECT_EQ(RejectionOf(many_flags), u"Too many command-line arguments.");
  Args help_first(29, u"x");
  help_first[0] = u"--help";
  EXPECT_EQ(RejectionOf(help_first), u"Too many command-line arguments.");
}

TEST(ParseLaunchOptionsTest, CompanyNumber) {
  struct Case {
    Args args;
    int company;
  };
  const Case accepted[] = {
      {{u"--ixcompany"}, 1},
      {{u"--ixcompany", u""}, 1},
      {{u"--ixcompany", u"--reason", u"why"}, 1},
      {{u"--ixcompany", u"+2"}, 2},
      {{u"--ixcompany", u"-5"}, -5},
      {{u"--ixcompany", u"007"}, 7},
      {{u"--ixcompany", u"2147483647"}, 2147483647},
      {{u"--ixcompany", u"-2147483648"}, -2147483647 - 1},
  };
  for (const Case& c : accepted) {
    SCOPED_TRACE(Joined(c.args));
    LaunchOptions options;
    ASSERT_NO_THROW(options = ParseLaunchOptions(c.args));
    EXPECT_EQ(options.ixcompany, c.company);
  }
  EXPECT_EQ(ParseLaunchOptions({u"--ixcompany", u"--reason", u"why"}).reason, u"why");

  for (std::u16string value : {u"2147483648", u"-2147483649", u"99999999999999999999", u"+", u"-",
                               u" 2", u"2 ", u"2x", u"0x2", u"２", u"+-2", u"1e3"}) {
    EXPECT_EQ(RejectionOf({u"--ixcompany", value}), kCompanyMessage) << Utf16ToUtf8(value);
  }
  EXPECT_EQ(RejectionOf({u"--ixcompany", u"   "}), kInvalidValue + u"--ixcompany");
}

TEST(ParseLaunchOptionsTest, ValueChecks) {
  EXPECT_EQ(ParseLaunchOptions({u"--reason", std::u16string(512, u'r')}).reason.size(), 512u);
  EXPECT_EQ(RejectionOf({u"--reason", std::u16string(513, u'r')}), kInvalidValue + u"--reason");
  EXPECT_EQ(ParseLaunchOptions({u"--requester", std::u16string(128, u'r')}).requester.size(), 128u);
  EXPECT_EQ(RejectionOf({u"--requester", std::u16string(129, u'r')}),
            kInvalidValue + u"--requester");
  EXPECT_EQ(RejectionOf({u"--ixcompany", std::u16string(129, u'1')}),
            kInvalidValue + u"--ixcompany");

  for (std::u16string bad : {u"", u"   ", u"a\tb", u"line\n", u"\x7f", u"\x1f", u"\u00a0\u3000",
                             u"\u2028", u"\u0085 ", u"\u2000\u200a\u205f\u202f\u1680"}) {
    EXPECT_EQ(RejectionOf({u"--market-name", bad}), kInvalidValue + u"--market-name")
        << Utf16ToUtf8(bad);
  }
  for (std::u16string good : {u"Zoë Ångström", u"a | b", u"-5", u" x ", u"\u200b", u"\ufeff",
                              u"\u180e", u"\U0001F600", u"\u00a0x"}) {
    EXPECT_EQ(ParseLaunchOptions({u"--market-name", good}).market_name, good) << Utf16ToUtf8(good);
  }
}

TEST(ParseLaunchOptionsTest, MissingValues) {
  EXPECT_EQ(RejectionOf({u"--market-code", u"--store-code", u"S"}),
            u"Missing value for option: --market-code");
  EXPECT_EQ(RejectionOf({u"--reason"}), u"Missing value for option: --reason");
  EXPECT_EQ(RejectionOf({u"--reason", u"--"}), u"Missing value for option: --reason");
  EXPECT_EQ(ParseLaunchOptions({u"--reason", u"-x"}).reason, u"-x");
}

TEST(ParseLaunchOptionsTest, UnknownAndDuplicateOptions) {
  const std::u16string long_argument = u"--" + std::u16string(98, u'z');
  EXPECT_EQ(RejectionOf({long_argument}), u"Unknown option: " + long_argument.substr(0, 80));
  EXPECT_EQ(RejectionOf({u"stray"}), u"Unknown option: stray");
  EXPECT_EQ(RejectionOf({u""}), u"Unknown option: ");
  EXPECT_EQ(RejectionOf({u"--Reason", u"x"}), u"Unknown option: --Reason");
  EXPECT_EQ(RejectionOf({u"--reason=x"}), u"Unknown option: --reason=x");
  EXPECT_EQ(RejectionOf({u"--allow-insecure-local", u"--allow-insecure-local"}),
            u"Duplicate option: --allow-insecure-local");
  EXPECT_EQ(RejectionOf({u"--legacy-auto-connect", u"--reason", u"r", u"--legacy-auto-connect"}),
            u"Duplicate option: --legacy-auto-connect");
  EXPECT_EQ(RejectionOf({u"--reason", u"a", u"--reason", u"b"}), u"Duplicate option: --reason");
  EXPECT_EQ(RejectionOf({u"--ixcompany", u"--ixcompany"}), u"Duplicate option: --ixcompany");
  // The first failure wins, scanning from the left.
  EXPECT_EQ(RejectionOf({u"--reason", u"", u"--bogus"}), kInvalidValue + u"--reason");
  EXPECT_EQ(RejectionOf({u"--bogus", u"--reason", u""}), u"Unknown option: --bogus");
}

TEST(ParseLaunchOptionsTest, IdentityFillsTheFiveFieldsForCompany2) {
  const LaunchOptions options =
      ParseLaunchOptions({u"--ixcompany", u"2", u"--identity", u"M01|S01|V01|Larkprint|1.0"});
  EXPECT_EQ(options.market_code, u"M01");
  EXPECT_EQ(options.store_code, u"S01");
  EXPECT_EQ(options.vendor_code, u"V01");
  EXPECT_EQ(options.program_name, u"Larkprint");
  EXPECT_EQ(options.program_version, u"1.0");
  EXPECT_FALSE(options.customer_name_required);

  // Fields are taken as written, blanks included; the order of the options does not matter.
  const LaunchOptions spaced =
      ParseLaunchOptions({u"--identity", u" a |b|c|d|e ", u"--ixcompany", u"+2"});
  EXPECT_EQ(spaced.market_code, u" a ");
  EXPECT_EQ(spaced.program_version, u"e ");

  const std::u16string f128(128, u'f');
  EXPECT_EQ(ParseLaunchOptions({u"--ixcompany", u"2", u"--identity",
                                f128 + u'|' + f128 + u'|' + f128 + u'|' + f128 + u'|' + f128})
                .program_version,
            f128);
}

TEST(ParseLaunchOptionsTest, IdentityFailures) {
  struct Case {
    Args args;
    std::u16string message;
  };
  const std::u16string f129(129, u'f');
  const Case cases[] = {
      {{u"--identity", u"M|S|V|P|1"}, kCompany2Only},
      {{u"--ixcompany", u"1", u"--identity", u"M|S|V|P|1"}, kCompany2Only},
      {{u"--ixcompany", u"--identity", u"M|S|V|P|1"}, kCompany2Only},
      {{u"--ixcompany", u"2", u"--identity", u"a|b|c|d|e|f"}, kFiveFields},
      {{u"--ixcompany", u"2", u"--identity", u"a|b|c|d"}, kFiveFields},
      {{u"--ixcompany", u"2", u"--identity", u"a|b|c"}, kFiveFields},
      {{u"--ixcompany", u"2", u"--identity", u"a|b|c|d|e|"}, kFiveFields},
      {{u"--ixcompany", u"2", u"--identity", u"a||c|d|e"}, kFieldLength},
      {{u"--ixcompany", u"2", u"--identity", u"a|b|c|d|"}, kFieldLength},
      {{u"--ixcompany", u"2", u"--identity", u"a|  |c|d|e"}, kFieldLength},
      {{u"--ixcompany", u"2", u"--identity", u"a|\u3000|c"}, kFieldLength},
      // Field by field: an over-long first field is reported before the missing separators.
      {{u"--ixcompany", u"2", u"--identity", f129 + u"|b"}, kFieldLength},
      {{u"--ixcompany", u"2", u"--identity", u"a|b|" + f129}, kFiveFields},
      {{u"--ixcompany", u"2", u"--identity", u"a|b|c|d|" + f129}, kFieldLength},
      {{u"--ixcompany", u"2", u"--store-code", u"S", u"--identity", u"a|b|c|d|e"}, kRepeated},
      {{u"--ixcompany", u"2", u"--identity", u"a|b|c|d|e", u"--program-version", u"9"}, kRepeated},
      // The fields that --identity does not carry may be given on their own.
      {{u"--ixcompany", u"2", u"--identity", u"a|b|c|d|e", u"--market-name", u"N", u"--identity",
        u"x"},
       u"Duplicate option: --identity"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RejectionOf(c.args), c.message) << Joined(c.args);
  }
  EXPECT_EQ(ParseLaunchOptions({u"--ixcompany", u"2", u"--identity", u"a|b|c|d|e", u"--market-name",
                                u"N", u"--vendor-name", u"V"})
                .market_name,
            u"N");
}

TEST(ParseLaunchOptionsTest, CustomerNameRequirement) {
  struct Case {
    Args args;
    bool required;
  };
  const Case cases[] = {
      {{u"--ixcompany", u"2", u"--market-code", u"m", u"--store-code", u"s", u"--vendor-code",
        u"v"},
       false},
      {{u"--ixcompany", u"2", u"--market-code", u"m", u"--store-code", u"s"}, true},
      {{u"--ixcompany", u"1", u"--market-code", u"m", u"--store-code", u"s", u"--vendor-code",
        u"v"},
       true},
      {{u"--ixcompany", u"3", u"--market-code", u"m", u"--store-code", u"s", u"--vendor-code",
        u"v"},
       true},
      {{u"--ixcompany", u"2"}, true},
      {{u"--requester", u"Ann"}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseLaunchOptions(c.args).customer_name_required, c.required) << Joined(c.args);
  }
}

TEST(ParseLaunchOptionsTest, LegacyModeNeedsTheFiveIdentityValues) {
  EXPECT_EQ(RejectionOf({u"--legacy-auto-connect"}), u"Missing required option: --market-code");
  EXPECT_EQ(RejectionOf({u"--legacy-auto-connect", u"--market-code", u"m", u"--store-code", u"s",
                         u"--vendor-code", u"v", u"--program-name", u"p"}),
            u"Missing required option: --program-version");
  EXPECT_EQ(RejectionOf({u"--legacy-auto-connect", u"--market-code", u"m", u"--vendor-code", u"v"}),
            u"Missing required option: --store-code");

  const LaunchOptions via_identity = ParseLaunchOptions(
      {u"--legacy-auto-connect", u"--identity", u"M|S|V|P|1", u"--ixcompany", u"2"});
  EXPECT_TRUE(via_identity.legacy_auto_connect);
  EXPECT_FALSE(via_identity.customer_name_required);

  // Company 1 in legacy mode with separate options: no name asked either.
  const LaunchOptions separate = ParseLaunchOptions(
      {u"--legacy-auto-connect", u"--market-code", u"m", u"--store-code", u"s", u"--vendor-code",
       u"v", u"--program-name", u"p", u"--program-version", u"1"});
  EXPECT_EQ(separate.ixcompany, 1);
  EXPECT_FALSE(separate.customer_name_required);
  EXPECT_EQ(separate.program_name, u"p");
}

TEST(ParseLaunchOptionsTest, ServerUrlAndInsecureLocalUse) {
  const LaunchOptions local =
      ParseLaunchOptions({u"--allow-insecure-local", u"--server-url", u"ws://127.0.0.1:8080/c"});
  EXPECT_TRUE(local.allow_insecure_local);
  EXPECT_EQ(local.server.url, u"ws://127.0.0.1:8080/c");
  EXPECT_FALSE(local.server.secure);
  // The flag may come after the URL.
  EXPECT_NO_THROW(
      ParseLaunchOptions({u"--server-url", u"ws://localhost/", u"--allow-insecure-local"}));
  EXPECT_EQ(RejectionOf({u"--server-url", u"ws://localhost/"}),
            u"Use the default support URL, wss://, or --allow-insecure-local with a localhost or "
            u"private IP address.");
  EXPECT_EQ(RejectionOf({u"--server-url", u"wss://a..b/"}), u"Invalid server host name.");
  // Options are checked before the URL.
  EXPECT_EQ(RejectionOf({u"--server-url", u"wss://a..b/", u"--legacy-auto-connect"}),
            u"Missing required option: --market-code");
  // The built-in URL is a wss URL, which needs no permission.
  EXPECT_TRUE(ParseLaunchOptions({u"--allow-insecure-local"}).server.secure);
}

TEST(ParseLaunchOptionsTest, TextFieldsAndDefaults) {
  const LaunchOptions options =
      ParseLaunchOptions({u"--market-code", u"MC", u"--market-name", u"MN", u"--store-code", u"SC",
                          u"--store-name", u"SN", u"--vendor-code", u"VC", u"--vendor-name", u"VN",
                          u"--requester", u"RQ", u"--reason", u"RS"});
  EXPECT_EQ(options.market_code, u"MC");
  EXPECT_EQ(options.market_name, u"MN");
  EXPECT_EQ(options.store_code, u"SC");
  EXPECT_EQ(options.store_name, u"SN");
  EXPECT_EQ(options.vendor_code, u"VC");
  EXPECT_EQ(options.vendor_name, u"VN");
  EXPECT_EQ(options.requester, u"RQ");
  EXPECT_EQ(options.reason, u"RS");
  EXPECT_EQ(options.program_name, u"Quillory");
  EXPECT_EQ(options.program_version, u"2026.10.6.1");
  EXPECT_TRUE(options.support_ticket.empty());
  EXPECT_EQ(ParseLaunchOptions({u"--program-version", u"3"}).program_name, u"Quillory");
}

TEST(LaunchHelpTextTest, ElevenLinesNamingTheDefaultServer) {
  const std::u16string expected =
      u"Quillory.exe\n\n"
      u"Standalone (company 1): enter your name and the six-digit ticket from your support "
      u"agent.\n"
      u"Orvane: --ixcompany 2 --identity \"M01|S01|V01|Larkprint|1.0\"\n"
      u"Use exactly five nonempty fields separated by |. A field cannot contain |.\n\n"
      u"Optional --server-url (default: " +
      std::u16string(build::kDefaultServerUrl) +
      u")\n"
      u"Existing individual metadata options remain supported.\n"
      u"Local ws://: --allow-insecure-local + localhost or a private IP address\n\n"
      u"Screen updates and remote control require your approval.";
  EXPECT_EQ(LaunchHelpText(), expected);
}

}  // namespace
}  // namespace varnel
