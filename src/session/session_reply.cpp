// A server reply read once, completely, before anything acts on it.
#include "session/session_reply.h"

#include <array>
#include <utility>

#include "net/wire_words.h"
#include "transfer/transfer_state.h"

namespace varnel {
namespace {

constexpr std::array<std::pair<std::u16string_view, SessionState>, 6> kStates = {{
    {wire::kWaiting, SessionState::kWaiting},
    {wire::kAwaitingConsent, SessionState::kAwaitingConsent},
    {wire::kActive, SessionState::kActive},
    {wire::kDenied, SessionState::kDenied},
    {wire::kExpired, SessionState::kExpired},
    {wire::kEnded, SessionState::kEnded},
}};

}  // namespace

SessionState ParseSessionState(std::u16string_view text) {
  for (const auto& [name, state] : kStates) {
    if (name == text) return state;
  }
  return SessionState::kUnsupported;
}

bool IsFinalState(SessionState state) {
  return state == SessionState::kEnded || state == SessionState::kExpired ||
         state == SessionState::kDenied;
}

bool FileStatus::Active() const {
  return !id.empty() && !IsTransferOver(ParseTransferState(state));
}

SessionReply ReadSessionReply(const JsonObject& reply) {
  const JsonObject session = reply.GetObject(wire::kSession);
  SessionReply read;
  read.state = ParseSessionState(session.GetStringOrEmpty(wire::kState));
  read.request_id = session.GetStringOrEmpty(wire::kId);
  read.staff_id = session.GetStringOrEmpty(u"staff_id");
  read.store = session.GetStringOrEmpty(u"store");
  read.ixcompany = session.GetNumberOr(wire::kIxcompany, 0);
  read.consent_id = session.GetStringOrEmpty(wire::kConsentId);
  read.end_reason = session.GetStringOrEmpty(u"end_reason");
  read.screen_preview = session.GetBooleanOr(wire::kScreenPreview, false);
  read.preview_requested = session.GetBooleanOr(u"preview_requested", false);
  read.preview_has_frame = session.GetBooleanOr(u"preview_has_frame", false);
  read.viewer_connected = session.GetBooleanOr(u"viewer_connected", false);
  read.multi_monitor = session.GetBooleanOr(wire::kMultiMonitor, false);
  read.selected_monitor = session.GetStringOrEmpty(u"selected_monitor");
  read.monitor_revision = session.GetNumberOr(wire::kMonitorRevision, 0);
  read.control_id = session.GetStringOrEmpty(u"control_id");
  read.control_allowed = session.GetBooleanOr(u"control_allowed", false);
  read.control_paused = session.GetBooleanOr(u"control_paused", false);
  read.control_generation = session.GetStringOrEmpty(u"control_generation");
  read.file.object = session.GetObjectOr(u"file", JsonObject::New());
  read.file.id = read.file.object.GetStringOrEmpty(wire::kId);
  read.file.direction = read.file.object.GetStringOrEmpty(u"direction");
  read.file.name = read.file.object.GetStringOrEmpty(u"name");
  read.file.state = read.file.object.GetStringOrEmpty(wire::kState);
  read.command_error = reply.GetStringOrEmpty(u"command_error");
  return read;
}

}  // namespace varnel
