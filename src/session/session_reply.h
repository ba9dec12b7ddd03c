#pragma once
// One server reply as the session reads it: everything the worker's turn and the snapshot update
// look at, read once, before anything changes. A field of the wrong type refuses the whole reply
// (JsonError) at the read, so no half-read reply ever steers the session.
#include <string>
#include <string_view>

#include "json/json.h"

namespace varnel {

enum class SessionState {
  kWaiting,
  kAwaitingConsent,
  kActive,
  kDenied,
  kExpired,
  kEnded,
  // Any other text. Kept, not refused, so that the turn runs up to the snapshot update, which
  // ends the session with "Unsupported server session state.".
  kUnsupported,
};

// The state a text names, kUnsupported for anything else (compared exactly).
SessionState ParseSessionState(std::u16string_view text);

bool IsFinalState(SessionState state);

// The session's "file" object.
struct FileStatus {
  JsonObject object;  // as received (an empty object when absent), for the transfer engine
  std::u16string id;
  std::u16string direction;
  std::u16string name;
  std::u16string state;

  // A transfer the server still runs: one with an id, in none of the states that have nothing
  // more to say, so a failed command can belong to it.
  bool Active() const;
};

struct SessionReply {
  SessionState state = SessionState::kUnsupported;
  std::u16string request_id;
  std::u16string staff_id;
  std::u16string store;
  double ixcompany = 0;
  std::u16string consent_id;
  std::u16string end_reason;
  // What the agent's viewer does.
  bool screen_preview = false;
  bool preview_requested = false;
  bool preview_has_frame = false;
  bool viewer_connected = false;
  // The monitor selection; an empty id means the primary monitor.
  bool multi_monitor = false;
  std::u16string selected_monitor;
  double monitor_revision = 0;
  // The control grant.
  std::u16string control_id;
  bool control_allowed = false;
  bool control_paused = false;
  std::u16string control_generation;
  FileStatus file;
  // Top level: the server could not process the client's last command.
  std::u16string command_error;
};

// Reads the reply's required "session" object and the fields above. Raises JsonError when the
// session is missing or a field has another type; never raises for an unknown state.
SessionReply ReadSessionReply(const JsonObject& reply);

}  // namespace varnel
