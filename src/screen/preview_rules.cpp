// Preview sizes and the monitor a preview shows, decided without the platform.
#include "screen/preview_rules.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "util/mul_div.h"

namespace varnel {
namespace {

std::uint32_t ScaledSide(std::int64_t side, double scale) {
  const double scaled = std::trunc(static_cast<double>(side) * scale);
  return static_cast<std::uint32_t>(std::max(1.0, scaled));
}

}  // namespace

PreviewSize ScalePreview(std::int64_t width, std::int64_t height, std::uint32_t max_width,
                         std::uint32_t max_height) {
  const double scale = std::min({1.0, static_cast<double>(max_width) / static_cast<double>(width),
                                 static_cast<double>(max_height) / static_cast<double>(height)});
  return {ScaledSide(width, scale), ScaledSide(height, scale)};
}

bool InArea(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
            std::int32_t left, std::int32_t top) {
  // In 64 bits: an area at the edge of the 32-bit range must not wrap the test around.
  return width > 0 && height > 0 && x >= left && x < std::int64_t{left} + width && y >= top &&
         y < std::int64_t{top} + height;
}

std::optional<CursorPlacement> PlaceCursor(const CursorShape& cursor, PreviewSize output,
                                           std::int32_t source_width, std::int32_t source_height,
                                           std::int32_t left, std::int32_t top) {
  if (!InArea(cursor.x, cursor.y, source_width, source_height, left, top)) return std::nullopt;
  const auto ow = static_cast<std::int32_t>(output.width);
  const auto oh = static_cast<std::int32_t>(output.height);
  const std::int32_t height = cursor.monochrome ? cursor.bitmap_height / 2 : cursor.bitmap_height;
  CursorPlacement placement;
  placement.x = MulDiv(cursor.x - left - cursor.hotspot_x, ow, source_width);
  placement.y = MulDiv(cursor.y - top - cursor.hotspot_y, oh, source_height);
  placement.width = std::max(1, MulDiv(cursor.bitmap_width, ow, source_width));
  placement.height = std::max(1, MulDiv(height, oh, source_height));
  return placement;
}

void PackBgr(std::span<const std::uint8_t> bgrx, std::span<std::uint8_t> bgr) {
  const std::size_t pixels = std::min(bgrx.size() / 4, bgr.size() / 3);
  const std::uint8_t* from = bgrx.data();
  std::uint8_t* to = bgr.data();
  if (pixels == 0) return;
  // Whole 4-byte moves, each overlapping the next pixel's first byte, which that pixel's move
  // then writes: one load and one store a pixel. The last pixel has no next one to overlap.
  for (std::size_t i = 0; i + 1 < pixels; ++i, from += 4, to += 3) std::memcpy(to, from, 4);
  std::memcpy(to, from, 3);
}

PreviewFrame CapturePreviewWith(const MonitorCapture& capture) {
  try {
    PreviewFrame frame = capture(kPreviewFirstAttempt.width, kPreviewFirstAttempt.height);
    if (frame.error == kPreviewTooLargeText) {
      frame = capture(kPreviewFallback.width, kPreviewFallback.height);
    }
    return frame;
  } catch (...) {
    // Whatever failed, the worker gets a frame that says so; nothing escapes the capture.
    PreviewFrame failed;
    failed.error = kCaptureFailedText;
    return failed;
  }
}

}  // namespace varnel
