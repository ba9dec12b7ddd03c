// The status window in this process, with a scripted session worker: what the window does with
// its worker when Windows ends the user's session, and where it keeps itself on the screen.
#include "app/status_window_win.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "net/network_error.h"
#include "support/fake_worker_parts.h"

namespace varnel {
namespace {

// Runs the window's messages until `done`, for at most a minute.
template <typename Predicate>
bool PumpUntil(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

// A hidden window in legacy mode: it connects at once, with the worker `make_worker` builds.
HWND CreateLegacyWindow(std::unique_ptr<StatusWindow>& window, WorkerFactory make_worker) {
  [[maybe_unused]] static const bool registered =
      (RegisterStatusWindowClass(GetModuleHandleW(nullptr), nullptr, nullptr), true);
  LaunchOptions options;
  options.legacy_auto_connect = true;
  options.customer_name_required = false;
  window = std::make_unique<StatusWindow>(options, u"Local\\VarnelQuillory.window-test",
                                          RegisterWindowMessageW(L"t"), /*started_hidden=*/true,
                                          std::move(make_worker));
  return window->Create(GetModuleHandleW(nullptr), {0, 0, 400, 200});
}

TEST(StatusWindowTest, WindowsLogoffLeavesNoUnfinishedFileBehind) {
  const std::filesystem::path marker =
      std::filesystem::temp_directory_path() / "quillory-window-test.part";
  std::filesystem::remove(marker);
  // An old server that keeps the session waiting with a file transfer under way, and a connection
  // that, like a real one, takes a while to give up once support is stopped. The marker stands
  // for the engine's temporary file: made by the first step, deleted by the reset.
  FakeDesktop desktop;
  int exchanges = 0;
  desktop.exchange = [&](const JsonObject&) {
    if (++exchanges > 2) {
      desktop.connect_stop->WaitFor(std::chrono::seconds(60));
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      throw Cancelled{};
    }
    return ParsedReply(exchanges == 1 ? R"({"ok":true,"server_version":"0.8.1"})"
                                      : R"({"ok":true,"session":{"state":"waiting","id":"r1",
                   "file":{"id":"f1","state":"delivering","direction":"to_customer"}}})");
  };
  desktop.file_step = [&](const JsonObject&, std::u16string_view, std::u16string_view) {
    std::ofstream(marker) << "part";
    return std::optional<JsonObject>();
  };
  desktop.note = [&](const std::string& event) {
    std::error_code ignored;
    if (event == "reset_transfer") std::filesystem::remove(marker, ignored);
  };
  std::unique_ptr<StatusWindow> window;
  HWND hwnd = CreateLegacyWindow(window, [&desktop](const LaunchOptions& launch) {
    return std::make_unique<SessionWorker>(launch, DeviceCredentials{}, desktop.Parts());
  });
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return std::filesystem::exists(marker); }));
  // The details of a session with an old server show the version banner, the first control.
  HWND banner = GetWindow(hwnd, GW_CHILD);
  ASSERT_TRUE(PumpUntil([&] { return GetWindowTextLengthW(banner) > 0; }));
  SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(kDetailsToggleId, BN_CLICKED), 0);
  EXPECT_TRUE(GetWindowLongPtrW(banner, GWL_STYLE) & WS_VISIBLE);

  EXPECT_EQ(SendMessageW(hwnd, WM_QUERYENDSESSION, 0, 0), TRUE);
  SendMessageW(hwnd, WM_ENDSESSION, TRUE, 0);
  // Windows may end the process from here on.
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_FALSE(IsWindow(hwnd));
}

// The layout at each DPI is the end-to-end tests'; here the window moves and changes DPI live.
TEST(StatusWindowTest, DetailsStayOnTheWorkAreaAndADpiChangeRefitsTheView) {
  std::unique_ptr<StatusWindow> window;
  HWND hwnd =
      CreateLegacyWindow(window, [](const LaunchOptions&) -> std::unique_ptr<SessionWorker> {
        throw std::runtime_error("Unable to read Windows Credential Manager.");
      });
  ASSERT_NE(hwnd, nullptr);
  HWND status = GetDlgItem(hwnd, kStatusLineId);
  ASSERT_TRUE(PumpUntil([&] { return GetWindowTextLengthW(status) > 30; }));  // the failure

  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &monitor));
  const RECT& work = monitor.rcWork;
  SetWindowPos(hwnd, nullptr, work.right - 50, work.bottom - 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(kDetailsToggleId, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(hwnd, kDetailsToggleId)));
  RECT outer{};
  GetWindowRect(hwnd, &outer);
  EXPECT_TRUE(outer.left >= work.left && outer.right <= work.right && outer.top >= work.top &&
              outer.bottom <= work.bottom);

  // The system suggests a place on a 144-DPI monitor: the corner is kept, the fonts scaled anew.
  RECT suggested{work.left + 10, work.top + 20, work.left + 30, work.top + 40};
  SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
  GetWindowRect(hwnd, &outer);
  EXPECT_EQ(std::pair(outer.left, outer.top), std::pair(work.left + 10, work.top + 20));
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(status, WM_GETFONT, 0, 0)), sizeof font, &font);
  EXPECT_EQ(font.lfHeight, -23);  // 15 at 96 DPI, scaled and rounded
  DestroyWindow(hwnd);
}

}  // namespace
}  // namespace varnel
