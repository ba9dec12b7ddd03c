#pragma once
// What the status window shows, decided without the window system: every text, caption, enabled
// state and notice of the refresh, of Stop Support and of the customer's entries comes from here,
// so the window code only applies the result in the order the fields are declared.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "build_config.h"
#include "launch/launch_options.h"
#include "session/session_snapshot.h"

namespace varnel {

// Fixed texts of the window. The status texts the worker publishes are in session_snapshot.h.
inline constexpr std::u16string_view kWindowTitle = u"" QUILLORY_PRODUCT_NAME;
inline constexpr std::u16string_view kWindowTitlePrefix = u"" QUILLORY_PRODUCT_NAME " - ";
inline constexpr std::u16string_view kEntryStatusText =
    u"Call your support agent and enter the ticket they provide.";
inline constexpr std::u16string_view kConnectText = u"Connect";
inline constexpr std::u16string_view kConnectingButtonText = u"Connecting...";
inline constexpr std::u16string_view kRetryText = u"Retry connection";
inline constexpr std::u16string_view kAllowSupportText = u"Allow Support";
inline constexpr std::u16string_view kAllowControlText = u"Allow control";
inline constexpr std::u16string_view kTicketRefusedText =
    u"Enter the six-digit ticket from your support agent.";
inline constexpr std::u16string_view kNameRefusedText = u"Enter your name before connecting.";
inline constexpr std::u16string_view kPrepareFailedText =
    u"Unable to prepare the connection. Check your Windows account and retry.";
inline constexpr std::u16string_view kCredentialManagerUnavailableText =
    u"Windows Credential Manager is unavailable.";
inline constexpr std::u16string_view kClosePromptText =
    u"A support request is still in progress. Closing this window will end support.\n\n"
    u"Do you want to end support and close?";
inline constexpr std::u16string_view kClosePromptCaption = u"End remote support?";
// The prompt line and explanation the window starts with (no session yet).
inline constexpr std::u16string_view kIdlePromptText =
    u"One screen snapshot is sent on connection.";
inline constexpr std::u16string_view kIdleExplanationText =
    u"One snapshot is sent on connection. Allow Support enables screen updates, mouse and "
    u"keyboard. File transfers require a separate file selection or save confirmation.";

// The name alone when `name` is empty, else "name (code)".
std::u16string CodeWithName(std::u16string_view code, std::u16string_view name);

// The name the Save dialog proposes for a file the agent sends, made to read as what it is and to
// name a plain file: control characters, '"' and < > : / \ | ? * become '_'; then it is one shown
// line (ShownLine: no direction controls, at most 80 units); trailing dots and blanks go, as
// Windows would drop them unseen; and a device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, with or
// without an extension, in any case) gets a leading '_'.
std::u16string SanitizeSuggestedFileName(std::u16string_view name);

// The details panel: who asks for support, over which server, with which agent and permissions.
// Lines are joined by CR LF, with none at the end.
std::u16string ComposeDetailsText(const LaunchOptions& options, const SessionSnapshot& shown);

// What the entry fields take: the ticket's digits, the customer's name, and for company 2 the
// market and store names the name field shows instead.
inline constexpr std::size_t kTicketLength = 6;
inline constexpr std::size_t kNameMaxLength = 128;
inline constexpr std::size_t kCompanyTwoNameFieldLength = 2048;

// Company 2 without a name to ask for: the name field shows the market and store, read-only.
bool IsCompanyTwoIdentity(const LaunchOptions& options);

// The name field's text: the requester, or for company 2 the market and store names, each as
// one shown line or "Name not provided".
std::u16string CustomerNameFieldText(const LaunchOptions& options);

// Exactly six characters, all ASCII digits (a leading zero is kept: the ticket is text).
bool IsValidTicket(std::u16string_view ticket);

// The typed customer name, with surrounding blanks (space, tab, CR, LF) removed, or nothing when
// it is refused: blank, longer than kNameMaxLength units, only white space, or holding a control
// character. Pass everything the field holds (the window reads one unit more than the limit, so a
// longer name is refused).
std::optional<std::u16string> AcceptCustomerName(std::u16string_view typed);

// The window's own state the refresh depends on.
struct WindowFlags {
  bool entry_mode = true;
  bool end_notice_shown = false;
  bool file_prompt_open = false;
  bool close_prompt_open = false;
  bool started_hidden = false;
  std::u16string last_ended_request_id;
  // The consent id the customer's attention was last called for; none yet in this session.
  std::optional<std::u16string> last_attention_consent_id;
  // Allow is still held greyed after a new prompt appeared (kAllowHoldTime).
  bool allow_held = false;
};

// How long Allow stays greyed when a new consent prompt appears: a click aimed at another window
// a moment before the prompt came up must not approve anything.
inline constexpr std::chrono::milliseconds kAllowHoldTime{500};

enum class EndNoticeFocus { kTicket, kName };

// Everything one refresh does to the window, to be applied top to bottom. Optional fields are set
// only when the control must change; plain fields are the value the control must have now.
// The window stores the new snapshot as `shown` right after applying the entry mode.
struct RefreshPresentation {
  // Status line text, set when the status changed.
  std::optional<std::u16string> status_line;
  // Window title, set when the status or the entry mode changed.
  std::optional<std::u16string> window_title;

  // When `entry_mode_changed`: store `entry_mode`; if also `clear_ticket`, empty the ticket field
  // and the options' `support_ticket`; then re-fit the view (SetDetailsVisible with the current
  // visibility and force).
  bool entry_mode = true;
  bool entry_mode_changed = false;
  bool clear_ticket = false;

  std::u16string connect_text;  // Connect / Retry button

  // Version banner text, set when it changed; then lay the controls out again.
  std::optional<std::u16string> banner_text;

  std::u16string prompt_line;

  // Restore the window, bring it to the front (flash FLASHW_TRAY | FLASHW_TIMERNOFG, 5 times, if
  // that fails) and beep MB_ICONASTERISK. Already false while hidden or a prompt is open. Once
  // per consent id: when set, `attention_consent_id` is the id to remember as
  // `last_attention_consent_id`.
  bool consent_attention = false;
  std::optional<std::u16string> attention_consent_id;

  // Details text, set when anything it shows changed.
  std::optional<std::u16string> details_text;

  bool entry_enabled = false;  // Connect / Retry button, ticket field and name field
  bool allow_enabled = false;
  // A new prompt (id or kind) appeared: hold Allow greyed for kAllowHoldTime from now.
  bool hold_allow = false;
  std::u16string allow_caption;

  std::u16string explanation;

  // When `end_notice`: set `end_notice_shown`; if `end_notice_box`, restore and raise the window
  // and show an information box with `end_notice_text`; then focus `end_notice_focus` and select
  // all of the ticket field.
  bool end_notice = false;
  bool end_notice_box = false;
  std::u16string end_notice_text;
  EndNoticeFocus end_notice_focus = EndNoticeFocus::kTicket;

  // When set: store it as `last_ended_request_id`; if `agent_end_attention`, restore and raise
  // the window (flash as for a consent if raising fails) and beep MB_ICONASTERISK. The id is
  // stored before the end notice's box opens: the box's own message loop runs the refresh again.
  std::optional<std::u16string> last_ended_request_id;
  bool agent_end_attention = false;
};

// One refresh: `shown` is the snapshot presented last, `snap` the one just taken.
RefreshPresentation PresentRefresh(const LaunchOptions& options, const SessionSnapshot& shown,
                                   const SessionSnapshot& snap, const WindowFlags& flags);

// Stop Support: the session keeps nothing the customer granted.
struct StopPresentation {
  SessionSnapshot shown;  // the window's new `shown`: no preview, no control
  std::u16string status_line;
  std::u16string prompt_line;
  std::u16string window_title;
  std::u16string details_text;
};

StopPresentation PresentStop(const LaunchOptions& options, const SessionSnapshot& shown);

// Connect or Retry has started a worker.
struct StartPresentation {
  std::optional<std::u16string> connect_text;  // set in the entry form only
  std::u16string status_line;
  // Outside the entry form the title follows the status line, or it would keep the last
  // session's failure while the new one connects.
  std::optional<std::u16string> window_title;
};

StartPresentation PresentStart(bool entry_mode);

// ---- file dialogs ----

enum class FilePrompt { kNone, kPick, kSave };

// After the customer cancels a file dialog none opens again for this long, whatever the server
// asks, so that Stop Support and Close stay within reach.
inline constexpr std::chrono::milliseconds kFilePromptPauseAfterCancel{3000};

struct FilePromptMemory {
  std::u16string last_prompted_transfer_id;  // each transfer is asked about once
  std::chrono::steady_clock::time_point quiet_until{};
};

// The dialog to open now, if any: only once the customer allowed support and the session is
// active, once per transfer, never while another prompt is open or in the pause after a cancel,
// and only the one the transfer's direction needs (a pick to send to the agent, a save for a
// file from the agent); any other pairing gets none (the engine refuses it).
FilePrompt ChooseFilePrompt(const SessionSnapshot& snap, const FilePromptMemory& memory,
                            const WindowFlags& flags, std::chrono::steady_clock::time_point now);

}  // namespace varnel
