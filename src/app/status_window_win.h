#pragma once
// The one status window: the customer's name and ticket, the session's status, the consent
// buttons and the details. It owns the session worker and polls its snapshot every 100 ms; the
// decisions about what to show come from status_presentation.h, this class only applies them.
#include <windows.h>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/status_presentation.h"
#include "launch/launch_options.h"
#include "session/session_snapshot.h"
#include "session/session_worker.h"
#include "util/unique_handle_win.h"

namespace varnel {

inline constexpr wchar_t kStatusWindowClass[] = L"VarnelQuillory.Status.v1";
inline constexpr wchar_t kActivationMessageName[] = L"VarnelQuillory.Activate.v1";
inline constexpr DWORD kStatusWindowStyle =
    WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX;
inline constexpr DWORD kStatusWindowExStyle = WS_EX_TOPMOST;

// The client width of the entry form and the compact view, and their heights, in 96-DPI units.
inline constexpr int kViewWidth = 380;
inline constexpr int kEntryHeight = 154;
inline constexpr int kCompactHeight = 178;

// Control ids, as the window's WM_COMMAND and the automation see them.
enum ControlId : int {
  kStatusLineId = 1001,
  kDetailsTextId = 1002,
  kStopSupportId = 1003,
  kCloseId = 1004,
  kTicketId = 1005,
  kConnectId = 1006,
  kAllowId = 1007,
  kDetailsToggleId = 1009,
  kNameId = 1010,
};

// Builds a session worker (not started) for the options; raises when the device credentials or
// the worker cannot be made.
using WorkerFactory = std::function<std::unique_ptr<SessionWorker>(const LaunchOptions&)>;

// The program's factory: the device credentials from the Credential Manager and the parts of
// MakeProgramWorkerParts.
WorkerFactory MakeProgramWorkerFactory();

// The window's text for the customer name field, from the launch options.
std::u16string CustomerNameFieldText(const LaunchOptions& options);

class StatusWindow {
 public:
  StatusWindow(LaunchOptions options, std::u16string instance_lock_name, UINT activation_message,
               bool started_hidden, WorkerFactory make_worker);
  // Stops and joins the worker, if any.
  ~StatusWindow();
  StatusWindow(const StatusWindow&) = delete;
  StatusWindow& operator=(const StatusWindow&) = delete;

  // The class's window procedure; the record arrives as the creation parameter.
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  HWND hwnd() const { return hwnd_; }

  // After creation: the window's own DPI, its fonts and its place on `monitor`, centred.
  void FinishCreation(HMONITOR monitor);

  // The message loop's part before dispatching: the Enter rule of the ticket field and dialog
  // navigation. Returns true when the message was handled. Raises what StartSession raises.
  bool PreTranslate(MSG& message);

  // A failure inside the window procedure, kept to end the program with (the procedure itself
  // must not throw into the system's code).
  std::exception_ptr failure() const { return failure_; }

  // Ends the session for good: the worker is stopped and joined.
  void StopWorker();

 private:
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  bool OnCreate();
  void OnDestroy();
  void OnCommand(int id);
  void OnClose();
  void OnEndSession();
  LRESULT OnActivation();

  // Layout and painting.
  int Scale(int length) const;
  bool CreateControls();
  void CreateFonts();
  void LayoutControls();
  void FitWindow(HMONITOR monitor, int x, int y, bool centre);
  POINT WorkspaceOffset() const;
  POINT TopLeft() const;
  void SetDetailsVisible(bool wanted, bool force);
  SIZE OuterSize(int client_width, int client_height, DWORD ex_style) const;
  SIZE ViewSize() const;
  void DrawActionButton(const DRAWITEMSTRUCT& item);
  bool NameFieldShown() const;

  // Actions.
  void StartSession();
  void StopSupport();
  void Allow();
  void RefreshFromSnapshot();
  WindowFlags Flags() const;
  void PromptForTransferFile(const SessionSnapshot& snap);

  // Window calls that respect a hidden start.
  void ShowRestored();
  void RestoreAndRaise(bool flash_if_not_raised);
  void Beep() const;
  int Box(const std::u16string& text, const std::u16string& caption, UINT flags);

  std::u16string ControlText(HWND control, int max_units) const;
  void SetText(HWND control, const std::u16string& text);
  void Enable(HWND control, bool enabled);

  LaunchOptions options_;
  std::u16string instance_lock_name_;
  UINT activation_message_;
  WorkerFactory make_worker_;
  HWND hwnd_ = nullptr;

  HWND banner_ = nullptr;
  HWND title_ = nullptr;
  HWND status_line_ = nullptr;
  HWND details_text_ = nullptr;
  HWND explanation_ = nullptr;
  HWND connect_ = nullptr;
  HWND name_label_ = nullptr;
  HWND name_field_ = nullptr;
  HWND ticket_label_ = nullptr;
  HWND ticket_field_ = nullptr;
  HWND allow_ = nullptr;
  HWND details_toggle_ = nullptr;
  HWND stop_support_ = nullptr;
  HWND close_ = nullptr;
  HWND prompt_line_ = nullptr;

  bool entry_mode_;
  bool end_notice_shown_ = false;
  bool details_visible_ = false;
  bool close_prompt_open_ = false;
  bool file_prompt_open_ = false;
  FilePromptMemory file_prompts_;
  std::u16string last_ended_request_id_;
  std::optional<std::u16string> last_attention_consent_id_;
  bool allow_held_ = false;
  std::unique_ptr<SessionWorker> worker_;
  SessionSnapshot shown_;
  GdiObject<HFONT> body_font_;
  GdiObject<HFONT> heading_font_;
  UINT dpi_ = 96;
  bool stopping_ = false;
  bool started_hidden_;
  std::exception_ptr failure_;
};

}  // namespace varnel
