// The server's version, shown only when it is a plain version text.
#include "session/protocol_version.h"

#include <algorithm>
#include <cstddef>

namespace varnel {
namespace {

constexpr std::u16string_view kUnknownServerVersion = u"Unknown (older server)";
constexpr std::size_t kMaxVersionUnits = 64;

bool IsVersionUnit(char16_t unit) {
  return (unit >= u'0' && unit <= u'9') || (unit >= u'a' && unit <= u'z') ||
         (unit >= u'A' && unit <= u'Z') || unit == u'.' || unit == u'+' || unit == u'-';
}

bool IsValidVersion(std::u16string_view version) {
  return !version.empty() && version.size() <= kMaxVersionUnits &&
         std::all_of(version.begin(), version.end(), IsVersionUnit);
}

}  // namespace

ServerVersionCheck CheckServerVersion(std::u16string_view received) {
  ServerVersionCheck check;
  const bool valid = IsValidVersion(received);
  check.shown = valid ? std::u16string(received) : std::u16string(kUnknownServerVersion);
  if (!valid || received != kProtocolVersion) {
    check.warning = u"Version mismatch: server " + check.shown + u"; expected " +
                    std::u16string(kProtocolVersion) +
                    u". Some features may not work correctly. Update the server and client to "
                    u"matching releases.";
  }
  return check;
}

}  // namespace varnel
