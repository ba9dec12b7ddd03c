// A small UI-automation helper for the end-to-end tests. It runs in the same Wine prefix and on
// the same display as the program under test and works as a person would: it finds windows,
// reads what they show, types into fields and presses buttons. Every answer is one JSON object
// a line (UTF-8) so the tests can parse it; failures go to stderr with a non-zero exit code.
//
//   uidriver windows | boxes | file-dialogs [--class C] [--title T] [--all]
//                                 top-level windows, message boxes (texts, icon, buttons), open
//                                 Open/Save dialogs (--all: hidden ones too)
//   uidriver wait-window | wait-box | wait-file-dialog [--class C] [--title T] [--timeout S]
//                                 the first of those once one is there
//   uidriver wait-gone [--class C] [--title T] [--all] [--timeout S]
//   uidriver controls HWND        every control inside a window
//   uidriver set-text HWND ID TEXT
//   uidriver click HWND ID        press a button without waiting for it (also: answer)
//   uidriver fill-file-name HWND PATH   type a name into a file dialog and accept it
//   uidriver close HWND           ask a window to close (WM_CLOSE, posted)
//   uidriver send HWND MESSAGE WPARAM LPARAM   send a message and print its result
//   uidriver keys HWND KEY...     bring the window forward and type: a virtual-key number or
//                                 "text:..."
//   uidriver focus HWND           the control that has the keyboard focus
//   uidriver run-hidden PROGRAM [ARGUMENTS...]   start a program with SW_HIDE and exit with its
//                                 exit code
//   uidriver pattern LEFT TOP RIGHT BOTTOM RRGGBB   a window of one colour over the rectangle
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kDefaultTimeoutSeconds = 30;
constexpr UINT kMessageTimeoutMs = 5000;
constexpr int kMessageBoxTextId = 0xFFFF;
constexpr int kMessageBoxIconIds[] = {20, 1088};  // Windows gives the icon id 20, Wine 1088
constexpr int kFileNameComboId = 1148;

struct UsageError {
  std::string text;
};

std::string ToUtf8(const std::wstring& text) {
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
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// An object from values already written as JSON.
std::string Object(std::initializer_list<std::pair<const char*, std::string>> fields) {
  std::string out;
  for (const auto& [key, value] : fields) {
    out += (out.empty() ? "{\"" : ",\"") + std::string(key) + "\":" + value;
  }
  return out + "}";
}

std::string Bool(BOOL value) { return value ? "true" : "false"; }
std::string Handle(HWND window) { return std::to_string(reinterpret_cast<std::uintptr_t>(window)); }
std::string Style(HWND window, int which) {
  return std::to_string(static_cast<unsigned long>(GetWindowLongW(window, which)));
}
std::string Rect(const RECT& r) {
  return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
         std::to_string(r.right) + "," + std::to_string(r.bottom) + "]";
}

int ParseNumber(const std::wstring& text) {
  wchar_t* end = nullptr;
  const long long value = std::wcstoll(text.c_str(), &end, 10);
  if (text.empty() || *end != L'\0') throw UsageError{"not a number: " + ToUtf8(text)};
  return static_cast<int>(value);
}

HWND ParseHandle(const std::wstring& text) {
  const auto window = reinterpret_cast<HWND>(static_cast<std::intptr_t>(ParseNumber(text)));
  if (!IsWindow(window)) throw UsageError{"no such window: " + ToUtf8(text)};
  return window;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

// Reads another process's window text without hanging on a busy or hung window.
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

// The top-level windows (no parent), or every window inside `parent`.
std::vector<HWND> WindowsIn(HWND parent = nullptr) {
  std::vector<HWND> found;
  const WNDENUMPROC add = [](HWND window, LPARAM list) -> BOOL {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
  };
  if (parent) {
    EnumChildWindows(parent, add, reinterpret_cast<LPARAM>(&found));
  } else {
    EnumWindows(add, reinterpret_cast<LPARAM>(&found));
  }
  return found;
}

// Direct children first: file dialogs nest a list view that reuses id 1 below the OK button.
HWND FindControl(HWND parent, int id) {
  for (const bool direct : {true, false}) {
    for (HWND child : WindowsIn(parent)) {
      if ((!direct || GetParent(child) == parent) && GetDlgCtrlID(child) == id) return child;
    }
  }
  return nullptr;
}

HWND Control(HWND parent, int id) {
  HWND control = FindControl(parent, id);
  if (!control) throw UsageError{"no control with id " + std::to_string(id)};
  return control;
}

bool IsFileDialog(HWND window) { return FindControl(window, kFileNameComboId) != nullptr; }
bool IsMessageBox(HWND window) { return ClassOf(window) == L"#32770" && !IsFileDialog(window); }

std::string WindowJson(HWND window) {
  RECT outer{}, client{};
  GetWindowRect(window, &outer);
  GetClientRect(window, &client);
  return Object(
      {{"hwnd", Handle(window)},
       {"title", JsonString(TextOf(window))},
       {"rect", Rect(outer)},
       {"client", "[" + std::to_string(client.right) + "," + std::to_string(client.bottom) + "]"},
       {"iconic", Bool(IsIconic(window))},
       {"style", Style(window, GWL_STYLE)},
       {"ex_style", Style(window, GWL_EXSTYLE)}});
}

std::string ControlJson(HWND control) {
  RECT outer{};
  GetWindowRect(control, &outer);
  RECT inside = outer;  // in the parent's client coordinates: what the window's layout set
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&inside), 2);
  return Object({{"id", std::to_string(GetDlgCtrlID(control))},
                 {"class", JsonString(ClassOf(control))},
                 {"text", JsonString(TextOf(control))},
                 {"visible", Bool(IsWindowVisible(control))},
                 {"enabled", Bool(IsWindowEnabled(control))},
                 {"style", Style(control, GWL_STYLE)},
                 {"rect", Rect(outer)},
                 {"client_rect", Rect(inside)}});
}

// Pixels of a square drawn by `paint`, as 0x00RRGGBB.
std::vector<DWORD> Pixels(int size, const std::function<void(HDC)>& paint) {
  BITMAPINFO info{};
  info.bmiHeader = {sizeof info.bmiHeader, size, -size, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC memory = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  paint(memory);
  GdiFlush();
  std::vector<DWORD> pixels(static_cast<const DWORD*>(bits),
                            static_cast<const DWORD*>(bits) + size * size);
  for (DWORD& pixel : pixels) pixel &= 0xFFFFFF;
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  return pixels;
}

// Icon handles are private to their process here, so the box's icon is recognised by its
// pixels: each standard icon is drawn on black and on white, and the pixels that stay the same
// (the opaque ones) must match what the screen shows.
std::string IconName(HWND box) {
  HWND icon = nullptr;
  for (const int id : kMessageBoxIconIds) icon = icon ? icon : GetDlgItem(box, id);
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
  const std::pair<LPCWSTR, const char*> known[] = {{IDI_INFORMATION, "information"},
                                                   {IDI_WARNING, "warning"},
                                                   {IDI_ERROR, "error"},
                                                   {IDI_QUESTION, "question"}};
  for (const auto& [resource, name] : known) {
    const auto on = [&, resource = resource](int brush) {
      return Pixels(size, [&](HDC dc) {
        RECT all{0, 0, size, size};
        FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(brush)));
        DrawIconEx(dc, 0, 0, LoadIconW(nullptr, resource), size, size, 0, nullptr, DI_NORMAL);
      });
    };
    const auto black = on(BLACK_BRUSH);
    const auto white = on(WHITE_BRUSH);
    size_t opaque = 0, matching = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
      if (black[i] != white[i]) continue;
      ++opaque;
      if (black[i] == shown[i]) ++matching;
    }
    if (opaque > 0 && matching * 10 >= opaque * 9) return name;
  }
  return "other";
}

std::string BoxJson(HWND box) {
  std::string buttons;
  for (HWND child : WindowsIn(box)) {
    if (GetParent(child) != box || ClassOf(child) != L"Button" || !IsWindowVisible(child)) continue;
    buttons += (buttons.empty() ? "" : ",") + Object({{"id", std::to_string(GetDlgCtrlID(child))},
                                                      {"text", JsonString(TextOf(child))},
                                                      {"enabled", Bool(IsWindowEnabled(child))}});
  }
  HWND text = GetDlgItem(box, kMessageBoxTextId);
  return Object({{"hwnd", Handle(box)},
                 {"title", JsonString(TextOf(box))},
                 {"text", JsonString(text ? TextOf(text) : std::wstring())},
                 {"icon", "\"" + IconName(box) + "\""},
                 {"buttons", "[" + buttons + "]"}});
}

std::string FileDialogJson(HWND dialog) {
  return Object({{"hwnd", Handle(dialog)},
                 {"title", JsonString(TextOf(dialog))},
                 {"file_name", JsonString(TextOf(Control(dialog, kFileNameComboId)))}});
}

// Polls until `done`; a busy two-core machine may take a while.
bool WaitFor(int timeout_seconds, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Sleep(50);
  }
  return true;
}

void Press(HWND button) {
  if (!IsWindowVisible(button) || !IsWindowEnabled(button)) {
    throw UsageError{"the button is hidden or disabled"};
  }
  // Posted, not sent: the click may open a modal box, which must not block the driver.
  PostMessageW(button, BM_CLICK, 0, 0);
}

void SetText(HWND control, const std::wstring& text) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                           SMTO_ABORTIFHUNG, kMessageTimeoutMs, &result)) {
    throw UsageError{"the control did not take the text"};
  }
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
    throw UsageError{"cannot start " + ToUtf8(line)};
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

// One key stroke, down and up.
void Stroke(WORD vk, WORD scan, DWORD flags) {
  INPUT inputs[2]{};
  for (DWORD up : {0, 1}) {
    inputs[up].type = INPUT_KEYBOARD;
    inputs[up].ki = {vk, scan, flags | (up ? KEYEVENTF_KEYUP : 0), 0, 0};
  }
  if (SendInput(2, inputs, sizeof(INPUT)) != 2) throw UsageError{"SendInput failed"};
}

void TypeKeys(HWND window, const std::vector<std::wstring>& keys) {
  // Input goes to the foreground window only: make it that first (no window manager here, so a
  // person's click would do the same).
  if (!WaitFor(kDefaultTimeoutSeconds, [&] {
        if (GetForegroundWindow() == window) return true;
        SetForegroundWindow(window);
        return false;
      })) {
    throw UsageError{"the window does not come to the front"};
  }
  for (const std::wstring& key : keys) {
    if (key.rfind(L"text:", 0) == 0) {
      for (const wchar_t c : key.substr(5)) Stroke(0, c, KEYEVENTF_UNICODE);
    } else {
      const auto vk = static_cast<WORD>(ParseNumber(key));
      Stroke(vk, static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC)), 0);
    }
  }
}

// A known picture for the preview tests: one colour over a rectangle, in a class of its own
// ("QuilloryE2EPattern") so that tests can find and close it.
int ShowPattern(const std::vector<std::wstring>& values) {
  if (values.size() != 5) throw UsageError{"usage: pattern LEFT TOP RIGHT BOTTOM RRGGBB"};
  const unsigned long rgb = std::wcstoul(values[4].c_str(), nullptr, 16);
  const int left = ParseNumber(values[0]), top = ParseNumber(values[1]);
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
  if (!CreateWindowExW(WS_EX_NOACTIVATE, window_class.lpszClassName, values[4].c_str(),
                       WS_POPUP | WS_VISIBLE, left, top, ParseNumber(values[2]) - left,
                       ParseNumber(values[3]) - top, nullptr, nullptr, window_class.hInstance,
                       nullptr)) {
    throw UsageError{"the pattern window was not created"};
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}

int Run(int argc, wchar_t** argv) {
  if (argc < 2) throw UsageError{"usage: uidriver COMMAND [ARGUMENTS]"};
  const std::wstring command = argv[1];
  const std::vector<std::wstring> rest(argv + 2, argv + argc);
  // Everything after these commands belongs to the program or the window, options included.
  if (command == L"pattern") return ShowPattern(rest);
  if (command == L"run-hidden") return RunHidden(rest);

  std::vector<std::wstring> positional;
  std::optional<std::wstring> class_name, title;
  int timeout = kDefaultTimeoutSeconds;
  bool all = false;
  for (size_t i = 0; i < rest.size(); ++i) {
    const bool has_value = i + 1 < rest.size();
    if (rest[i] == L"--class" && has_value) {
      class_name = rest[++i];
    } else if (rest[i] == L"--title" && has_value) {
      title = rest[++i];
    } else if (rest[i] == L"--timeout" && has_value) {
      timeout = ParseNumber(rest[++i]);
    } else if (rest[i] == L"--all") {
      all = true;
    } else {
      positional.push_back(rest[i]);
    }
  }
  const auto arg = [&](size_t index) -> const std::wstring& {
    if (index >= positional.size()) throw UsageError{"missing argument"};
    return positional[index];
  };
  const auto window = [&] { return ParseHandle(arg(0)); };

  // The listing commands, and the waits for their first entry.
  const struct {
    const wchar_t* list;
    const wchar_t* wait;
    bool (*kind)(HWND);
    std::string (*json)(HWND);
  } listings[] = {{L"windows", L"wait-window", [](HWND) { return true; }, WindowJson},
                  {L"boxes", L"wait-box", IsMessageBox, BoxJson},
                  {L"file-dialogs", L"wait-file-dialog", IsFileDialog, FileDialogJson}};
  const auto matching = [&](bool (*kind)(HWND)) {
    std::vector<HWND> found;
    for (HWND top : WindowsIn()) {
      if ((all || IsWindowVisible(top)) && kind(top) &&
          (!class_name || ClassOf(top) == *class_name) && (!title || TextOf(top) == *title)) {
        found.push_back(top);
      }
    }
    return found;
  };
  for (const auto& listing : listings) {
    std::vector<HWND> found;
    if (command == listing.list) {
      for (HWND each : matching(listing.kind)) std::puts(listing.json(each).c_str());
      return 0;
    }
    if (command == listing.wait) {
      if (!WaitFor(timeout, [&] { return !(found = matching(listing.kind)).empty(); })) {
        throw UsageError{"nothing appeared in time"};
      }
      std::puts(listing.json(found.front()).c_str());
      return 0;
    }
  }

  if (command == L"wait-gone") {
    if (!WaitFor(timeout, [&] { return matching([](HWND) { return true; }).empty(); })) {
      throw UsageError{"the window is still there"};
    }
  } else if (command == L"controls") {
    for (HWND control : WindowsIn(window())) std::puts(ControlJson(control).c_str());
  } else if (command == L"set-text") {
    SetText(Control(window(), ParseNumber(arg(1))), arg(2));
  } else if (command == L"click" || command == L"answer") {
    Press(Control(window(), ParseNumber(arg(1))));
  } else if (command == L"fill-file-name") {
    HWND dialog = window();
    HWND combo = Control(dialog, kFileNameComboId);
    HWND edit = combo;
    for (HWND child : WindowsIn(combo)) {
      if (ClassOf(child) == L"Edit") edit = child;
    }
    SetText(edit, arg(1));
    Press(Control(dialog, IDOK));
  } else if (command == L"close") {
    PostMessageW(window(), WM_CLOSE, 0, 0);
  } else if (command == L"send") {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window(), static_cast<UINT>(ParseNumber(arg(1))),
                             static_cast<WPARAM>(ParseNumber(arg(2))),
                             static_cast<LPARAM>(ParseNumber(arg(3))), SMTO_BLOCK,
                             static_cast<UINT>(timeout) * 1000, &result)) {
      throw UsageError{"the window did not answer"};
    }
    std::puts(Object({{"result", std::to_string(static_cast<long long>(result))}}).c_str());
  } else if (command == L"keys") {
    TypeKeys(window(), std::vector<std::wstring>(positional.begin() + 1, positional.end()));
  } else if (command == L"focus") {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    const bool known = GetGUIThreadInfo(GetWindowThreadProcessId(window(), nullptr), &info);
    std::puts(known && info.hwndFocus ? ControlJson(info.hwndFocus).c_str() : "{}");
  } else {
    throw UsageError{"unknown command: " + ToUtf8(command)};
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  try {
    return Run(argc, argv);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "uidriver: %s\n", error.text.c_str());
    return 1;
  }
}
