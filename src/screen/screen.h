#pragma once
// The screen as the session worker uses it: the monitor list it reports to the agent (written
// into messages by AddMonitorList of session/wire_messages.h), the lookup of the agent's
// selection, and one preview picture. The Windows layer implements it with the
// platform's monitor enumeration and GDI/WIC capture; the worker's tests pass a fake.
#include <optional>
#include <string_view>
#include <vector>

#include "screen/preview_frame.h"
#include "util/monitor_info.h"

namespace varnel {

class Screen {
 public:
  Screen() = default;
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;
  virtual ~Screen() = default;

  // The attached monitors, primary first, then by id; enumerated afresh on every call.
  virtual std::vector<MonitorInfo> ListMonitors() = 0;

  // With an empty id the first primary monitor, else the first monitor whose id equals `id`
  // exactly; of a fresh ListMonitors. Nothing when there is no match.
  virtual std::optional<MonitorInfo> FindMonitor(std::u16string_view id) = 0;

  // One preview of the monitor `monitor_id` (empty = primary). Never raises: every failure is
  // reported in the frame's error text. Runs on the worker's thread, after its thread set-up.
  virtual PreviewFrame CapturePreview(std::u16string_view monitor_id) = 0;
};

}  // namespace varnel
