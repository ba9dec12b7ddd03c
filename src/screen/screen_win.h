#pragma once
// The screen on Windows: monitors from the platform's enumeration, previews captured with GDI
// straight into the reduced size, the cursor drawn in, encoded by the Windows Imaging Component's
// JPEG encoder. The worker's thread must have initialised COM (multithreaded apartment).
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "screen/preview_frame.h"
#include "screen/preview_rules.h"
#include "screen/screen.h"
#include "util/monitor_info.h"

namespace varnel {

// The attached monitors (at most 16), primary first, then by id. Enumerated afresh each call.
std::vector<MonitorInfo> ListMonitors();

// With an empty id the primary monitor, else the monitor whose id equals `id` exactly.
std::optional<MonitorInfo> FindMonitor(std::u16string_view id);

// One preview of `monitor_id` (empty = primary) at most max_width x max_height. Expected failures
// are reported in the error text; a failing encoder or stream call raises PlatformError with its
// HRESULT as the code.
PreviewFrame CaptureMonitor(std::uint32_t max_width, std::uint32_t max_height,
                            std::u16string_view monitor_id);

// CaptureMonitor at 1280 x 720, once more at 640 x 360 when that picture was too large. Never
// raises: every failure is the frame's error text.
PreviewFrame CapturePreview(std::u16string_view monitor_id);

// Draws the cursor `cursor` into `target`, a picture of output_width x output_height taken of the
// area at (source_left, source_top) of source_width x source_height, when its hot spot lies in
// that area.
void DrawCursor(HDC target, std::int32_t output_width, std::int32_t output_height,
                std::int32_t source_width, std::int32_t source_height, const CURSORINFO& cursor,
                std::int32_t source_left, std::int32_t source_top) noexcept;

// The JPEG file of `bgr` (24-bit pixels, rows packed, `size` large), or nothing when it is empty
// or larger than the cap. A failing encoder or stream call raises PlatformError with its HRESULT.
// Public for the capture benchmark, which times it alone.
std::optional<std::vector<std::uint8_t>> EncodeJpeg(std::span<std::uint8_t> bgr, PreviewSize size);

// The Screen the session worker uses in the program.
std::unique_ptr<Screen> MakeWindowsScreen();

}  // namespace varnel
