#include "session/session_worker.h"

#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "net/network_error.h"
#include "session/wire_messages.h"

namespace varnel {
namespace {

class SteadySessionClock final : public SessionClock {
 public:
  TimePoint Now() override { return std::chrono::steady_clock::now(); }
  bool Pause(const StopEvent& stop_event, std::chrono::milliseconds pause) override {
    return stop_event.WaitFor(pause);
  }
};

bool IsFinalState(std::u16string_view state) {
  return state == u"ended" || state == u"expired" || state == u"denied";
}

// A transfer in any of these states has nothing more to say, so a failed command cannot belong
// to it.
bool IsActiveTransfer(std::u16string_view id, std::u16string_view state) {
  return !id.empty() && state != u"idle" && state != u"complete" && state != u"cancelled" &&
         state != u"expired";
}

// The last preview picture sent and what it showed: the base of the "unchanged" test, and of the
// rule that input waits until the agent has seen the monitor it steers.
struct LastFrame {
  std::u16string jpeg;
  // The selection the frame answered ("selected_monitor", empty = primary), so that it compares
  // with the next reply's selection in the same terms.
  std::u16string monitor_id;
  double revision = -1.0;
  ScreenRect rect;
};

}  // namespace

std::shared_ptr<SessionClock> MakeSteadySessionClock() {
  return std::make_shared<SteadySessionClock>();
}

SessionWorker::SessionWorker(LaunchOptions options, DeviceCredentials credentials,
                             SessionWorkerParts parts)
    : options_(std::move(options)),
      credentials_(std::move(credentials)),
      connect_(std::move(parts.connect)),
      screen_(std::move(parts.screen)),
      input_(std::move(parts.input)),
      file_(std::move(parts.file)),
      clock_(parts.clock ? std::move(parts.clock) : MakeSteadySessionClock()),
      thread_enter_(std::move(parts.thread_enter)),
      thread_leave_(std::move(parts.thread_leave)) {
  if (!connect_ || !screen_ || !input_ || !file_) {
    throw std::invalid_argument(
        "A session worker needs a connection, screen, input and file part.");
  }
}

SessionWorker::~SessionWorker() {
  try {
    Stop();
  } catch (...) {
    // Only reachable from the worker's own thread, which never destroys its worker.
  }
}

void SessionWorker::Start() {
  if (started_) throw std::logic_error("A session worker runs only once.");
  thread_ = std::thread([this] { ThreadBody(); });
  started_ = true;
}

void SessionWorker::RequestStop() noexcept {
  stop_event_.Set();
  if (input_) input_->StopInput();
}

void SessionWorker::Stop() {
  RequestStop();
  // The thread object itself belongs to the caller's thread; the worker knows only its own id.
  if (worker_thread_id_.load() == std::this_thread::get_id()) {
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  }
  if (thread_.joinable()) thread_.join();
  if (stopped_) return;
  stopped_ = true;
  file_->ResetTransfer();
  input_.reset();
}

void SessionWorker::ReleaseHeldInput() {
  std::lock_guard<InputInjector> guard(*input_);
  input_->ReleaseAll();
}

void SessionWorker::ThreadBody() noexcept {
  worker_thread_id_.store(std::this_thread::get_id());
  bool entered = false;
  std::unique_ptr<Connection> connection;
  std::optional<std::u16string> last_word;
  try {
    if (thread_enter_) thread_enter_();
    entered = true;
    shared_.Publish(kConnectingText, false);
    connection = connect_();
    if (!connection) throw std::runtime_error("No connection to open.");
    connection->Connect(options_.server, stop_event_);
    RunSession(*connection);
  } catch (const Cancelled&) {
    last_word = std::u16string(kStoppedText);
  } catch (const NetworkError& error) {
    last_word = error.message();
  } catch (...) {
    last_word = std::u16string(kConnectionFailedText);
  }
  // Whatever ended the session, nothing may stay pressed and no half-written file may remain;
  // both happen before the customer is told it is over.
  file_->ResetTransfer();
  try {
    ReleaseHeldInput();
  } catch (...) {
    // The injector's lock failed: its own teardown releases again.
  }
  if (last_word) {
    try {
      shared_.Publish(*last_word, true);
    } catch (...) {
      // A failing mutex leaves nothing better to report.
    }
  }
  connection.reset();
  if (entered && thread_leave_) {
    try {
      thread_leave_();
    } catch (...) {
      // Undoing the platform set-up cannot be reported to anyone.
    }
  }
}

void SessionWorker::RunSession(Connection& connection) {
  const JsonObject connect_reply = connection.Exchange(BuildConnectMessage(options_, credentials_));
  shared_.SetServerVersion(CheckServerVersion(connect_reply.GetStringOrEmpty(u"server_version")));

  JsonObject reply = connection.Exchange(BuildRequestMessage(options_, screen_->ListMonitors()));

  const JsonObject session = reply.GetObject(u"session");
  if (session.GetBooleanOr(u"screen_preview", false)) {
    // The agent gets one look at the primary monitor, whatever the server selected, before the
    // customer has decided anything; the echo of the selection only tells the server which
    // selection this answers.
    if (stop_event_.IsSet()) throw Cancelled{};
    PreviewFrame frame = screen_->CapturePreview(u"");
    if (stop_event_.IsSet()) throw Cancelled{};
    reply = connection.Exchange(BuildInitialPreviewMessage(
        session.GetStringOrEmpty(u"selected_monitor"),
        session.GetNumberOr(u"monitor_revision", 0.0), std::move(frame)));
  }
  RunTurns(connection, std::move(reply));
}

void SessionWorker::RunTurns(Connection& connection, JsonObject reply) {
  SessionClock& clock = *clock_;
  bool support_approved = false;
  bool input_approved = false;
  std::u16string approved_generation;
  bool input_error_pending = false;
  LastFrame last_frame;
  SessionClock::TimePoint previous_turn_time = clock.Now();
  SessionClock::TimePoint next_preview_at = previous_turn_time + kPreviewInterval;

  for (;;) {
    // ---- Part A: what the reply says, and whether remote input may run ----
    const JsonObject session = reply.GetObject(u"session");
    const std::u16string state = session.GetStringOrEmpty(u"state");
    const std::u16string selected_monitor = session.GetStringOrEmpty(u"selected_monitor");
    const double monitor_revision = session.GetNumberOr(u"monitor_revision", 0.0);
    const bool multi_monitor = session.GetBooleanOr(u"multi_monitor", false);

    const std::optional<MonitorInfo> monitor = screen_->FindMonitor(selected_monitor);

    // With several monitors the agent must have seen the monitor it steers: any change of the
    // selection, its revision or its place on the desktop stops input until a new full frame.
    bool monitor_stable = true;
    if (multi_monitor) {
      monitor_stable = monitor.has_value() && selected_monitor == last_frame.monitor_id &&
                       monitor_revision == last_frame.revision && monitor->rect == last_frame.rect;
      if (!monitor_stable) {
        ReleaseHeldInput();
        last_frame.jpeg.clear();
      }
    }

    const JsonObject file = session.GetObjectOr(u"file", JsonObject::New());
    const std::u16string file_id = file.GetStringOrEmpty(u"id");
    const bool file_active = IsActiveTransfer(file_id, file.GetStringOrEmpty(u"state"));

    const bool control_allowed = session.GetBooleanOr(u"control_allowed", false);
    const std::u16string control_generation = session.GetStringOrEmpty(u"control_generation");

    // A withdrawn grant ends the customer's approval with it: a later grant needs a new answer.
    if (!control_allowed) {
      approved_generation.clear();
      std::lock_guard<InputInjector> guard(*input_);
      input_approved = false;
      input_->ReleaseAll();
    } else if (input_approved && approved_generation.empty()) {
      approved_generation = control_generation;
    }

    const bool input_live = monitor_stable && !file_active && input_approved && control_allowed &&
                            !session.GetBooleanOr(u"control_paused", false) &&
                            session.GetBooleanOr(u"preview_requested", false) &&
                            state == u"active" && !control_generation.empty() &&
                            control_generation == approved_generation &&
                            clock.Now() - previous_turn_time < kInputReplyLimit;

    // A bad batch must not end the session: it is reported to the server in the next message.
    bool input_failed = false;
    try {
      const JsonArray inputs = reply.GetArrayOr(u"inputs", JsonArray::New());
      input_failed = !input_->ApplyInputs(inputs, input_live, selected_monitor);
    } catch (const Cancelled&) {
      throw;
    } catch (...) {
      input_failed = true;
    }
    if (input_failed) {
      input_error_pending = true;
      ReleaseHeldInput();
    }

    shared_.UpdateFromReply(reply, TurnFacts{support_approved, input_live, input_failed});
    if (IsFinalState(state)) return;

    // ---- Part B: the next message ----
    if (clock.Pause(stop_event_, kTurnPause)) throw Cancelled{};

    JsonObject message;
    bool plain_status = false;
    if (std::optional<ConsentAnswer> answer = shared_.TakeConsentAnswer()) {
      input_approved = answer->approved;
      if (answer->is_control) {
        message = BuildControlConsentMessage(std::move(answer->consent_id), answer->approved);
      } else {
        support_approved = answer->approved;
        message = BuildConsentMessage(std::move(answer->consent_id), answer->approved);
      }
    } else {
      message = BuildStatusMessage(false);
      plain_status = true;
    }

    // The failure report wins over a consent answer: the server keeps asking, and the window
    // offers the prompt again.
    if (input_error_pending) {
      message = BuildStatusMessage(true);
      plain_status = false;
      input_error_pending = false;
    }

    if (plain_status) {
      FileChoice choice = shared_.TakeFileChoice();
      try {
        if (file_active && !reply.GetStringOrEmpty(u"command_error").empty()) {
          throw FileTransferError("The server rejected the file command.");
        }
        const JsonObject file_reply = reply.GetObjectOr(u"file_reply", JsonObject::New());
        if (std::optional<JsonObject> file_message = file_->FileTransferStep(
                file, file_reply, choice.transfer_id, choice.path, stop_event_)) {
          message = std::move(*file_message);
          plain_status = false;
        }
      } catch (const Cancelled&) {
        throw;
      } catch (...) {
        // A failed transfer never ends the session: the agent learns it was cancelled and the
        // customer sees the warning.
        file_->ResetTransfer();
        if (file_active) {
          message = BuildFileCancelMessage(file_id);
          plain_status = false;
        }
        shared_.SetFileWarning();
      }
    }

    if (multi_monitor) AddMonitorList(message, screen_->ListMonitors());

    const SessionClock::TimePoint now = clock.Now();
    previous_turn_time = now;
    const bool preview_requested = session.GetBooleanOr(u"preview_requested", false);
    const bool preview_due = plain_status && support_approved && state == u"active" &&
                             preview_requested && now >= next_preview_at;
    if (preview_due) {
      if (stop_event_.IsSet()) throw Cancelled{};
      if (!session.GetBooleanOr(u"preview_has_frame", false)) last_frame.jpeg.clear();
      PreviewFrame frame = screen_->CapturePreview(selected_monitor);
      if (stop_event_.IsSet()) throw Cancelled{};
      TurnIntoPreviewFrame(message, selected_monitor, monitor_revision, frame, last_frame.jpeg);
      if (frame.jpeg.empty()) {
        last_frame.jpeg.clear();
      } else {
        last_frame.jpeg = std::move(frame.jpeg);
        last_frame.monitor_id = selected_monitor;
        last_frame.revision = monitor_revision;
        last_frame.rect = frame.rect;
      }
      reply = connection.Exchange(message);
      // Spacing counts from the frame's reply, so a slow server is not sent frames back to back.
      next_preview_at = clock.Now() + kPreviewInterval;
    } else {
      if (!preview_requested) last_frame.jpeg.clear();
      reply = connection.Exchange(message);
    }
  }
}

}  // namespace varnel
