// Fuzzes the server URL rules and the address parsers behind them, checking properties of every
// outcome rather than just running the code.
//
// Input format: byte 0 holds flags (bit 0: allow_insecure_local; bit 1: the rest is UTF-16LE code
// units instead of UTF-8, so that every code unit is reachable); bytes 1.. are the URL text.
// An empty input is the empty URL without permission.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "launch/ip_address.h"
#include "launch/launch_error.h"
#include "launch/server_url.h"
#include "launch/server_url_rules.h"
#include "util/utf.h"

namespace {

using varnel::ServerEndpoint;
using varnel::ServerUrlFault;

using varnel::fuzz::Require;

std::u16string DecodeText(const std::uint8_t* data, std::size_t size, bool utf16) {
  if (!utf16)
    return varnel::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  }
  return text;
}

std::u16string Decimal(unsigned value) {
  std::u16string text;
  for (char c : std::to_string(value)) text += static_cast<char16_t>(c);
  return text;
}

// The stand-alone IPv4 notation is the one glibc's inet_pton accepts too (four decimal parts, no
// leading zeros), so the two must agree on every ASCII text.
void CompareIpv4WithLibc(std::u16string_view text) {
  std::string narrow;
  for (char16_t c : text) {
    if (c == 0 || c > 0x7F) return;
    narrow += static_cast<char>(c);
  }
  unsigned char libc[4] = {};
  const bool libc_ok = inet_pton(AF_INET, narrow.c_str(), libc) == 1;
  const auto ours = varnel::ParseIpv4(text);
  Require(libc_ok == ours.has_value());
  if (ours) {
    for (int i = 0; i < 4; ++i) Require(ours->octets[i] == libc[i]);
  }
}

// A parsed IPv6 address written out in full must read back as the same address.
void CheckIpv6RoundTrip(std::u16string_view text) {
  const auto address = varnel::ParseIpv6(text);
  if (!address) return;
  std::u16string full;
  constexpr char16_t kHex[] = u"0123456789abcdef";
  for (int i = 0; i < 16; i += 2) {
    if (i) full += u':';
    const unsigned group = address->bytes[i] << 8 | address->bytes[i + 1];
    for (int shift = 12; shift >= 0; shift -= 4) full += kHex[(group >> shift) & 0xF];
  }
  Require(varnel::ParseIpv6(full) == address);
}

bool IsFaultMessage(std::u16string_view message) {
  for (auto fault = static_cast<int>(ServerUrlFault::kNotPrintableAscii);
       fault <= static_cast<int>(ServerUrlFault::kPathCharacter); ++fault) {
    if (message == varnel::ServerUrlFaultMessage(static_cast<ServerUrlFault>(fault))) return true;
  }
  return false;
}

void CheckAccepted(const ServerEndpoint& endpoint, std::u16string_view text, bool allow) {
  Require(endpoint.origin + endpoint.path == endpoint.url);
  Require(!endpoint.host.empty() && endpoint.port != 0);
  Require(!endpoint.path.empty() && endpoint.path.front() == u'/');
  for (char16_t c : endpoint.url) Require(c > 0x20 && c < 0x7F && c != u'\\');
  for (char16_t c : endpoint.host) Require(!(c >= u'A' && c <= u'Z'));
  Require(endpoint.origin.starts_with(endpoint.secure ? u"wss://" : u"ws://"));
  Require(endpoint.origin.ends_with(u":" + Decimal(endpoint.port)));
  Require(endpoint.secure || allow);
  Require(text.size() <= 2048);

  // Normalising is idempotent: what is shown and stored passes unchanged. Only near the length
  // limit can the added ":port" and "/" push the normalised form past what may be typed in.
  if (endpoint.url.size() <= 2048) {
    Require(varnel::ValidateServerUrl(endpoint.url, allow) == endpoint);
  }
  // Permission only ever widens what is accepted, and wss never needs it.
  Require(varnel::ValidateServerUrl(text, true) == endpoint);
  if (endpoint.secure) Require(varnel::ValidateServerUrl(text, false) == endpoint);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t flags = size ? data[0] : 0;
  const bool allow = flags & 1;
  const std::u16string text = DecodeText(size ? data + 1 : data, size ? size - 1 : 0, flags & 2);

  CompareIpv4WithLibc(text);
  CheckIpv6RoundTrip(text);

  const varnel::ServerUrlShape shape = varnel::InspectServerUrl(text, allow);
  try {
    const ServerEndpoint endpoint = varnel::ValidateServerUrl(text, allow);
    Require(shape.fault == ServerUrlFault::kNone);
    CheckAccepted(endpoint, text, allow);
  } catch (const varnel::LaunchError& error) {
    Require(shape.fault != ServerUrlFault::kNone);
    Require(std::string_view(error.what()) == "Invalid launch options");
    Require(error.message() == varnel::ServerUrlFaultMessage(shape.fault));
    Require(IsFaultMessage(error.message()) && error.message().ends_with(u"."));
  }
  return 0;
}
