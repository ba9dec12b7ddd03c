// Test helper for the screen tests (tests/screen/test_screen_capture.py): shows a known picture
// on every monitor, puts a known cursor somewhere, runs the real captures and writes what they
// returned as JSON. The test decodes the pictures with its own decoder.
//
//   screen_probe <scenario.json> <result.json>
//
// Scenario: {"pattern": "quadrants" | "white" | "noise" | "none",
//            "cursor": {"kind": "mono" | "colour", "x": X, "y": Y}   (optional),
//            "captures": [{"monitor": ID, "max": [W, H]}, ...]   ("max": CaptureMonitor itself),
//            "repeat": N}   (optional: N more previews of the primary, counting live objects)
#include <windows.h>
// after windows.h
#include <objbase.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/process_counts_win.h"
#include "screen/screen_win.h"
#include "util/utf.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

using Json = nlohmann::json;

// The quadrant colours (0xRRGGBB); monitor i shows kPalette[(2 * i + q) % 6] in quadrant q (top
// left, top right, bottom left, bottom right). The test knows the same table.
constexpr std::array<std::uint32_t, 6> kPalette = {0xDC1E1E, 0x1EC81E, 0x1E1EDC,
                                                   0xE6E628, 0xD228D2, 0x28D2D2};
constexpr int kCursorSide = 32;
constexpr int kCursorHotSpot = 16;

// What one monitor shows: one 0x00RRGGBB pixel each, row by row.
struct Surface {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;

  std::uint32_t At(int x, int y) const {
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(x)];
  }
};

Surface MakeSurface(const std::string& pattern, int monitor, int width, int height,
                    std::mt19937& random) {
  Surface surface{width, height, {}};
  surface.pixels.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int quadrant = (y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0);
      surface.pixels.push_back(pattern == "noise"       ? random() & 0xFFFFFF
                               : pattern == "quadrants" ? kPalette[(2 * monitor + quadrant) % 6]
                                                        : 0xFFFFFF);
    }
  }
  return surface;
}

LRESULT CALLBACK SurfaceProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_ERASEBKGND) return 1;
  if (message != WM_PAINT) return DefWindowProcW(window, message, wparam, lparam);
  const auto* surface = reinterpret_cast<Surface*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  BITMAPINFO format{};
  format.bmiHeader = {
      sizeof(BITMAPINFOHEADER), surface->width, -surface->height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  SetDIBitsToDevice(
      dc, 0, 0, static_cast<DWORD>(surface->width), static_cast<DWORD>(surface->height), 0, 0, 0,
      static_cast<UINT>(surface->height), surface->pixels.data(), &format, DIB_RGB_COLORS);
  EndPaint(window, &paint);
  return 0;
}

void Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// Waits, pumping messages, until `done` holds; raises after a generous limit.
template <typename Condition>
void WaitFor(const char* what, Condition done) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) throw std::runtime_error(what);
    Pump();
    Sleep(20);
  }
}

// A black square, as a monochrome cursor (AND and XOR planes) or as a colour one.
HCURSOR MakeCursor(const std::string& kind) {
  std::vector<std::uint8_t> zeros(kCursorSide * kCursorSide / 8, 0);
  if (kind == "mono") {
    return CreateCursor(GetModuleHandleW(nullptr), kCursorHotSpot, kCursorHotSpot, kCursorSide,
                        kCursorSide, zeros.data(), zeros.data());
  }
  std::vector<std::uint32_t> black(kCursorSide * kCursorSide, 0xFF000000);
  ICONINFO info{};
  info.fIcon = FALSE;
  info.xHotspot = kCursorHotSpot;
  info.yHotspot = kCursorHotSpot;
  info.hbmMask = CreateBitmap(kCursorSide, kCursorSide, 1, 1, zeros.data());
  info.hbmColor = CreateBitmap(kCursorSide, kCursorSide, 1, 32, black.data());
  HCURSOR cursor = CreateIconIndirect(&info);
  DeleteObject(info.hbmMask);
  DeleteObject(info.hbmColor);
  return cursor;
}

Json FrameJson(const PreviewFrame& frame) {
  return {{"jpeg", Utf16ToUtf8(frame.jpeg)},
          {"error", Utf16ToUtf8(frame.error)},
          {"width", frame.width},
          {"height", frame.height},
          {"monitor_id", Utf16ToUtf8(frame.monitor_id)},
          {"rect", {frame.rect.left, frame.rect.top, frame.rect.right, frame.rect.bottom}}};
}

Json Run(const Json& scenario) {
  const std::vector<MonitorInfo> monitors = ListMonitors();
  Json result;
  result["monitors"] = Json::array();
  for (const MonitorInfo& m : monitors) {
    result["monitors"].push_back({{"id", Utf16ToUtf8(m.id)},
                                  {"rect", {m.rect.left, m.rect.top, m.rect.right, m.rect.bottom}},
                                  {"primary", m.primary}});
  }

  HCURSOR cursor = nullptr;
  const Json cursor_spec = scenario.value("cursor", Json());
  if (cursor_spec.is_object()) cursor = MakeCursor(cursor_spec.at("kind").get<std::string>());

  WNDCLASSW window_class{};
  window_class.lpfnWndProc = SurfaceProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hCursor = cursor != nullptr ? cursor : LoadCursorW(nullptr, IDC_ARROW);
  window_class.lpszClassName = L"QuilloryScreenProbe";
  RegisterClassW(&window_class);

  const std::string pattern = scenario.value("pattern", "none");
  std::vector<Surface> surfaces;
  surfaces.reserve(monitors.size());  // the windows keep pointers to them
  std::vector<HWND> windows;
  std::mt19937 random(1234);
  for (std::size_t i = 0; pattern != "none" && i < monitors.size(); ++i) {
    const ScreenRect& r = monitors[i].rect;
    Surface& surface = surfaces.emplace_back(
        MakeSurface(pattern, static_cast<int>(i), r.right - r.left, r.bottom - r.top, random));
    HWND window =
        CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, window_class.lpszClassName,
                        L"screen probe", WS_POPUP, r.left, r.top, r.right - r.left,
                        r.bottom - r.top, nullptr, nullptr, window_class.hInstance, nullptr);
    if (window == nullptr) throw std::runtime_error("CreateWindowExW failed");
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&surface));
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    windows.push_back(window);
  }
  // The pattern is on the screen when the screen's pixels near each window's corners show it.
  HDC screen = GetDC(nullptr);
  for (std::size_t i = 0; i < windows.size(); ++i) {
    const ScreenRect& r = monitors[i].rect;
    WaitFor("the pattern did not appear", [&] {
      for (const POINT p : {POINT{3, 3}, POINT{r.right - r.left - 4, r.bottom - r.top - 4}}) {
        const std::uint32_t rgb = surfaces[i].At(p.x, p.y);
        if (GetPixel(screen, r.left + p.x, r.top + p.y) !=
            RGB(rgb >> 16 & 0xFF, rgb >> 8 & 0xFF, rgb & 0xFF)) {
          return false;
        }
      }
      return true;
    });
  }
  ReleaseDC(nullptr, screen);

  if (cursor != nullptr) {
    const int x = cursor_spec.at("x").get<int>();
    const int y = cursor_spec.at("y").get<int>();
    if (!windows.empty()) SetForegroundWindow(windows.front());
    SetCursor(cursor);
    SetCursorPos(x, y);
    WaitFor("the cursor did not arrive", [&] {
      SetCursor(cursor);
      CURSORINFO info{};
      info.cbSize = sizeof(info);
      return GetCursorInfo(&info) && info.ptScreenPos.x == x && info.ptScreenPos.y == y &&
             info.hCursor == cursor && (info.flags & CURSOR_SHOWING) != 0;
    });
  }

  result["frames"] = Json::array();
  for (const Json& capture : scenario.value("captures", Json::array())) {
    const std::u16string id = Utf8ToUtf16(capture.at("monitor").get<std::string>());
    if (capture.contains("max")) {
      const auto max = capture.at("max").get<std::array<std::uint32_t, 2>>();
      result["frames"].push_back(FrameJson(CaptureMonitor(max[0], max[1], id)));
    } else {
      result["frames"].push_back(FrameJson(CapturePreview(id)));
    }
  }

  const int repeat = scenario.value("repeat", 0);
  if (repeat > 0) {
    Json counts = Json::array();
    for (int i = 0; i <= repeat; ++i) {
      if (i % 50 == 0)
        counts.push_back({{"captures", i}, {"gdi", GdiObjects()}, {"handles", KernelHandles()}});
      const PreviewFrame frame = CapturePreview(u"");
      if (frame.jpeg.empty() && frame.error != u"Screen preview exceeded the size limit.")
        throw std::runtime_error("capture failed: " + Utf16ToUtf8(frame.error));
    }
    result["counts"] = counts;
  }

  for (HWND window : windows) DestroyWindow(window);
  if (cursor != nullptr) DestroyCursor(cursor);
  return result;
}

}  // namespace
}  // namespace varnel

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: screen_probe <scenario.json> <result.json>\n", stderr);
    return 2;
  }
  varnel::Json result;
  try {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) throw std::runtime_error("COM");
    std::ifstream in{std::filesystem::path(argv[1])};
    result = varnel::Run(varnel::Json::parse(in));
    CoUninitialize();
  } catch (const std::exception& error) {
    result = {{"probe_error", error.what()}};
  }
  std::ofstream(std::filesystem::path(argv[2])) << result.dump();
  return result.contains("probe_error") ? 1 : 0;
}
