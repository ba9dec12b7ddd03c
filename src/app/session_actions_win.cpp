#include "app/session_actions_win.h"

#include <chrono>
#include <stdexcept>
#include <utility>

#include "app/worker_parts_win.h"
#include "session/device_credentials_win.h"

namespace varnel {

WorkerFactory MakeProgramWorkerFactory() {
  return [](const LaunchOptions& options) {
    DeviceCredentials credentials = LoadOrCreateDeviceCredentials(options);
    return std::make_unique<SessionWorker>(options, std::move(credentials),
                                           MakeProgramWorkerParts());
  };
}

SessionActions::SessionActions(LaunchOptions options, bool started_hidden,
                               WorkerFactory make_worker, SessionWindow& window)
    : options_(std::move(options)),
      started_hidden_(started_hidden),
      make_worker_(std::move(make_worker)),
      window_(window),
      entry_mode_(!options_.legacy_auto_connect) {}

SessionActions::~SessionActions() { StopWorker(); }

void SessionActions::StopWorker() {
  if (worker_) {
    worker_->Stop();
    worker_.reset();
  }
}

void SessionActions::AutoConnect() {
  try {
    StartSession();
  } catch (const std::exception&) {
    window_.SetText(WindowControl::kStatusLine, std::u16string(kCredentialManagerUnavailableText));
  }
}

void SessionActions::StartSession() {
  using enum WindowControl;
  if (stopping_) return;
  if (worker_ && !worker_->Snapshot().finished) return;
  if (!options_.legacy_auto_connect) {
    options_.support_ticket = window_.Text(kTicketField, kTicketLength + 1);
    if (!IsValidTicket(options_.support_ticket)) {
      window_.Notice(std::u16string(kTicketRefusedText));
      if (window_.Alive()) window_.Focus(kTicketField);
      return;
    }
    if (options_.customer_name_required) {
      const std::optional<std::u16string> name =
          AcceptCustomerName(window_.Text(kNameField, kNameMaxLength + 1));
      if (!name) {
        window_.Notice(std::u16string(kNameRefusedText));
        if (window_.Alive()) window_.Focus(kNameField);
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
    window_.SetText(kStatusLine, std::u16string(kPrepareFailedText));
    window_.SetText(kConnect, std::u16string(kConnectText));
    window_.Notice(std::u16string(kPrepareFailedText));
    window_.Enable(kConnect, true);
    window_.Enable(kTicketField, true);
    window_.Enable(kNameField, true);
    return;
  }
  const StartPresentation started = PresentStart(entry_mode_);
  if (started.connect_text) window_.SetText(kConnect, *started.connect_text);
  window_.SetText(kStatusLine, started.status_line);
  if (started.window_title) window_.SetTitle(*started.window_title);
  // What the line shows now counts as presented, so a new worker that ends with the previous
  // worker's last text still replaces it.
  shown_.status_text = kConnectingText;
  window_.Enable(kConnect, false);
  window_.Enable(kTicketField, false);
  window_.Enable(kNameField, false);
}

void SessionActions::StopSupport() {
  using enum WindowControl;
  stopping_ = true;
  if (worker_) worker_->RequestStop();
  StopPresentation stopped = PresentStop(options_, shown_);
  shown_ = std::move(stopped.shown);
  window_.SetText(kDetailsText, stopped.details_text);
  window_.Enable(kConnect, false);
  window_.Enable(kAllow, false);
  window_.Enable(kNameField, false);
  window_.Enable(kTicketField, false);
  window_.SetText(kStatusLine, stopped.status_line);
  window_.SetText(kPromptLine, stopped.prompt_line);
  window_.SetTitle(stopped.window_title);
  window_.Enable(kStopSupport, false);
  if (window_.Alive()) window_.Focus(window_.DetailsVisible() ? kClose : kDetailsToggle);
}

void SessionActions::Allow() {
  // A click message can reach a greyed button (BM_CLICK does): the hold must hold here too.
  if (stopping_ || !worker_ || !shown_.consent_required || allow_held_ ||
      !window_.Enabled(WindowControl::kAllow)) {
    return;
  }
  // The kind is the one the button offered, whatever the server has said since.
  worker_->SubmitConsent(true, shown_.consent_id, PromptedConsentKind(shown_));
  window_.Enable(WindowControl::kAllow, false);
  window_.Minimize();
}

bool SessionActions::ConfirmClose() {
  if (close_prompt_open_) return false;
  if (!stopping_ && worker_ && !worker_->Snapshot().finished) {
    // A hidden window has nobody to ask: whoever closes it means to end support.
    if (!started_hidden_) {
      close_prompt_open_ = true;
      const bool yes =
          window_.AskYesNo(std::u16string(kClosePromptText), std::u16string(kClosePromptCaption));
      close_prompt_open_ = false;
      if (!yes || !window_.Alive()) return false;
    }
  }
  StopSupport();
  return true;
}

void SessionActions::Refresh() {
  using enum WindowControl;
  if (stopping_ || !worker_) return;
  SessionSnapshot snap = worker_->Snapshot();
  if (!file_prompt_open_) {
    PromptForTransferFile(snap);
    // The dialog ran a message loop of its own: support may have been stopped, or the window
    // ended, while it was open.
    if (stopping_ || !worker_ || !window_.Alive()) return;
    snap = worker_->Snapshot();
  }
  RefreshPresentation view = PresentRefresh(options_, shown_, snap, Flags());

  if (view.status_line) window_.SetText(kStatusLine, *view.status_line);
  if (view.window_title) window_.SetTitle(*view.window_title);
  if (view.entry_mode_changed) {
    entry_mode_ = view.entry_mode;
    if (view.clear_ticket) {
      window_.SetText(kTicketField, u"");
      options_.support_ticket.clear();
    }
    window_.RefitView();
  }
  shown_ = snap;
  window_.SetText(kConnect, view.connect_text);
  if (view.banner_text) {
    window_.SetText(kBanner, *view.banner_text);
    window_.Relayout();
  }
  window_.SetText(kPromptLine, view.prompt_line);
  if (view.attention_consent_id) last_attention_consent_id_ = *view.attention_consent_id;
  if (view.consent_attention) {
    window_.RestoreAndRaise(true);
    window_.Beep();
  }
  if (view.details_text) window_.SetText(kDetailsText, *view.details_text);
  window_.Enable(kConnect, view.entry_enabled);
  window_.Enable(kTicketField, view.entry_enabled);
  window_.Enable(kNameField, view.entry_enabled);
  if (view.hold_allow) {
    allow_held_ = true;
    window_.HoldAllow();
  }
  window_.Enable(kAllow, view.allow_enabled);
  window_.SetText(kAllow, view.allow_caption);
  window_.SetText(kExplanation, view.explanation);
  // Both marks are set before the box: its message loop runs this refresh again meanwhile.
  if (view.last_ended_request_id) last_ended_request_id_ = *view.last_ended_request_id;
  if (view.end_notice) {
    end_notice_shown_ = true;
    if (view.end_notice_box && !started_hidden_) {
      window_.RestoreAndRaise(false);
      window_.Notice(view.end_notice_text);
      if (!window_.Alive()) return;
    }
    window_.Focus(view.end_notice_focus == EndNoticeFocus::kName ? kNameField : kTicketField);
    window_.SelectTicket();
  }
  if (view.agent_end_attention) {
    window_.RestoreAndRaise(true);
    window_.Beep();
  }
}

WindowFlags SessionActions::Flags() const {
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

void SessionActions::PromptForTransferFile(const SessionSnapshot& snap) {
  const FilePrompt prompt =
      ChooseFilePrompt(snap, file_prompts_, Flags(), std::chrono::steady_clock::now());
  if (prompt == FilePrompt::kNone) return;
  const bool pick = prompt == FilePrompt::kPick;
  const std::u16string transfer_id = snap.file_transfer_id;
  file_prompts_.last_prompted_transfer_id = transfer_id;
  file_prompt_open_ = true;
  std::u16string chosen = window_.ChooseTransferFile(
      pick, prompt == FilePrompt::kSave ? SanitizeSuggestedFileName(snap.file_name) : u"");
  file_prompt_open_ = false;
  if (chosen.empty()) {
    // A server that asks again at once must not keep a dialog in front of Stop Support.
    file_prompts_.quiet_until = std::chrono::steady_clock::now() + kFilePromptPauseAfterCancel;
  }
  if (stopping_ || !worker_) return;
  worker_->SubmitFileChoice(transfer_id, std::move(chosen));
}

}  // namespace varnel
