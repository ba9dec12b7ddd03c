#pragma once
// The session's messages to the support server; the file messages are the transfer engine's
// (file_transfer.h). Fields are set in a fixed order (the serialised text keeps it) and a field
// that does not apply is left out, never sent empty. The server's replies are read by
// session_reply.h.
#include <span>
#include <string>
#include <string_view>

#include "json/json.h"
#include "launch/launch_options.h"
#include "screen/preview_frame.h"
#include "session/device_credentials.h"
#include "util/monitor_info.h"

namespace varnel {

// The first message: "ticket_connect" with the customer's ticket and company, or "connect" in
// legacy mode, which identifies by the launch identity alone.
JsonObject BuildConnectMessage(const LaunchOptions& options, const DeviceCredentials& credentials);

// The support request with the client's capabilities, the launch identity and the monitor list.
JsonObject BuildRequestMessage(const LaunchOptions& options, std::span<const MonitorInfo> monitors);

// Sets "monitors" (replacing any earlier list) to one object per monitor, in the given order.
void AddMonitorList(JsonObject& message, std::span<const MonitorInfo> monitors);

// The one picture sent right after the request was accepted. `monitor_id` and `monitor_revision`
// echo the session of the request's reply; the picture itself is always of the primary monitor.
// The Base64 text is moved into the message.
JsonObject BuildInitialPreviewMessage(std::u16string monitor_id, double monitor_revision,
                                      PreviewFrame frame);

// The message of a turn with nothing else to say; "input_error" only after a failed input batch.
JsonObject BuildStatusMessage(bool input_error);

// Answer to the support consent prompt; approving support approves input along with the screen.
JsonObject BuildConsentMessage(std::u16string consent_id, bool approved);
// Answer to the agent's request for remote control (the id is the session's "control_id").
JsonObject BuildControlConsentMessage(std::u16string consent_id, bool approved);

// Turns the turn's plain status message into a "preview_frame", keeping its "monitors". A picture
// whose Base64 text equals `last_sent_jpeg` (the last one sent, empty when the viewer needs a full
// picture) goes out as "unchanged" without its bytes; otherwise the text is copied into the
// message, since the caller keeps it as the last one sent. Returns whether it was unchanged. Raises
// std::logic_error when `message` is not a plain status message.
bool TurnIntoPreviewFrame(JsonObject& message, std::u16string selected_monitor,
                          double monitor_revision, const PreviewFrame& frame,
                          std::u16string_view last_sent_jpeg);

}  // namespace varnel
