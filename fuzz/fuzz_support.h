#pragma once
// What the fuzzers share: a check that survives release builds, and the status texts the customer
// may be shown.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string_view>

namespace varnel::fuzz {

inline void Require(bool condition, const char* what = "check") {
  if (condition) return;
  std::fprintf(stderr, "failed: %s\n", what);
  std::abort();
}
// Names the condition that failed.
#define REQUIRE(condition) ::varnel::fuzz::Require((condition), #condition)

inline constexpr std::u16string_view kStatusTexts[] = {
    u"Connecting to server...",
    u"Connected - Waiting for support agent",
    u"Support agent assigned - Your approval is required",
    u"Screen preview active - View only",
    u"Screen preview allowed - Waiting for agent viewer",
    u"Support approved - Screen preview needs a server update",
    u"Support request declined",
    u"Support request expired",
    u"The support agent ended this session. Remote access has stopped.",
    u"Support session ended",
    u"Remote control requested - Your approval is required",
    u"Remote control active - Use Stop Support to stop",
    u"Agent viewer disconnected - Waiting for reconnection",
    u"Agent viewer paused - Support remains connected",
    u"Agent viewer not responding - Input paused",
    u"Stopped - No remote permissions",
    u"Unsupported server session state.",
    u"Unable to complete the connection. Check the server configuration and try again.",
};

inline bool IsStatusText(std::u16string_view text) {
  return std::find(std::begin(kStatusTexts), std::end(kStatusTexts), text) !=
         std::end(kStatusTexts);
}

}  // namespace varnel::fuzz
