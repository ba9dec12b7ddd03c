// The agent's monitor list: the primary first, then the others in a fixed order.
#include "screen/monitor_order.h"

#include <algorithm>
#include <utility>

namespace varnel {

std::vector<MonitorInfo> OrderMonitors(std::vector<MonitorInfo> reported) {
  if (reported.size() > kMaxMonitors) reported.resize(kMaxMonitors);
  // std::u16string compares by code unit value, which is the ordinal order the agent expects.
  std::sort(reported.begin(), reported.end(), [](const MonitorInfo& a, const MonitorInfo& b) {
    if (a.primary != b.primary) return a.primary;
    return a.id < b.id;
  });
  return reported;
}

std::optional<MonitorInfo> FindMonitorIn(std::span<const MonitorInfo> monitors,
                                         std::u16string_view id) {
  const auto match = std::find_if(monitors.begin(), monitors.end(), [id](const MonitorInfo& m) {
    return id.empty() ? m.primary : m.id == id;
  });
  if (match == monitors.end()) return std::nullopt;
  return *match;
}

}  // namespace varnel
