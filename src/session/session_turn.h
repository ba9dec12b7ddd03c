#pragma once
// The decisions of one worker turn, each a function of the reply and of what earlier turns left
// behind, so that a reader finds each rule in one place and a test can call it. The worker
// (session_worker.cpp) runs them in the turn's order and does what needs its parts: the
// connection, the screen, the injector and the file engine.
#include <chrono>
#include <optional>
#include <string>

#include "json/json.h"
#include "session/session_reply.h"
#include "session/session_snapshot.h"
#include "util/monitor_info.h"

namespace varnel {

using TurnClock = std::chrono::steady_clock;

inline constexpr std::chrono::milliseconds kTurnPause{100};
inline constexpr std::chrono::milliseconds kPreviewInterval{500};
inline constexpr std::chrono::milliseconds kInputReplyLimit{750};

// The last preview picture sent and what it showed: the base of the "unchanged" test, and of the
// rule that input waits until the agent has seen the monitor it steers.
struct LastFrame {
  std::u16string jpeg;  // empty: the next frame goes out whole
  // The selection the frame answered ("selected_monitor", empty = primary), so that it compares
  // with the next reply's selection in the same terms.
  std::u16string monitor_id;
  double revision = -1.0;
  ScreenRect rect;
};

// What one turn hands to the next; nothing else survives a turn.
struct TurnState {
  bool support_approved = false;       // the customer's last answer to the support consent
  bool input_approved = false;         // either consent answer; cleared by every withdrawn grant
  std::u16string approved_generation;  // the grant the customer's approval belongs to
  bool input_error_pending = false;    // the next message reports a failed input batch
  LastFrame last_frame;
  TurnClock::time_point previous_turn_time{};  // just before the previous message was sent
  TurnClock::time_point next_preview_at{};     // no frame before this
};

// With several monitors the agent must have seen the monitor it steers: the selection must still
// exist (`found`, null when it does not), and the last frame must show that selection at its
// revision and on its place on the desktop. With one monitor there is nothing to mistake.
bool IsMonitorStable(const SessionReply& reply, const MonitorInfo* found,
                     const LastFrame& last_frame);

// Follows the server's control grant: a withdrawn grant ends the customer's approval with it
// (returns true: held input must be released), and the first granted turn after an approval
// records the generation the approval belongs to.
bool FollowControlGrant(const SessionReply& reply, TurnState& state);

// Whether the agent's input of this reply may run: the agent sees the monitor it steers, no file
// transfer runs, the customer approved this very grant, the viewer watches unpaused in an active
// session, and the server answered within kInputReplyLimit of the previous message.
bool IsInputLive(const SessionReply& reply, bool monitor_stable, const TurnState& state,
                 TurnClock::time_point now);

// The next message before the file step: the customer's waiting consent answer (which also sets
// the approvals it carries) or a plain status; a failed input batch replaces either, so the
// server keeps asking and the prompt comes again. `plain_status` tells whether the file step and
// a preview may still take the message's place.
struct NextMessage {
  JsonObject message;
  bool plain_status = false;
};
NextMessage ChooseMessage(std::optional<ConsentAnswer> answer, TurnState& state);

// A frame is due only in place of a plain status, after the customer approved support, while the
// session is active, the viewer asks for pictures and the spacing since the last frame has passed.
bool IsPreviewDue(bool plain_status, const SessionReply& reply, const TurnState& state,
                  TurnClock::time_point now);

}  // namespace varnel
