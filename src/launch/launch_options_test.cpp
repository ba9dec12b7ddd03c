#include "launch/launch_options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "build_config.h"
#include "util/utf.h"

namespace varnel {
namespace {

using Args = std::vector<std::u16string>;

std::u16string Outcome(const Args& args) {
  try {
    ParseLaunchOptions(args);
    return u"(accepted)";
  } catch (const LaunchError& error) {
    EXPECT_STREQ(error.what(), "Invalid launch options");
    return error.message();
  }
}

Args operator+(Args args, const Args& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

Args Company2(std::u16string identity) {
  return {u"--ixcompany", u"2", u"--identity", std::move(identity)};
}

const std::u16string kInvalid = u"Empty, too long, or invalid value for option: ";
const std::u16string kTooMany = u"Too many command-line arguments.";
const std::u16string kFiveFields =
    u"--identity must contain market code|store code|vendor code|program name|version.";
const std::u16string kFieldLength = u"Each --identity field must contain 1 to 128 characters.";

// Every option once with its own value: 26 arguments, the most a successful parse can have.
// clang-format off
const Args kEveryOption = {
    u"--server-url", u"ws://LocalHost/c", u"--market-code", u"MC", u"--market-name", u"MN",
    u"--store-code", u"SC", u"--store-name", u"SN", u"--vendor-code", u"VC",
    u"--vendor-name", u"VN", u"--program-name", u"PN", u"--program-version", u"PV",
    u"--requester", u"RQ", u"--reason", u"RS", u"--ixcompany", u"2",
    u"--legacy-auto-connect", u"--allow-insecure-local"};
// clang-format on

TEST(ParseLaunchOptionsTest, EachOptionFillsItsOwnField) {
  LaunchOptions defaults;
  defaults.server = ValidateServerUrl(build::kDefaultServerUrl, false);
  defaults.program_name = build::kProductName;
  defaults.program_version = build::kProductVersion;
  EXPECT_EQ(ParseLaunchOptions({}), defaults);
  // clang-format off
  const LaunchOptions expected{
      .server = ValidateServerUrl(u"ws://localhost/c", true), .ixcompany = 2,
      .market_code = u"MC", .market_name = u"MN", .store_code = u"SC", .store_name = u"SN",
      .vendor_code = u"VC", .vendor_name = u"VN", .program_name = u"PN", .program_version = u"PV",
      .requester = u"RQ", .reason = u"RS", .allow_insecure_local = true,
      .legacy_auto_connect = true, .customer_name_required = false, .support_ticket = u""};
  // clang-format on
  EXPECT_EQ(ParseLaunchOptions(kEveryOption), expected);
  EXPECT_TRUE(ParseLaunchOptions({u"--help"}).show_help);

  const LaunchOptions identity = ParseLaunchOptions(Company2(u" M |S|V|Larkprint|1.0 "));
  EXPECT_EQ(std::vector({identity.market_code, identity.store_code, identity.vendor_code,
                         identity.program_name, identity.program_version}),
            std::vector<std::u16string>({u" M ", u"S", u"V", u"Larkprint", u"1.0 "}));
}

TEST(ParseLaunchOptionsTest, AcceptedValuesAtTheirLimits) {
  // The company value may be left out or empty (then it is 1); a following option is no value.
  const std::pair<Args, int> companies[] = {
      {{u"--ixcompany"}, 1},
      {{u"--ixcompany", u""}, 1},
      {{u"--ixcompany", u"--reason", u"-x"}, 1},
      {{u"--ixcompany", u"+2"}, 2},
      {{u"--ixcompany", u"2147483647"}, 2147483647},
      {{u"--ixcompany", u"-2147483648"}, -2147483647 - 1},
  };
  for (const auto& [args, company] : companies) {
    EXPECT_EQ(Outcome(args), u"(accepted)") << ::testing::PrintToString(args);
    EXPECT_EQ(ParseLaunchOptions(args).ixcompany, company) << ::testing::PrintToString(args);
  }
  EXPECT_EQ(ParseLaunchOptions({u"--ixcompany", u"--reason", u"-x"}).reason, u"-x");
  const std::u16string f128(128, u'f');
  EXPECT_EQ(Outcome({u"--reason", std::u16string(512, u'r'), u"--requester", f128}), u"(accepted)");
  EXPECT_EQ(Outcome(Company2(f128 + u'|' + f128 + u'|' + f128 + u'|' + f128 + u'|' + f128)),
            u"(accepted)");
}

TEST(ParseLaunchOptionsTest, RefusalsNameTheFirstProblemFromTheLeft) {
  const Args twenty_eight = kEveryOption + Args{u"--bogus", u"x"};
  const std::u16string long_argument = u"--" + std::u16string(98, u'z');
  const std::u16string f129(129, u'f');
  const std::pair<Args, std::u16string> cases[] = {
      // The count is checked before anything else, --help included; 28 are all read.
      {twenty_eight, u"Unknown option: --bogus"},
      {twenty_eight + Args{u"x"}, kTooMany},
      {Args(29, u"--help"), kTooMany},
      {{u"--help", u"--requester", u"Ann"}, u"Unknown option: --help"},
      {{u"--requester", u"Ann", u"--help"}, u"Unknown option: --help"},
      {{long_argument}, u"Unknown option: " + long_argument.substr(0, 80)},
      {{u"--a\nb\u202Ec"}, u"Unknown option: --a bc"},
      {{u"--allow-insecure-local", u"--allow-insecure-local"},
       u"Duplicate option: --allow-insecure-local"},
      {{u"--ixcompany", u"--ixcompany"}, u"Duplicate option: --ixcompany"},
      {{u"--market-code", u"--store-code", u"S"}, u"Missing value for option: --market-code"},
      {{u"--reason"}, u"Missing value for option: --reason"},
      {{u"--reason", std::u16string(513, u'r')}, kInvalid + u"--reason"},
      {{u"--requester", std::u16string(129, u'r')}, kInvalid + u"--requester"},
      {{u"--ixcompany", u"   "}, kInvalid + u"--ixcompany"},
      {{u"--reason", u"", u"--bogus"}, kInvalid + u"--reason"},
      // Identity: company 2 only, exactly five fields of 1 to 128 units, read field by field.
      {{u"--ixcompany", u"3", u"--identity", u"M|S|V|P|1"},
       u"--identity is for --ixcompany 2. Other customers enter their name in the support "
       u"window."},
      {Company2(u"a|b|c|d|e|f"), kFiveFields},
      {Company2(u"a|b|c|d"), kFiveFields},
      {Company2(u"a||c|d|e"), kFieldLength},
      {Company2(u"a|\u3000|c"), kFieldLength},
      {Company2(u"a|b|" + f129), kFiveFields},
      {Company2(u"a|b|c|d|" + f129), kFieldLength},
      {Company2(u"a|b|c|d|e") + Args{u"--program-version", u"9"},
       u"Do not repeat --identity fields as separate launch options."},
      {{u"--legacy-auto-connect", u"--market-code", u"m", u"--store-code", u"s", u"--vendor-code",
        u"v", u"--program-name", u"p"},
       u"Missing required option: --program-version"},
      // The server URL is checked last.
      {{u"--server-url", u"wss://a..b/", u"--legacy-auto-connect"},
       u"Missing required option: --market-code"},
      {{u"--server-url", u"ws://localhost/"},
       u"Use the default support URL, wss://, or --allow-insecure-local with a localhost or "
       u"private IP address."},
  };
  for (const auto& [args, message] : cases)
    EXPECT_EQ(Outcome(args), message) << ::testing::PrintToString(args);

  for (std::u16string company :
       {u"2147483648", u"-2147483649", u"99999999999999999999", u"+", u"2x", u"２", u"+-2"}) {
    EXPECT_EQ(Outcome({u"--ixcompany", company}), u"--ixcompany must be a 32-bit integer.")
        << Utf16ToUtf8(company);
  }
  for (std::u16string blank :
       {u"", u"\t", u"\x7f", u"\u00a0\u3000\u2028", u"\u0085 \u2000\u200a\u205f\u202f\u1680"}) {
    EXPECT_EQ(Outcome({u"--market-name", blank}), kInvalid + u"--market-name")
        << Utf16ToUtf8(blank);
  }
}

// The name is skipped only when company 2 brings market, store and vendor codes, or in legacy mode.
TEST(ParseLaunchOptionsTest, CustomerNameRule) {
  const Args codes{u"--market-code", u"m", u"--store-code", u"s", u"--vendor-code", u"v"};
  const std::pair<Args, bool> cases[] = {
      {Args{u"--ixcompany", u"2"} + codes, false},
      {{u"--ixcompany", u"2", u"--market-code", u"m", u"--store-code", u"s"}, true},
      {Args{u"--ixcompany", u"3"} + codes, true},
      {Args{u"--legacy-auto-connect", u"--program-name", u"p", u"--program-version", u"1"} + codes,
       false},
  };
  for (const auto& [args, required] : cases) {
    EXPECT_EQ(ParseLaunchOptions(args).customer_name_required, required)
        << ::testing::PrintToString(args);
  }
}

TEST(LaunchHelpTextTest, ElevenLinesNamingTheDefaultServer) {
  const std::u16string help = LaunchHelpText();
  EXPECT_EQ(std::count(help.begin(), help.end(), u'\n'), 10);
  EXPECT_NE(help.find(u"(default: " + std::u16string(build::kDefaultServerUrl) + u")\n"),
            std::u16string::npos);
}

}  // namespace
}  // namespace varnel
