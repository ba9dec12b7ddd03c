#pragma once
// The rules of the monitor list that do not depend on the platform: how many monitors the agent
// is told about, in which order, and how the agent's selection is looked up.
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "util/monitor_info.h"

namespace varnel {

// Monitors beyond this many, in the order the platform reports them, are left out.
inline constexpr std::size_t kMaxMonitors = 16;

// The first kMaxMonitors of `reported`, primary first, then by id in ordinal order of the UTF-16
// units (a prefix sorts first, case matters).
std::vector<MonitorInfo> OrderMonitors(std::vector<MonitorInfo> reported);

// With an empty id the first primary monitor, else the first whose id equals `id` exactly.
std::optional<MonitorInfo> FindMonitorIn(std::span<const MonitorInfo> monitors,
                                         std::u16string_view id);

}  // namespace varnel
