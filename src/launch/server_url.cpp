// The server URL's run-time check, over the rules that checked the built-in URL when built.
#include "launch/server_url.h"

#include <string>

#include "launch/launch_error.h"
#include "launch/server_url_rules.h"

namespace varnel {

namespace {

std::u16string AsciiLowered(std::u16string_view text) {
  std::u16string lowered(text);
  for (char16_t& c : lowered) c = url_text::AsciiLower(c);
  return lowered;
}

}  // namespace

ServerEndpoint ValidateServerUrl(std::u16string_view text, bool allow_insecure_local) {
  const ServerUrlShape shape = InspectServerUrl(text, allow_insecure_local);
  if (shape.fault != ServerUrlFault::kNone) {
    throw LaunchError(std::u16string(ServerUrlFaultMessage(shape.fault)));
  }

  ServerEndpoint endpoint;
  endpoint.secure = shape.secure;
  endpoint.port = shape.port;
  endpoint.host = AsciiLowered(text.substr(shape.host_begin, shape.host_size));
  endpoint.path = shape.path_begin == std::u16string_view::npos
                      ? std::u16string(u"/")
                      : std::u16string(text.substr(shape.path_begin));

  endpoint.origin = shape.secure ? u"wss://" : u"ws://";
  if (shape.ipv6) {
    endpoint.origin += u'[';
    endpoint.origin += endpoint.host;
    endpoint.origin += u']';
  } else {
    endpoint.origin += endpoint.host;
  }
  endpoint.origin += u':';
  for (char c : std::to_string(shape.port)) endpoint.origin += static_cast<char16_t>(c);
  endpoint.url = endpoint.origin + endpoint.path;
  return endpoint;
}

}  // namespace varnel
