#pragma once
// One screen preview: a Base64 JPEG of a monitor, or the reason there is none.
#include <cstdint>
#include <string>

#include "util/monitor_info.h"

namespace varnel {

struct PreviewFrame {
  std::u16string jpeg;   // Base64, no line breaks; empty when the capture failed
  std::u16string error;  // why there is no picture; empty on success
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::u16string monitor_id;
  ScreenRect rect;

  friend bool operator==(const PreviewFrame&, const PreviewFrame&) = default;
};

}  // namespace varnel
