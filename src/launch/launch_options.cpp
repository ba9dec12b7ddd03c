// The command line read into launch options, refusing what it cannot show or send unchanged.
#include "launch/launch_options.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "build_config.h"
#include "launch/server_url_rules.h"
#include "util/shown_text.h"
#include "util/wide_space.h"

namespace varnel {

namespace {

// The built-in server URL is an operator's build setting. A value the program would refuse at
// start-up (or a plain ws:// one, which would only work with --allow-insecure-local) must stop the
// build instead of shipping a client that cannot connect: both checks run the very rules that
// ValidateServerUrl applies at run time. Fix -DQUILLORY_DEFAULT_SERVER_URL=... if one fires; the
// compiler names the reason in the template argument, e.g.
// "DefaultServerUrlCheck<varnel::ServerUrlFault::kInvalidHostName>".
static_assert(InspectServerUrl(build::kDefaultServerUrl, false).secure,
              "QUILLORY_DEFAULT_SERVER_URL must be a wss:// URL");

template <ServerUrlFault kFault>
struct DefaultServerUrlCheck {
  static_assert(kFault == ServerUrlFault::kNone,
                "QUILLORY_DEFAULT_SERVER_URL is refused by the server URL rules "
                "(the ServerUrlFault above is the reason)");
};
template struct DefaultServerUrlCheck<InspectServerUrl(build::kDefaultServerUrl, false).fault>;

constexpr std::size_t kMaxArguments = 28;
// Each identity option, and each field inside --identity.
constexpr std::size_t kMaxIdentityField = 128;

enum class Option : std::uint8_t {
  kServerUrl,
  kMarketCode,
  kMarketName,
  kStoreCode,
  kStoreName,
  kVendorCode,
  kVendorName,
  kProgramName,
  kProgramVersion,
  kRequester,
  kReason,
  kIxCompany,
  kIdentity,
};
constexpr std::size_t kOptionCount = 13;

struct OptionSpec {
  std::u16string_view name;
  std::size_t max_length;
};

constexpr std::array<OptionSpec, kOptionCount> kOptions{{
    {u"--server-url", url_text::kMaxUrlLength},
    {u"--market-code", kMaxIdentityField},
    {u"--market-name", kMaxIdentityField},
    {u"--store-code", kMaxIdentityField},
    {u"--store-name", kMaxIdentityField},
    {u"--vendor-code", kMaxIdentityField},
    {u"--vendor-name", kMaxIdentityField},
    {u"--program-name", kMaxIdentityField},
    {u"--program-version", kMaxIdentityField},
    {u"--requester", kMaxIdentityField},
    {u"--reason", 512},
    {u"--ixcompany", kMaxIdentityField},
    {u"--identity", 5 * kMaxIdentityField + 4},  // five fields and four separators
}};

constexpr std::u16string_view kLegacyAutoConnect = u"--legacy-auto-connect";
constexpr std::u16string_view kAllowInsecureLocal = u"--allow-insecure-local";

// The identity fields in the order they appear inside --identity.
constexpr std::array<Option, 5> kIdentityFields{Option::kMarketCode, Option::kStoreCode,
                                                Option::kVendorCode, Option::kProgramName,
                                                Option::kProgramVersion};

constexpr std::u16string_view NameOf(Option option) {
  return kOptions[static_cast<std::size_t>(option)].name;
}

std::optional<Option> FindValueOption(std::u16string_view argument) {
  for (std::size_t i = 0; i < kOptions.size(); ++i) {
    if (kOptions[i].name == argument) return static_cast<Option>(i);
  }
  return std::nullopt;
}

bool IsBlank(std::u16string_view text) {
  for (char16_t c : text) {
    if (!IsWideSpace(c)) return false;
  }
  return true;
}

bool IsAcceptableValue(std::u16string_view value, std::size_t max_length) {
  if (value.empty() || value.size() > max_length || IsBlank(value)) return false;
  for (char16_t c : value) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

[[noreturn]] void Fail(std::u16string_view message) { throw LaunchError(std::u16string(message)); }

[[noreturn]] void Fail(std::u16string_view message, std::u16string_view value) {
  std::u16string text(message);
  text += value;
  throw LaunchError(std::move(text));
}

// Optional sign, then decimal digits only; anything else, or a value outside 32 bits, is refused.
std::optional<std::int32_t> ParseCompany(std::u16string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == u'+' || text.front() == u'-')) {
    negative = text.front() == u'-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  constexpr std::int64_t kLimit = std::int64_t{1} << 31;
  std::int64_t magnitude = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    magnitude = magnitude * 10 + (c - u'0');
    if (magnitude > kLimit) return std::nullopt;
  }
  if (!negative && magnitude == kLimit) return std::nullopt;
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

class OptionValues {
 public:
  bool Has(Option option) const { return values_[Index(option)].has_value(); }
  const std::u16string& Get(Option option) const { return *values_[Index(option)]; }
  void Set(Option option, std::u16string value) { values_[Index(option)] = std::move(value); }
  std::u16string Take(Option option) {
    auto& slot = values_[Index(option)];
    return slot ? std::move(*slot) : std::u16string();
  }

 private:
  static std::size_t Index(Option option) { return static_cast<std::size_t>(option); }
  std::array<std::optional<std::u16string>, kOptionCount> values_;
};

void SplitIdentity(std::u16string_view identity, OptionValues& values) {
  constexpr std::u16string_view kSeparatorMessage =
      u"--identity must contain market code|store code|vendor code|program name|version.";
  std::size_t start = 0;
  for (std::size_t i = 0; i < kIdentityFields.size(); ++i) {
    const bool last = i + 1 == kIdentityFields.size();
    const std::size_t bar = identity.find(u'|', start);
    if (last != (bar == std::u16string_view::npos)) Fail(kSeparatorMessage);
    const std::size_t end = last ? identity.size() : bar;
    const std::u16string_view field = identity.substr(start, end - start);
    if (field.empty() || field.size() > kMaxIdentityField || IsBlank(field)) {
      Fail(u"Each --identity field must contain 1 to 128 characters.");
    }
    if (values.Has(kIdentityFields[i])) {
      Fail(u"Do not repeat --identity fields as separate launch options.");
    }
    values.Set(kIdentityFields[i], std::u16string(field));
    start = end + 1;
  }
}

}  // namespace

LaunchOptions ParseLaunchOptions(const std::vector<std::u16string>& arguments) {
  LaunchOptions options;
  if (arguments.size() == 1 && arguments[0] == u"--help") {
    options.show_help = true;
    return options;
  }
  if (arguments.size() > kMaxArguments) Fail(u"Too many command-line arguments.");

  OptionValues values;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::u16string& argument = arguments[i];
    if (argument == kLegacyAutoConnect || argument == kAllowInsecureLocal) {
      bool& flag = argument == kLegacyAutoConnect ? options.legacy_auto_connect
                                                  : options.allow_insecure_local;
      if (flag) Fail(u"Duplicate option: ", argument);
      flag = true;
      continue;
    }
    const std::optional<Option> option = FindValueOption(argument);
    if (!option) {
      Fail(u"Unknown option: ", ShownLine(argument));
    }
    const std::u16string_view name = NameOf(*option);
    if (values.Has(*option)) Fail(u"Duplicate option: ", name);

    const bool next_is_option = i + 1 < arguments.size() && arguments[i + 1].starts_with(u"--");
    if (*option == Option::kIxCompany && (i + 1 == arguments.size() || next_is_option)) {
      values.Set(*option, u"1");
      continue;
    }
    if (i + 1 == arguments.size() || next_is_option) Fail(u"Missing value for option: ", name);
    // An empty company number means company 1 (built whole: GCC 12 misreports assigning a
    // literal to an existing string at -O3 as overlapping copies).
    std::u16string value =
        *option == Option::kIxCompany && arguments[i + 1].empty() ? u"1" : arguments[i + 1];
    ++i;
    if (!IsAcceptableValue(value, kOptions[static_cast<std::size_t>(*option)].max_length)) {
      Fail(u"Empty, too long, or invalid value for option: ", name);
    }
    values.Set(*option, std::move(value));
  }

  if (values.Has(Option::kIxCompany)) {
    const std::optional<std::int32_t> company = ParseCompany(values.Get(Option::kIxCompany));
    if (!company) Fail(u"--ixcompany must be a 32-bit integer.");
    options.ixcompany = *company;
  }

  if (values.Has(Option::kIdentity)) {
    if (options.ixcompany != 2) {
      Fail(
          u"--identity is for --ixcompany 2. Other customers enter their name in the support "
          u"window.");
    }
    SplitIdentity(values.Get(Option::kIdentity), values);
  }

  if (options.legacy_auto_connect) {
    for (Option required : kIdentityFields) {
      if (!values.Has(required)) Fail(u"Missing required option: ", NameOf(required));
    }
  }

  options.server = ValidateServerUrl(values.Has(Option::kServerUrl)
                                         ? std::u16string_view(values.Get(Option::kServerUrl))
                                         : std::u16string_view(build::kDefaultServerUrl),
                                     options.allow_insecure_local);

  options.market_code = values.Take(Option::kMarketCode);
  options.market_name = values.Take(Option::kMarketName);
  options.store_code = values.Take(Option::kStoreCode);
  options.store_name = values.Take(Option::kStoreName);
  options.vendor_code = values.Take(Option::kVendorCode);
  options.vendor_name = values.Take(Option::kVendorName);
  options.program_name = values.Take(Option::kProgramName);
  options.program_version = values.Take(Option::kProgramVersion);
  options.requester = values.Take(Option::kRequester);
  options.reason = values.Take(Option::kReason);
  if (options.program_name.empty()) options.program_name = build::kProductName;
  if (options.program_version.empty()) options.program_version = build::kProductVersion;

  options.customer_name_required = !options.legacy_auto_connect &&
                                   !(options.ixcompany == 2 && !options.market_code.empty() &&
                                     !options.store_code.empty() && !options.vendor_code.empty());
  return options;
}

std::u16string LaunchHelpText() {
  std::u16string text =
      u"" QUILLORY_PRODUCT_NAME
      ".exe\n"
      u"\n"
      u"Standalone (company 1): enter your name and the six-digit ticket from your support "
      u"agent.\n"
      u"Orvane: --ixcompany 2 --identity \"M01|S01|V01|Larkprint|1.0\"\n"
      u"Use exactly five nonempty fields separated by |. A field cannot contain |.\n"
      u"\n"
      u"Optional --server-url (default: ";
  text += build::kDefaultServerUrl;
  text +=
      u")\n"
      u"Existing individual metadata options remain supported.\n"
      u"Local ws://: --allow-insecure-local + localhost or a private IP address\n"
      u"\n"
      u"Screen updates and remote control require your approval.";
  return text;
}

}  // namespace varnel
