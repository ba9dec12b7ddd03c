#pragma once
// The decisions of a screen preview that do not need the platform: the picture size, where the
// cursor goes, the JPEG size cap with its one smaller retry, and the pixel packing for the
// encoder. The Windows layer (screen_win.cpp) supplies the pixels and the encoder.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "screen/preview_frame.h"

namespace varnel {

struct PreviewSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;

  friend bool operator==(const PreviewSize&, const PreviewSize&) = default;
};

inline constexpr PreviewSize kPreviewFirstAttempt{1280, 720};
inline constexpr PreviewSize kPreviewFallback{640, 360};
inline constexpr float kPreviewJpegQuality = 0.55F;
inline constexpr std::uint64_t kPreviewMaxJpegBytes = 262144;

inline constexpr std::u16string_view kScreenLockedText =
    u"Screen unavailable: unlock Windows or close the secure desktop.";
inline constexpr std::u16string_view kMonitorUnavailableText = u"Selected monitor is unavailable.";
inline constexpr std::u16string_view kScreenUnavailableText = u"Screen unavailable.";
inline constexpr std::u16string_view kCaptureFailedText = u"Screen capture failed.";
inline constexpr std::u16string_view kPreviewTooLargeText =
    u"Screen preview exceeded the size limit.";

// The picture size for a source of width x height pixels (both at least 1): scaled by the
// smallest of 1, max_width / width and max_height / height, truncated, at least 1 x 1. Never
// enlarges.
PreviewSize ScalePreview(std::int64_t width, std::int64_t height, std::uint32_t max_width,
                         std::uint32_t max_height);

// Where the cursor lands in the picture and how large it is drawn.
struct CursorPlacement {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 1;
  std::int32_t height = 1;

  friend bool operator==(const CursorPlacement&, const CursorPlacement&) = default;
};

// What the platform reports about the cursor, in virtual-desktop pixels.
struct CursorShape {
  std::int32_t x = 0;  // screen position of the hot spot
  std::int32_t y = 0;
  std::int32_t hotspot_x = 0;
  std::int32_t hotspot_y = 0;
  std::int32_t bitmap_width = 0;
  std::int32_t bitmap_height = 0;
  // A monochrome cursor's mask stacks the AND and XOR halves, so it is twice the cursor's height.
  bool monochrome = false;
};

// True when the point (x, y) lies in the area at (left, top) of width x height pixels.
bool InArea(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
            std::int32_t left, std::int32_t top);

// Placement of `cursor` in a picture of `output` size taken of the area at (left, top) of
// source_width x source_height, or nothing when the hot spot lies outside that area (it belongs
// to another monitor then) or a size is not positive.
std::optional<CursorPlacement> PlaceCursor(const CursorShape& cursor, PreviewSize output,
                                           std::int32_t source_width, std::int32_t source_height,
                                           std::int32_t left, std::int32_t top);

// Accepts 1 to kPreviewMaxJpegBytes bytes.
constexpr bool JpegSizeAcceptable(std::uint64_t size) {
  return size >= 1 && size <= kPreviewMaxJpegBytes;
}

// Packs 32-bit pixels (blue, green, red, unused) into 24-bit ones, dropping the fourth byte.
// `bgr` holds three bytes for every four of `bgrx`.
void PackBgr(std::span<const std::uint8_t> bgrx, std::span<std::uint8_t> bgr);

// One capture at a maximum size; may raise for an encoder failure.
using MonitorCapture =
    std::function<PreviewFrame(std::uint32_t max_width, std::uint32_t max_height)>;

// The first attempt at kPreviewFirstAttempt, and only after a size overflow one more at
// kPreviewFallback, whose result stands whatever it says. Anything raised becomes a frame with
// only the text kCaptureFailedText; only exhausted memory while reporting that can still raise.
PreviewFrame CapturePreviewWith(const MonitorCapture& capture);

}  // namespace varnel
