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
const std::u16string kCompany = u"--ixcompany must be a 32-bit integer.";
const std::u16string kTooMany = u"Too many command-line arguments.";
const std::u16string kCompany2Only =
    u"--identity is for --ixcompany 2. Other customers enter their name in the support window.";
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

  ASSERT_EQ(kEveryOption.size(), 26u);
  // clang-format off
  const LaunchOptions expected{
      .server = ValidateServerUrl(u"ws://localhost/c", true), .ixcompany = 2,
      .market_code = u"MC", .market_name = u"MN", .store_code = u"SC", .store_name = u"SN",
      .vendor_code = u"VC", .vendor_name = u"VN", .program_name = u"PN", .program_version = u"PV",
      .requester = u"RQ", .reason = u"RS", .allow_insecure_local = true,
      .legacy_auto_connect = true, .customer_name_required = false, .support_ticket = u""};
  // clang-format on
  EXPECT_EQ(ParseLaunchOptions(kEveryOption), expected);
  EXPECT_EQ(ParseLaunchOptions({u"--program-version", u"3"}).program_name, build::kProductName);

  LaunchOptions help;
  help.show_help = true;
  EXPECT_EQ(ParseLaunchOptions({u"--help"}), help);
}

TEST(ParseLaunchOptionsTest, AcceptedValues) {
  const std::pair<Args, int> companies[] = {
      {{u"--ixcompany"}, 1},
      {{u"--ixcompany", u""}, 1},
      {{u"--ixcompany", u"--reason", u"why"}, 1},
      {{u"--ixcompany", u"+2"}, 2},
      {{u"--ixcompany", u"2147483647"}, 2147483647},
      {{u"--ixcompany", u"-2147483648"}, -2147483647 - 1},
  };
  for (const auto& [args, company] : companies) {
    LaunchOptions options;
    ASSERT_NO_THROW(options = ParseLaunchOptions(args)) << ::testing::PrintToString(args);
    EXPECT_EQ(options.ixcompany, company) << ::testing::PrintToString(args);
  }
  EXPECT_EQ(ParseLaunchOptions({u"--ixcompany", u"--reason", u"why"}).reason, u"why");
  EXPECT_EQ(ParseLaunchOptions({u"--reason", u"-x"}).reason, u"-x");
  EXPECT_EQ(ParseLaunchOptions({u"--reason", std::u16string(512, u'r')}).reason.size(), 512u);
  EXPECT_EQ(ParseLaunchOptions({u"--requester", std::u16string(128, u'r')}).requester.size(), 128u);
  for (std::u16string good : {u"Zoë Ångström", u"a | b", u"-5", u" x ", u"\u200b", u"\ufeff",
                              u"\u180e", u"\U0001F600", u"\u00a0x"}) {
    EXPECT_EQ(ParseLaunchOptions({u"--market-name", good}).market_name, good) << Utf16ToUtf8(good);
  }
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
      {{u"--Reason", u"x"}, u"Unknown option: --Reason"},
      {{u"--reason=x"}, u"Unknown option: --reason=x"},
      {{u"--allow-insecure-local", u"--allow-insecure-local"},
       u"Duplicate option: --allow-insecure-local"},
      {{u"--reason", u"a", u"--reason", u"b"}, u"Duplicate option: --reason"},
      {{u"--ixcompany", u"--ixcompany"}, u"Duplicate option: --ixcompany"},
      {{u"--market-code", u"--store-code", u"S"}, u"Missing value for option: --market-code"},
      {{u"--reason"}, u"Missing value for option: --reason"},
      {{u"--reason", std::u16string(513, u'r')}, kInvalid + u"--reason"},
      {{u"--requester", std::u16string(129, u'r')}, kInvalid + u"--requester"},
      {{u"--ixcompany", std::u16string(129, u'1')}, kInvalid + u"--ixcompany"},
      {{u"--ixcompany", u"   "}, kInvalid + u"--ixcompany"},
      {{u"--reason", u"", u"--bogus"}, kInvalid + u"--reason"},
      {{u"--bogus", u"--reason", u""}, u"Unknown option: --bogus"},
      // Identity: company 2 only, exactly five fields of 1 to 128 units, read field by field.
      {{u"--identity", u"M|S|V|P|1"}, kCompany2Only},
      {{u"--ixcompany", u"3", u"--identity", u"M|S|V|P|1"}, kCompany2Only},
      {Company2(u"a|b|c|d|e|f"), kFiveFields},
      {Company2(u"a|b|c|d"), kFiveFields},
      {Company2(u"a|b|c|d|e|"), kFiveFields},
      {Company2(u"a||c|d|e"), kFieldLength},
      {Company2(u"a|b|c|d|"), kFieldLength},
      {Company2(u"a|\u3000|c"), kFieldLength},
      {Company2(f129 + u"|b"), kFieldLength},
      {Company2(u"a|b|" + f129), kFiveFields},
      {Company2(u"a|b|c|d|" + f129), kFieldLength},
      {Company2(u"a|b|c|d|e") + Args{u"--program-version", u"9"},
       u"Do not repeat --identity fields as separate launch options."},
      {Company2(u"a|b|c|d|e") + Args{u"--identity", u"x"}, u"Duplicate option: --identity"},
      {{u"--legacy-auto-connect"}, u"Missing required option: --market-code"},
      {{u"--legacy-auto-connect", u"--market-code", u"m", u"--store-code", u"s", u"--vendor-code",
        u"v", u"--program-name", u"p"},
       u"Missing required option: --program-version"},
      // The server URL is checked last.
      {{u"--server-url", u"wss://a..b/", u"--legacy-auto-connect"},
       u"Missing required option: --market-code"},
      {{u"--server-url", u"wss://a..b/"}, u"Invalid server host name."},
      {{u"--server-url", u"ws://localhost/"},
       u"Use the default support URL, wss://, or --allow-insecure-local with a localhost or "
       u"private IP address."},
  };
  for (const auto& [args, message] : cases)
    EXPECT_EQ(Outcome(args), message) << ::testing::PrintToString(args);

  for (std::u16string company : {u"2147483648", u"-2147483649", u"99999999999999999999", u"+", u"-",
                                 u" 2", u"2 ", u"2x", u"0x2", u"２", u"+-2", u"1e3"}) {
    EXPECT_EQ(Outcome({u"--ixcompany", company}), kCompany) << Utf16ToUtf8(company);
  }
  for (std::u16string blank :
       {u"", u"   ", u"\t", u"a\tb", u"line\n", u"\x7f", u"\x1f", u"\u00a0\u3000", u"\u2028",
        u"\u0085 ", u"\u2000\u200a\u205f\u202f\u1680"}) {
    EXPECT_EQ(Outcome({u"--market-name", blank}), kInvalid + u"--market-name")
        << Utf16ToUtf8(blank);
  }
}

TEST(ParseLaunchOptionsTest, IdentityFieldsAndTheCustomerNameRule) {
  const LaunchOptions options = ParseLaunchOptions(Company2(u" M |S|V|Larkprint|1.0 "));
  EXPECT_EQ(std::vector({options.market_code, options.store_code, options.vendor_code,
                         options.program_name, options.program_version}),
            std::vector<std::u16string>({u" M ", u"S", u"V", u"Larkprint", u"1.0 "}));
  const std::u16string f128(128, u'f');
  EXPECT_EQ(Outcome(Company2(f128 + u'|' + f128 + u'|' + f128 + u'|' + f128 + u'|' + f128)),
            u"(accepted)");

  // The name is skipped only when company 2 brings market, store and vendor codes, or in legacy
  // mode (which requires the five identity values).
  const Args codes{u"--market-code", u"m", u"--store-code", u"s", u"--vendor-code", u"v"};
  const std::pair<Args, bool> cases[] = {
      {Company2(u"M|S|V|P|1"), false},
      {Company2(u"M|S|V|P|1") + Args{u"--legacy-auto-connect", u"--market-name", u"N"}, false},
      {Args{u"--ixcompany", u"2"} + codes, false},
      {{u"--ixcompany", u"2", u"--market-code", u"m", u"--store-code", u"s"}, true},
      {Args{u"--ixcompany", u"1"} + codes, true},
      {Args{u"--ixcompany", u"3"} + codes, true},
      {{u"--ixcompany", u"2"}, true},
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
  EXPECT_EQ(help.substr(0, 14), u"Quillory.exe\n\n");
  EXPECT_NE(help.find(u"(default: " + std::u16string(build::kDefaultServerUrl) + u")\n"),
            std::u16string::npos);
}

}  // namespace
}  // namespace varnel
