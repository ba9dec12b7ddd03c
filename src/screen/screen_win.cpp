// Monitors, GDI capture, the cursor and the WIC JPEG encoder.
#include "screen/screen_win.h"

#include <objbase.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <array>
#include <exception>
#include <limits>
#include <span>
#include <utility>

#include "screen/monitor_order.h"
#include "screen/preview_rules.h"
#include "util/base64_win.h"
#include "util/input_desktop_win.h"
#include "util/unique_handle_win.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

using Microsoft::WRL::ComPtr;

static_assert(sizeof(MONITORINFOEXW) == 104, "the extended monitor record");
static_assert(sizeof(CURSORINFO) == 24, "the cursor record");

// The layered windows (tool tips, menus) are part of what the customer sees.
constexpr DWORD kCaptureRop = SRCCOPY | CAPTUREBLT;
static_assert(kCaptureRop == 0x40CC0020);

// GetDC(nullptr) hands out the screen's device context, which goes back with ReleaseDC.
struct ScreenDcTraits {
  using Handle = HDC;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle dc) noexcept { ReleaseDC(nullptr, dc); }
};
using ScreenDc = UniqueHandle<ScreenDcTraits>;

[[noreturn]] void RaiseResult(HRESULT result) {
  throw PlatformError("Screen preview encoding failed", static_cast<std::uint32_t>(result));
}

void Check(HRESULT result) {
  if (FAILED(result)) RaiseResult(result);
}

struct Enumeration {
  std::vector<MonitorInfo> monitors;
  std::exception_ptr failure;
};

BOOL CALLBACK CollectMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM context) {
  auto& enumeration = *reinterpret_cast<Enumeration*>(context);
  // The enumeration runs to its end; monitors beyond the limit are simply not read.
  if (enumeration.monitors.size() >= kMaxMonitors) return TRUE;
  MONITORINFOEXW info{};
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(monitor, &info)) return TRUE;
  try {
    info.szDevice[CCHDEVICENAME - 1] = L'\0';
    const RECT& rect = info.rcMonitor;
    enumeration.monitors.push_back(MonitorInfo{
        FromWide(info.szDevice), ScreenRect{rect.left, rect.top, rect.right, rect.bottom},
        (info.dwFlags & MONITORINFOF_PRIMARY) != 0});
  } catch (...) {
    // An exception must not unwind through the platform's frames.
    enumeration.failure = std::current_exception();
    return FALSE;
  }
  return TRUE;
}

// Copies the area of `rect` (w x h) scaled to `size` into `bgr` (three bytes a pixel, rows
// packed), the cursor drawn in. False when a GDI step failed.
bool CaptureScaled(const ScreenRect& rect, std::int32_t w, std::int32_t h, PreviewSize size,
                   std::vector<std::uint8_t>& bgr) {
  const auto ow = static_cast<std::int32_t>(size.width);
  const auto oh = static_cast<std::int32_t>(size.height);
  const ScreenDc screen(GetDC(nullptr));
  if (!screen) return false;
  const MemoryDc memory(CreateCompatibleDC(screen.get()));
  if (!memory) return false;

  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  format.bmiHeader.biWidth = ow;
  format.bmiHeader.biHeight = -oh;  // top-down rows: the encoder's order
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  const GdiObject<HBITMAP> dib(
      CreateDIBSection(screen.get(), &format, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!dib || bits == nullptr) return false;

  const HGDIOBJ previous = SelectObject(memory.get(), dib.get());
  if (previous == nullptr || previous == HGDI_ERROR) return false;
  SetStretchBltMode(memory.get(), HALFTONE);
  SetBrushOrgEx(memory.get(), 0, 0, nullptr);
  // One pass from the screen straight into the reduced size: the full-size picture is never held.
  const bool copied = StretchBlt(memory.get(), 0, 0, ow, oh, screen.get(), rect.left, rect.top, w,
                                 h, kCaptureRop) != FALSE;
  if (copied) {
    CURSORINFO cursor{};
    cursor.cbSize = sizeof(cursor);
    if (GetCursorInfo(&cursor)) DrawCursor(memory.get(), ow, oh, w, h, cursor, rect.left, rect.top);
    GdiFlush();
  }
  SelectObject(memory.get(), previous);
  if (!copied) return false;

  const std::size_t pixels = std::size_t{size.width} * size.height;
  bgr.resize(pixels * 3);
  PackBgr({static_cast<const std::uint8_t*>(bits), pixels * 4}, bgr);
  return true;
}

class WindowsScreen final : public Screen {
 public:
  std::vector<MonitorInfo> ListMonitors() override { return varnel::ListMonitors(); }
  std::optional<MonitorInfo> FindMonitor(std::u16string_view id) override {
    return varnel::FindMonitor(id);
  }
  PreviewFrame CapturePreview(std::u16string_view monitor_id) override {
    return varnel::CapturePreview(monitor_id);
  }
};

}  // namespace

std::vector<MonitorInfo> ListMonitors() {
  Enumeration enumeration;
  enumeration.monitors.reserve(kMaxMonitors);
  EnumDisplayMonitors(nullptr, nullptr, CollectMonitor, reinterpret_cast<LPARAM>(&enumeration));
  if (enumeration.failure) std::rethrow_exception(enumeration.failure);
  return OrderMonitors(std::move(enumeration.monitors));
}

std::optional<MonitorInfo> FindMonitor(std::u16string_view id) {
  return FindMonitorIn(ListMonitors(), id);
}

std::optional<std::vector<std::uint8_t>> EncodeJpeg(std::span<std::uint8_t> bgr, PreviewSize size) {
  ComPtr<IWICImagingFactory> factory;
  Check(CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                         IID_PPV_ARGS(&factory)));
  ComPtr<IStream> stream;
  Check(CreateStreamOnHGlobal(nullptr, TRUE, &stream));
  ComPtr<IWICBitmapEncoder> encoder;
  Check(factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder));
  Check(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache));

  ComPtr<IWICBitmapFrameEncode> frame;
  ComPtr<IPropertyBag2> options;
  Check(encoder->CreateNewFrame(&frame, &options));
  std::wstring quality_name = L"ImageQuality";
  PROPBAG2 option{};
  option.pstrName = quality_name.data();
  VARIANT quality;
  VariantInit(&quality);
  quality.vt = VT_R4;
  quality.fltVal = kPreviewJpegQuality;
  Check(options->Write(1, &option, &quality));
  Check(frame->Initialize(options.Get()));
  Check(frame->SetSize(size.width, size.height));
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  Check(frame->SetPixelFormat(&format));
  if (!IsEqualGUID(format, GUID_WICPixelFormat24bppBGR)) RaiseResult(E_FAIL);

  Check(frame->WritePixels(size.height, size.width * 3, static_cast<UINT>(bgr.size()), bgr.data()));
  Check(frame->Commit());
  Check(encoder->Commit());

  STATSTG stat{};
  Check(stream->Stat(&stat, STATFLAG_NONAME));
  if (!JpegSizeAcceptable(stat.cbSize.QuadPart)) return std::nullopt;
  Check(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr));
  std::vector<std::uint8_t> jpeg(static_cast<std::size_t>(stat.cbSize.QuadPart));
  ULONG read = 0;
  Check(stream->Read(jpeg.data(), static_cast<ULONG>(jpeg.size()), &read));
  if (read != jpeg.size()) RaiseResult(E_FAIL);
  return jpeg;
}

PreviewFrame CaptureMonitor(std::uint32_t max_width, std::uint32_t max_height,
                            std::u16string_view monitor_id) {
  PreviewFrame result;
  // Held to the end of the capture.
  const DesktopHandle desktop = OpenDefaultInputDesktop();
  if (!desktop) {
    result.error = kScreenLockedText;
    return result;
  }
  const std::optional<MonitorInfo> monitor = FindMonitor(monitor_id);
  if (!monitor) {
    result.error = kMonitorUnavailableText;
    return result;
  }
  result.monitor_id = monitor->id;
  result.rect = monitor->rect;
  const std::int64_t w = std::int64_t{monitor->rect.right} - monitor->rect.left;
  const std::int64_t h = std::int64_t{monitor->rect.bottom} - monitor->rect.top;
  if (w < 1 || h < 1) {
    result.error = kScreenUnavailableText;
    return result;
  }
  const PreviewSize size = ScalePreview(w, h, max_width, max_height);
  std::vector<std::uint8_t> bgr;
  // GDI takes sizes as int: a rectangle wider than that cannot be copied.
  constexpr std::int64_t kIntMax = std::numeric_limits<std::int32_t>::max();
  if (w > kIntMax || h > kIntMax ||
      !CaptureScaled(monitor->rect, static_cast<std::int32_t>(w), static_cast<std::int32_t>(h),
                     size, bgr)) {
    result.error = kCaptureFailedText;
    return result;
  }
  const std::optional<std::vector<std::uint8_t>> jpeg = EncodeJpeg(bgr, size);
  if (!jpeg) {
    result.error = kPreviewTooLargeText;
    return result;
  }
  result.jpeg = EncodeBase64(*jpeg);
  result.width = size.width;
  result.height = size.height;
  return result;
}

PreviewFrame CapturePreview(std::u16string_view monitor_id) {
  return CapturePreviewWith([monitor_id](std::uint32_t max_width, std::uint32_t max_height) {
    return CaptureMonitor(max_width, max_height, monitor_id);
  });
}

void DrawCursor(HDC target, std::int32_t output_width, std::int32_t output_height,
                std::int32_t source_width, std::int32_t source_height, const CURSORINFO& cursor,
                std::int32_t source_left, std::int32_t source_top) noexcept {
  if ((cursor.flags & CURSOR_SHOWING) == 0 || cursor.hCursor == nullptr) return;
  const POINT position = cursor.ptScreenPos;
  if (!InArea(position.x, position.y, source_width, source_height, source_left, source_top)) return;
  const IconHandle copy(CopyIcon(cursor.hCursor));
  if (!copy) return;
  ICONINFO icon{};
  if (!GetIconInfo(copy.get(), &icon)) return;
  const GdiObject<HBITMAP> mask(icon.hbmMask);
  const GdiObject<HBITMAP> colour(icon.hbmColor);
  BITMAP bitmap{};
  if (GetObjectW(colour ? colour.get() : mask.get(), sizeof(bitmap), &bitmap) == 0) return;
  const CursorShape shape{position.x,
                          position.y,
                          static_cast<std::int32_t>(icon.xHotspot),
                          static_cast<std::int32_t>(icon.yHotspot),
                          bitmap.bmWidth,
                          bitmap.bmHeight,
                          !colour};
  const std::optional<CursorPlacement> placement =
      PlaceCursor(shape,
                  PreviewSize{static_cast<std::uint32_t>(output_width),
                              static_cast<std::uint32_t>(output_height)},
                  source_width, source_height, source_left, source_top);
  if (!placement) return;
  DrawIconEx(target, placement->x, placement->y, copy.get(), placement->width, placement->height, 0,
             nullptr, DI_NORMAL);
}

std::unique_ptr<Screen> MakeWindowsScreen() { return std::make_unique<WindowsScreen>(); }

}  // namespace varnel
