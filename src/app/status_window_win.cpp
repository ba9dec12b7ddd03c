#include "app/status_window_win.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "app/status_presentation.h"
#include "build_config.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

constexpr UINT kAutoConnectMessage = WM_APP + 1;
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT_PTR kAllowHoldTimer = 2;
constexpr UINT kRefreshPeriodMs = 100;

constexpr char16_t kNameLabelText[] = u"Customer name";
constexpr char16_t kTicketLabelText[] = u"Support ticket (6 digits)";
constexpr char16_t kShowDetailsText[] = u"Show details";
constexpr char16_t kHideDetailsText[] = u"Hide details";
constexpr char16_t kStopSupportText[] = u"Stop Support";
constexpr char16_t kCloseText[] = u"Close";

constexpr COLORREF kBannerText = RGB(120, 53, 15);
constexpr COLORREF kBannerBack = RGB(254, 243, 199);

}  // namespace

void RegisterStatusWindowClass(HINSTANCE instance, HICON large_icon, HICON small_icon) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = StatusWindow::WindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = large_icon;
  window_class.hIconSm = small_icon;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  window_class.lpszClassName = kStatusWindowClass;
  if (!RegisterClassExW(&window_class)) ThrowLastError("Unable to register window");
}

void StatusWindow::OwnedWindow::Destroy() {
  if (hwnd_) DestroyWindow(hwnd_);
}

StatusWindow::OwnedWindow::~OwnedWindow() {
  if (hwnd_) {
    // A failure is unwinding past the message loop: the window must not outlive its record,
    // and the quit message its destruction posts must not close the failure box.
    DestroyWindow(hwnd_);
    MSG quit;
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  }
}

StatusWindow::StatusWindow(LaunchOptions options, std::u16string instance_lock_name,
                           UINT activation_message, bool started_hidden, WorkerFactory make_worker)
    : instance_lock_name_(std::move(instance_lock_name)),
      activation_message_(activation_message),
      started_hidden_(started_hidden),
      actions_(std::move(options), started_hidden, std::move(make_worker), *this) {}

HWND StatusWindow::Create(HINSTANCE instance, const RECT& outer) {
  return CreateWindowExW(kStatusWindowExStyle, kStatusWindowClass, Wide(build::kProductName),
                         kStatusWindowStyle, outer.left, outer.top, outer.right - outer.left,
                         outer.bottom - outer.top, nullptr, nullptr, instance, this);
}

LRESULT CALLBACK StatusWindow::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<StatusWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    self = static_cast<StatusWindow*>(create->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->window_.Adopt(window);
    return DefWindowProcW(window, message, wparam, lparam);
  }
  if (!self) return DefWindowProcW(window, message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    self->window_.Forget();
    self->controls_ = {};
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    return DefWindowProcW(window, message, wparam, lparam);
  }
  try {
    return self->Handle(message, wparam, lparam);
  } catch (...) {
    // Exceptions must not unwind through the system's frames: the message loop ends the program
    // with the general failure instead.
    if (!self->failure_) self->failure_ = std::current_exception();
    PostQuitMessage(0);
    return message == WM_CREATE ? -1 : 0;
  }
}

LRESULT StatusWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == activation_message_) return OnActivation();
  switch (message) {
    case WM_CREATE:
      return OnCreate() ? 0 : -1;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    case WM_SIZE:
      LayoutControls();
      return 0;
    case WM_CLOSE:
      if (actions_.ConfirmClose()) window_.Destroy();
      return 0;
    case WM_QUERYENDSESSION:
      actions_.StopSupport();
      return TRUE;
    case WM_ENDSESSION:
      if (wparam) {
        actions_.StopSupport();
        // Windows may end the process as soon as this message returns: the worker must have
        // deleted its temporary file and released held input by then, so it is joined here,
        // not at exit.
        actions_.StopWorker();
        window_.Destroy();
      }
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
      const SIZE minimum =
          OuterSize(MinimumClientSize(View(), static_cast<int>(dpi_)), kStatusWindowExStyle);
      info->ptMinTrackSize.x = minimum.cx;
      info->ptMinTrackSize.y = minimum.cy;
      return 0;
    }
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lparam);
      if (item->CtlID != kStopSupportId && item->CtlID != kAllowId) break;
      DrawActionButton(*item);
      return TRUE;
    }
    case WM_COMMAND:
      if (HIWORD(wparam) != BN_CLICKED) break;
      switch (LOWORD(wparam)) {
        case kDetailsToggleId:
        case kConnectId:
        case kAllowId:
        case kStopSupportId:
        case kCloseId:
          OnCommand(LOWORD(wparam));
          return 0;
        default:
          break;
      }
      break;
    case WM_TIMER:
      if (wparam == kRefreshTimer) actions_.Refresh();
      if (wparam == kAllowHoldTimer) {
        // The next refresh enables Allow if the prompt is still open.
        KillTimer(hwnd(), kAllowHoldTimer);
        actions_.ReleaseAllowHold();
      }
      return 0;
    case WM_CTLCOLORSTATIC: {
      HWND banner = Control(WindowControl::kBanner);
      if (reinterpret_cast<HWND>(lparam) != banner || !banner) break;
      HDC dc = reinterpret_cast<HDC>(wparam);
      SetTextColor(dc, kBannerText);
      SetBkColor(dc, kBannerBack);
      SetDCBrushColor(dc, kBannerBack);
      return reinterpret_cast<LRESULT>(GetStockObject(DC_BRUSH));
    }
    case WM_DPICHANGED: {
      dpi_ = HIWORD(wparam);
      CreateFonts();
      const auto* suggested = reinterpret_cast<const RECT*>(lparam);
      FitWindow(MonitorFromRect(suggested, MONITOR_DEFAULTTONEAREST), suggested->left,
                suggested->top, false);
      return 0;
    }
    case kAutoConnectMessage:
      actions_.AutoConnect();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd(), message, wparam, lparam);
}

bool StatusWindow::OnCreate() {
  dpi_ = GetDpiForWindow(hwnd());
  if (!SetPropW(hwnd(), Wide(instance_lock_name_), reinterpret_cast<HANDLE>(1))) return false;
  if (!CreateControls()) return false;
  SetTimer(hwnd(), kRefreshTimer, kRefreshPeriodMs, nullptr);
  const LaunchOptions& options = actions_.options();
  if (!options.legacy_auto_connect) {
    Focus(options.customer_name_required ? WindowControl::kNameField : WindowControl::kTicketField);
  } else {
    PostMessageW(hwnd(), kAutoConnectMessage, 0, 0);
  }
  return true;
}

void StatusWindow::OnDestroy() {
  KillTimer(hwnd(), kRefreshTimer);
  KillTimer(hwnd(), kAllowHoldTimer);
  actions_.StopSupport();
  RemovePropW(hwnd(), Wide(instance_lock_name_));
  PostQuitMessage(0);
}

void StatusWindow::OnCommand(int id) {
  switch (id) {
    case kDetailsToggleId:
      SetDetailsVisible(!details_visible_, false);
      break;
    case kConnectId:
      actions_.StartSession();
      break;
    case kAllowId:
      actions_.Allow();
      break;
    case kStopSupportId:
      actions_.StopSupport();
      break;
    case kCloseId:
      SendMessageW(hwnd(), WM_CLOSE, 0, 0);
      break;
    default:
      break;
  }
}

LRESULT StatusWindow::OnActivation() {
  if (started_hidden_) return 1;
  ShowRestored();
  SetForegroundWindow(hwnd());
  FLASHWINFO flash{sizeof flash, hwnd(), FLASHW_TRAY, 2, 0};
  FlashWindowEx(&flash);
  return 1;
}

// ---- controls, layout and painting ----

WindowView StatusWindow::View() const {
  if (actions_.entry_mode()) return WindowView::kEntry;
  return details_visible_ ? WindowView::kDetails : WindowView::kCompact;
}

bool StatusWindow::CreateControls() {
  using enum WindowControl;
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd(), GWLP_HINSTANCE));
  const LaunchOptions& options = actions_.options();
  const bool entry_mode = actions_.entry_mode();
  const bool company_two = IsCompanyTwoIdentity(options);
  // In creation order, which is the Tab order.
  const auto make = [&](WindowControl control, const wchar_t* kind, const std::u16string& text,
                        DWORD style, int id) {
    controls_[static_cast<std::size_t>(control)] =
        CreateWindowExW(0, kind, Wide(text), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, hwnd(),
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  };
  make(kBanner, L"STATIC", u"", SS_NOPREFIX, 0);
  make(kTitle, L"STATIC", build::kProductName, SS_NOPREFIX, 0);
  make(kStatusLine, L"STATIC", std::u16string(entry_mode ? kEntryStatusText : kConnectingText),
       SS_NOPREFIX, kStatusLineId);
  make(kDetailsText, L"EDIT", ComposeDetailsText(options, actions_.shown()),
       WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, kDetailsTextId);
  make(kExplanation, L"STATIC", std::u16string(kIdleExplanationText), SS_NOPREFIX, 0);
  make(kConnect, L"BUTTON", std::u16string(entry_mode ? kConnectText : kRetryText),
       WS_TABSTOP | BS_PUSHBUTTON, kConnectId);
  make(kNameLabel, L"STATIC", kNameLabelText, SS_NOPREFIX, 0);
  make(kNameField, L"EDIT", CustomerNameFieldText(options),
       WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | (company_two ? ES_READONLY : 0), kNameId);
  make(kTicketLabel, L"STATIC", kTicketLabelText, SS_NOPREFIX, 0);
  make(kTicketField, L"EDIT", u"", WS_BORDER | WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL, kTicketId);
  make(kAllow, L"BUTTON", std::u16string(kAllowSupportText), WS_TABSTOP | BS_OWNERDRAW, kAllowId);
  make(kDetailsToggle, L"BUTTON", kShowDetailsText, WS_TABSTOP | BS_PUSHBUTTON, kDetailsToggleId);
  make(kStopSupport, L"BUTTON", kStopSupportText, WS_TABSTOP | BS_OWNERDRAW, kStopSupportId);
  make(kClose, L"BUTTON", kCloseText, WS_TABSTOP | BS_PUSHBUTTON, kCloseId);
  make(kPromptLine, L"STATIC", std::u16string(kIdlePromptText), SS_NOPREFIX, 0);

  if (std::ranges::find(controls_, nullptr) != controls_.end()) return false;
  if (!entry_mode) EnableWindow(Control(kConnect), FALSE);
  EnableWindow(Control(kAllow), FALSE);
  SendMessageW(Control(kNameField), EM_SETLIMITTEXT,
               company_two ? kCompanyTwoNameFieldLength : kNameMaxLength, 0);
  SendMessageW(Control(kTicketField), EM_SETLIMITTEXT, kTicketLength, 0);
  CreateFonts();
  LayoutControls();
  return true;
}

void StatusWindow::CreateFonts() {
  using enum WindowControl;
  const auto font = [this](int height, int weight) {
    return GdiObject<HFONT>(CreateFontW(
        -Scale(height), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
        CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI"));
  };
  // The old fonts stay alive until every control has been given the new ones.
  GdiObject<HFONT> body = font(15, FW_NORMAL);
  GdiObject<HFONT> heading = font(20, FW_SEMIBOLD);
  if (!Control(kTitle)) {
    body_font_ = std::move(body);
    heading_font_ = std::move(heading);
    return;
  }
  for (std::size_t i = 0; i < kWindowControlCount; ++i) {
    const auto control = static_cast<WindowControl>(i);
    const bool heading_font = control == kTitle || control == kAllow;
    SendMessageW(controls_[i], WM_SETFONT,
                 reinterpret_cast<WPARAM>(heading_font ? heading.get() : body.get()), TRUE);
  }
  const int margin = Scale(8);
  SendMessageW(Control(kDetailsText), EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN,
               MAKELPARAM(margin, margin));
  body_font_ = std::move(body);
  heading_font_ = std::move(heading);
}

void StatusWindow::LayoutControls() {
  if (!Control(WindowControl::kTitle)) return;
  RECT client{};
  GetClientRect(hwnd(), &client);
  const LaunchOptions& options = actions_.options();
  ViewState state;
  state.view = View();
  state.name_shown = state.view == WindowView::kEntry &&
                     (options.customer_name_required || options.ixcompany == 2);
  state.warning_shown = !actions_.shown().version_warning.empty();
  const WindowLayout layout = LayOutWindow(
      state, static_cast<int>(dpi_), {client.right - client.left, client.bottom - client.top});
  for (std::size_t i = 0; i < kWindowControlCount; ++i) {
    if (const auto& place = layout[i]) {
      MoveWindow(controls_[i], place->x, place->y, place->width, place->height, TRUE);
    }
    ShowWindow(controls_[i], layout[i] ? SW_SHOWNA : SW_HIDE);
  }
}

SIZE StatusWindow::OuterSize(ClientSize client, DWORD ex_style) const {
  RECT rect{0, 0, client.width, client.height};
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(hwnd(), GWL_STYLE));
  AdjustWindowRectExForDpi(&rect, style, FALSE, ex_style, dpi_);
  return {rect.right - rect.left, rect.bottom - rect.top};
}

// Restored positions are kept in workspace coordinates: screen coordinates less the primary
// work area's corner.
POINT StatusWindow::WorkspaceOffset() const {
  MONITORINFO primary{};
  primary.cbSize = sizeof primary;
  if (!GetMonitorInfoW(MonitorFromPoint({0, 0}, MONITOR_DEFAULTTOPRIMARY), &primary)) return {0, 0};
  return {primary.rcWork.left - primary.rcMonitor.left, primary.rcWork.top - primary.rcMonitor.top};
}

// The window's top-left corner; for a minimised window, where it will be restored.
POINT StatusWindow::TopLeft() const {
  if (IsIconic(hwnd())) {
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    GetWindowPlacement(hwnd(), &placement);
    const POINT offset = WorkspaceOffset();
    return {placement.rcNormalPosition.left + offset.x, placement.rcNormalPosition.top + offset.y};
  }
  RECT rect{};
  GetWindowRect(hwnd(), &rect);
  return {rect.left, rect.top};
}

void StatusWindow::FitWindow(HMONITOR monitor, int x, int y, bool centre) {
  const SIZE outer = OuterSize(ViewClientSize(View(), static_cast<int>(dpi_)),
                               static_cast<DWORD>(GetWindowLongPtrW(hwnd(), GWL_EXSTYLE)));
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (GetMonitorInfoW(monitor, &info)) {
    const RECT& work = info.rcWork;
    if (centre) {
      x = work.left + (work.right - work.left - outer.cx) / 2;
      y = work.top + (work.bottom - work.top - outer.cy) / 2;
    }
    // The lower bound wins: a window larger than the work area keeps its top-left corner inside.
    x = std::max<int>(std::min<int>(x, work.right - outer.cx), work.left);
    y = std::max<int>(std::min<int>(y, work.bottom - outer.cy), work.top);
  }
  if (IsIconic(hwnd())) {
    // Moving a minimised window moves its icon: the view's size must become the size it is
    // restored to, or the customer gets the previous view's size back.
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    GetWindowPlacement(hwnd(), &placement);
    const POINT offset = WorkspaceOffset();
    placement.rcNormalPosition = {x - offset.x, y - offset.y, x - offset.x + outer.cx,
                                  y - offset.y + outer.cy};
    placement.showCmd = SW_SHOWMINNOACTIVE;
    SetWindowPlacement(hwnd(), &placement);
  } else {
    SetWindowPos(hwnd(), nullptr, x, y, outer.cx, outer.cy, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  LayoutControls();
  InvalidateRect(hwnd(), nullptr, TRUE);
}

void StatusWindow::FinishCreation(HMONITOR monitor) {
  dpi_ = GetDpiForWindow(hwnd());
  CreateFonts();
  FitWindow(monitor, 0, 0, true);
}

void StatusWindow::SetDetailsVisible(bool wanted, bool force) {
  const bool visible = actions_.entry_mode() ? false : wanted;
  if (visible == details_visible_ && !force) return;
  details_visible_ = visible;
  SetText(WindowControl::kDetailsToggle, visible ? kHideDetailsText : kShowDetailsText);
  Focus(WindowControl::kDetailsToggle);
  const POINT corner = TopLeft();
  FitWindow(MonitorFromWindow(hwnd(), MONITOR_DEFAULTTONEAREST), corner.x, corner.y, false);
}

void StatusWindow::DrawActionButton(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  const int saved = SaveDC(dc);
  const bool stop = item.CtlID == kStopSupportId;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  const bool pressed = !disabled && (item.itemState & ODS_SELECTED) != 0;
  COLORREF fill;
  COLORREF frame;
  COLORREF text = RGB(255, 255, 255);
  if (stop) {
    fill = disabled ? RGB(161, 101, 101) : pressed ? RGB(153, 27, 27) : RGB(198, 40, 40);
    frame = disabled ? fill : RGB(153, 27, 27);
  } else if (disabled) {
    fill = GetSysColor(COLOR_BTNFACE);
    frame = GetSysColor(COLOR_BTNSHADOW);
    text = GetSysColor(COLOR_GRAYTEXT);
  } else {
    fill = pressed ? RGB(21, 101, 52) : RGB(22, 128, 61);
    frame = RGB(112, 173, 123);
  }
  RECT rect = item.rcItem;
  {
    GdiObject<HBRUSH> fill_brush(CreateSolidBrush(fill));
    FillRect(dc, &rect, fill_brush.get());
  }
  {
    GdiObject<HBRUSH> frame_brush(CreateSolidBrush(frame));
    FrameRect(dc, &rect, frame_brush.get());
  }
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, text);
  SelectObject(dc, stop ? body_font_.get() : heading_font_.get());
  RECT text_rect = rect;
  if (pressed) OffsetRect(&text_rect, Scale(1), Scale(1));
  wchar_t caption[64] = {};
  GetWindowTextW(item.hwndItem, caption, 64);
  DrawTextW(dc, caption, -1, &text_rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  if ((item.itemState & ODS_FOCUS) && !(item.itemState & ODS_NOFOCUSRECT)) {
    RECT focus = rect;
    const int inset = Scale(4);
    InflateRect(&focus, -inset, -inset);
    SetBkColor(dc, fill);
    DrawFocusRect(dc, &focus);
  }
  RestoreDC(dc, saved);
}

// ---- small window helpers ----

std::u16string StatusWindow::ControlText(HWND control, int max_units) const {
  std::u16string buffer(static_cast<std::size_t>(max_units) + 1, u'\0');
  const int length =
      GetWindowTextW(control, reinterpret_cast<wchar_t*>(buffer.data()), max_units + 1);
  buffer.resize(static_cast<std::size_t>(std::max(length, 0)));
  return buffer;
}

// Setting an unchanged text would repaint the control ten times a second.
void StatusWindow::ApplyText(HWND control, const std::u16string& text) {
  if (!control) return;
  const int length = GetWindowTextLengthW(control);
  if (length == static_cast<int>(text.size()) && ControlText(control, length) == text) return;
  SetWindowTextW(control, Wide(text));
  if (control == Control(WindowControl::kAllow) ||
      control == Control(WindowControl::kStopSupport)) {
    InvalidateRect(control, nullptr, TRUE);
  }
}

bool StatusWindow::Enabled(WindowControl control) const {
  return IsWindowEnabled(Control(control)) != FALSE;
}

void StatusWindow::Enable(WindowControl control, bool enabled) {
  HWND handle = Control(control);
  if (handle && (IsWindowEnabled(handle) != FALSE) != enabled) EnableWindow(handle, enabled);
}

void StatusWindow::SelectTicket() {
  SendMessageW(Control(WindowControl::kTicketField), EM_SETSEL, 0, -1);
}

void StatusWindow::HoldAllow() {
  SetTimer(hwnd(), kAllowHoldTimer, static_cast<UINT>(kAllowHoldTime.count()), nullptr);
}

void StatusWindow::Minimize() {
  if (!started_hidden_) ShowWindow(hwnd(), SW_MINIMIZE);
}

// Restoring a window that is not minimised brings back its last restored size under Wine, which
// may be the size of another view: only a minimised window is restored.
void StatusWindow::ShowRestored() {
  if (hwnd()) ShowWindow(hwnd(), IsIconic(hwnd()) ? SW_RESTORE : SW_SHOW);
}

void StatusWindow::RestoreAndRaise(bool flash_if_not_raised) {
  if (started_hidden_ || !hwnd()) return;
  ShowRestored();
  if (!SetForegroundWindow(hwnd()) && flash_if_not_raised) {
    FLASHWINFO flash{sizeof flash, hwnd(), FLASHW_TRAY | FLASHW_TIMERNOFG, 5, 0};
    FlashWindowEx(&flash);
  }
}

void StatusWindow::Beep() {
  if (!started_hidden_) MessageBeep(MB_ICONASTERISK);
}

void StatusWindow::Notice(const std::u16string& text) {
  if (started_hidden_) return;
  MessageBoxW(hwnd(), Wide(text), Wide(build::kProductName), MB_OK | MB_ICONINFORMATION);
}

bool StatusWindow::AskYesNo(const std::u16string& text, const std::u16string& caption) {
  if (started_hidden_) return false;
  return MessageBoxW(hwnd(), Wide(text), Wide(caption),
                     MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

bool StatusWindow::PreTranslate(MSG& message) {
  if (!hwnd()) return false;
  if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN &&
      message.hwnd == Control(WindowControl::kTicketField) && actions_.entry_mode()) {
    const bool repeat = (message.lParam & (1 << 30)) != 0;
    if (!repeat && Enabled(WindowControl::kConnect)) actions_.StartSession();
    return true;
  }
  return IsDialogMessageW(hwnd(), &message) != FALSE;
}

}  // namespace varnel
