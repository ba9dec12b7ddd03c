#pragma once
// The protocol's words that more than one place reads or writes, each spelled once. A word that
// only one builder or one reader uses stays beside that code.
#include <string_view>

namespace varnel::wire {

// Envelope and message types.
inline constexpr std::u16string_view kType = u"type";
inline constexpr std::u16string_view kSession = u"session";
inline constexpr std::u16string_view kStatus = u"status";
inline constexpr std::u16string_view kPreviewFrame = u"preview_frame";
inline constexpr std::u16string_view kInputError = u"input_error";

// Fields the client sends and the server echoes in its session.
inline constexpr std::u16string_view kId = u"id";
inline constexpr std::u16string_view kIxcompany = u"ixcompany";
inline constexpr std::u16string_view kScreenPreview = u"screen_preview";
inline constexpr std::u16string_view kMultiMonitor = u"multi_monitor";
inline constexpr std::u16string_view kMonitorRevision = u"monitor_revision";
inline constexpr std::u16string_view kConsentId = u"consent_id";
inline constexpr std::u16string_view kState = u"state";

// Session states.
inline constexpr std::u16string_view kWaiting = u"waiting";
inline constexpr std::u16string_view kAwaitingConsent = u"awaiting_consent";
inline constexpr std::u16string_view kActive = u"active";
inline constexpr std::u16string_view kDenied = u"denied";
inline constexpr std::u16string_view kExpired = u"expired";
inline constexpr std::u16string_view kEnded = u"ended";

}  // namespace varnel::wire
