#pragma once
// One attached display monitor as the agent sees it. Rectangles are physical pixels of the virtual
// desktop; the primary monitor's top-left corner is (0, 0) and others may lie at negative
// coordinates.
#include <cstdint>
#include <string>

namespace varnel {

struct ScreenRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;   // exclusive
  std::int32_t bottom = 0;  // exclusive

  friend bool operator==(const ScreenRect&, const ScreenRect&) = default;
};

struct MonitorInfo {
  std::u16string id;  // the display device name, e.g. \\.\DISPLAY1
  ScreenRect rect;
  bool primary = false;

  friend bool operator==(const MonitorInfo&, const MonitorInfo&) = default;
};

}  // namespace varnel
