#pragma once
// The server URL rules as a constexpr check that allocates nothing, so the very same rules refuse
// a bad built-in default URL at compile time and a bad --server-url at run time.
// ValidateServerUrl (server_url.h) turns the outcome into a ServerEndpoint or a LaunchError.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "launch/ip_address.h"

namespace varnel {

// In the order the checks run; the first one that fails decides.
enum class ServerUrlFault : std::uint8_t {
  kNone,
  kNotPrintableAscii,
  kScheme,
  kQueryOrFragment,
  kHostMissingOrCredentials,
  kUnclosedIpv6,
  kInvalidIpv6,
  kAfterIpv6,
  kHostLength,
  kInvalidIpv4,
  kInvalidHostName,
  kTrailingDot,
  kPortFormat,
  kPortRange,
  kInsecure,
  kPercentEncoding,
  kEncodedControl,
  kPathCharacter,
};

constexpr std::u16string_view ServerUrlFaultMessage(ServerUrlFault fault) noexcept {
  switch (fault) {
    case ServerUrlFault::kNone:
      return u"";
    case ServerUrlFault::kNotPrintableAscii:
      return u"The server URL must contain only ASCII characters and no spaces.";
    case ServerUrlFault::kScheme:
      return u"Use a wss:// server URL, or ws:// for local development.";
    case ServerUrlFault::kQueryOrFragment:
      return u"Query strings and fragments are not allowed in the server URL.";
    case ServerUrlFault::kHostMissingOrCredentials:
      return u"The server host is missing or the URL contains credentials.";
    case ServerUrlFault::kUnclosedIpv6:
      return u"Enclose the IPv6 address in square brackets.";
    case ServerUrlFault::kInvalidIpv6:
      return u"Invalid IPv6 address.";
    case ServerUrlFault::kAfterIpv6:
      return u"Invalid port format after the IPv6 address.";
    case ServerUrlFault::kHostLength:
      return u"Invalid server host length.";
    case ServerUrlFault::kInvalidIpv4:
      return u"Invalid IPv4 address.";
    case ServerUrlFault::kInvalidHostName:
      return u"Invalid server host name.";
    case ServerUrlFault::kTrailingDot:
      return u"Remove the trailing dot from the host name.";
    case ServerUrlFault::kPortFormat:
      return u"The port must be a number from 1 to 65535.";
    case ServerUrlFault::kPortRange:
      return u"The port must be between 1 and 65535.";
    case ServerUrlFault::kInsecure:
      return u"Use the default support URL, wss://, or --allow-insecure-local with a localhost or "
             u"private IP address.";
    case ServerUrlFault::kPercentEncoding:
      return u"Invalid percent encoding in the URL path.";
    case ServerUrlFault::kEncodedControl:
      return u"Control characters and backslashes are not allowed in the URL path.";
    case ServerUrlFault::kPathCharacter:
      return u"The URL path contains an unsupported character.";
  }
  return u"";
}

// Where the pieces of an accepted URL lie in the text; only `fault` is meaningful otherwise
// (and `secure`, once the scheme was read).
struct ServerUrlShape {
  ServerUrlFault fault = ServerUrlFault::kNone;
  bool secure = true;
  bool ipv6 = false;
  bool local = false;
  std::uint16_t port = 443;
  std::size_t scheme_size = 0;
  std::size_t host_begin = 0;
  std::size_t host_size = 0;
  std::size_t path_begin = std::u16string_view::npos;  // npos: no path, "/" is implied
};

namespace url_text {

inline constexpr std::size_t kMaxUrlLength = 2048;
inline constexpr std::size_t kMaxHostLength = 253;
inline constexpr std::size_t kMaxLabelLength = 63;

using ip_text::Find;

constexpr bool Contains(std::u16string_view set, char16_t c) noexcept {
  return Find(set, c) != std::u16string_view::npos;
}

constexpr std::size_t FindText(std::u16string_view text, std::u16string_view part) noexcept {
  for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
    if (text.substr(i, part.size()) == part) return i;
  }
  return std::u16string_view::npos;
}

constexpr char16_t AsciiLower(char16_t c) noexcept {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

constexpr bool EqualsAsciiFolded(std::u16string_view text, std::u16string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (AsciiLower(text[i]) != lower[i]) return false;
  }
  return true;
}

constexpr bool IsAsciiLetterOrDigit(char16_t c) noexcept {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
}

constexpr bool OnlyDigitsAndDots(std::u16string_view text) noexcept {
  for (char16_t c : text) {
    if (!ip_text::IsDigit(c) && c != u'.') return false;
  }
  return true;
}

constexpr bool IsLocalIpv4(const Ipv4Address& a) noexcept {
  const auto& o = a.octets;
  return o[0] == 127 || o[0] == 10 || (o[0] == 172 && o[1] >= 16 && o[1] <= 31) ||
         (o[0] == 192 && o[1] == 168);
}

// Loopback or unique-local (fc00::/7). Link-local and IPv4-mapped addresses stay remote.
constexpr bool IsLocalIpv6(const Ipv6Address& a) noexcept {
  constexpr Ipv6Address kLoopback{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
  return a == kLoopback || (a.bytes[0] & 0xFE) == 0xFC;
}

// Host names are checked label by label from the left so that the first problem is reported.
constexpr ServerUrlFault CheckHostName(std::u16string_view host) noexcept {
  std::size_t start = 0;
  while (true) {
    std::size_t end = Find(host, u'.', start);
    const bool last = end == std::u16string_view::npos;
    if (last) end = host.size();
    const std::u16string_view label = host.substr(start, end - start);
    if (label.empty() || label.size() > kMaxLabelLength || label.front() == u'-' ||
        label.back() == u'-') {
      return ServerUrlFault::kInvalidHostName;
    }
    for (char16_t c : label) {
      if (!IsAsciiLetterOrDigit(c) && c != u'-') return ServerUrlFault::kInvalidHostName;
    }
    if (last) return ServerUrlFault::kNone;
    if (end + 1 == host.size()) return ServerUrlFault::kTrailingDot;
    start = end + 1;
  }
}

constexpr ServerUrlFault CheckPort(std::u16string_view text, std::uint16_t& port) noexcept {
  if (text.empty() || text.size() > 5) return ServerUrlFault::kPortFormat;
  std::uint32_t value = 0;
  for (char16_t c : text) {
    if (!ip_text::IsDigit(c)) return ServerUrlFault::kPortFormat;
    value = value * 10 + static_cast<std::uint32_t>(c - u'0');
  }
  if (value < 1 || value > 65535) return ServerUrlFault::kPortRange;
  port = static_cast<std::uint16_t>(value);
  return ServerUrlFault::kNone;
}

constexpr bool IsPathCharacter(char16_t c) noexcept {
  return IsAsciiLetterOrDigit(c) || Contains(u"/-._~!$&'()*+,;=:@", c);
}

// The path is used exactly as written, so only its spelling is checked, never its meaning.
constexpr ServerUrlFault CheckPath(std::u16string_view path) noexcept {
  for (std::size_t i = 0; i < path.size(); ++i) {
    const char16_t c = path[i];
    if (c == u'%') {
      if (path.size() - i < 3) return ServerUrlFault::kPercentEncoding;
      const int high = HexValue(path[i + 1]);
      const int low = HexValue(path[i + 2]);
      if (high < 0 || low < 0) return ServerUrlFault::kPercentEncoding;
      const int byte = high * 16 + low;
      if (byte < 0x20 || byte == 0x7F || byte == 0x5C) return ServerUrlFault::kEncodedControl;
      i += 2;
    } else if (!IsPathCharacter(c)) {
      return ServerUrlFault::kPathCharacter;
    }
  }
  return ServerUrlFault::kNone;
}

}  // namespace url_text

constexpr ServerUrlShape InspectServerUrl(std::u16string_view text,
                                          bool allow_insecure_local) noexcept {
  using url_text::EqualsAsciiFolded;
  constexpr std::size_t npos = std::u16string_view::npos;
  ServerUrlShape shape;
  auto fail = [&shape](ServerUrlFault fault) {
    shape.fault = fault;
    return shape;
  };

  if (text.size() > url_text::kMaxUrlLength) return fail(ServerUrlFault::kNotPrintableAscii);
  for (char16_t c : text) {
    if (c < 0x21 || c > 0x7E || c == u'\\') return fail(ServerUrlFault::kNotPrintableAscii);
  }

  const std::size_t separator = url_text::FindText(text, u"://");
  if (separator == npos) return fail(ServerUrlFault::kScheme);
  const std::u16string_view scheme = text.substr(0, separator);
  const bool wss = EqualsAsciiFolded(scheme, u"wss");
  if (!wss && !EqualsAsciiFolded(scheme, u"ws")) return fail(ServerUrlFault::kScheme);
  shape.secure = wss;
  shape.scheme_size = separator;

  for (char16_t c : text) {
    if (c == u'?' || c == u'#') return fail(ServerUrlFault::kQueryOrFragment);
  }

  shape.port = wss ? 443 : 80;
  const std::size_t authority_begin = separator + 3;
  const std::size_t slash = url_text::Find(text, u'/', authority_begin);
  const std::u16string_view authority =
      text.substr(authority_begin, (slash == npos ? text.size() : slash) - authority_begin);
  if (authority.empty() || url_text::Contains(authority, u'@')) {
    return fail(ServerUrlFault::kHostMissingOrCredentials);
  }

  bool has_port = false;
  std::u16string_view port_text;
  if (authority.front() == u'[') {
    const std::size_t close = url_text::Find(authority, u']');
    if (close == npos) return fail(ServerUrlFault::kUnclosedIpv6);
    const std::u16string_view host = authority.substr(1, close - 1);
    const auto address = ParseIpv6(host);
    if (!address) return fail(ServerUrlFault::kInvalidIpv6);
    shape.ipv6 = true;
    shape.local = url_text::IsLocalIpv6(*address);
    shape.host_begin = authority_begin + 1;
    shape.host_size = host.size();
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != u':') return fail(ServerUrlFault::kAfterIpv6);
      has_port = true;
      port_text = authority.substr(close + 2);
    }
  } else {
    const std::size_t colon = url_text::Find(authority, u':');
    const std::u16string_view host = authority.substr(0, colon);
    if (colon != npos) {
      has_port = true;
      port_text = authority.substr(colon + 1);
    }
    if (host.empty() || host.size() > url_text::kMaxHostLength) {
      return fail(ServerUrlFault::kHostLength);
    }
    shape.host_begin = authority_begin;
    shape.host_size = host.size();
    if (const auto address = ParseIpv4(host)) {
      shape.local = url_text::IsLocalIpv4(*address);
    } else if (url_text::OnlyDigitsAndDots(host)) {
      return fail(ServerUrlFault::kInvalidIpv4);
    } else {
      const ServerUrlFault name_fault = url_text::CheckHostName(host);
      if (name_fault != ServerUrlFault::kNone) return fail(name_fault);
      shape.local = EqualsAsciiFolded(host, u"localhost");
    }
  }

  if (has_port) {
    const ServerUrlFault port_fault = url_text::CheckPort(port_text, shape.port);
    if (port_fault != ServerUrlFault::kNone) return fail(port_fault);
  }

  if (!shape.secure && !(allow_insecure_local && shape.local)) {
    return fail(ServerUrlFault::kInsecure);
  }

  if (slash != npos) {
    shape.path_begin = slash;
    const ServerUrlFault path_fault = url_text::CheckPath(text.substr(slash));
    if (path_fault != ServerUrlFault::kNone) return fail(path_fault);
  }
  return shape;
}

}  // namespace varnel
