#pragma once
// The server URL is the only network address the program ever uses; it is checked once at start-up
// and everything after that sees only the normalised ServerEndpoint.
#include <cstdint>
#include <string>
#include <string_view>

namespace varnel {

struct ServerEndpoint {
  std::u16string url;     // origin + path; what the customer is shown
  std::u16string host;    // lower case; an IPv6 literal without its brackets
  std::u16string path;    // as written, always starting with '/'
  std::u16string origin;  // scheme://host:port with the port always written; keys the credentials
  std::uint16_t port = 443;
  bool secure = true;

  friend bool operator==(const ServerEndpoint&, const ServerEndpoint&) = default;
};

// Throws LaunchError with the customer-facing reason when the URL is refused.
ServerEndpoint ValidateServerUrl(std::u16string_view text, bool allow_insecure_local);

}  // namespace varnel
