#pragma once
// The protocol version this client speaks, and what it makes of the one the server names.
#include <string>
#include <string_view>

namespace varnel {

inline constexpr std::u16string_view kProtocolVersion = u"0.9.2";

struct ServerVersionCheck {
  std::u16string shown;    // the received version, or "Unknown (older server)" when it is not valid
  std::u16string warning;  // empty when the server speaks exactly this client's version
};

// A mismatch never stops the session; it only gives the warning to show.
ServerVersionCheck CheckServerVersion(std::u16string_view received);

}  // namespace varnel
