// Fuzzes ParseLaunchOptions with whole command lines and checks what every outcome promises.
//
// Input format: the bytes are split into arguments at every NUL byte (a real argument can never
// contain NUL). If the first byte is 0x01 the rest is read as UTF-16LE code units instead and the
// code unit 0 separates arguments, so lone surrogates and every other unit are reachable;
// otherwise each argument is UTF-8 (malformed sequences become U+FFFD). An empty input is an empty
// command line; a trailing separator adds an empty last argument.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "launch/launch_options.h"
#include "launch/server_url_rules.h"
#include "util/shown_text.h"
#include "util/utf.h"

namespace {

using varnel::LaunchError;
using varnel::LaunchOptions;

using varnel::fuzz::Require;

std::vector<std::u16string> SplitArguments(const std::uint8_t* data, std::size_t size) {
  std::vector<std::u16string> arguments;
  if (size == 0) return arguments;
  std::u16string current;
  if (data[0] == 0x01) {
    for (std::size_t i = 1; i + 1 < size; i += 2) {
      const auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
      if (unit == 0) {
        arguments.push_back(std::move(current));
        current.clear();
      } else {
        current += unit;
      }
    }
    arguments.push_back(std::move(current));
    return arguments;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0) {
      arguments.push_back(varnel::Utf8ToUtf16(
          std::string_view(reinterpret_cast<const char*>(data + start), i - start)));
      start = i + 1;
    }
  }
  return arguments;
}

constexpr std::u16string_view kOptionNames[] = {
    u"--server-url",
    u"--market-code",
    u"--market-name",
    u"--store-code",
    u"--store-name",
    u"--vendor-code",
    u"--vendor-name",
    u"--program-name",
    u"--program-version",
    u"--requester",
    u"--reason",
    u"--ixcompany",
    u"--identity",
    u"--legacy-auto-connect",
    u"--allow-insecure-local",
};

bool IsOptionName(std::u16string_view text) {
  for (std::u16string_view name : kOptionNames) {
    if (name == text) return true;
  }
  return false;
}

constexpr std::u16string_view kSentences[] = {
    u"Too many command-line arguments.",
    u"--ixcompany must be a 32-bit integer.",
    u"--identity is for --ixcompany 2. Other customers enter their name in the support window.",
    u"--identity must contain market code|store code|vendor code|program name|version.",
    u"Each --identity field must contain 1 to 128 characters.",
    u"Do not repeat --identity fields as separate launch options.",
};

// Every refusal is one complete sentence from the fixed set, or a fixed text ending in ": "
// followed by an option name (or, for an unknown option, the start of the offending argument).
void CheckRefusal(const LaunchError& error, const std::vector<std::u16string>& arguments) {
  Require(std::string_view(error.what()) == "Invalid launch options");
  const std::u16string& message = error.message();
  Require(!message.empty());
  for (std::u16string_view sentence : kSentences) {
    if (message == sentence) return;
  }
  for (auto fault = static_cast<int>(varnel::ServerUrlFault::kNotPrintableAscii);
       fault <= static_cast<int>(varnel::ServerUrlFault::kPathCharacter); ++fault) {
    if (message == varnel::ServerUrlFaultMessage(static_cast<varnel::ServerUrlFault>(fault))) {
      return;
    }
  }
  constexpr std::u16string_view kUnknown = u"Unknown option: ";
  if (message.starts_with(kUnknown)) {
    const std::u16string_view shown = std::u16string_view(message).substr(kUnknown.size());
    Require(shown.size() <= 80);
    // The argument as the customer may see it: on one line and cut to its limit.
    for (const std::u16string& argument : arguments) {
      if (varnel::ShownLine(argument) == shown) return;
    }
    std::abort();
  }
  for (std::u16string_view prefix :
       {u"Duplicate option: ", u"Missing value for option: ",
        u"Empty, too long, or invalid value for option: ", u"Missing required option: "}) {
    if (message.starts_with(prefix)) {
      Require(IsOptionName(std::u16string_view(message).substr(prefix.size())));
      return;
    }
  }
  std::abort();
}

bool HasControl(std::u16string_view text) {
  for (char16_t c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

void CheckAccepted(const LaunchOptions& options, const std::vector<std::u16string>& arguments) {
  if (options.show_help) {
    Require(arguments.size() == 1 && arguments[0] == u"--help");
    LaunchOptions help;
    help.show_help = true;
    Require(options == help);
    return;
  }
  Require(arguments.size() <= 28);

  // Legacy mode never starts without the identity it sends.
  if (options.legacy_auto_connect) {
    Require(!options.market_code.empty() && !options.store_code.empty() &&
            !options.vendor_code.empty());
    Require(!options.customer_name_required);
  } else {
    Require(options.customer_name_required ==
            !(options.ixcompany == 2 && !options.market_code.empty() &&
              !options.store_code.empty() && !options.vendor_code.empty()));
  }
  Require(!options.program_name.empty() && !options.program_version.empty());
  Require(options.support_ticket.empty());

  const struct {
    const std::u16string* text;
    std::size_t max_length;
  } fields[] = {{&options.market_code, 128},  {&options.market_name, 128},
                {&options.store_code, 128},   {&options.store_name, 128},
                {&options.vendor_code, 128},  {&options.vendor_name, 128},
                {&options.program_name, 128}, {&options.program_version, 128},
                {&options.requester, 128},    {&options.reason, 512}};
  for (const auto& field : fields) {
    Require(field.text->size() <= field.max_length && !HasControl(*field.text));
  }

  const varnel::ServerEndpoint& server = options.server;
  Require(server.origin + server.path == server.url);
  Require(options.allow_insecure_local || server.secure);
  if (server.url.size() <= 2048) {
    Require(varnel::ValidateServerUrl(server.url, options.allow_insecure_local) == server);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::u16string> arguments = SplitArguments(data, size);
  try {
    CheckAccepted(varnel::ParseLaunchOptions(arguments), arguments);
  } catch (const LaunchError& error) {
    CheckRefusal(error, arguments);
  }
  return 0;
}
