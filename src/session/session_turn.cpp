// One worker turn's decisions, free of threads and platform so that tests can table them.
#include "session/session_turn.h"

#include <utility>

#include "session/wire_messages.h"

namespace varnel {

bool IsMonitorStable(const SessionReply& reply, const MonitorInfo* found,
                     const LastFrame& last_frame) {
  if (!reply.multi_monitor) return true;
  return found != nullptr && reply.selected_monitor == last_frame.monitor_id &&
         reply.monitor_revision == last_frame.revision && found->rect == last_frame.rect;
}

bool FollowControlGrant(const SessionReply& reply, TurnState& state) {
  if (!reply.control_allowed) {
    state.approved_generation.clear();
    state.input_approved = false;
    return true;
  }
  if (state.input_approved && state.approved_generation.empty()) {
    state.approved_generation = reply.control_generation;
  }
  return false;
}

bool IsInputLive(const SessionReply& reply, bool monitor_stable, const TurnState& state,
                 TurnClock::time_point now) {
  return monitor_stable && !reply.file.Active() && state.input_approved && reply.control_allowed &&
         !reply.control_paused && reply.preview_requested && reply.state == SessionState::kActive &&
         !reply.control_generation.empty() &&
         reply.control_generation == state.approved_generation &&
         now - state.previous_turn_time < kInputReplyLimit;
}

NextMessage ChooseMessage(std::optional<ConsentAnswer> answer, TurnState& state) {
  NextMessage next;
  if (answer) {
    state.input_approved = answer->approved;
    if (answer->is_control) {
      next.message = BuildControlConsentMessage(std::move(answer->consent_id), answer->approved);
    } else {
      state.support_approved = answer->approved;
      next.message = BuildConsentMessage(std::move(answer->consent_id), answer->approved);
    }
  } else {
    next.message = BuildStatusMessage(false);
    next.plain_status = true;
  }
  if (state.input_error_pending) {
    next.message = BuildStatusMessage(true);
    next.plain_status = false;
    state.input_error_pending = false;
  }
  return next;
}

bool IsPreviewDue(bool plain_status, const SessionReply& reply, const TurnState& state,
                  TurnClock::time_point now) {
  return plain_status && state.support_approved && reply.state == SessionState::kActive &&
         reply.preview_requested && now >= state.next_preview_at;
}

}  // namespace varnel
