#pragma once
// The one status window: the owner of its HWND, its controls and fonts, and its window procedure.
// What the controls say comes from the session actions (session_actions_win.h) and where they go
// from the layout (window_layout.h); this class applies both and hands on the customer's input.
#include <windows.h>

#include <array>
#include <exception>
#include <string>

#include "app/session_actions_win.h"
#include "app/window_ids.h"
#include "app/window_layout.h"
#include "launch/launch_options.h"
#include "util/unique_handle_win.h"

namespace varnel {

inline constexpr DWORD kStatusWindowStyle =
    WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX;
inline constexpr DWORD kStatusWindowExStyle = WS_EX_TOPMOST;

// Registers the window class, once per process; the icons may be null.
void RegisterStatusWindowClass(HINSTANCE instance, HICON large_icon, HICON small_icon);

class StatusWindow final : private SessionWindow {
 public:
  StatusWindow(LaunchOptions options, std::u16string instance_lock_name, UINT activation_message,
               bool started_hidden, WorkerFactory make_worker);
  ~StatusWindow() = default;
  StatusWindow(const StatusWindow&) = delete;
  StatusWindow& operator=(const StatusWindow&) = delete;

  // Creates the window at `outer` (screen coordinates) on the registered class; null on failure.
  HWND Create(HINSTANCE instance, const RECT& outer);
  HWND hwnd() const { return window_.get(); }

  // After creation: the window's own DPI, its fonts and its place on `monitor`, centred.
  void FinishCreation(HMONITOR monitor);

  // The message loop's part before dispatching: the Enter rule of the ticket field and dialog
  // navigation. Returns true when the message was handled. Raises what StartSession raises.
  bool PreTranslate(MSG& message);

  // A failure inside the window procedure, kept to end the program with (the procedure itself
  // must not throw into the system's code).
  std::exception_ptr failure() const { return failure_; }

  // Ends the session for good: the worker is stopped and joined.
  void StopWorker() { actions_.StopWorker(); }

  // Destroys the window now, if it still exists.
  void Destroy() { window_.Destroy(); }

 private:
  // The window's HWND, valid from WM_NCCREATE until WM_NCDESTROY. Unlike UniqueHandle, it keeps
  // the handle while DestroyWindow runs, since the messages of the destruction still use it.
  class OwnedWindow {
   public:
    OwnedWindow() = default;
    ~OwnedWindow();
    OwnedWindow(const OwnedWindow&) = delete;
    OwnedWindow& operator=(const OwnedWindow&) = delete;
    HWND get() const { return hwnd_; }
    void Adopt(HWND hwnd) { hwnd_ = hwnd; }
    void Forget() { hwnd_ = nullptr; }
    void Destroy();

   private:
    HWND hwnd_ = nullptr;
  };

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  friend void RegisterStatusWindowClass(HINSTANCE instance, HICON large_icon, HICON small_icon);

  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  bool OnCreate();
  void OnDestroy();
  void OnCommand(int id);
  LRESULT OnActivation();

  // Controls, layout and painting. Child controls die with the window; they are kept here only.
  HWND Control(WindowControl control) const { return controls_[static_cast<std::size_t>(control)]; }
  int Scale(int length) const { return ScaleForDpi(length, static_cast<int>(dpi_)); }
  WindowView View() const;
  bool CreateControls();
  void CreateFonts();
  void LayoutControls();
  void FitWindow(HMONITOR monitor, int x, int y, bool centre);
  POINT WorkspaceOffset() const;
  POINT TopLeft() const;
  void SetDetailsVisible(bool wanted, bool force);
  SIZE OuterSize(ClientSize client, DWORD ex_style) const;
  void DrawActionButton(const DRAWITEMSTRUCT& item);
  void ShowRestored();
  std::u16string ControlText(HWND control, int max_units) const;
  void ApplyText(HWND control, const std::u16string& text);

  // SessionWindow: what the session actions do to the window.
  bool Alive() const override { return hwnd() != nullptr; }
  std::u16string Text(WindowControl control, std::size_t max_units) const override {
    return ControlText(Control(control), static_cast<int>(max_units));
  }
  void SetText(WindowControl control, const std::u16string& text) override {
    ApplyText(Control(control), text);
  }
  void SetTitle(const std::u16string& title) override { ApplyText(hwnd(), title); }
  bool Enabled(WindowControl control) const override;
  void Enable(WindowControl control, bool enabled) override;
  void Focus(WindowControl control) override {
    if (HWND handle = Control(control)) SetFocus(handle);
  }
  void SelectTicket() override;
  bool DetailsVisible() const override { return details_visible_; }
  void RefitView() override { SetDetailsVisible(details_visible_, true); }
  void Relayout() override { LayoutControls(); }
  void HoldAllow() override;
  void Minimize() override;
  void RestoreAndRaise(bool flash_if_not_raised) override;
  void Beep() override;
  void Notice(const std::u16string& text) override;
  bool AskYesNo(const std::u16string& text, const std::u16string& caption) override;
  std::u16string ChooseTransferFile(bool pick, const std::u16string& suggested) override;

  std::u16string instance_lock_name_;
  UINT activation_message_;
  bool started_hidden_;
  bool details_visible_ = false;
  UINT dpi_ = 96;
  std::exception_ptr failure_;
  SessionActions actions_;
  GdiObject<HFONT> body_font_;
  GdiObject<HFONT> heading_font_;
  std::array<HWND, kWindowControlCount> controls_{};
  // Last, so that it goes first: the window's destruction still reaches the actions and fonts.
  OwnedWindow window_;
};

}  // namespace varnel
