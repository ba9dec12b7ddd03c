#pragma once
// Address literals in the notations the Windows address parser (InetPtonW) accepts, and nothing
// more. Written by hand so that the portable core and the compile-time check of the default
// server URL agree with what the program does on Windows.
//
// The notations follow the outcomes recorded on real Windows by Wine's conformance tests of
// inet_pton/InetPtonW (dlls/ws2_32/tests/protocol.c, test_inet_pton):
//   IPv4: exactly four decimal parts of 0 to 255. A part with a leading zero ("010", "00") is
//         refused, so "1.1.1.010" never silently means 1.1.1.8 or 1.1.1.10.
//   IPv6: eight groups of one to four hexadecimal digits, or fewer with one "::" that stands for
//         at least one zero group; the last 32 bits may be written as a dotted quad whose parts
//         have one to three digits (leading zeros allowed there: "1::001.2.3.4" is accepted,
//         "1::0001.2.3.4" is not). No scope id ("%"), prefix length ("/"), brackets or blanks.
// Everything here is constexpr so that it can run at compile time.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "util/hex.h"

namespace varnel {

struct Ipv4Address {
  std::array<std::uint8_t, 4> octets{};
  friend constexpr bool operator==(const Ipv4Address&, const Ipv4Address&) = default;
};

struct Ipv6Address {
  std::array<std::uint8_t, 16> bytes{};  // network order
  friend constexpr bool operator==(const Ipv6Address&, const Ipv6Address&) = default;
};

namespace ip_text {

constexpr bool IsDigit(char16_t c) noexcept { return c >= u'0' && c <= u'9'; }

// std::u16string_view::find is not usable in constant evaluation with GCC 12 when the text lives
// in a namespace-scope array (it compares an element address with null), so the parsers search by
// hand.
constexpr std::size_t Find(std::u16string_view text, char16_t c, std::size_t from = 0) noexcept {
  for (std::size_t i = from; i < text.size(); ++i) {
    if (text[i] == c) return i;
  }
  return std::u16string_view::npos;
}

// One dotted-quad part. The stand-alone IPv4 form refuses leading zeros; the IPv6 tail allows
// them but still caps a part at three digits.
constexpr std::optional<std::uint8_t> ParseQuadPart(std::u16string_view part,
                                                    bool allow_leading_zero) noexcept {
  if (part.empty() || part.size() > 3) return std::nullopt;
  if (!allow_leading_zero && part.size() > 1 && part[0] == u'0') return std::nullopt;
  unsigned value = 0;
  for (char16_t c : part) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - u'0');
  }
  if (value > 255) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

constexpr std::optional<Ipv4Address> ParseDottedQuad(std::u16string_view text,
                                                     bool allow_leading_zero) noexcept {
  Ipv4Address address;
  std::size_t start = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    std::size_t end = Find(text, u'.', start);
    if (i < 3 && end == std::u16string_view::npos) return std::nullopt;
    if (i == 3) {
      if (end != std::u16string_view::npos) return std::nullopt;
      end = text.size();
    }
    const auto part = ParseQuadPart(text.substr(start, end - start), allow_leading_zero);
    if (!part) return std::nullopt;
    address.octets[i] = *part;
    start = end + 1;
  }
  return address;
}

}  // namespace ip_text

constexpr std::optional<Ipv4Address> ParseIpv4(std::u16string_view text) noexcept {
  return ip_text::ParseDottedQuad(text, false);
}

constexpr std::optional<Ipv6Address> ParseIpv6(std::u16string_view text) noexcept {
  constexpr std::size_t npos = std::u16string_view::npos;
  std::array<std::uint16_t, 8> groups{};
  std::size_t count = 0;
  std::size_t gap = npos;  // index of the group the "::" stands before
  std::size_t pos = 0;
  const std::size_t size = text.size();

  if (size >= 2 && text[0] == u':' && text[1] == u':') {
    gap = 0;
    pos = 2;
  } else if (size == 0 || text[0] == u':') {
    return std::nullopt;
  }

  while (pos < size) {
    std::size_t end = ip_text::Find(text, u':', pos);
    if (end == npos) end = size;
    const std::u16string_view element = text.substr(pos, end - pos);

    if (ip_text::Find(element, u'.') != npos) {
      // A dotted tail ends the address and fills the last two groups.
      if (end != size || count + 2 > 8) return std::nullopt;
      const auto tail = ip_text::ParseDottedQuad(element, true);
      if (!tail) return std::nullopt;
      groups[count++] = static_cast<std::uint16_t>(tail->octets[0] << 8 | tail->octets[1]);
      groups[count++] = static_cast<std::uint16_t>(tail->octets[2] << 8 | tail->octets[3]);
      pos = size;
      break;
    }

    if (element.empty() || element.size() > 4 || count == 8) return std::nullopt;
    unsigned value = 0;
    for (char16_t c : element) {
      const int digit = HexValue(c);
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    groups[count++] = static_cast<std::uint16_t>(value);

    pos = end;
    if (pos == size) break;
    ++pos;  // the ':' after the group
    if (pos < size && text[pos] == u':') {
      if (gap != npos) return std::nullopt;
      gap = count;
      ++pos;
    } else if (pos == size) {
      return std::nullopt;  // a single trailing ':'
    }
  }

  if (gap == npos ? count != 8 : count > 7) return std::nullopt;

  Ipv6Address address;
  const std::size_t zeros = 8 - count;
  std::size_t out = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (i == gap) out += zeros;
    address.bytes[2 * out] = static_cast<std::uint8_t>(groups[i] >> 8);
    address.bytes[2 * out + 1] = static_cast<std::uint8_t>(groups[i] & 0xFF);
    ++out;
  }
  return address;
}

}  // namespace varnel
