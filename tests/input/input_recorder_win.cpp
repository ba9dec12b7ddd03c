// A window in a process of its own that records the keys and clicks it receives, one line each,
// to a file the input tests read:
//   key <vk hex> down|up <extended 0|1> <arrival, steady clock in ms>
//   button <left|right|middle> down|up <screen x> <screen y>
//
//   input_recorder <left> <top> <right> <bottom> <log file>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

FILE* g_log = nullptr;

// Stamped on arrival with the clock the watchdog reads, not the message time: under Wine the
// message time follows a tick that lags by tens of milliseconds, which made a release on time look
// early. The steady clock is system-wide, so the test compares it with its own readings.
long long SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Written out whenever the queue is empty rather than line by line, so that a flood of input does
// not leave the recorder behind the desktop.
void Log(const char* format, auto... values) { std::fprintf(g_log, format, values...); }

void LogButton(HWND window, const char* button, const char* change, LPARAM position) {
  POINT point{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
  ClientToScreen(window, &point);
  Log("button %s %s %ld %ld\n", button, change, point.x, point.y);
}

LRESULT CALLBACK RecorderProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP: {
      const bool down = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
      Log("key %X %s %d %lld\n", static_cast<unsigned>(wparam), down ? "down" : "up",
          static_cast<int>((lparam >> 24) & 1), SteadyMilliseconds());
      return 0;
    }
    case WM_LBUTTONDOWN:
      LogButton(window, "left", "down", lparam);
      return 0;
    case WM_LBUTTONUP:
      LogButton(window, "left", "up", lparam);
      return 0;
    case WM_RBUTTONDOWN:
      LogButton(window, "right", "down", lparam);
      return 0;
    case WM_RBUTTONUP:
      LogButton(window, "right", "up", lparam);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 6) return 2;
  const int left = _wtoi(argv[1]), top = _wtoi(argv[2]);
  const int right = _wtoi(argv[3]), bottom = _wtoi(argv[4]);
  g_log = _wfopen(argv[5], L"w");
  if (g_log == nullptr) return 3;

  WNDCLASSW window_class{};
  window_class.lpfnWndProc = RecorderProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.lpszClassName = L"QuilloryInputRecorder";
  RegisterClassW(&window_class);
  HWND window = CreateWindowExW(WS_EX_TOPMOST, window_class.lpszClassName, L"Input recorder",
                                WS_POPUP | WS_VISIBLE, left, top, right - left, bottom - top,
                                nullptr, nullptr, window_class.hInstance, nullptr);
  if (window == nullptr) return 4;
  SetForegroundWindow(window);
  SetFocus(window);
  Log("ready\n");
  std::fflush(g_log);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
    if (!PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) std::fflush(g_log);
  }
  std::fclose(g_log);
  return 0;
}
