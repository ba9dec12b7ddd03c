#pragma once
// One support session, from the customer's Connect to its end, on a thread of its own. The worker
// talks to the server in turns of one message and one reply, follows the state the server reports,
// and lets remote input run only while the customer's consent and the server's grant both hold.
// The status window polls Snapshot() and hands the customer's answers back; it never waits for the
// worker except in Stop().
//
// The worker includes no platform header: the connection, the screen, the input injector, the file
// transfer engine, the clock and the thread set-up are handed in, so tests pass fakes.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "input/input_injector.h"
#include "launch/launch_options.h"
#include "net/connection.h"
#include "screen/screen.h"
#include "session/device_credentials.h"
#include "session/session_reply.h"
#include "session/session_snapshot.h"
#include "session/session_turn.h"
#include "transfer/file_transfer.h"
#include "util/stop_event.h"

namespace varnel {

// The worker's time: the 500 ms preview spacing, the 750 ms input rule and the pause between
// turns. Injectable so that those rules can be tested exactly.
class SessionClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~SessionClock() = default;
  virtual TimePoint Now() = 0;
  // The pause between two turns: returns true as soon as `stop_event` is set, false after `pause`.
  virtual bool Pause(const StopEvent& stop_event, std::chrono::milliseconds pause) = 0;
};

// std::chrono::steady_clock, pausing on the stop event itself.
std::shared_ptr<SessionClock> MakeSteadySessionClock();

// What a worker is built from besides the launch options and the device identity.
struct SessionWorkerParts {
  ConnectionFactory connect;
  std::unique_ptr<Screen> screen;
  // Built (and its watchdog started) by the caller; owned by the worker until Stop.
  std::unique_ptr<InputInjector> input;
  std::unique_ptr<FileTransfer> file;
  // Empty: MakeSteadySessionClock().
  std::shared_ptr<SessionClock> clock;
  // Platform set-up of the worker thread (COM on Windows), run first on that thread; a failure
  // ends the session with the generic connection sentence. `thread_leave` undoes it as the last
  // thing the thread does, and only when `thread_enter` succeeded. Either may be empty.
  std::function<void()> thread_enter;
  std::function<void()> thread_leave;
};

class SessionWorker {
 public:
  // Copies the options and credentials; does not start the thread. Throws std::invalid_argument
  // when a part is missing, and whatever StopEvent's constructor raises.
  SessionWorker(LaunchOptions options, DeviceCredentials credentials, SessionWorkerParts parts);
  // Stop(), unless that already ran. Must not run on the worker's own thread.
  ~SessionWorker();
  SessionWorker(const SessionWorker&) = delete;
  SessionWorker& operator=(const SessionWorker&) = delete;

  // Starts the session thread. A thread that cannot be started raises std::system_error
  // (resource_unavailable_try_again); a worker runs once, so a second Start raises
  // std::logic_error.
  void Start();

  // Asks the session to end and releases held input at once; does not wait.
  void RequestStop() noexcept;

  // RequestStop, joins the thread, then resets the file transfer (deleting its temporary file)
  // and destroys the input injector (ending its watchdog). Called on the worker's own thread it
  // raises std::system_error (resource_deadlock_would_occur). The snapshot stays readable.
  void Stop();

  // ---- for the status window: the shared state of session_snapshot.h ----
  SessionSnapshot Snapshot() const { return shared_.Snapshot(); }
  bool SubmitConsent(bool approved, std::u16string_view consent_id, ConsentKind kind) {
    return shared_.SubmitConsent(approved, consent_id, kind);
  }
  bool SubmitFileChoice(std::u16string_view transfer_id, std::u16string path) {
    return shared_.SubmitFileChoice(transfer_id, std::move(path));
  }

 private:
  void ThreadBody() noexcept;
  void RunSession(Connection& connection);
  void RunTurns(Connection& connection, JsonObject reply_object, SessionReply reply);
  // Part A of a turn after the reply was read: the monitor, the control grant and the input batch.
  // Returns whether input was live; a failed batch is left in `state` for the next message.
  TurnFacts ApplyReply(const JsonObject& reply_object, const SessionReply& reply, TurnState& state);
  // The file step of a plain status turn: may replace `next` with a file message.
  void RunFileStep(const JsonObject& reply_object, const SessionReply& reply, NextMessage& next);
  // Turns `message` into a frame of the selected monitor and remembers what it showed.
  void CaptureFrame(JsonObject& message, const SessionReply& reply, LastFrame& last_frame);
  void ReleaseHeldInput();

  const LaunchOptions options_;
  const DeviceCredentials credentials_;
  ConnectionFactory connect_;
  std::unique_ptr<Screen> screen_;
  std::unique_ptr<InputInjector> input_;
  std::unique_ptr<FileTransfer> file_;
  std::shared_ptr<SessionClock> clock_;
  std::function<void()> thread_enter_;
  std::function<void()> thread_leave_;
  StopEvent stop_event_;
  SessionSharedState shared_;
  std::thread thread_;
  std::atomic<std::thread::id> worker_thread_id_{};
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace varnel
