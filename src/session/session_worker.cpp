// The session thread: connect, request, then one turn at a time until the end or Stop.
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

  JsonObject reply_object =
      connection.Exchange(BuildRequestMessage(options_, screen_->ListMonitors()));
  SessionReply reply = ReadSessionReply(reply_object);
  if (reply.screen_preview) {
    // The agent gets one look at the primary monitor, whatever the server selected, before the
    // customer has decided anything; the echo of the selection only tells the server which
    // selection this answers.
    if (stop_event_.IsSet()) throw Cancelled{};
    PreviewFrame frame = screen_->CapturePreview(u"");
    if (stop_event_.IsSet()) throw Cancelled{};
    reply_object = connection.Exchange(BuildInitialPreviewMessage(
        reply.selected_monitor, reply.monitor_revision, std::move(frame)));
    reply = ReadSessionReply(reply_object);
  }
  RunTurns(connection, std::move(reply_object), std::move(reply));
}

void SessionWorker::RunTurns(Connection& connection, JsonObject reply_object, SessionReply reply) {
  SessionClock& clock = *clock_;
  TurnState state;
  state.previous_turn_time = clock.Now();
  state.next_preview_at = state.previous_turn_time + kPreviewInterval;

  for (;;) {
    // ---- Part A: what the reply says, and whether remote input may run ----
    shared_.UpdateFromReply(reply, ApplyReply(reply_object, reply, state));
    if (IsFinalState(reply.state)) return;

    // ---- Part B: the next message ----
    if (clock.Pause(stop_event_, kTurnPause)) throw Cancelled{};
    NextMessage next = ChooseMessage(shared_.TakeConsentAnswer(), state);
    if (next.plain_status) RunFileStep(reply_object, reply, next);
    if (reply.multi_monitor) AddMonitorList(next.message, screen_->ListMonitors());

    const SessionClock::TimePoint now = clock.Now();
    state.previous_turn_time = now;
    const bool preview_due = IsPreviewDue(next.plain_status, reply, state, now);
    if (preview_due) {
      CaptureFrame(next.message, reply, state.last_frame);
    } else if (!reply.preview_requested) {
      state.last_frame.jpeg.clear();
    }
    // Only one reply is alive at a time: the last one's tree goes before the next is parsed, so a
    // reply costs no more than its own bytes justify.
    reply = SessionReply{};
    reply_object = JsonObject();
    reply_object = connection.Exchange(next.message);
    // Spacing counts from the frame's reply, so a slow server is not sent frames back to back.
    if (preview_due) state.next_preview_at = clock.Now() + kPreviewInterval;
    reply = ReadSessionReply(reply_object);
  }
}

TurnFacts SessionWorker::ApplyReply(const JsonObject& reply_object, const SessionReply& reply,
                                    TurnState& state) {
  const std::optional<MonitorInfo> found = screen_->FindMonitor(reply.selected_monitor);
  const bool monitor_stable = IsMonitorStable(reply, found ? &*found : nullptr, state.last_frame);
  if (!monitor_stable) {
    ReleaseHeldInput();
    state.last_frame.jpeg.clear();
  }
  if (FollowControlGrant(reply, state)) ReleaseHeldInput();
  const bool input_live = IsInputLive(reply, monitor_stable, state, clock_->Now());

  // A bad batch must not end the session: it is reported to the server in the next message.
  bool input_failed = false;
  try {
    const JsonArray inputs = reply_object.GetArrayOr(u"inputs", JsonArray::New());
    input_failed = !input_->ApplyInputs(inputs, input_live, reply.selected_monitor);
  } catch (const Cancelled&) {
    throw;
  } catch (...) {
    input_failed = true;
  }
  if (input_failed) {
    state.input_error_pending = true;
    ReleaseHeldInput();
  }
  return TurnFacts{state.support_approved, input_live, input_failed};
}

void SessionWorker::RunFileStep(const JsonObject& reply_object, const SessionReply& reply,
                                NextMessage& next) {
  const FileChoice choice = shared_.TakeFileChoice();
  const bool file_active = reply.file.Active();
  try {
    if (file_active && !reply.command_error.empty()) {
      throw FileTransferError("The server rejected the file command.");
    }
    const JsonObject file_reply = reply_object.GetObjectOr(u"file_reply", JsonObject::New());
    if (std::optional<JsonObject> file_message = file_->FileTransferStep(
            reply.file.object, file_reply, choice.transfer_id, choice.path, stop_event_)) {
      next = NextMessage{std::move(*file_message), false};
    }
  } catch (const Cancelled&) {
    throw;
  } catch (...) {
    // A failed transfer never ends the session: the agent learns it was cancelled and the
    // customer sees the warning.
    file_->ResetTransfer();
    if (file_active) next = NextMessage{MakeFileCancel(reply.file.id), false};
    shared_.SetFileWarning();
  }
}

void SessionWorker::CaptureFrame(JsonObject& message, const SessionReply& reply,
                                 LastFrame& last_frame) {
  if (stop_event_.IsSet()) throw Cancelled{};
  if (!reply.preview_has_frame) last_frame.jpeg.clear();
  PreviewFrame frame = screen_->CapturePreview(reply.selected_monitor);
  if (stop_event_.IsSet()) throw Cancelled{};
  TurnIntoPreviewFrame(message, reply.selected_monitor, reply.monitor_revision, frame,
                       last_frame.jpeg);
  if (frame.jpeg.empty()) {
    last_frame.jpeg.clear();
  } else {
    last_frame.jpeg = std::move(frame.jpeg);
    last_frame.monitor_id = reply.selected_monitor;
    last_frame.revision = reply.monitor_revision;
    last_frame.rect = frame.rect;
  }
}

}  // namespace varnel
