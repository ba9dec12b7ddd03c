#pragma once
// What the status window knows about the running session, and the customer's answers on their way
// back to the session worker. The worker is the only writer of the snapshot; the window polls a
// copy and hands answers in. Both sides go through SessionSharedState, which holds its lock for the
// whole of every operation and never across anything that waits.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "json/json.h"
#include "session/protocol_version.h"
#include "session/session_reply.h"

namespace varnel {

// Status texts the worker publishes itself.
inline constexpr std::u16string_view kConnectingText = u"Connecting to server...";
inline constexpr std::u16string_view kStoppedText = u"Stopped - No remote permissions";
inline constexpr std::u16string_view kConnectionFailedText =
    u"Unable to complete the connection. Check the server configuration and try again.";

struct SessionSnapshot {
  std::u16string status_text{kConnectingText};
  std::u16string staff_id;
  std::u16string request_id;
  std::u16string consent_id;  // the id the open prompt answers: the control id or the consent id
  std::u16string server_version;
  std::u16string version_warning;
  std::u16string command_warning;
  std::u16string end_reason;
  std::u16string store;
  std::int32_t ixcompany = 0;
  std::u16string file_transfer_id;
  std::u16string file_direction;
  std::u16string file_name;
  std::u16string file_state;
  std::u16string file_warning;
  bool consent_required = false;  // a prompt is open: control request if the next flag is set
  bool finished = false;          // final: nothing changes any more
  bool preview_active = false;
  bool control_request_pending = false;
  bool control_active = false;
  // The customer allowed support and the session is active: only now may a file dialog open.
  bool files_allowed = false;

  friend bool operator==(const SessionSnapshot&, const SessionSnapshot&) = default;
};

// Which of the two consent prompts the customer was shown and answered.
enum class ConsentKind { kSupport, kControl };

// The prompt a snapshot asks with while its `consent_required` is set.
inline ConsentKind PromptedConsentKind(const SessionSnapshot& snap) {
  return snap.control_request_pending ? ConsentKind::kControl : ConsentKind::kSupport;
}

// What the worker decided in a turn, beside the reply itself.
struct TurnFacts {
  bool support_approved = false;  // the customer's last answer to the support consent
  bool input_live = false;        // remote input ran under every condition this turn
  bool input_failed = false;      // this turn's input batch failed
};

// A consent answer the customer gave and the worker has yet to send.
struct ConsentAnswer {
  std::u16string consent_id;
  bool approved = false;
  bool is_control = false;  // answers a remote-control request ("control_consent")

  friend bool operator==(const ConsentAnswer&, const ConsentAnswer&) = default;
};

// The customer's file choice for a waiting transfer; an empty path means the dialog was cancelled.
struct FileChoice {
  std::u16string transfer_id;
  std::u16string path;

  friend bool operator==(const FileChoice&, const FileChoice&) = default;
};

class SessionSharedState {
 public:
  SessionSharedState() = default;
  SessionSharedState(const SessionSharedState&) = delete;
  SessionSharedState& operator=(const SessionSharedState&) = delete;

  // ---- Status window (UI thread) ----

  SessionSnapshot Snapshot() const;

  // Accepted only while a prompt of this kind is open for exactly this id and no earlier answer
  // waits to be sent; the prompt closes at once. The kind is the one the customer saw, so a
  // server that turns a support request into a control request under the same id (or back)
  // gets no answer to what it did not ask. Returns whether it was accepted.
  bool SubmitConsent(bool approved, std::u16string_view consent_id, ConsentKind kind);

  // Accepted only for the current transfer while it waits for the customer's file ("awaiting_pick"
  // or "awaiting_save") and files are allowed; a choice not yet taken is replaced. Returns
  // whether it was accepted.
  bool SubmitFileChoice(std::u16string_view transfer_id, std::u16string path);

  // ---- Session worker ----

  // Sets the status line. With `finished` the session is over: the prompt closes, the preview
  // stops, and from then on nothing in the snapshot changes.
  void Publish(std::u16string_view text, bool finished);

  void SetServerVersion(const ServerVersionCheck& version);

  // The per-turn update from a server reply. Raises JsonError when the reply has no "session"
  // object or a field of the wrong type, and NetworkError "Unsupported server session state." for
  // an unknown state; either way nothing has changed.
  void UpdateFromReply(const JsonObject& reply, const TurnFacts& facts);
  // The same from a reply already read; only the unknown state can raise here.
  void UpdateFromReply(const SessionReply& reply, const TurnFacts& facts);

  // The customer's consent answer, if one waits; it is handed over once.
  std::optional<ConsentAnswer> TakeConsentAnswer();

  // The customer's file choice, handed over once; both texts empty when there is none.
  FileChoice TakeFileChoice();

  // After a failed file command; the warning stays for the rest of the session.
  void SetFileWarning();

 private:
  mutable std::mutex state_lock;
  SessionSnapshot snapshot;
  // An answer with an empty consent id is still an answer, so presence is a flag of its own.
  bool consent_answer_waiting = false;
  std::u16string pending_consent_id;
  bool pending_consent_approved = false;
  bool pending_consent_is_control = false;
  std::u16string pending_file_transfer_id;
  std::u16string pending_file_path;
};

}  // namespace varnel
