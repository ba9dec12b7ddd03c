#include "app/status_window_win.h"

#include <commctrl.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

#include "app/status_presentation.h"
#include "app/worker_parts_win.h"
#include "session/device_credentials_win.h"
#include "util/shown_text.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

constexpr UINT kAutoConnectMessage = WM_APP + 1;
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT_PTR kAllowHoldTimer = 2;
constexpr UINT kRefreshPeriodMs = 100;

constexpr char16_t kProductCaption[] = u"Quillory";
constexpr char16_t kNameLabelText[] = u"Customer name";
constexpr char16_t kTicketLabelText[] = u"Support ticket (6 digits)";
constexpr char16_t kShowDetailsText[] = u"Show details";
constexpr char16_t kHideDetailsText[] = u"Hide details";
constexpr char16_t kStopSupportText[] = u"Stop Support";
constexpr char16_t kCloseText[] = u"Close";
constexpr char16_t kNameNotProvided[] = u"Name not provided";

// The details view, client area in 96-DPI units.
constexpr int kDetailsWidth = 490;
constexpr int kDetailsHeight = 570;
constexpr int kDetailsMinHeight = 490;

constexpr COLORREF kBannerText = RGB(120, 53, 15);
constexpr COLORREF kBannerBack = RGB(254, 243, 199);

bool IsCompanyTwoIdentity(const LaunchOptions& options) {
  return !options.legacy_auto_connect && options.ixcompany == 2 && !options.customer_name_required;
}

// A read-only field: the names come from the command line and are shown as such.
std::u16string NamedOrNotProvided(const std::u16string& name, const std::u16string& code) {
  return !name.empty() && name != code ? ShownLine(name) : std::u16string(kNameNotProvided);
}

}  // namespace

std::u16string CustomerNameFieldText(const LaunchOptions& options) {
  if (IsCompanyTwoIdentity(options)) {
    return NamedOrNotProvided(options.market_name, options.market_code) + u" - " +
           NamedOrNotProvided(options.store_name, options.store_code);
  }
  return options.requester;
}

WorkerFactory MakeProgramWorkerFactory() {
  return [](const LaunchOptions& options) {
    DeviceCredentials credentials = LoadOrCreateDeviceCredentials(options);
    return std::make_unique<SessionWorker>(options, std::move(credentials),
                                           MakeProgramWorkerParts());
  };
}

StatusWindow::StatusWindow(LaunchOptions options, std::u16string instance_lock_name,
                           UINT activation_message, bool started_hidden, WorkerFactory make_worker)
    : options_(std::move(options)),
      instance_lock_name_(std::move(instance_lock_name)),
      activation_message_(activation_message),
      make_worker_(std::move(make_worker)),
      entry_mode_(!options_.legacy_auto_connect),
      started_hidden_(started_hidden) {}

StatusWindow::~StatusWindow() {
  if (hwnd_) {
    // A failure is unwinding past the message loop: the window must not outlive its record,
    // and the quit message its destruction posts must not close the failure box.
    DestroyWindow(hwnd_);
    MSG quit;
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  }
  StopWorker();
}

void StatusWindow::StopWorker() {
  if (worker_) {
    worker_->Stop();
    worker_.reset();
  }
}

LRESULT CALLBACK StatusWindow::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<StatusWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    self = static_cast<StatusWindow*>(create->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->hwnd_ = window;
    return DefWindowProcW(window, message, wparam, lparam);
  }
  if (!self) return DefWindowProcW(window, message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    self->hwnd_ = nullptr;
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
      OnClose();
      return 0;
    case WM_QUERYENDSESSION:
      StopSupport();
      return TRUE;
    case WM_ENDSESSION:
      if (wparam) OnEndSession();
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
      const SIZE minimum =
          details_visible_
              ? OuterSize(Scale(kDetailsWidth), Scale(kDetailsMinHeight), kStatusWindowExStyle)
              : OuterSize(Scale(kViewWidth), Scale(entry_mode_ ? kEntryHeight : kCompactHeight),
                          kStatusWindowExStyle);
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
      if (wparam == kRefreshTimer) RefreshFromSnapshot();
      if (wparam == kAllowHoldTimer) {
        // The next refresh enables Allow if the prompt is still open.
        KillTimer(hwnd_, kAllowHoldTimer);
        allow_held_ = false;
      }
      return 0;
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lparam) != banner_ || !banner_) break;
      {
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
      try {
        StartSession();
      } catch (const std::exception&) {
        SetText(status_line_, std::u16string(kCredentialManagerUnavailableText));
      }
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, message, wparam, lparam);
}

bool StatusWindow::OnCreate() {
  dpi_ = GetDpiForWindow(hwnd_);
  if (!SetPropW(hwnd_, Wide(instance_lock_name_), reinterpret_cast<HANDLE>(1))) return false;
  if (!CreateControls()) return false;
  SetTimer(hwnd_, kRefreshTimer, kRefreshPeriodMs, nullptr);
  if (!options_.legacy_auto_connect) {
    SetFocus(options_.customer_name_required ? name_field_ : ticket_field_);
  } else {
    PostMessageW(hwnd_, kAutoConnectMessage, 0, 0);
  }
  return true;
}

void StatusWindow::OnDestroy() {
  KillTimer(hwnd_, kRefreshTimer);
  KillTimer(hwnd_, kAllowHoldTimer);
  StopSupport();
  RemovePropW(hwnd_, Wide(instance_lock_name_));
  PostQuitMessage(0);
}

void StatusWindow::OnCommand(int id) {
  switch (id) {
    case kDetailsToggleId:
      SetDetailsVisible(!details_visible_, false);
      break;
    case kConnectId:
      StartSession();
      break;
    case kAllowId:
      Allow();
      break;
    case kStopSupportId:
      StopSupport();
      break;
    case kCloseId:
      SendMessageW(hwnd_, WM_CLOSE, 0, 0);
      break;
    default:
      break;
  }
}

LRESULT StatusWindow::OnActivation() {
  if (started_hidden_) return 1;
  ShowRestored();
  SetForegroundWindow(hwnd_);
  FLASHWINFO flash{sizeof flash, hwnd_, FLASHW_TRAY, 2, 0};
  FlashWindowEx(&flash);
  return 1;
}

void StatusWindow::OnClose() {
  if (close_prompt_open_) return;
  if (!stopping_ && worker_ && !worker_->Snapshot().finished) {
    // A hidden window has nobody to ask: whoever closes it means to end support.
    if (!started_hidden_) {
      close_prompt_open_ = true;
      const int answer = Box(std::u16string(kClosePromptText), std::u16string(kClosePromptCaption),
                             MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
      close_prompt_open_ = false;
      if (answer != IDYES || !hwnd_) return;
    }
  }
  StopSupport();
  DestroyWindow(hwnd_);
}

void StatusWindow::OnEndSession() {
  StopSupport();
  // Windows may end the process as soon as this message returns: the worker must have deleted
  // its temporary file and released held input by then, so it is joined here, not at exit.
  StopWorker();
  DestroyWindow(hwnd_);
}

// ---- layout and painting ----

int StatusWindow::Scale(int length) const { return MulDiv(length, static_cast<int>(dpi_), 96); }

bool StatusWindow::NameFieldShown() const {
  return entry_mode_ && (options_.customer_name_required || options_.ixcompany == 2);
}

bool StatusWindow::CreateControls() {
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
  const auto make = [&](const wchar_t* kind, const std::u16string& text, DWORD style, int id) {
    return CreateWindowExW(0, kind, Wide(text), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, hwnd_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  };
  const bool company_two = IsCompanyTwoIdentity(options_);
  banner_ = make(L"STATIC", u"", SS_NOPREFIX, 0);
  title_ = make(L"STATIC", kProductCaption, SS_NOPREFIX, 0);
  status_line_ = make(L"STATIC", std::u16string(entry_mode_ ? kEntryStatusText : kConnectingText),
                      SS_NOPREFIX, kStatusLineId);
  details_text_ =
      make(L"EDIT", ComposeDetailsText(options_, shown_),
           WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, kDetailsTextId);
  explanation_ = make(L"STATIC", std::u16string(kIdleExplanationText), SS_NOPREFIX, 0);
  connect_ = make(L"BUTTON", std::u16string(entry_mode_ ? kConnectText : kRetryText),
                  WS_TABSTOP | BS_PUSHBUTTON, kConnectId);
  name_label_ = make(L"STATIC", kNameLabelText, SS_NOPREFIX, 0);
  name_field_ =
      make(L"EDIT", CustomerNameFieldText(options_),
           WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | (company_two ? ES_READONLY : 0), kNameId);
  ticket_label_ = make(L"STATIC", kTicketLabelText, SS_NOPREFIX, 0);
  ticket_field_ =
      make(L"EDIT", u"", WS_BORDER | WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL, kTicketId);
  allow_ = make(L"BUTTON", std::u16string(kAllowSupportText), WS_TABSTOP | BS_OWNERDRAW, kAllowId);
  details_toggle_ = make(L"BUTTON", kShowDetailsText, WS_TABSTOP | BS_PUSHBUTTON, kDetailsToggleId);
  stop_support_ = make(L"BUTTON", kStopSupportText, WS_TABSTOP | BS_OWNERDRAW, kStopSupportId);
  close_ = make(L"BUTTON", kCloseText, WS_TABSTOP | BS_PUSHBUTTON, kCloseId);
  prompt_line_ = make(L"STATIC", std::u16string(kIdlePromptText), SS_NOPREFIX, 0);

  for (HWND control : {banner_, title_, status_line_, details_text_, explanation_, connect_,
                       name_label_, name_field_, ticket_label_, ticket_field_, allow_,
                       details_toggle_, stop_support_, close_, prompt_line_}) {
    if (!control) return false;
  }
  if (!entry_mode_) EnableWindow(connect_, FALSE);
  EnableWindow(allow_, FALSE);
  SendMessageW(name_field_, EM_SETLIMITTEXT, company_two ? 2048 : 128, 0);
  SendMessageW(ticket_field_, EM_SETLIMITTEXT, 6, 0);
  CreateFonts();
  LayoutControls();
  return true;
}

void StatusWindow::CreateFonts() {
  const auto font = [this](int height, int weight) {
    return GdiObject<HFONT>(CreateFontW(
        -Scale(height), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
        CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI"));
  };
  // The old fonts stay alive until every control has been given the new ones.
  GdiObject<HFONT> body = font(15, FW_NORMAL);
  GdiObject<HFONT> heading = font(20, FW_SEMIBOLD);
  if (!title_) {
    body_font_ = std::move(body);
    heading_font_ = std::move(heading);
    return;
  }
  for (HWND control :
       {banner_, status_line_, details_text_, explanation_, connect_, name_label_, name_field_,
        ticket_label_, ticket_field_, details_toggle_, stop_support_, close_, prompt_line_}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(body.get()), TRUE);
  }
  for (HWND control : {title_, allow_}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(heading.get()), TRUE);
  }
  const int margin = Scale(8);
  SendMessageW(details_text_, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN,
               MAKELPARAM(margin, margin));
  body_font_ = std::move(body);
  heading_font_ = std::move(heading);
}

void StatusWindow::LayoutControls() {
  if (!title_) return;
  RECT client{};
  GetClientRect(hwnd_, &client);
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  const int m = Scale(18);
  const int content_width = width - 2 * m;
  const auto place = [](HWND control, bool visible, int x, int y, int w, int h) {
    if (visible) MoveWindow(control, x, y, w, h, TRUE);
    ShowWindow(control, visible ? SW_SHOWNA : SW_HIDE);
  };
  const auto show = [](HWND control, bool visible) {
    ShowWindow(control, visible ? SW_SHOWNA : SW_HIDE);
  };

  show(status_line_, !entry_mode_ && details_visible_);
  if (entry_mode_) {
    for (HWND control : {title_, details_text_, explanation_, allow_, prompt_line_, banner_,
                         details_toggle_, stop_support_, close_}) {
      show(control, false);
    }
    const bool name_shown = NameFieldShown();
    int t = 14;
    if (name_shown) {
      place(name_label_, true, m, Scale(14), content_width, Scale(22));
      place(name_field_, true, m, Scale(40), content_width, Scale(32));
      t = 80;
    } else {
      show(name_label_, false);
      show(name_field_, false);
    }
    place(ticket_label_, true, m, Scale(t), content_width, Scale(22));
    place(ticket_field_, true, m, Scale(t) + Scale(26), content_width - Scale(12) - Scale(104),
          Scale(32));
    place(connect_, true, width - Scale(104) - m, Scale(t) + Scale(26), Scale(104), Scale(32));
    return;
  }

  for (HWND control : {ticket_label_, ticket_field_, name_label_, name_field_})
    show(control, false);
  const int y = height - Scale(52);
  place(details_toggle_, true, m, y, Scale(116), Scale(36));
  place(close_, true, width - m - Scale(80), y, Scale(80), Scale(36));
  place(stop_support_, true, width - m - Scale(80) - Scale(136), y, Scale(124), Scale(36));
  if (!details_visible_) {
    for (HWND control : {title_, details_text_, explanation_, connect_, banner_}) {
      show(control, false);
    }
    place(prompt_line_, true, m, Scale(14), content_width, Scale(48));
    place(allow_, true, m, Scale(66), content_width, Scale(48));
    return;
  }
  show(prompt_line_, false);
  const bool warning = !shown_.version_warning.empty();
  const int b = warning ? Scale(72) : 0;
  place(title_, true, m, Scale(16), content_width, Scale(30));
  place(status_line_, true, m, Scale(54), content_width, Scale(46));
  place(banner_, warning, m, Scale(106), content_width, Scale(68));
  place(details_text_, true, m, Scale(110) + b, content_width, height - b - Scale(330));
  place(connect_, true, m, height - Scale(208), Scale(160), Scale(30));
  place(explanation_, true, m, height - Scale(166), content_width, Scale(54));
  place(allow_, true, m, height - Scale(108), content_width, Scale(48));
}

SIZE StatusWindow::OuterSize(int client_width, int client_height, DWORD ex_style) const {
  RECT rect{0, 0, client_width, client_height};
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE));
  AdjustWindowRectExForDpi(&rect, style, FALSE, ex_style, dpi_);
  return {rect.right - rect.left, rect.bottom - rect.top};
}

SIZE StatusWindow::ViewSize() const {
  if (entry_mode_) return {Scale(kViewWidth), Scale(kEntryHeight)};
  if (!details_visible_) return {Scale(kViewWidth), Scale(kCompactHeight)};
  return {Scale(kDetailsWidth), Scale(kDetailsHeight)};
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
  if (IsIconic(hwnd_)) {
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    GetWindowPlacement(hwnd_, &placement);
    const POINT offset = WorkspaceOffset();
    return {placement.rcNormalPosition.left + offset.x, placement.rcNormalPosition.top + offset.y};
  }
  RECT rect{};
  GetWindowRect(hwnd_, &rect);
  return {rect.left, rect.top};
}

void StatusWindow::FitWindow(HMONITOR monitor, int x, int y, bool centre) {
  const SIZE client = ViewSize();
  const SIZE outer =
      OuterSize(client.cx, client.cy, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)));
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
  if (IsIconic(hwnd_)) {
    // Moving a minimised window moves its icon: the view's size must become the size it is
    // restored to, or the customer gets the previous view's size back.
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    GetWindowPlacement(hwnd_, &placement);
    const POINT offset = WorkspaceOffset();
    placement.rcNormalPosition = {x - offset.x, y - offset.y, x - offset.x + outer.cx,
                                  y - offset.y + outer.cy};
    placement.showCmd = SW_SHOWMINNOACTIVE;
    SetWindowPlacement(hwnd_, &placement);
  } else {
    SetWindowPos(hwnd_, nullptr, x, y, outer.cx, outer.cy, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  LayoutControls();
  InvalidateRect(hwnd_, nullptr, TRUE);
}

void StatusWindow::FinishCreation(HMONITOR monitor) {
  dpi_ = GetDpiForWindow(hwnd_);
  CreateFonts();
  FitWindow(monitor, 0, 0, true);
}

void StatusWindow::SetDetailsVisible(bool wanted, bool force) {
  const bool visible = entry_mode_ ? false : wanted;
  if (visible == details_visible_ && !force) return;
  details_visible_ = visible;
  SetText(details_toggle_, visible ? kHideDetailsText : kShowDetailsText);
  SetFocus(details_toggle_);
  const POINT corner = TopLeft();
  FitWindow(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), corner.x, corner.y, false);
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
void StatusWindow::SetText(HWND control, const std::u16string& text) {
  if (!control) return;
  const int length = GetWindowTextLengthW(control);
  if (length == static_cast<int>(text.size()) && ControlText(control, length) == text) return;
  SetWindowTextW(control, Wide(text));
  if (control == allow_ || control == stop_support_) InvalidateRect(control, nullptr, TRUE);
}

void StatusWindow::Enable(HWND control, bool enabled) {
  if (control && (IsWindowEnabled(control) != FALSE) != enabled) EnableWindow(control, enabled);
}

// Restoring a window that is not minimised brings back its last restored size under Wine, which
// may be the size of another view: only a minimised window is restored.
void StatusWindow::ShowRestored() {
  if (hwnd_) ShowWindow(hwnd_, IsIconic(hwnd_) ? SW_RESTORE : SW_SHOW);
}

void StatusWindow::RestoreAndRaise(bool flash_if_not_raised) {
  if (started_hidden_ || !hwnd_) return;
  ShowRestored();
  if (!SetForegroundWindow(hwnd_) && flash_if_not_raised) {
    FLASHWINFO flash{sizeof flash, hwnd_, FLASHW_TRAY | FLASHW_TIMERNOFG, 5, 0};
    FlashWindowEx(&flash);
  }
}

void StatusWindow::Beep() const {
  if (!started_hidden_) MessageBeep(MB_ICONASTERISK);
}

int StatusWindow::Box(const std::u16string& text, const std::u16string& caption, UINT flags) {
  if (started_hidden_) return 0;
  return MessageBoxW(hwnd_, Wide(text), Wide(caption), flags);
}

// ---- actions ----

void StatusWindow::StartSession() {
  if (stopping_) return;
  if (worker_ && !worker_->Snapshot().finished) return;
  if (!options_.legacy_auto_connect) {
    options_.support_ticket = ControlText(ticket_field_, 7);
    if (!IsValidTicket(options_.support_ticket)) {
      Box(std::u16string(kTicketRefusedText), kProductCaption, MB_OK | MB_ICONINFORMATION);
      if (hwnd_) SetFocus(ticket_field_);
      return;
    }
    if (options_.customer_name_required) {
      const std::optional<std::u16string> name = AcceptCustomerName(ControlText(name_field_, 129));
      if (!name) {
        Box(std::u16string(kNameRefusedText), kProductCaption, MB_OK | MB_ICONINFORMATION);
        if (hwnd_) SetFocus(name_field_);
        return;
      }
      options_.requester = *name;
    }
  }
  try {
    std::unique_ptr<SessionWorker> next = make_worker_(options_);
    std::unique_ptr<SessionWorker> previous = std::exchange(worker_, std::move(next));
    if (previous) previous->Stop();
    previous.reset();
    end_notice_shown_ = false;
    last_attention_consent_id_.reset();
    worker_->Start();
  } catch (const std::exception&) {
    StopWorker();
    SetText(status_line_, std::u16string(kPrepareFailedText));
    SetText(connect_, std::u16string(kConnectText));
    Box(std::u16string(kPrepareFailedText), kProductCaption, MB_OK | MB_ICONINFORMATION);
    Enable(connect_, true);
    Enable(ticket_field_, true);
    Enable(name_field_, true);
    return;
  }
  const StartPresentation started = PresentStart(entry_mode_);
  if (started.connect_text) SetText(connect_, *started.connect_text);
  SetText(status_line_, started.status_line);
  if (started.window_title) SetText(hwnd_, *started.window_title);
  // What the line shows now counts as presented, so a new worker that ends with the previous
  // worker's last text still replaces it.
  shown_.status_text = kConnectingText;
  Enable(connect_, false);
  Enable(ticket_field_, false);
  Enable(name_field_, false);
}

void StatusWindow::StopSupport() {
  stopping_ = true;
  if (worker_) worker_->RequestStop();
  StopPresentation stopped = PresentStop(options_, shown_);
  shown_ = std::move(stopped.shown);
  SetText(details_text_, stopped.details_text);
  Enable(connect_, false);
  Enable(allow_, false);
  Enable(name_field_, false);
  Enable(ticket_field_, false);
  SetText(status_line_, stopped.status_line);
  SetText(prompt_line_, stopped.prompt_line);
  if (hwnd_) SetWindowTextW(hwnd_, Wide(stopped.window_title));
  Enable(stop_support_, false);
  if (hwnd_) SetFocus(details_visible_ ? close_ : details_toggle_);
}

void StatusWindow::Allow() {
  // A click message can reach a greyed button (BM_CLICK does): the hold must hold here too.
  if (stopping_ || !worker_ || !shown_.consent_required || allow_held_ ||
      !IsWindowEnabled(allow_)) {
    return;
  }
  // The kind is the one the button offered, whatever the server has said since.
  worker_->SubmitConsent(true, shown_.consent_id, PromptedConsentKind(shown_));
  Enable(allow_, false);
  if (!started_hidden_) ShowWindow(hwnd_, SW_MINIMIZE);
}

void StatusWindow::RefreshFromSnapshot() {
  if (stopping_ || !worker_) return;
  SessionSnapshot snap = worker_->Snapshot();
  if (!file_prompt_open_) {
    PromptForTransferFile(snap);
    // The dialog ran a message loop of its own: support may have been stopped, or the window
    // ended, while it was open.
    if (stopping_ || !worker_ || !hwnd_) return;
    snap = worker_->Snapshot();
  }
  RefreshPresentation view = PresentRefresh(options_, shown_, snap, Flags());

  if (view.status_line) SetText(status_line_, *view.status_line);
  if (view.window_title) SetText(hwnd_, *view.window_title);
  if (view.entry_mode_changed) {
    entry_mode_ = view.entry_mode;
    if (view.clear_ticket) {
      SetText(ticket_field_, u"");
      options_.support_ticket.clear();
    }
    SetDetailsVisible(details_visible_, true);
  }
  shown_ = snap;
  SetText(connect_, view.connect_text);
  if (view.banner_text) {
    SetText(banner_, *view.banner_text);
    LayoutControls();
  }
  SetText(prompt_line_, view.prompt_line);
  if (view.attention_consent_id) last_attention_consent_id_ = *view.attention_consent_id;
  if (view.consent_attention) {
    RestoreAndRaise(true);
    Beep();
  }
  if (view.details_text) SetText(details_text_, *view.details_text);
  Enable(connect_, view.entry_enabled);
  Enable(ticket_field_, view.entry_enabled);
  Enable(name_field_, view.entry_enabled);
  if (view.hold_allow) {
    allow_held_ = true;
    SetTimer(hwnd_, kAllowHoldTimer, static_cast<UINT>(kAllowHoldTime.count()), nullptr);
  }
  Enable(allow_, view.allow_enabled);
  SetText(allow_, view.allow_caption);
  SetText(explanation_, view.explanation);
  // Both marks are set before the box: its message loop runs this refresh again meanwhile.
  if (view.last_ended_request_id) last_ended_request_id_ = *view.last_ended_request_id;
  if (view.end_notice) {
    end_notice_shown_ = true;
    if (view.end_notice_box && !started_hidden_) {
      RestoreAndRaise(false);
      Box(view.end_notice_text, kProductCaption, MB_OK | MB_ICONINFORMATION);
      if (!hwnd_) return;
    }
    SetFocus(view.end_notice_focus == EndNoticeFocus::kName ? name_field_ : ticket_field_);
    SendMessageW(ticket_field_, EM_SETSEL, 0, -1);
  }
  if (view.agent_end_attention) {
    RestoreAndRaise(true);
    Beep();
  }
}

WindowFlags StatusWindow::Flags() const {
  WindowFlags flags;
  flags.entry_mode = entry_mode_;
  flags.end_notice_shown = end_notice_shown_;
  flags.file_prompt_open = file_prompt_open_;
  flags.close_prompt_open = close_prompt_open_;
  flags.started_hidden = started_hidden_;
  flags.last_ended_request_id = last_ended_request_id_;
  flags.last_attention_consent_id = last_attention_consent_id_;
  flags.allow_held = allow_held_;
  return flags;
}

bool StatusWindow::PreTranslate(MSG& message) {
  if (!hwnd_) return false;
  if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN &&
      message.hwnd == ticket_field_ && entry_mode_) {
    const bool repeat = (message.lParam & (1 << 30)) != 0;
    if (!repeat && IsWindowEnabled(connect_)) StartSession();
    return true;
  }
  return IsDialogMessageW(hwnd_, &message) != FALSE;
}

}  // namespace varnel
