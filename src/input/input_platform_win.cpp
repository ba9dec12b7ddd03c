// SendInput one event at a time, and the checks that keep input on the customer's own desktop.
#include "input/input_platform_win.h"

#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include <thread>
#include <utility>

#include "util/input_desktop_win.h"
#include "util/unique_handle_win.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

bool SendOne(INPUT input) { return SendInput(1, &input, sizeof(INPUT)) == 1; }

bool OwnedByThisProcess(HWND window) {
  if (window == nullptr) return false;
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process == GetCurrentProcessId();
}

class WindowsInputPlatform final : public InputPlatform {
 public:
  bool InputDesktopIsDefault() override { return varnel::InputDesktopIsDefault(); }

  bool SendMouse(const MouseEvent& event) override {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = event.dx;
    input.mi.dy = event.dy;
    input.mi.mouseData = static_cast<DWORD>(event.data);
    input.mi.dwFlags = event.flags;
    return SendOne(input);
  }

  bool SendKey(const KeyEvent& event) override {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = event.vk;
    input.ki.dwFlags = event.flags;
    return SendOne(input);
  }

  bool OwnWindowAt(std::int32_t x, std::int32_t y) override {
    return OwnedByThisProcess(WindowFromPoint(POINT{x, y}));
  }
  bool OwnWindowInForeground() override { return OwnedByThisProcess(GetForegroundWindow()); }

  VirtualScreen VirtualScreenMetrics() override {
    return {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
            GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  }

  // The monotonic clock in milliseconds rather than GetTickCount64: under Wine that tick is
  // refreshed only when the Wine server is busy, so an idle session read it up to tens of
  // milliseconds stale and the watchdog released a held key after 1.43 s instead of 1.5 s. On
  // Windows both are monotonic; this one also has better than 16 ms resolution.
  std::uint64_t TickCount() override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }

  std::u16string SystemDirectory() override {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return FromWide({folder, length});
  }

  bool OpenTool(std::u16string_view file, std::u16string_view parameters) override {
    const std::u16string target(file);
    const std::u16string arguments(parameters);
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", Wide(target), arguments.empty() ? nullptr : Wide(arguments),
                      nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
  }

  std::chrono::nanoseconds MonotonicNow() override {
    return std::chrono::steady_clock::now().time_since_epoch();
  }
  void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

std::unique_ptr<InputPlatform> MakeWindowsInputPlatform() {
  return std::make_unique<WindowsInputPlatform>();
}

std::unique_ptr<InputInjector> MakeWindowsInputInjector(MonitorLookup find_monitor) {
  return std::make_unique<PlatformInputInjector>(MakeWindowsInputPlatform(),
                                                 std::move(find_monitor));
}

}  // namespace varnel
