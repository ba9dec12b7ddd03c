// A small UI-automation helper for the end-to-end tests. It runs in the same Wine prefix and on
// the same display as the program under test and works as a person would: it finds windows,
// reads what they show, types into fields and presses buttons. Every answer is one JSON object
// a line (UTF-8) so the tests can parse it; failures go to stderr with a non-zero exit code.
//
//   uidriver windows [--class C] [--title T] [--all]  top-level windows (--all: hidden ones too)
//   uidriver wait-window [--class C] [--title T] [--timeout S]
//   uidriver wait-gone [--class C] [--title T] [--timeout S]
//   uidriver controls HWND                            every control inside a window
//   uidriver set-text HWND ID TEXT                    replace a control's text
//   uidriver click HWND ID                            press a button without waiting for it
//   uidriver boxes [--title T]                        open message boxes with texts and buttons
//   uidriver wait-box [--title T] [--timeout S]
//   uidriver answer HWND ID                           press a button of a message box
//   uidriver file-dialogs                             open Open/Save dialogs
//   uidriver wait-file-dialog [--title T] [--timeout S]
//   uidriver fill-file-name HWND PATH                 type a name into a file dialog and accept it
//   uidriver close HWND                               ask a window to close (WM_CLOSE, posted)
//   uidriver send HWND MESSAGE WPARAM LPARAM          send a message and wait for its result
//   uidriver run-hidden PROGRAM [ARGUMENTS...]        start a program with SW_HIDE, wait for it,
//                                                    exit with its exit code
//   uidriver keys HWND KEY...                         bring the window forward and type: a key is
//                                                    a virtual-key number, "text:..." or
//                                                    "shift+N"
//   uidriver focus HWND                               the control that has the keyboard focus
//   uidriver pattern LEFT TOP RIGHT BOTTOM RRGGBB     show a window of one colour over the given
//                                                    screen rectangle until it is closed
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kDefaultTimeoutSeconds = 30;
constexpr UINT kMessageTimeoutMs = 5000;
constexpr int kMessageBoxTextId = 0xFFFF;
// Windows gives a message box's icon id 20, Wine 1088.
constexpr int kMessageBoxIconIds[] = {20, 1088};
constexpr int kFileNameComboId = 1148;

class UsageError {
 public:
  explicit UsageError(std::string text) : text_(std::move(text)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

std::string JsonString(const std::wstring& text) {
  std::string out = "\"";
  for (const char c : ToUtf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonBool(bool value) { return value ? "true" : "false"; }

std::string HandleText(HWND window) {
  return std::to_string(reinterpret_cast<std::uintptr_t>(window));
}

HWND ParseHandle(const std::wstring& text) {
  wchar_t* end = nullptr;
  const unsigned long long value = std::wcstoull(text.c_str(), &end, 10);
  if (text.empty() || *end != L'\0') throw UsageError("not a window handle: " + ToUtf8(text));
  const auto window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
  if (!IsWindow(window)) throw UsageError("no such window: " + ToUtf8(text));
  return window;
}

int ParseId(const std::wstring& text) {
  wchar_t* end = nullptr;
  const long value = std::wcstol(text.c_str(), &end, 10);
  if (text.empty() || *end != L'\0') throw UsageError("not a control id: " + ToUtf8(text));
  return static_cast<int>(value);
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

// Reads another process's control text without hanging on a busy or hung window.
std::wstring TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                           &length)) {
    return {};
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied)) {
    return {};
  }
  text.resize(copied);
  return text;
}

std::string RectJson(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  return "[" + std::to_string(rect.left) + "," + std::to_string(rect.top) + "," +
         std::to_string(rect.right) + "," + std::to_string(rect.bottom) + "]";
}

std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> windows;
  EnumWindows(
      [](HWND window, LPARAM list) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  return windows;
}

std::vector<HWND> Descendants(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(
      parent,
      [](HWND window, LPARAM list) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  return children;
}

// Direct children first: file dialogs nest a list view that reuses id 1 below the OK button.
HWND FindControl(HWND parent, int id) {
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (GetDlgCtrlID(child) == id) return child;
  }
  for (HWND child : Descendants(parent)) {
    if (GetDlgCtrlID(child) == id) return child;
  }
  throw UsageError("no control with id " + std::to_string(id));
}

bool IsFileDialog(HWND window) {
  for (HWND child : Descendants(window)) {
    if (GetDlgCtrlID(child) == kFileNameComboId) return true;
  }
  return false;
}

bool IsDialog(HWND window) { return ClassOf(window) == L"#32770"; }

struct Filter {
  std::optional<std::wstring> class_name;
  std::optional<std::wstring> title;
  bool Matches(HWND window) const {
    if (class_name && ClassOf(window) != *class_name) return false;
    if (title && TextOf(window) != *title) return false;
    return true;
  }
};

struct Arguments {
  std::vector<std::wstring> positional;
  Filter filter;
  int timeout_seconds = kDefaultTimeoutSeconds;
  bool include_hidden = false;
};

Arguments ParseArguments(int argc, wchar_t** argv, int first) {
  Arguments parsed;
  for (int i = first; i < argc; ++i) {
    const std::wstring argument = argv[i];
    const bool has_value = i + 1 < argc;
    if (argument == L"--class" && has_value) {
      parsed.filter.class_name = argv[++i];
    } else if (argument == L"--title" && has_value) {
      parsed.filter.title = argv[++i];
    } else if (argument == L"--all") {
      parsed.include_hidden = true;
    } else if (argument == L"--timeout" && has_value) {
      parsed.timeout_seconds = ParseId(argv[++i]);
    } else {
      parsed.positional.push_back(argument);
    }
  }
  return parsed;
}

const std::wstring& Positional(const Arguments& arguments, size_t index, const char* what) {
  if (index >= arguments.positional.size()) throw UsageError(std::string("missing ") + what);
  return arguments.positional[index];
}

void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string WindowJson(HWND window) {
  DWORD process_id = 0;
  GetWindowThreadProcessId(window, &process_id);
  RECT client{};
  GetClientRect(window, &client);
  return "{\"hwnd\":" + HandleText(window) + ",\"class\":" + JsonString(ClassOf(window)) +
         ",\"title\":" + JsonString(TextOf(window)) +
         ",\"visible\":" + JsonBool(IsWindowVisible(window)) +
         ",\"enabled\":" + JsonBool(IsWindowEnabled(window)) +
         ",\"pid\":" + std::to_string(process_id) + ",\"rect\":" + RectJson(window) +
         ",\"client\":[" + std::to_string(client.right) + "," + std::to_string(client.bottom) +
         "],\"iconic\":" + JsonBool(IsIconic(window)) + ",\"style\":" +
         std::to_string(static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE))) +
         ",\"ex_style\":" +
         std::to_string(static_cast<unsigned long>(GetWindowLongW(window, GWL_EXSTYLE))) + "}";
}

// A control's rectangle in its parent's client coordinates: what the window's layout set.
std::string ClientRectJson(HWND control) {
  RECT rect{};
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
  return "[" + std::to_string(rect.left) + "," + std::to_string(rect.top) + "," +
         std::to_string(rect.right) + "," + std::to_string(rect.bottom) + "]";
}

std::string ControlJson(HWND control) {
  return "{\"hwnd\":" + HandleText(control) + ",\"id\":" + std::to_string(GetDlgCtrlID(control)) +
         ",\"style\":" +
         std::to_string(static_cast<unsigned long>(GetWindowLongW(control, GWL_STYLE))) +
         ",\"client_rect\":" + ClientRectJson(control) +
         ",\"class\":" + JsonString(ClassOf(control)) + ",\"text\":" + JsonString(TextOf(control)) +
         ",\"visible\":" + JsonBool(IsWindowVisible(control)) +
         ",\"enabled\":" + JsonBool(IsWindowEnabled(control)) + ",\"rect\":" + RectJson(control) +
         ",\"parent\":" + HandleText(GetParent(control)) + "}";
}

// Pixels of a square of the screen, or of an icon drawn on a plain background, as 0x00RRGGBB.
std::vector<DWORD> Pixels(int size, const std::function<void(HDC)>& paint) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = size;
  info.bmiHeader.biHeight = -size;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  paint(memory);
  GdiFlush();
  const auto* first = static_cast<const DWORD*>(bits);
  std::vector<DWORD> pixels(first, first + size * size);
  for (DWORD& pixel : pixels) pixel &= 0xFFFFFF;
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// Icon handles are private to their process here, so the box's icon is recognised by its
// pixels: each standard icon is drawn on black and on white, and the pixels that stay the same
// (the opaque ones) must match what the screen shows.
std::string IconName(HWND box) {
  HWND icon = nullptr;
  for (const int id : kMessageBoxIconIds) {
    if (!icon) icon = GetDlgItem(box, id);
  }
  if (!icon || !IsWindowVisible(icon)) return "none";
  RECT rect{};
  GetWindowRect(icon, &rect);
  const int size = rect.right - rect.left;
  if (size <= 0 || rect.bottom - rect.top != size) return "other";
  const auto shown = Pixels(size, [&](HDC dc) {
    HDC screen = GetDC(nullptr);
    BitBlt(dc, 0, 0, size, size, screen, rect.left, rect.top, SRCCOPY);
    ReleaseDC(nullptr, screen);
  });
  const struct {
    LPCWSTR resource;
    const char* name;
  } known[] = {{IDI_INFORMATION, "information"},
               {IDI_WARNING, "warning"},
               {IDI_ERROR, "error"},
               {IDI_QUESTION, "question"}};
  for (const auto& candidate : known) {
    HICON standard = LoadIconW(nullptr, candidate.resource);
    const auto on = [&](int brush) {
      return Pixels(size, [&](HDC dc) {
        RECT all{0, 0, size, size};
        FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(brush)));
        DrawIconEx(dc, 0, 0, standard, size, size, 0, nullptr, DI_NORMAL);
      });
    };
    const auto black = on(BLACK_BRUSH);
    const auto white = on(WHITE_BRUSH);
    size_t opaque = 0;
    size_t matching = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
      if (black[i] != white[i]) continue;
      ++opaque;
      if (black[i] == shown[i]) ++matching;
    }
    if (opaque > 0 && matching * 10 >= opaque * 9) return candidate.name;
  }
  return "other";
}

std::string BoxJson(HWND box) {
  std::string buttons;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) != L"Button" || !IsWindowVisible(child)) continue;
    if (!buttons.empty()) buttons += ",";
    buttons += "{\"id\":" + std::to_string(GetDlgCtrlID(child)) +
               ",\"text\":" + JsonString(TextOf(child)) +
               ",\"enabled\":" + JsonBool(IsWindowEnabled(child)) + "}";
  }
  HWND text = GetDlgItem(box, kMessageBoxTextId);
  return "{\"hwnd\":" + HandleText(box) + ",\"title\":" + JsonString(TextOf(box)) +
         ",\"text\":" + JsonString(text ? TextOf(text) : std::wstring()) + ",\"icon\":\"" +
         IconName(box) + "\",\"buttons\":[" + buttons + "]}";
}

std::string FileDialogJson(HWND dialog) {
  HWND name = FindControl(dialog, kFileNameComboId);
  return "{\"hwnd\":" + HandleText(dialog) + ",\"title\":" + JsonString(TextOf(dialog)) +
         ",\"file_name\":" + JsonString(TextOf(name)) + "}";
}

std::vector<HWND> Matching(const std::function<bool(HWND)>& wanted, bool include_hidden = false) {
  std::vector<HWND> found;
  for (HWND window : TopLevelWindows()) {
    if ((include_hidden || IsWindowVisible(window)) && wanted(window)) found.push_back(window);
  }
  return found;
}

bool IsMessageBox(HWND window) { return IsDialog(window) && !IsFileDialog(window); }

// Polls until something appears (or disappears); a busy two-core machine may take a while.
template <typename Predicate>
bool WaitFor(int timeout_seconds, Predicate done) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_seconds) * 1000;
  while (true) {
    if (done()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(50);
  }
}

void Press(HWND button) {
  if (!IsWindowVisible(button) || !IsWindowEnabled(button)) {
    throw UsageError("the button is hidden or disabled");
  }
  // Posted, not sent: the click may open a modal box, which must not block the driver.
  PostMessageW(button, BM_CLICK, 0, 0);
}

// Quotes one argument for CreateProcessW the way CommandLineToArgvW reads it back.
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

int RunHidden(const std::vector<std::wstring>& command) {
  std::wstring line;
  for (const auto& argument : command)
    line += (line.empty() ? L"" : L" ") + QuoteArgument(argument);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    throw UsageError("cannot start " + ToUtf8(line));
  }
  PrintLine("{\"pid\":" + std::to_string(process.dwProcessId) + "}");
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

HWND FocusOf(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

// Input goes to the foreground window only: make it that first (no window manager here, so a
// person's click would do the same).
void BringForward(HWND window) {
  if (!WaitFor(kDefaultTimeoutSeconds, [&] {
        if (GetForegroundWindow() == window) return true;
        SetForegroundWindow(window);
        return false;
      })) {
    throw UsageError("the window does not come to the front");
  }
}

void SendKey(WORD key, bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = key;
  input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC));
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  if (SendInput(1, &input, sizeof input) != 1) throw UsageError("SendInput failed");
}

void SendCharacter(wchar_t c) {
  INPUT inputs[2]{};
  for (int i = 0; i < 2; ++i) {
    inputs[i].type = INPUT_KEYBOARD;
    inputs[i].ki.wScan = c;
    inputs[i].ki.dwFlags = KEYEVENTF_UNICODE | (i == 1 ? KEYEVENTF_KEYUP : 0);
  }
  if (SendInput(2, inputs, sizeof inputs[0]) != 2) throw UsageError("SendInput failed");
}

void TypeKeys(HWND window, const std::vector<std::wstring>& keys) {
  BringForward(window);
  for (const std::wstring& key : keys) {
    if (key.rfind(L"text:", 0) == 0) {
      for (const wchar_t c : key.substr(5)) SendCharacter(c);
    } else if (key.rfind(L"shift+", 0) == 0) {
      const auto code = static_cast<WORD>(ParseId(key.substr(6)));
      SendKey(VK_SHIFT, false);
      SendKey(code, false);
      SendKey(code, true);
      SendKey(VK_SHIFT, true);
    } else {
      const auto code = static_cast<WORD>(ParseId(key));
      SendKey(code, false);
      SendKey(code, true);
    }
  }
}

// A known picture for the preview tests: one colour over a rectangle, in a class of its own
// ("QuilloryE2EPattern") so that tests can find and close it.
int ShowPattern(const std::vector<std::wstring>& values) {
  if (values.size() != 5) throw UsageError("usage: pattern LEFT TOP RIGHT BOTTOM RRGGBB");
  const unsigned long rgb = std::wcstoul(values[4].c_str(), nullptr, 16);
  const int left = ParseId(values[0]), top = ParseId(values[1]);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = [](HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wparam, lparam);
  };
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hbrBackground =
      CreateSolidBrush(RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF));
  window_class.lpszClassName = L"QuilloryE2EPattern";
  RegisterClassW(&window_class);
  if (CreateWindowExW(WS_EX_NOACTIVATE, window_class.lpszClassName, values[4].c_str(),
                      WS_POPUP | WS_VISIBLE, left, top, ParseId(values[2]) - left,
                      ParseId(values[3]) - top, nullptr, nullptr, window_class.hInstance,
                      nullptr) == nullptr) {
    throw UsageError("the pattern window was not created");
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}

int Run(int argc, wchar_t** argv) {
  if (argc < 2) throw UsageError("usage: uidriver COMMAND [ARGUMENTS]");
  const std::wstring command = argv[1];
  if (command == L"pattern") return ShowPattern(std::vector<std::wstring>(argv + 2, argv + argc));
  if (command == L"run-hidden") {
    // Everything after the command belongs to the program, options included.
    return RunHidden(std::vector<std::wstring>(argv + 2, argv + argc));
  }
  const Arguments args = ParseArguments(argc, argv, 2);
  const auto filtered = [&](const std::function<bool(HWND)>& kind) {
    return Matching([&](HWND window) { return kind(window) && args.filter.Matches(window); },
                    args.include_hidden);
  };
  const auto any = [](HWND) { return true; };
  const auto wait_for_first = [&](const std::function<bool(HWND)>& kind, const char* what) {
    std::vector<HWND> found;
    if (!WaitFor(args.timeout_seconds, [&] { return !(found = filtered(kind)).empty(); })) {
      throw UsageError(std::string("no ") + what + " appeared");
    }
    return found.front();
  };

  if (command == L"windows") {
    for (HWND window : filtered(any)) PrintLine(WindowJson(window));
  } else if (command == L"wait-window") {
    PrintLine(WindowJson(wait_for_first(any, "such window")));
  } else if (command == L"wait-gone") {
    if (!WaitFor(args.timeout_seconds, [&] { return filtered(any).empty(); })) {
      throw UsageError("the window is still there");
    }
  } else if (command == L"controls") {
    for (HWND control : Descendants(ParseHandle(Positional(args, 0, "window handle")))) {
      PrintLine(ControlJson(control));
    }
  } else if (command == L"set-text") {
    HWND control = FindControl(ParseHandle(Positional(args, 0, "window handle")),
                               ParseId(Positional(args, 1, "control id")));
    const std::wstring& text = Positional(args, 2, "text");
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                             SMTO_ABORTIFHUNG, kMessageTimeoutMs, &result)) {
      throw UsageError("the control did not take the text");
    }
  } else if (command == L"click" || command == L"answer") {
    Press(FindControl(ParseHandle(Positional(args, 0, "window handle")),
                      ParseId(Positional(args, 1, "control id"))));
  } else if (command == L"boxes") {
    for (HWND box : filtered(IsMessageBox)) PrintLine(BoxJson(box));
  } else if (command == L"wait-box") {
    PrintLine(BoxJson(wait_for_first(IsMessageBox, "message box")));
  } else if (command == L"file-dialogs") {
    for (HWND dialog : filtered(IsFileDialog)) PrintLine(FileDialogJson(dialog));
  } else if (command == L"wait-file-dialog") {
    PrintLine(FileDialogJson(wait_for_first(IsFileDialog, "file dialog")));
  } else if (command == L"fill-file-name") {
    HWND dialog = ParseHandle(Positional(args, 0, "window handle"));
    HWND combo = FindControl(dialog, kFileNameComboId);
    HWND edit = nullptr;
    for (HWND child : Descendants(combo)) {
      if (ClassOf(child) == L"Edit") {
        edit = child;
        break;
      }
    }
    HWND target = edit ? edit : combo;
    const std::wstring& path = Positional(args, 1, "path");
    DWORD_PTR result = 0;
    SendMessageTimeoutW(target, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()),
                        SMTO_ABORTIFHUNG, kMessageTimeoutMs, &result);
    Press(FindControl(dialog, IDOK));
  } else if (command == L"close") {
    PostMessageW(ParseHandle(Positional(args, 0, "window handle")), WM_CLOSE, 0, 0);
  } else if (command == L"send") {
    HWND window = ParseHandle(Positional(args, 0, "window handle"));
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, static_cast<UINT>(ParseId(Positional(args, 1, "message"))),
                             static_cast<WPARAM>(ParseId(Positional(args, 2, "wparam"))),
                             static_cast<LPARAM>(ParseId(Positional(args, 3, "lparam"))),
                             SMTO_BLOCK, static_cast<UINT>(args.timeout_seconds) * 1000, &result)) {
      throw UsageError("the window did not answer");
    }
    PrintLine("{\"result\":" + std::to_string(static_cast<long long>(result)) + "}");
  } else if (command == L"keys") {
    HWND window = ParseHandle(Positional(args, 0, "window handle"));
    TypeKeys(window, std::vector<std::wstring>(args.positional.begin() + 1, args.positional.end()));
  } else if (command == L"focus") {
    HWND focus = FocusOf(ParseHandle(Positional(args, 0, "window handle")));
    PrintLine(focus ? ControlJson(focus) : "{}");
  } else {
    throw UsageError("unknown command: " + ToUtf8(command));
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  try {
    return Run(argc, argv);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "uidriver: %s\n", error.text().c_str());
    return 1;
  }
}
