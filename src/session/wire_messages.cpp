// The session's outgoing messages, their fields in a fixed order.
#include "session/wire_messages.h"

#include <cstdint>
#include <stdexcept>
#include <utility>

#include "net/wire_words.h"

namespace varnel {
namespace {

constexpr std::u16string_view kCaptureUnavailable = u"capture_unavailable";
// Keys written by more than one message.
constexpr std::u16string_view kMarketCode = u"market_code";
constexpr std::u16string_view kStoreCode = u"store_code";
constexpr std::u16string_view kVendorCode = u"vendor_code";
constexpr std::u16string_view kMonitorId = u"monitor_id";
constexpr std::u16string_view kJpeg = u"jpeg";
constexpr std::u16string_view kWidth = u"width";
constexpr std::u16string_view kHeight = u"height";
constexpr std::u16string_view kApproved = u"approved";

void InsertNumber(JsonObject& message, std::u16string_view key, double number) {
  message.Insert(key, JsonValue::Number(number));
}

void InsertBoolean(JsonObject& message, std::u16string_view key, bool value) {
  message.Insert(key, JsonValue::Boolean(value));
}

// A capture without a picture reports only that it failed: its error text describes the customer's
// desktop and is not the server's business.
void InsertPictureFields(JsonObject& message, const PreviewFrame& frame) {
  message.InsertString(u"capture_error",
                       std::u16string(frame.jpeg.empty() ? kCaptureUnavailable : u""));
}

}  // namespace

JsonObject BuildConnectMessage(const LaunchOptions& options, const DeviceCredentials& credentials) {
  JsonObject message = JsonObject::New();
  if (options.legacy_auto_connect) {
    message.InsertString(wire::kType, u"connect");
  } else {
    message.InsertString(wire::kType, u"ticket_connect");
    message.InsertString(u"support_ticket", options.support_ticket);
    InsertNumber(message, wire::kIxcompany, options.ixcompany);
  }
  message.InsertString(u"device_id", credentials.device_id);
  message.InsertString(u"token", credentials.token);
  message.InsertString(kMarketCode, options.market_code);
  message.InsertString(kStoreCode, options.store_code);
  message.InsertString(kVendorCode, options.vendor_code);
  return message;
}

JsonObject BuildRequestMessage(const LaunchOptions& options,
                               std::span<const MonitorInfo> monitors) {
  JsonObject message = JsonObject::New();
  message.InsertString(wire::kType, u"request");
  InsertNumber(message, wire::kIxcompany, options.ixcompany);
  InsertBoolean(message, wire::kScreenPreview, true);
  InsertBoolean(message, wire::kMultiMonitor, true);
  AddMonitorList(message, monitors);
  InsertBoolean(message, u"remote_input", true);
  InsertBoolean(message, u"file_transfer", true);
  message.InsertString(kMarketCode, options.market_code);
  message.InsertString(u"market_name", options.market_name);
  message.InsertString(kStoreCode, options.store_code);
  message.InsertString(u"store_name", options.store_name);
  message.InsertString(kVendorCode, options.vendor_code);
  message.InsertString(u"vendor_name", options.vendor_name);
  message.InsertString(u"program_name", options.program_name);
  message.InsertString(u"program_version", options.program_version);
  message.InsertString(u"requester", options.requester);
  message.InsertString(u"reason", options.reason);
  return message;
}

void AddMonitorList(JsonObject& message, std::span<const MonitorInfo> monitors) {
  JsonArray list = JsonArray::New();
  for (const MonitorInfo& monitor : monitors) {
    JsonObject entry = JsonObject::New();
    entry.InsertString(wire::kId, monitor.id);
    InsertNumber(entry, u"x", monitor.rect.left);
    InsertNumber(entry, u"y", monitor.rect.top);
    // In 64 bits: a rectangle spanning most of the 32-bit range must not wrap around.
    InsertNumber(entry, kWidth,
                 static_cast<double>(std::int64_t{monitor.rect.right} - monitor.rect.left));
    InsertNumber(entry, kHeight,
                 static_cast<double>(std::int64_t{monitor.rect.bottom} - monitor.rect.top));
    InsertBoolean(entry, u"primary", monitor.primary);
    list.Append(entry);
  }
  message.Insert(u"monitors", list);
}

JsonObject BuildInitialPreviewMessage(std::u16string monitor_id, double monitor_revision,
                                      PreviewFrame frame) {
  JsonObject message = JsonObject::New();
  message.InsertString(wire::kType, u"initial_preview");
  message.InsertString(kMonitorId, std::move(monitor_id));
  InsertNumber(message, wire::kMonitorRevision, monitor_revision);
  InsertPictureFields(message, frame);
  if (!frame.jpeg.empty()) {
    message.InsertString(kJpeg, std::move(frame.jpeg));
    InsertNumber(message, kWidth, frame.width);
    InsertNumber(message, kHeight, frame.height);
  }
  return message;
}

JsonObject BuildStatusMessage(bool input_error) {
  JsonObject message = JsonObject::New();
  message.InsertString(wire::kType, std::u16string(wire::kStatus));
  if (input_error) InsertBoolean(message, wire::kInputError, true);
  return message;
}

JsonObject BuildConsentMessage(std::u16string consent_id, bool approved) {
  JsonObject message = JsonObject::New();
  message.InsertString(wire::kType, u"consent");
  message.InsertString(wire::kConsentId, std::move(consent_id));
  InsertBoolean(message, kApproved, approved);
  InsertBoolean(message, u"input_approved", approved);
  return message;
}

JsonObject BuildControlConsentMessage(std::u16string consent_id, bool approved) {
  JsonObject message = JsonObject::New();
  message.InsertString(wire::kType, u"control_consent");
  message.InsertString(wire::kConsentId, std::move(consent_id));
  InsertBoolean(message, kApproved, approved);
  return message;
}

bool TurnIntoPreviewFrame(JsonObject& message, std::u16string selected_monitor,
                          double monitor_revision, const PreviewFrame& frame,
                          std::u16string_view last_sent_jpeg) {
  if (message.GetStringOrEmpty(wire::kType) != wire::kStatus || message.HasKey(wire::kInputError)) {
    throw std::logic_error("Only a plain status message becomes a preview frame");
  }
  message.InsertString(wire::kType, std::u16string(wire::kPreviewFrame));
  message.InsertString(kMonitorId, std::move(selected_monitor));
  InsertNumber(message, wire::kMonitorRevision, monitor_revision);
  InsertPictureFields(message, frame);
  if (frame.jpeg.empty()) return false;
  const bool unchanged = frame.jpeg == last_sent_jpeg;
  InsertNumber(message, kWidth, frame.width);
  InsertNumber(message, kHeight, frame.height);
  InsertBoolean(message, u"unchanged", unchanged);
  if (!unchanged) message.InsertString(kJpeg, frame.jpeg);
  return unchanged;
}

}  // namespace varnel
