#include "session/session_snapshot.h"

#include <cmath>
#include <limits>
#include <utility>

#include "net/network_error.h"

namespace varnel {
namespace {

constexpr std::u16string_view kCommandWarning =
    u"A command could not be processed. Update the server/client if needed. Support remains "
    u"connected.";
constexpr std::u16string_view kFileWarning =
    u"File transfer failed or was cancelled. Files must be 200 MB or smaller. For uploads, choose "
    u"a "
    u"new filename. Support remains connected.";
constexpr std::u16string_view kUnsupportedState = u"Unsupported server session state.";

constexpr std::u16string_view kWaiting = u"waiting";
constexpr std::u16string_view kAwaitingConsent = u"awaiting_consent";
constexpr std::u16string_view kActive = u"active";
constexpr std::u16string_view kDenied = u"denied";
constexpr std::u16string_view kExpired = u"expired";
constexpr std::u16string_view kEnded = u"ended";

// Everything one turn's update needs, read from the reply before anything changes, so that a
// malformed reply leaves the snapshot as it was.
struct ReplyFields {
  std::u16string state;
  std::u16string request_id;
  std::u16string staff_id;
  std::u16string store;
  double ixcompany = 0;
  std::u16string consent_id;
  std::u16string control_id;
  std::u16string end_reason;
  bool screen_preview = false;
  bool preview_requested = false;
  bool viewer_connected = false;
  bool control_paused = false;
  std::u16string file_id;
  std::u16string file_direction;
  std::u16string file_name;
  std::u16string file_state;
  std::u16string command_error;
};

ReplyFields ReadReply(const JsonObject& reply) {
  const JsonObject session = reply.GetObject(u"session");
  ReplyFields fields;
  fields.state = session.GetStringOrEmpty(u"state");
  const bool known = fields.state == kWaiting || fields.state == kAwaitingConsent ||
                     fields.state == kActive || fields.state == kDenied ||
                     fields.state == kExpired || fields.state == kEnded;
  if (!known) throw NetworkError(std::u16string(kUnsupportedState));
  fields.request_id = session.GetStringOrEmpty(u"id");
  fields.staff_id = session.GetStringOrEmpty(u"staff_id");
  fields.store = session.GetStringOrEmpty(u"store");
  fields.ixcompany = session.GetNumberOr(u"ixcompany", 0);
  fields.consent_id = session.GetStringOrEmpty(u"consent_id");
  fields.control_id = session.GetStringOrEmpty(u"control_id");
  fields.end_reason = session.GetStringOrEmpty(u"end_reason");
  fields.screen_preview = session.GetBooleanOr(u"screen_preview", false);
  fields.preview_requested = session.GetBooleanOr(u"preview_requested", false);
  fields.viewer_connected = session.GetBooleanOr(u"viewer_connected", false);
  fields.control_paused = session.GetBooleanOr(u"control_paused", false);
  const JsonObject file = session.GetObjectOr(u"file", JsonObject::New());
  fields.file_id = file.GetStringOrEmpty(u"id");
  fields.file_direction = file.GetStringOrEmpty(u"direction");
  fields.file_name = file.GetStringOrEmpty(u"name");
  fields.file_state = file.GetStringOrEmpty(u"state");
  fields.command_error = reply.GetStringOrEmpty(u"command_error");
  return fields;
}

// Towards zero; a company number beyond the 32-bit range saturates instead of being undefined.
std::int32_t TruncateToInt32(double number) {
  const double whole = std::trunc(number);
  if (whole <= std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  if (whole >= std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(whole);
}

std::u16string_view BaseStatusText(const ReplyFields& fields, bool preview_active) {
  if (fields.state == kWaiting) return u"Connected - Waiting for support agent";
  if (fields.state == kAwaitingConsent)
    return u"Support agent assigned - Your approval is required";
  if (fields.state == kActive) {
    if (!preview_active) return u"Support approved - Screen preview needs a server update";
    return fields.preview_requested ? u"Screen preview active - View only"
                                    : u"Screen preview allowed - Waiting for agent viewer";
  }
  if (fields.state == kDenied) return u"Support request declined";
  if (fields.state == kExpired) return u"Support request expired";
  return fields.end_reason == u"staff_end"
             ? u"The support agent ended this session. Remote access has stopped."
             : u"Support session ended";
}

std::u16string_view StatusText(const ReplyFields& fields, const SessionSnapshot& snapshot,
                               const TurnFacts& facts) {
  if (snapshot.control_request_pending) {
    return u"Remote control requested - Your approval is required";
  }
  if (snapshot.control_active) return u"Remote control active - Use Stop Support to stop";
  if (fields.state == kActive && facts.support_approved) {
    if (!fields.viewer_connected) return u"Agent viewer disconnected - Waiting for reconnection";
    if (fields.control_paused) return u"Agent viewer paused - Support remains connected";
    if (!fields.preview_requested) return u"Agent viewer not responding - Input paused";
  }
  return BaseStatusText(fields, snapshot.preview_active);
}

}  // namespace

SessionSnapshot SessionSharedState::Snapshot() const {
  std::lock_guard<std::mutex> lock(state_lock);
  return snapshot;
}

bool SessionSharedState::SubmitConsent(bool approved, std::u16string_view consent_id) {
  std::lock_guard<std::mutex> lock(state_lock);
  if (!snapshot.consent_required || consent_id != snapshot.consent_id || consent_answer_waiting) {
    return false;
  }
  consent_answer_waiting = true;
  pending_consent_id = consent_id;
  pending_consent_approved = approved;
  pending_consent_is_control = snapshot.control_request_pending;
  snapshot.consent_required = false;
  return true;
}

bool SessionSharedState::SubmitFileChoice(std::u16string_view transfer_id, std::u16string path) {
  std::lock_guard<std::mutex> lock(state_lock);
  const bool waiting_for_customer =
      snapshot.file_state == u"awaiting_pick" || snapshot.file_state == u"awaiting_save";
  if (transfer_id != snapshot.file_transfer_id || !waiting_for_customer) return false;
  pending_file_transfer_id = transfer_id;
  pending_file_path = std::move(path);
  return true;
}

void SessionSharedState::Publish(std::u16string_view text, bool finished) {
  std::lock_guard<std::mutex> lock(state_lock);
  if (snapshot.finished) return;
  snapshot.status_text = text;
  snapshot.finished = finished;
  if (finished) {
    snapshot.consent_required = false;
    snapshot.preview_active = false;
  }
}

void SessionSharedState::SetServerVersion(const ServerVersionCheck& version) {
  std::lock_guard<std::mutex> lock(state_lock);
  if (snapshot.finished) return;
  snapshot.server_version = version.shown;
  if (!version.warning.empty()) snapshot.version_warning = version.warning;
}

void SessionSharedState::UpdateFromReply(const JsonObject& reply, const TurnFacts& facts) {
  const ReplyFields fields = ReadReply(reply);
  std::lock_guard<std::mutex> lock(state_lock);
  if (snapshot.finished) return;
  SessionSnapshot& s = snapshot;
  s.file_transfer_id = fields.file_id;
  s.file_direction = fields.file_direction;
  s.file_name = fields.file_name;
  s.file_state = fields.file_state;
  s.request_id = fields.request_id;
  s.staff_id = fields.staff_id;
  s.store = fields.store;
  s.ixcompany = TruncateToInt32(fields.ixcompany);
  s.control_request_pending = fields.state == kActive && !fields.control_id.empty();
  s.control_active = facts.input_live;
  s.consent_id = s.control_request_pending ? fields.control_id : fields.consent_id;
  // While an answer waits to be sent the server has not seen it yet and still asks; opening the
  // prompt again would ask the customer twice for one decision.
  s.consent_required =
      (fields.state == kAwaitingConsent || s.control_request_pending) && !consent_answer_waiting;
  if (!fields.command_error.empty() || facts.input_failed) s.command_warning = kCommandWarning;
  s.finished = fields.state == kEnded || fields.state == kExpired || fields.state == kDenied;
  s.end_reason = fields.end_reason;
  s.preview_active = facts.support_approved && fields.state == kActive && fields.screen_preview;
  s.status_text = StatusText(fields, s, facts);
}

std::optional<ConsentAnswer> SessionSharedState::TakeConsentAnswer() {
  std::lock_guard<std::mutex> lock(state_lock);
  if (!consent_answer_waiting) return std::nullopt;
  consent_answer_waiting = false;
  return ConsentAnswer{std::exchange(pending_consent_id, {}), pending_consent_approved,
                       pending_consent_is_control};
}

FileChoice SessionSharedState::TakeFileChoice() {
  std::lock_guard<std::mutex> lock(state_lock);
  return FileChoice{std::exchange(pending_file_transfer_id, {}),
                    std::exchange(pending_file_path, {})};
}

void SessionSharedState::SetFileWarning() {
  std::lock_guard<std::mutex> lock(state_lock);
  if (snapshot.finished) return;
  snapshot.file_warning = kFileWarning;
}

}  // namespace varnel
