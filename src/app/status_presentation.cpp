#include "app/status_presentation.h"

#include <algorithm>
#include <string>

#include "build_config.h"
#include "net/wire_words.h"
#include "session/protocol_version.h"
#include "transfer/transfer_state.h"
#include "util/shown_text.h"
#include "util/utf.h"
#include "util/wide_space.h"

namespace varnel {
namespace {

constexpr std::u16string_view kAgentEndedReason = u"staff_end";

// The blanks the name field's text is trimmed of; anything else at its ends is kept.
bool IsTrimmedBlank(char16_t unit) {
  return unit == u' ' || unit == u'\t' || unit == u'\r' || unit == u'\n';
}

std::u16string Decimal(std::int32_t value) { return AsciiToUtf16(std::to_string(value)); }

// A finished session grants nothing any more, whatever its last turn said about control; the
// texts must not offer or report control the worker no longer runs.
SessionSnapshot Presented(SessionSnapshot snap) {
  if (snap.finished) {
    snap.control_active = false;
    snap.control_request_pending = false;
  }
  return snap;
}

bool BannerChanged(const SessionSnapshot& a, const SessionSnapshot& b) {
  return a.version_warning != b.version_warning || a.server_version != b.server_version ||
         a.command_warning != b.command_warning;
}

// Everything the details text shows from the snapshot, the store and company included: they
// replace the launch values once the request exists.
bool DetailsChanged(const SessionSnapshot& a, const SessionSnapshot& b) {
  return BannerChanged(a, b) || a.file_state != b.file_state || a.file_warning != b.file_warning ||
         a.staff_id != b.staff_id || a.request_id != b.request_id || a.store != b.store ||
         a.ixcompany != b.ixcompany || a.preview_active != b.preview_active ||
         a.control_active != b.control_active;
}

char16_t AsciiUpper(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 0x20) : unit;
}

// Windows opens the device whatever follows the first dot, and ignores blanks before it.
bool IsDeviceName(std::u16string_view name) {
  std::u16string base(name.substr(0, name.find(u'.')));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (char16_t& unit : base) unit = AsciiUpper(unit);
  for (const std::u16string_view device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (base == device) return true;
  }
  // COM and LPT with one digit; the superscript digits count as digits to the system.
  return base.size() == 4 && (base.starts_with(u"COM") || base.starts_with(u"LPT")) &&
         ((base[3] >= u'0' && base[3] <= u'9') || base[3] == u'\u00B9' || base[3] == u'\u00B2' ||
          base[3] == u'\u00B3');
}

std::u16string PromptLine(const SessionSnapshot& snap) {
  if (snap.consent_required && snap.control_request_pending) {
    return u"Allow your support agent to use your mouse and keyboard?";
  }
  if (snap.consent_required) {
    return u"Allow your support agent to view your screen and use your mouse and keyboard?";
  }
  if (!snap.version_warning.empty()) return u"Version mismatch - Open details for warning.";
  if (snap.control_active) return u"Screen, mouse and keyboard access is enabled.";
  if (snap.preview_active) return u"Screen sharing is enabled.";
  return std::u16string(kIdlePromptText);
}

std::u16string Explanation(const SessionSnapshot& snap, bool agent_ended) {
  if (agent_ended) {
    return u"The support agent ended this session. Screen sharing and remote control have "
           u"stopped. You can close this window or ask your agent for a new ticket.";
  }
  if (snap.control_request_pending) {
    return u"Allow the assigned agent to use your mouse and keyboard? Stop Support ends access "
           u"immediately.";
  }
  if (snap.consent_required) {
    return u"Allow the assigned agent to select and view your monitors and use your mouse and "
           u"keyboard. Stop Support ends access.";
  }
  return std::u16string(kIdleExplanationText);
}

// A read-only field: the names come from the command line and are shown as such.
std::u16string NamedOrNotProvided(const std::u16string& name, const std::u16string& code) {
  return !name.empty() && name != code ? ShownLine(name) : std::u16string(u"Name not provided");
}

}  // namespace

bool IsCompanyTwoIdentity(const LaunchOptions& options) {
  return !options.legacy_auto_connect && options.ixcompany == 2 && !options.customer_name_required;
}

std::u16string CustomerNameFieldText(const LaunchOptions& options) {
  if (IsCompanyTwoIdentity(options)) {
    return NamedOrNotProvided(options.market_name, options.market_code) + u" - " +
           NamedOrNotProvided(options.store_name, options.store_code);
  }
  return options.requester;
}

std::u16string CodeWithName(std::u16string_view code, std::u16string_view name) {
  if (name.empty()) return ShownLine(code);
  std::u16string text = ShownLine(name);
  text += u" (";
  text += ShownLine(code);
  text += u')';
  return text;
}

std::u16string ComposeDetailsText(const LaunchOptions& options, const SessionSnapshot& shown) {
  const SessionSnapshot snap = Presented(shown);
  const bool has_request = !snap.request_id.empty();
  std::u16string text = u"Market: " + CodeWithName(options.market_code, options.market_name);
  text += u"\r\nStore: ";
  text +=
      has_request ? ShownLine(snap.store) : CodeWithName(options.store_code, options.store_name);
  text += u"\r\nCompany ID: ";
  if (has_request) {
    text += Decimal(snap.ixcompany);
  } else if (options.legacy_auto_connect) {
    text += Decimal(options.ixcompany);
  } else {
    text += u"Assigned by support ticket";
  }
  text += u"\r\nVendor: " + CodeWithName(options.vendor_code, options.vendor_name);
  text += u"\r\nApplication: " + ShownLine(options.program_name) + u"  " +
          ShownLine(options.program_version);
  text += u"\r\nServer: " + ShownLine(options.server.url);
  text += u"\r\nSupport agent: ";
  text += snap.staff_id.empty() ? u"Not assigned" : ShownLine(snap.staff_id);
  text += u"\r\nPermissions: ";
  if (snap.control_active) {
    text += u"Screen, mouse and keyboard";
  } else if (snap.preview_active) {
    text += u"Screen updates (view only)";
  } else {
    text += u"None";
  }
  text += u"\r\nRecording: Off (not available yet)";
  if (has_request) text += u"\r\nRequest ID: " + ShownLine(snap.request_id);
  text += u"\r\nClient version: ";
  text += build::kProductVersion;
  text += u"\r\nExpected server: ";
  text += kProtocolVersion;
  text += u"\r\nConnected server: ";
  text += snap.server_version.empty() ? u"Not connected" : ShownLine(snap.server_version);
  // The two warnings are our own sentences.
  if (!snap.command_warning.empty()) text += u"\r\nCommand warning: " + snap.command_warning;
  if (!snap.file_state.empty()) text += u"\r\nFile transfer: " + ShownLine(snap.file_state);
  if (!snap.file_warning.empty()) text += u"\r\n" + snap.file_warning;
  if (!options.requester.empty()) text += u"\r\nRequested by: " + ShownLine(options.requester);
  if (!options.reason.empty()) text += u"\r\nReason: " + ShownLine(options.reason);
  return text;
}

std::u16string SanitizeSuggestedFileName(std::u16string_view name) {
  std::u16string safe(name);
  for (char16_t& unit : safe) {
    if (unit < 0x20 ||
        std::u16string_view(u"\"<>:/\\|?*").find(unit) != std::u16string_view::npos) {
      unit = u'_';
    }
  }
  safe = ShownLine(safe);
  while (!safe.empty() && (safe.back() == u'.' || safe.back() == u' ')) safe.pop_back();
  if (IsDeviceName(safe)) safe.insert(safe.begin(), u'_');
  return safe;
}

bool IsValidTicket(std::u16string_view ticket) {
  return ticket.size() == kTicketLength &&
         std::ranges::all_of(ticket, [](char16_t unit) { return unit >= u'0' && unit <= u'9'; });
}

std::optional<std::u16string> AcceptCustomerName(std::u16string_view typed) {
  if (std::ranges::all_of(typed, IsTrimmedBlank)) return std::nullopt;  // empty included
  if (typed.size() > kNameMaxLength) return std::nullopt;
  if (std::ranges::all_of(typed, IsWideSpace)) return std::nullopt;
  if (std::ranges::any_of(typed, [](char16_t unit) { return unit < 0x20 || unit == 0x7F; })) {
    return std::nullopt;
  }
  const auto first = std::ranges::find_if_not(typed, IsTrimmedBlank);
  const auto last = std::find_if_not(typed.rbegin(), typed.rend(), IsTrimmedBlank).base();
  return std::u16string(first, last);
}

RefreshPresentation PresentRefresh(const LaunchOptions& options, const SessionSnapshot& shown,
                                   const SessionSnapshot& snap_taken, const WindowFlags& flags) {
  const SessionSnapshot before = Presented(shown);
  const SessionSnapshot snap = Presented(snap_taken);
  RefreshPresentation out;

  const bool status_changed = snap.status_text != before.status_text;
  // The status is our own sentence, but a failure's sentence carries the server's error code.
  const std::u16string status = ShownLine(snap.status_text, kWholeLine);
  if (status_changed) out.status_line = status;

  // A prompt whose kind changed under the same id is new to the customer too.
  const bool new_consent =
      snap.consent_required && (!before.consent_required || snap.consent_id != before.consent_id ||
                                PromptedConsentKind(snap) != PromptedConsentKind(before));
  const bool attention_due =
      snap.consent_required && flags.last_attention_consent_id != snap.consent_id;
  const bool agent_ended = snap.finished && snap.end_reason == kAgentEndedReason;
  const bool notify_agent_end =
      agent_ended && !snap.request_id.empty() && snap.request_id != flags.last_ended_request_id;
  const bool prompt_open = flags.file_prompt_open || flags.close_prompt_open;

  out.entry_mode = !options.legacy_auto_connect && (snap.request_id.empty() || snap.finished);
  out.entry_mode_changed = out.entry_mode != flags.entry_mode;
  out.clear_ticket = out.entry_mode_changed && (!out.entry_mode || snap.finished);

  if (out.entry_mode) {
    if (status_changed || out.entry_mode_changed) out.window_title = std::u16string(kWindowTitle);
    out.connect_text = snap.finished ? kConnectText : kConnectingButtonText;
  } else {
    if (status_changed || out.entry_mode_changed) {
      out.window_title = std::u16string(kWindowTitlePrefix) + status;
    }
    out.connect_text = kRetryText;
  }

  if (BannerChanged(before, snap)) out.banner_text = ShownLine(snap.version_warning, kWholeLine);
  out.prompt_line =
      agent_ended ? u"Support ended by the agent. Remote access has stopped." : PromptLine(snap);
  out.consent_attention = attention_due && !flags.started_hidden && !prompt_open;
  if (out.consent_attention) out.attention_consent_id = snap.consent_id;
  if (DetailsChanged(before, snap)) out.details_text = ComposeDetailsText(options, snap);

  out.entry_enabled = snap.finished;
  out.hold_allow = new_consent;
  out.allow_enabled = snap.consent_required && !new_consent && !flags.allow_held;
  out.allow_caption = snap.control_request_pending ? kAllowControlText : kAllowSupportText;
  out.explanation = Explanation(snap, agent_ended);

  if (snap.finished && !flags.end_notice_shown && !options.legacy_auto_connect && !prompt_open) {
    out.end_notice = true;
    out.end_notice_box = !flags.started_hidden;
    out.end_notice_text = status;
    out.end_notice_focus = !options.customer_name_required || !options.requester.empty()
                               ? EndNoticeFocus::kTicket
                               : EndNoticeFocus::kName;
  }

  if (notify_agent_end && !prompt_open) {
    out.last_ended_request_id = snap.request_id;
    out.agent_end_attention = !flags.started_hidden;
  }
  return out;
}

StartPresentation PresentStart(bool entry_mode) {
  StartPresentation out;
  out.status_line = kConnectingText;
  if (entry_mode) {
    out.connect_text = kConnectingButtonText;
  } else {
    out.window_title = std::u16string(kWindowTitlePrefix) + std::u16string(kConnectingText);
  }
  return out;
}

FilePrompt ChooseFilePrompt(const SessionSnapshot& snap, const FilePromptMemory& memory,
                            const WindowFlags& flags, std::chrono::steady_clock::time_point now) {
  if (flags.file_prompt_open || flags.close_prompt_open || flags.started_hidden || snap.finished ||
      !snap.files_allowed || snap.file_transfer_id.empty() ||
      snap.file_transfer_id == memory.last_prompted_transfer_id || now < memory.quiet_until) {
    return FilePrompt::kNone;
  }
  const TransferState state = ParseTransferState(snap.file_state);
  if (state == TransferState::kAwaitingPick && snap.file_direction == u"to_staff") {
    return FilePrompt::kPick;
  }
  if (state == TransferState::kAwaitingSave && snap.file_direction == u"to_customer") {
    return FilePrompt::kSave;
  }
  return FilePrompt::kNone;
}

StopPresentation PresentStop(const LaunchOptions& options, const SessionSnapshot& shown) {
  StopPresentation out;
  out.shown = shown;
  out.shown.preview_active = false;
  out.shown.control_active = false;
  out.status_line = kStoppedText;
  // The compact view has no status line; its prompt line must not keep offering what just ended.
  out.prompt_line = kStoppedText;
  out.window_title = std::u16string(kWindowTitlePrefix) + std::u16string(kStoppedText);
  out.details_text = ComposeDetailsText(options, out.shown);
  return out;
}

}  // namespace varnel
