// Sizes, reassembly and the customer's sentences for every way an exchange can fail.
#include "net/exchange_rules.h"

#include <array>
#include <optional>
#include <utility>

#include "net/network_error.h"
#include "net/wire_words.h"
#include "util/shown_text.h"
#include "util/utf.h"

namespace varnel {
namespace {

struct ServerErrorText {
  std::u16string_view code;
  std::string_view message;
};

constexpr std::array<ServerErrorText, 9> kServerErrors{{
    {u"authentication_failed", "This device cannot connect. Contact support to review its access."},
    {u"invalid_ixcompany",
     "Company information is missing or invalid. Update the support application or ask your "
     "support agent for help."},
    {u"invalid_support_ticket",
     "Ticket not valid for this company, expired, or already used. Check the ticket and support "
     "application with your agent."},
    {u"support_ticket_rate_limit",
     "Too many ticket attempts. Wait one minute before trying again."},
    {u"support_ticket_required",
     "A support ticket is required. Restart using the latest Quillory program."},
    {u"automatic_connection_limit", "The server is busy. Please retry in a minute."},
    {u"authentication_required", "The support server needs an update for ticket connections."},
    {u"device_scope_mismatch",
     "This device is registered for a different market, store, or vendor."},
    {u"device_already_connected", "This device already has a connection to the server."},
}};

}  // namespace

void CheckRequestSize(std::size_t utf8_bytes) {
  if (utf8_bytes > kMaxMessageBytes) throw NetworkError(u"The support request is too large.");
}

void AppendReplyPiece(std::string& reply, std::string_view piece) {
  // Checked before copying so an over-long reply never grows the buffer past the limit.
  if (piece.size() > kMaxMessageBytes - reply.size()) {
    throw NetworkError(u"The server response is too large.");
  }
  reply.append(piece);
}

std::u16string NetworkErrorMessage(std::uint32_t code) {
  return u"Network error " + AsciiToUtf16(std::to_string(code)) +
         u". Check the server address and certificate.";
}

std::u16string ServerErrorMessage(std::u16string_view code) {
  for (const auto& entry : kServerErrors) {
    if (entry.code == code) return AsciiToUtf16(entry.message);
  }
  return u"Server rejected the request: " + ShownLine(code);
}

std::string EncodeRequest(const JsonObject& request) {
  std::string text = Utf16ToUtf8(request.Serialize());
  CheckRequestSize(text.size());
  return text;
}

JsonObject InterpretReply(std::string_view utf8) {
  std::optional<JsonObject> reply = JsonObject::TryParse(Utf8ToUtf16(utf8));
  if (!reply) throw NetworkError(u"The server sent invalid JSON.");
  if (reply->GetBooleanOr(u"ok", false)) return std::move(*reply);
  const std::u16string code = reply->GetStringOrEmpty(u"error");
  // The worker handles a recoverable error inside the session it still has.
  if (reply->GetBooleanOr(u"recoverable", false) && reply->HasKey(wire::kSession)) {
    return std::move(*reply);
  }
  throw NetworkError(ServerErrorMessage(code));
}

}  // namespace varnel
