#include "app/startup_win.h"

#include <commctrl.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/status_window_win.h"
#include "app/window_layout.h"
#include "build_config.h"
#include "launch/launch_error.h"
#include "launch/launch_options.h"
#include "util/unique_handle_win.h"
#include "util/utf.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

constexpr char16_t kLaunchErrorHint[] = u"\n\nRun with --help to view the required arguments.";
constexpr char16_t kStartupFailedText[] =
    u"Unable to start " QUILLORY_PRODUCT_NAME
    ". Check your Windows permissions and system environment.";
constexpr char16_t kAlreadyRunningText[] =
    u"" QUILLORY_PRODUCT_NAME
    " is already running but is not ready or is not responding. Please try again "
    u"shortly.";
constexpr int kActivationAttempts = 80;
constexpr DWORD kActivationRetryMs = 25;
constexpr UINT kActivationTimeoutMs = 1000;
constexpr int kIconResource = 101;

std::vector<std::u16string> ReadArguments() {
  int count = 0;
  const LocalMemory<LPWSTR*> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!argv) ThrowLastError("Unable to read arguments");
  std::vector<std::u16string> arguments;
  for (int i = 1; i < count; ++i) {
    arguments.push_back(FromWide(argv.get()[i]));
  }
  return arguments;
}

void ShowBox(const std::u16string& text, UINT icon) {
  MessageBoxW(nullptr, Wide(text), Wide(build::kProductName), MB_OK | icon);
}

// The user's SID in its S-1-5-... form names the lock, so each user (and each logon session,
// through the Local namespace) gets an instance of its own.
std::u16string BuildInstanceLockName() {
  HANDLE raw_token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw_token)) {
    ThrowLastError("User identity unavailable");
  }
  const KernelHandle token(raw_token);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) ThrowLastError("User identity unavailable");
  std::vector<std::uint8_t> buffer(size);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    ThrowLastError("User identity unavailable");
  }
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  LPWSTR raw_text = nullptr;
  if (!ConvertSidToStringSidW(user->User.Sid, &raw_text)) {
    ThrowLastError("User identity unavailable");
  }
  const LocalMemory<LPWSTR> text(raw_text);
  return u"Local\\" QUILLORY_SYSTEM_NAME "." + FromWide(text.get());
}

struct InstanceSearch {
  const std::u16string* lock_name;
  HWND found;
};

HWND FindRunningInstance(const std::u16string& lock_name) {
  InstanceSearch search{&lock_name, nullptr};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto* wanted = reinterpret_cast<InstanceSearch*>(context);
        wchar_t class_name[129] = {};
        GetClassNameW(window, class_name, 129);
        if (std::wstring_view(class_name) != kStatusWindowClass) return TRUE;
        if (!GetPropW(window, Wide(*wanted->lock_name))) return TRUE;
        wanted->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A second start: hand the foreground to the running copy and ask it to come forward.
int ActivateRunningInstance(const std::u16string& lock_name, UINT activation_message) {
  HWND running = nullptr;
  for (int attempt = 0; attempt < kActivationAttempts && !running; ++attempt) {
    running = FindRunningInstance(lock_name);
    if (!running) Sleep(kActivationRetryMs);
  }
  if (running) {
    DWORD process_id = 0;
    GetWindowThreadProcessId(running, &process_id);
    AllowSetForegroundWindow(process_id);
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutW(running, activation_message, 0, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG,
                            kActivationTimeoutMs, &answer)) {
      return kExitNormal;
    }
  }
  ShowBox(kAlreadyRunningText, MB_ICONWARNING);
  return kExitInstanceNotResponding;
}

void RegisterWindowClassWithIcons(HINSTANCE instance) {
  const auto icon = [instance](int width_metric, int height_metric) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                         GetSystemMetrics(width_metric),
                                         GetSystemMetrics(height_metric), LR_SHARED));
  };
  HICON large = icon(SM_CXICON, SM_CYICON);
  HICON small = icon(SM_CXSMICON, SM_CYSMICON);
  if (!large || !small) ThrowLastError("Unable to load application icon");
  RegisterStatusWindowClass(instance, large, small);
}

// The monitor the customer is looking at: the foreground window's, else the cursor's.
HMONITOR LaunchMonitor(MONITORINFO& info) {
  POINT cursor{};
  GetCursorPos(&cursor);
  HWND foreground = GetForegroundWindow();
  HMONITOR monitor = foreground ? MonitorFromWindow(foreground, MONITOR_DEFAULTTONEAREST)
                                : MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST);
  info = MONITORINFO{};
  info.cbSize = sizeof info;
  if (!GetMonitorInfoW(monitor, &info)) ThrowLastError("Unable to determine launch monitor");
  return monitor;
}

// `quiet` becomes true once a hidden window exists: from then on no box may appear.
int Run(HINSTANCE instance, int show_command, bool& quiet) {
  LaunchOptions options;
  try {
    options = ParseLaunchOptions(ReadArguments());
  } catch (const LaunchError& error) {
    ShowBox(error.message() + kLaunchErrorHint, MB_ICONERROR);
    return kExitLaunchOptionsRejected;
  }
  if (options.show_help) {
    ShowBox(LaunchHelpText(), MB_ICONINFORMATION);
    return kExitNormal;
  }

  const std::u16string lock_name = BuildInstanceLockName();
  // Initially owned and never released: the first copy holds it until its handle closes at exit.
  const KernelHandle mutex(CreateMutexW(nullptr, TRUE, Wide(lock_name)));
  const DWORD mutex_error = GetLastError();
  if (!mutex) throw PlatformError("Unable to create instance lock", mutex_error);
  const UINT activation_message = RegisterWindowMessageW(kActivationMessageName);
  if (activation_message == 0) ThrowLastError("Unable to register activation message");
  if (mutex_error == ERROR_ALREADY_EXISTS) {
    return ActivateRunningInstance(lock_name, activation_message);
  }

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  RegisterWindowClassWithIcons(instance);

  const bool started_hidden = show_command == SW_HIDE;
  const bool legacy = options.legacy_auto_connect;
  StatusWindow window(std::move(options), lock_name, activation_message, started_hidden,
                      MakeProgramWorkerFactory());

  MONITORINFO monitor_info{};
  HMONITOR monitor = LaunchMonitor(monitor_info);
  const UINT dpi = GetDpiForSystem();
  // The entry form, or the compact session view when the session starts at once.
  const ClientSize client =
      ViewClientSize(legacy ? WindowView::kCompact : WindowView::kEntry, static_cast<int>(dpi));
  RECT outer{0, 0, client.width, client.height};
  AdjustWindowRectExForDpi(&outer, kStatusWindowStyle, FALSE, kStatusWindowExStyle, dpi);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  const RECT& work = monitor_info.rcWork;
  const int left = work.left + (work.right - work.left - width) / 2;
  const int top = work.top + (work.bottom - work.top - height) / 2;

  quiet = started_hidden;
  HWND hwnd = window.Create(instance, {left, top, left + width, top + height});
  if (window.failure()) std::rethrow_exception(window.failure());
  if (!hwnd) ThrowLastError("Unable to create status window");
  window.FinishCreation(monitor);
  ShowWindow(hwnd, show_command);
  UpdateWindow(hwnd);

  MSG message{};
  bool loop_failed = false;
  while (true) {
    const BOOL result = GetMessageW(&message, nullptr, 0, 0);
    if (result == 0 || result == -1) {
      loop_failed = result == -1;
      window.Destroy();
      break;
    }
    if (window.PreTranslate(message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (window.failure()) std::rethrow_exception(window.failure());
  window.StopWorker();
  return loop_failed ? kExitStartupFailed : kExitNormal;
}

}  // namespace

int RunQuillory(HINSTANCE instance, int show_command) noexcept {
  bool quiet = false;
  try {
    return Run(instance, show_command, quiet);
  } catch (...) {
    // Allocation failures and failed start-up steps alike: one general sentence, exit 4.
    try {
      // A quit message left by the failing window would close the box at once.
      MSG quit;
      PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
      if (!quiet) ShowBox(kStartupFailedText, MB_ICONERROR);
    } catch (...) {
    }
    return kExitStartupFailed;
  }
}

}  // namespace varnel
