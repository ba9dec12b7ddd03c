// Screen preview benchmark under Wine: shows a fixed 1920 x 1080 picture full screen, with the
// arrow cursor on it, and times the preview of that monitor over a number of frames: the whole
// pipeline (CaptureMonitor at 1280 x 720) and, in separate frames, each stage alone with the same
// calls the pipeline makes. bench/screen_capture_wine.py runs it on a display of that size and
// compares it with a native libjpeg-turbo floor.
//
//   screen_capture_bench <picture.bgrx> <result.json> [frames]
#include <windows.h>
// after windows.h
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "screen/preview_rules.h"
#include "screen/screen_win.h"
#include "util/base64_win.h"
#include "util/input_desktop_win.h"

namespace varnel {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

std::vector<std::uint32_t>* g_picture = nullptr;

BITMAPINFO Format(int width, int height) {
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  format.bmiHeader.biWidth = width;
  format.bmiHeader.biHeight = -height;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  return format;
}

LRESULT CALLBACK PictureProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_ERASEBKGND) return 1;
  if (message != WM_PAINT) return DefWindowProcW(window, message, wparam, lparam);
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  const BITMAPINFO format = Format(kWidth, kHeight);
  SetDIBitsToDevice(dc, 0, 0, kWidth, kHeight, 0, 0, 0, kHeight, g_picture->data(), &format,
                    DIB_RGB_COLORS);
  EndPaint(window, &paint);
  return 0;
}

void ShowPicture() {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = PictureProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.lpszClassName = L"QuilloryCaptureBench";
  RegisterClassW(&window_class);
  HWND window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, window_class.lpszClassName,
                                L"capture bench", WS_POPUP | WS_VISIBLE, 0, 0, kWidth, kHeight,
                                nullptr, nullptr, window_class.hInstance, nullptr);
  if (window == nullptr) throw std::runtime_error("CreateWindowExW failed");
  UpdateWindow(window);
  SetForegroundWindow(window);
  SetCursorPos(kWidth / 2, kHeight / 2);
  SetCursor(window_class.hCursor);
  // Shown when the screen's pixels at the corners are the picture's.
  HDC screen = GetDC(nullptr);
  const auto limit = Clock::now() + std::chrono::seconds(60);
  auto shows = [&](int x, int y) {
    const std::uint32_t pixel = (*g_picture)[static_cast<std::size_t>(y) * kWidth + x];
    return GetPixel(screen, x, y) == RGB(pixel >> 16 & 0xFF, pixel >> 8 & 0xFF, pixel & 0xFF);
  };
  while (!(shows(2, 2) && shows(kWidth - 3, kHeight - 3) && shows(kWidth / 3, kHeight / 3))) {
    if (Clock::now() > limit) throw std::runtime_error("the picture did not appear");
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(20);
  }
  ReleaseDC(nullptr, screen);
}

double Since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct StageTimes {
  std::vector<double> lookup, capture, cursor, convert, encode, base64;
};

// One frame stage by stage, with the calls CaptureMonitor makes.
void TimeStages(StageTimes& times, std::size_t& jpeg_bytes) {
  const PreviewSize size = ScalePreview(kWidth, kHeight, 1280, 720);
  const auto ow = static_cast<int>(size.width), oh = static_cast<int>(size.height);
  auto start = Clock::now();
  if (!InputDesktopIsDefault() || !FindMonitor(u"")) throw std::runtime_error("no monitor");
  times.lookup.push_back(Since(start));

  start = Clock::now();
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  const BITMAPINFO format = Format(ow, oh);
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, dib);
  SetStretchBltMode(memory, HALFTONE);
  SetBrushOrgEx(memory, 0, 0, nullptr);
  if (!StretchBlt(memory, 0, 0, ow, oh, screen, 0, 0, kWidth, kHeight, SRCCOPY | CAPTUREBLT))
    throw std::runtime_error("StretchBlt failed");
  GdiFlush();
  times.capture.push_back(Since(start));

  start = Clock::now();
  CURSORINFO cursor{};
  cursor.cbSize = sizeof(cursor);
  if (GetCursorInfo(&cursor)) DrawCursor(memory, ow, oh, kWidth, kHeight, cursor, 0, 0);
  GdiFlush();
  times.cursor.push_back(Since(start));

  start = Clock::now();
  std::vector<std::uint8_t> bgr(std::size_t{size.width} * size.height * 3);
  PackBgr({static_cast<const std::uint8_t*>(bits), bgr.size() / 3 * 4}, bgr);
  times.convert.push_back(Since(start));
  SelectObject(memory, previous);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  start = Clock::now();
  const auto jpeg = EncodeJpeg(bgr, size);
  times.encode.push_back(Since(start));
  if (!jpeg) throw std::runtime_error("the picture exceeded the size limit");
  jpeg_bytes = jpeg->size();

  start = Clock::now();
  const std::u16string text = EncodeBase64(*jpeg);
  times.base64.push_back(Since(start));
}

nlohmann::json Run(int frames) {
  ShowPicture();
  std::vector<double> pipeline;
  std::size_t base64_chars = 0;
  StageTimes stages;
  std::size_t jpeg_bytes = 0;
  // Whole and staged frames alternate, so that both see the same load on the machine.
  for (int i = 0; i < frames; ++i) {
    const auto start = Clock::now();
    const PreviewFrame frame = CaptureMonitor(1280, 720, u"");
    pipeline.push_back(Since(start));
    if (!frame.error.empty()) throw std::runtime_error("the capture failed");
    base64_chars = frame.jpeg.size();
    TimeStages(stages, jpeg_bytes);
  }
  return {
      {"pipeline_ms", pipeline},    {"lookup_ms", stages.lookup},   {"capture_ms", stages.capture},
      {"cursor_ms", stages.cursor}, {"convert_ms", stages.convert}, {"encode_ms", stages.encode},
      {"base64_ms", stages.base64}, {"jpeg_bytes", jpeg_bytes},     {"base64_chars", base64_chars}};
}

}  // namespace
}  // namespace varnel

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: screen_capture_bench <picture.bgrx> <result.json> [frames]\n", stderr);
    return 2;
  }
  nlohmann::json result;
  try {
    std::ifstream in(std::filesystem::path(argv[1]), std::ios::binary);
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<std::uint32_t> picture(std::size_t{varnel::kWidth} * varnel::kHeight);
    if (bytes.size() != picture.size() * 4) throw std::runtime_error("picture size");
    std::memcpy(picture.data(), bytes.data(), bytes.size());
    varnel::g_picture = &picture;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) throw std::runtime_error("COM");
    result = varnel::Run(argc > 3 ? std::stoi(argv[3]) : 100);
    CoUninitialize();
  } catch (const std::exception& error) {
    result = {{"bench_error", error.what()}};
  }
  std::ofstream(std::filesystem::path(argv[2])) << result.dump();
  return result.contains("bench_error") ? 1 : 0;
}
