// Test helper for the screen tests (tests/screen/test_screen_capture.py): shows a known picture
// on every monitor, puts a known cursor somewhere, runs the real captures and writes what they
// returned as JSON. The test decodes the pictures with its own decoder.
//
//   screen_probe <scenario.json> <result.json>
//
// Scenario: {"pattern": "quadrants" | "white" | "noise" | "none",
//            "cursor": {"kind": "mono" | "colour", "x": X, "y": Y}   (optional),
//            "captures": [{"monitor": ID, "max": [W, H]}, ...]   ("max": CaptureMonitor itself),
//            "repeat": N,   (optional: N more previews of the primary, counting live objects)
//            "session": URL}   (optional: a whole session of the real worker with this screen
//                               against the server at URL, every prompt allowed)
#include <windows.h>
// after windows.h
#include <objbase.h>
#include <winternl.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "launch/server_url.h"
#include "net/websocket_connection_win.h"
#include "screen/screen_win.h"
#include "session/session_worker.h"
#include "util/utf.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

using Json = nlohmann::json;

// The quadrant colours; monitor i shows kPalette[(2 * i + q) % 6] in quadrant q (top left, top
// right, bottom left, bottom right). The test knows the same table.
constexpr std::array<COLORREF, 6> kPalette = {RGB(220, 30, 30),  RGB(30, 200, 30),
                                              RGB(30, 30, 220),  RGB(230, 230, 40),
                                              RGB(210, 40, 210), RGB(40, 210, 210)};
constexpr int kCursorSide = 32;
constexpr int kCursorHotSpot = 16;

struct Surface {
  std::string pattern;
  int index = 0;
  std::vector<std::uint32_t> noise;  // one 0x00RRGGBB pixel each, row by row
};

COLORREF QuadrantColour(int monitor, int quadrant) {
  return kPalette[(2 * monitor + quadrant) % 6];
}

LRESULT CALLBACK SurfaceProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_ERASEBKGND) return 1;
  if (message != WM_PAINT) return DefWindowProcW(window, message, wparam, lparam);
  const auto* surface = reinterpret_cast<Surface*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT client;
  GetClientRect(window, &client);
  const int w = client.right, h = client.bottom;
  auto fill = [dc](RECT area, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &area, brush);
    DeleteObject(brush);
  };
  if (surface->pattern == "quadrants") {
    fill({0, 0, w / 2, h / 2}, QuadrantColour(surface->index, 0));
    fill({w / 2, 0, w, h / 2}, QuadrantColour(surface->index, 1));
    fill({0, h / 2, w / 2, h}, QuadrantColour(surface->index, 2));
    fill({w / 2, h / 2, w, h}, QuadrantColour(surface->index, 3));
  } else if (surface->pattern == "noise") {
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    format.bmiHeader.biWidth = w;
    format.bmiHeader.biHeight = -h;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, 0, 0, w, h, 0, 0, 0, h, surface->noise.data(), &format, DIB_RGB_COLORS);
  } else {
    fill(client, RGB(255, 255, 255));
  }
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

// Live GDI objects of this process: the entries of the shared GDI handle table (24 bytes each,
// the object type at byte 14) that hold an object. GetGuiResources is a stub under Wine.
int LiveGdiObjects() {
  using Query = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  PROCESS_BASIC_INFORMATION basic{};
  if (query == nullptr ||
      query(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof(basic), nullptr) != 0) {
    return -1;
  }
  const auto* peb = reinterpret_cast<const std::uint8_t*>(basic.PebBaseAddress);
  const auto* table = *reinterpret_cast<const std::uint8_t* const*>(peb + 0xF8);
  if (table == nullptr) return -1;
  int live = 0;
  for (int i = 0; i < 65536; ++i) live += table[i * 24 + 14] != 0 ? 1 : 0;
  return live;
}

// Open kernel handles of this process, from the system handle list (GetProcessHandleCount is a
// stub under Wine).
int OpenHandles() {
  struct Entry {
    USHORT process;
    USHORT creator;
    UCHAR type;
    UCHAR attributes;
    USHORT value;
    PVOID object;
    ULONG access;
  };
  using Query = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  std::vector<std::uint8_t> buffer(std::size_t{1} << 24);
  ULONG length = 0;
  if (query == nullptr || query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &length) != 0)
    return -1;
  const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
  const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
  const auto self = static_cast<USHORT>(GetCurrentProcessId());
  int open = 0;
  for (ULONG i = 0; i < count; ++i) open += entries[i].process == self ? 1 : 0;
  return open;
}

// The session's other parts do nothing: this run is about the pictures.
class IdleInput final : public InputInjector {
 public:
  bool ApplyInputs(const JsonArray&, bool, std::u16string_view) override { return true; }
  void ReleaseAll() noexcept override {}
  void StopInput() noexcept override {}
  void lock() override { lock_.lock(); }
  void unlock() noexcept override { lock_.unlock(); }

 private:
  std::mutex lock_;
};

class NoFiles final : public FileTransfer {
 public:
  std::optional<JsonObject> FileTransferStep(const JsonObject&, const JsonObject&,
                                             std::u16string_view, std::u16string_view,
                                             const StopEvent&) override {
    return std::nullopt;
  }
  void ResetTransfer() noexcept override {}
};

Json RunSession(const std::string& url) {
  LaunchOptions options;
  options.server = ValidateServerUrl(Utf8ToUtf16(url), true);
  options.allow_insecure_local = true;
  options.support_ticket = u"123456";
  options.requester = u"Screen customer";
  const DeviceCredentials credentials{std::u16string(32, u'a'), std::u16string(64, u'b')};
  SessionWorkerParts parts;
  parts.connect = MakeWebSocketConnectionFactory();
  parts.screen = MakeWindowsScreen();
  parts.input = std::make_unique<IdleInput>();
  parts.file = std::make_unique<NoFiles>();
  parts.thread_enter = [] {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) throw std::runtime_error("COM");
  };
  parts.thread_leave = [] { CoUninitialize(); };
  SessionWorker worker(options, credentials, std::move(parts));
  worker.Start();
  WaitFor("the session did not finish", [&] {
    const SessionSnapshot snapshot = worker.Snapshot();
    if (snapshot.consent_required) worker.SubmitConsent(true, snapshot.consent_id);
    return snapshot.finished;
  });
  worker.Stop();
  return {{"status_text", Utf16ToUtf8(worker.Snapshot().status_text)}};
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
  std::vector<Surface> surfaces(monitors.size());
  std::vector<HWND> windows;
  std::mt19937 random(1234);
  for (std::size_t i = 0; pattern != "none" && i < monitors.size(); ++i) {
    const ScreenRect& r = monitors[i].rect;
    Surface& surface = surfaces[i];
    surface.pattern = pattern;
    surface.index = static_cast<int>(i);
    if (pattern == "noise") {
      surface.noise.resize(static_cast<std::size_t>(r.right - r.left) * (r.bottom - r.top));
      for (std::uint32_t& pixel : surface.noise) pixel = random() & 0xFFFFFF;
    }
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
    const std::array<POINT, 2> probes = {POINT{r.left + 3, r.top + 3},
                                         POINT{r.right - 4, r.bottom - 4}};
    WaitFor("the pattern did not appear", [&] {
      for (std::size_t k = 0; k < probes.size(); ++k) {
        const POINT p = probes[k];
        COLORREF expected = RGB(255, 255, 255);
        if (pattern == "quadrants") expected = QuadrantColour(static_cast<int>(i), k == 0 ? 0 : 3);
        if (pattern == "noise") {
          const std::uint32_t pixel =
              surfaces[i].noise[static_cast<std::size_t>(p.y - r.top) * (r.right - r.left) +
                                (p.x - r.left)];
          expected = RGB(pixel >> 16 & 0xFF, pixel >> 8 & 0xFF, pixel & 0xFF);
        }
        if (GetPixel(screen, p.x, p.y) != expected) return false;
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
        counts.push_back({{"captures", i}, {"gdi", LiveGdiObjects()}, {"handles", OpenHandles()}});
      const PreviewFrame frame = CapturePreview(u"");
      if (frame.jpeg.empty() && frame.error != u"Screen preview exceeded the size limit.")
        throw std::runtime_error("capture failed: " + Utf16ToUtf8(frame.error));
    }
    result["counts"] = counts;
  }

  if (scenario.contains("session")) {
    result["session"] = RunSession(scenario.at("session").get<std::string>());
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
