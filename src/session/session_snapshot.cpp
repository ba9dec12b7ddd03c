// The snapshot updated from a completely read reply, and the customer's answers taken in.
#include "session/session_snapshot.h"

#include <cmath>
#include <limits>
#include <utility>

#include "net/network_error.h"
#include "transfer/file_transfer.h"
#include "transfer/transfer_state.h"

namespace varnel {
namespace {

constexpr std::u16string_view kCommandWarning =
    u"A command could not be processed. Update the server/client if needed. Support remains "
    u"connected.";
constexpr std::u16string_view kUnsupportedState = u"Unsupported server session state.";

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

std::u16string_view BaseStatusText(const SessionReply& reply, bool preview_active) {
  switch (reply.state) {
    case SessionState::kWaiting:
      return u"Connected - Waiting for support agent";
    case SessionState::kAwaitingConsent:
      return u"Support agent assigned - Your approval is required";
    case SessionState::kActive:
      if (!preview_active) return u"Support approved - Screen preview needs a server update";
      return reply.preview_requested ? u"Screen preview active - View only"
                                     : u"Screen preview allowed - Waiting for agent viewer";
    case SessionState::kDenied:
      return u"Support request declined";
    case SessionState::kExpired:
      return u"Support request expired";
    case SessionState::kEnded:
    case SessionState::kUnsupported:
      break;
  }
  return reply.end_reason == u"staff_end"
             ? u"The support agent ended this session. Remote access has stopped."
             : u"Support session ended";
}

std::u16string_view StatusText(const SessionReply& reply, const SessionSnapshot& snapshot,
                               const TurnFacts& facts) {
  if (snapshot.control_request_pending) {
    return u"Remote control requested - Your approval is required";
  }
  if (snapshot.control_active) return u"Remote control active - Use Stop Support to stop";
  if (reply.state == SessionState::kActive && facts.support_approved) {
    if (!reply.viewer_connected) return u"Agent viewer disconnected - Waiting for reconnection";
    if (reply.control_paused) return u"Agent viewer paused - Support remains connected";
    if (!reply.preview_requested) return u"Agent viewer not responding - Input paused";
  }
  return BaseStatusText(reply, snapshot.preview_active);
}

}  // namespace

SessionSnapshot SessionSharedState::Snapshot() const {
  std::lock_guard<std::mutex> lock(state_lock);
  return snapshot;
}

bool SessionSharedState::SubmitConsent(bool approved, std::u16string_view consent_id,
                                       ConsentKind kind) {
  std::lock_guard<std::mutex> lock(state_lock);
  if (!snapshot.consent_required || consent_id != snapshot.consent_id ||
      kind != PromptedConsentKind(snapshot) || consent_answer_waiting) {
    return false;
  }
  consent_answer_waiting = true;
  pending_consent_id = consent_id;
  pending_consent_approved = approved;
  pending_consent_is_control = kind == ConsentKind::kControl;
  snapshot.consent_required = false;
  return true;
}

bool SessionSharedState::SubmitFileChoice(std::u16string_view transfer_id, std::u16string path) {
  std::lock_guard<std::mutex> lock(state_lock);
  const bool waiting_for_customer = AwaitsCustomerFile(ParseTransferState(snapshot.file_state));
  if (transfer_id != snapshot.file_transfer_id || !waiting_for_customer ||
      !snapshot.files_allowed) {
    return false;
  }
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
    snapshot.files_allowed = false;
  }
}

void SessionSharedState::SetServerVersion(const ServerVersionCheck& version) {
  std::lock_guard<std::mutex> lock(state_lock);
  if (snapshot.finished) return;
  snapshot.server_version = version.shown;
  if (!version.warning.empty()) snapshot.version_warning = version.warning;
}

void SessionSharedState::UpdateFromReply(const JsonObject& reply, const TurnFacts& facts) {
  UpdateFromReply(ReadSessionReply(reply), facts);
}

void SessionSharedState::UpdateFromReply(const SessionReply& reply, const TurnFacts& facts) {
  if (reply.state == SessionState::kUnsupported) {
    throw NetworkError(std::u16string(kUnsupportedState));
  }
  const bool active = reply.state == SessionState::kActive;
  std::lock_guard<std::mutex> lock(state_lock);
  if (snapshot.finished) return;
  SessionSnapshot& s = snapshot;
  s.file_transfer_id = reply.file.id;
  s.file_direction = reply.file.direction;
  s.file_name = reply.file.name;
  s.file_state = reply.file.state;
  s.request_id = reply.request_id;
  s.staff_id = reply.staff_id;
  s.store = reply.store;
  s.ixcompany = TruncateToInt32(reply.ixcompany);
  s.control_request_pending = active && !reply.control_id.empty();
  s.control_active = facts.input_live;
  s.consent_id = s.control_request_pending ? reply.control_id : reply.consent_id;
  // While an answer waits to be sent the server has not seen it yet and still asks; opening the
  // prompt again would ask the customer twice for one decision.
  s.consent_required =
      (reply.state == SessionState::kAwaitingConsent || s.control_request_pending) &&
      !consent_answer_waiting;
  if (!reply.command_error.empty() || facts.input_failed) s.command_warning = kCommandWarning;
  s.finished = IsFinalState(reply.state);
  s.end_reason = reply.end_reason;
  s.preview_active = facts.support_approved && active && reply.screen_preview;
  s.files_allowed = facts.support_approved && active;
  s.status_text = StatusText(reply, s, facts);
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
  snapshot.file_warning = u"File transfer failed or was cancelled. Files must be " +
                          std::u16string(kLargestFileText) +
                          u" or smaller. For uploads, choose a new filename. Support remains "
                          u"connected.";
}

}  // namespace varnel
