#pragma once
// What the customer's clicks do to the support session: Connect, Allow, Stop Support, closing the
// window, and the refresh that shows the worker's snapshot every 100 ms. The session's state
// lives here; the window only carries the results out through SessionWindow.
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/status_presentation.h"
#include "app/window_layout.h"
#include "launch/launch_options.h"
#include "session/session_snapshot.h"
#include "session/session_worker.h"

namespace varnel {

// Builds a session worker (not started) for the options; raises when the device credentials or
// the worker cannot be made.
using WorkerFactory = std::function<std::unique_ptr<SessionWorker>(const LaunchOptions&)>;

// The program's factory: the device credentials from the Credential Manager and the parts of
// MakeProgramWorkerParts.
WorkerFactory MakeProgramWorkerFactory();

// What the actions ask of the window. A box or a file dialog runs a message loop of its own, in
// which the window may end: Alive() tells.
class SessionWindow {
 public:
  virtual bool Alive() const = 0;
  virtual std::u16string Text(WindowControl control, std::size_t max_units) const = 0;
  virtual void SetText(WindowControl control, const std::u16string& text) = 0;
  virtual void SetTitle(const std::u16string& title) = 0;
  virtual bool Enabled(WindowControl control) const = 0;
  virtual void Enable(WindowControl control, bool enabled) = 0;
  virtual void Focus(WindowControl control) = 0;
  virtual void SelectTicket() = 0;
  virtual bool DetailsVisible() const = 0;
  // The entry form came or went: the view is fitted anew.
  virtual void RefitView() = 0;
  // The banner's text changed: the controls are placed anew.
  virtual void Relayout() = 0;
  virtual void HoldAllow() = 0;
  virtual void Minimize() = 0;
  virtual void RestoreAndRaise(bool flash_if_not_raised) = 0;
  virtual void Beep() = 0;
  virtual void Notice(const std::u16string& text) = 0;
  virtual bool AskYesNo(const std::u16string& text, const std::u16string& caption) = 0;
  // The Open dialog (`pick`) or the Save dialog offering `suggested`; empty when cancelled.
  virtual std::u16string ChooseTransferFile(bool pick, const std::u16string& suggested) = 0;

 protected:
  ~SessionWindow() = default;
};

class SessionActions {
 public:
  SessionActions(LaunchOptions options, bool started_hidden, WorkerFactory make_worker,
                 SessionWindow& window);
  // Stops and joins the worker, if any.
  ~SessionActions();
  SessionActions(const SessionActions&) = delete;
  SessionActions& operator=(const SessionActions&) = delete;

  const LaunchOptions& options() const { return options_; }
  bool entry_mode() const { return entry_mode_; }
  const SessionSnapshot& shown() const { return shown_; }

  // Connect: raises when the worker cannot start for a reason the customer cannot mend here.
  void StartSession();
  // The legacy start, with no entry form: a failure is shown on the status line.
  void AutoConnect();
  void StopSupport();
  void Allow();
  void ReleaseAllowHold() { allow_held_ = false; }
  void Refresh();
  // Whether the window may close now: while support runs the customer is asked first; support
  // is stopped when the answer is to close.
  bool ConfirmClose();
  // Ends the session for good: the worker is stopped and joined.
  void StopWorker();

 private:
  WindowFlags Flags() const;
  void PromptForTransferFile(const SessionSnapshot& snap);

  LaunchOptions options_;
  bool started_hidden_;
  WorkerFactory make_worker_;
  SessionWindow& window_;
  bool entry_mode_;
  bool stopping_ = false;
  bool end_notice_shown_ = false;
  bool close_prompt_open_ = false;
  bool file_prompt_open_ = false;
  bool allow_held_ = false;
  FilePromptMemory file_prompts_;
  std::u16string last_ended_request_id_;
  std::optional<std::u16string> last_attention_consent_id_;
  std::unique_ptr<SessionWorker> worker_;
  SessionSnapshot shown_;
};

}  // namespace varnel
