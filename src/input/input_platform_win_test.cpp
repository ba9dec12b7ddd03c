// The injector with the real platform, under Wine on a two-monitor virtual display (run by
// tests/wine/two-monitors): keys and clicks reach a recorder window in another process, moves land
// on exact pixels of both monitors, the program's own windows get nothing, the watchdog releases a
// held key, and the control program starts.
#include <windows.h>
// after windows.h, which they need
#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "input/input_platform_win.h"
#include "util/unique_handle_win.h"
#include "util/utf.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

constexpr auto kPatience = std::chrono::seconds(30);

// Polls `done` until it holds or the patience runs out.
bool WaitUntil(const std::function<bool()>& done) {
  const auto limit = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The virtual display of tests/wine/two-monitors.
const MonitorInfo kLeft{u"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, true};
const MonitorInfo kRight{u"\\\\.\\DISPLAY2", {1920, 0, 3200, 1024}, false};

std::optional<MonitorInfo> FindMonitor(std::u16string_view id) {
  for (const MonitorInfo& m : {kLeft, kRight}) {
    if (id.empty() ? m.primary : m.id == id) return m;
  }
  return std::nullopt;
}

// The recorder window over a monitor, in a process of its own.
class Recorder {
 public:
  explicit Recorder(const ScreenRect& r) {
    wchar_t folder[MAX_PATH], program[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    log_ = std::wstring(folder) + L"quillory-input-recorder.log";
    DeleteFileW(log_.c_str());
    std::wstring self(program, GetModuleFileNameW(nullptr, program, MAX_PATH));
    std::wstring command = L"\"" + self.substr(0, self.find_last_of(L"\\/") + 1) +
                           L"input_recorder.exe\" " + std::to_wstring(r.left) + L" " +
                           std::to_wstring(r.top) + L" " + std::to_wstring(r.right) + L" " +
                           std::to_wstring(r.bottom) + L" \"" + log_ + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started)) {
      ThrowLastError("Unable to start the recorder.");
    }
    process_.reset(started.hProcess);
    CloseHandle(started.hThread);
  }
  ~Recorder() {
    TerminateProcess(process_.get(), 0);
    WaitForSingleObject(process_.get(), 10000);
  }

  // Waits until the recorder has written `count` lines.
  std::vector<std::string> Await(std::size_t count) const {
    std::vector<std::string> lines;
    WaitUntil([&] {
      std::ifstream file(Utf16ToUtf8(FromWide(log_)));
      lines.clear();
      for (std::string line; std::getline(file, line);) lines.push_back(line);
      return lines.size() >= count;
    });
    return lines;
  }

 private:
  std::wstring log_;
  KernelHandle process_;
};

class InputWindowsTest : public ::testing::Test {
 protected:
  bool Apply(const std::string& inputs, std::u16string monitor = u"") {
    const auto batch = JsonObject::TryParse(Utf8ToUtf16("{\"a\":" + inputs + "}"));
    return injector->ApplyInputs(batch->GetArrayOr(u"a", {}), true, monitor);
  }
  static POINT Cursor() {
    POINT point{};
    GetCursorPos(&point);
    return point;
  }

  std::unique_ptr<InputInjector> injector = MakeWindowsInputInjector(FindMonitor);
};

// The arrow key carries the extended flag; the key still held when batches stop is released by
// the watchdog.
TEST_F(InputWindowsTest, KeysAndClicksReachAnotherProcessAndAHeldKeyIsReleased) {
  const Recorder recorder(kRight.rect);
  ASSERT_EQ(recorder.Await(1), std::vector<std::string>{"ready"});
  // The middle of the right monitor is (2560, 512). The batch starts no earlier than this
  // reading, on the clock the recorder stamps its lines with.
  const auto applied = std::chrono::steady_clock::now().time_since_epoch();
  ASSERT_TRUE(Apply(R"([{"kind":"down","x":32768,"y":32768},{"kind":"up","x":32768,"y":32768},
                        {"kind":"key_down","key":37},{"kind":"key_up","key":37},
                        {"kind":"key_down","key":65}])",
                    kRight.id));
  std::vector<std::string> lines = recorder.Await(7);
  ASSERT_EQ(lines.size(), 7u);
  long long up = 0;
  ASSERT_EQ(std::sscanf(lines[6].c_str(), "key 41 up 0 %lld", &up), 1) << lines[6];
  for (std::string& line : lines) {
    if (line.starts_with("key")) line.erase(line.rfind(' '));  // the arrival time
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"ready", "button left down 2560 512",
                                             "button left up 2560 512", "key 25 down 1",
                                             "key 25 up 1", "key 41 down 0", "key 41 up 0"}));
  // Both readings are of one clock, so the hold's lower bound is exact. The upper one only guards
  // against a release that never came, however loaded the machine.
  const long long held =
      up - std::chrono::duration_cast<std::chrono::milliseconds>(applied).count();
  EXPECT_GE(held, 1500);
  EXPECT_LE(held, 10000);
}

LRESULT CALLBACK CountMouseMessages(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) {
    ++*reinterpret_cast<int*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

struct WindowTraits {
  using Handle = HWND;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle window) noexcept { DestroyWindow(window); }
};

// The top-left quarter of the left monitor is this program's window: a click aimed there is not
// sent, not even the move; the moves after it land on the exact pixels of both monitors.
TEST_F(InputWindowsTest, MovesLandOnExactPixelsAndNothingOnOurOwnWindow) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = CountMouseMessages;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"QuilloryOwnWindow";
  RegisterClassW(&window_class);
  const UniqueHandle<WindowTraits> own(
      CreateWindowExW(WS_EX_TOPMOST, window_class.lpszClassName, L"own", WS_POPUP | WS_VISIBLE, 0,
                      0, 960, 540, nullptr, nullptr, window_class.hInstance, nullptr));
  ASSERT_TRUE(own);
  int mouse_messages = 0;
  SetWindowLongPtrW(own.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&mouse_messages));
  ASSERT_TRUE(SetCursorPos(1500, 900));
  ASSERT_TRUE(WaitUntil([&] { return Cursor().x == 1500 && Cursor().y == 900; }));
  ASSERT_TRUE(Apply(R"([{"kind":"down","x":16384,"y":16384},{"kind":"up","x":16384,"y":16384}])"));

  const std::tuple<MonitorInfo, int, POINT> moves[] = {
      {kRight, 0, {1920, 0}}, {kRight, 65535, {3199, 1023}}, {kLeft, 65535, {1919, 1079}}};
  for (const auto& [monitor, n, pixel] : moves) {
    const std::string xy = std::to_string(n);
    ASSERT_TRUE(Apply(R"([{"kind":"move","x":)" + xy + R"(,"y":)" + xy + "}]", monitor.id));
    EXPECT_TRUE(WaitUntil([&] { return Cursor().x == pixel.x && Cursor().y == pixel.y; }))
        << Utf16ToUtf8(monitor.id) << " " << n << ": at " << Cursor().x << "," << Cursor().y;
  }
  // Anything sent for the window was queued before the last move: take it all.
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  EXPECT_EQ(mouse_messages, 0);
}

std::set<DWORD> ControlPrograms() {
  std::set<DWORD> found;
  const KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, L"control.exe") == 0) found.insert(entry.th32ProcessID);
  }
  return found;
}

TEST_F(InputWindowsTest, TheControlPanelToolStartsTheControlProgram) {
  const std::set<DWORD> before = ControlPrograms();
  std::set<DWORD> after;
  ASSERT_TRUE(Apply(R"([{"kind":"open_tool","tool":"control_panel"}])"));
  EXPECT_TRUE(WaitUntil([&] { return (after = ControlPrograms()).size() > before.size(); }));
  for (const DWORD id : after) {
    if (before.count(id) != 0) continue;
    const KernelHandle started(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    TerminateProcess(started.get(), 0);
    WaitForSingleObject(started.get(), 10000);
  }
}

}  // namespace
}  // namespace varnel
