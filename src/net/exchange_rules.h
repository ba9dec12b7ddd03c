#pragma once
// The platform-free half of a message exchange: size limits, reassembly of received pieces,
// and the mapping of failures and server error codes to the sentences the customer sees.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/json.h"

namespace varnel {

// Largest UTF-8 text of one message, in either direction.
inline constexpr std::size_t kMaxMessageBytes = 360000;
// Size of each WebSocket receive.
inline constexpr std::size_t kReceivePieceBytes = 4096;
// Each wait of an exchange ends after ten seconds. A whole reply must also have arrived within a
// minute of the request being sent, so a server trickling empty pieces cannot hold a turn forever;
// an honest reply of the largest size arrives within it even at 6 KB a second.
inline constexpr std::uint32_t kStepWaitMs = 10000;
inline constexpr std::uint32_t kReplyWaitMs = 60000;

// Throws NetworkError "The support request is too large." above kMaxMessageBytes.
void CheckRequestSize(std::size_t utf8_bytes);

// Appends one received piece to `reply`; throws NetworkError "The server response is too large."
// as soon as the total passes kMaxMessageBytes.
void AppendReplyPiece(std::string& reply, std::string_view piece);

// "Network error N. Check the server address and certificate." for the stack's error code N.
std::u16string NetworkErrorMessage(std::uint32_t code);

// The sentence for a server error code (exact, case-sensitive match); unknown codes and the
// empty code give "Server rejected the request: " and the code's first 80 UTF-16 units.
std::u16string ServerErrorMessage(std::u16string_view code);

// The UTF-8 wire text of `request`. Throws NetworkError "The support request is too large."
// above kMaxMessageBytes.
std::string EncodeRequest(const JsonObject& request);

// The reply object from its UTF-8 wire text: malformed UTF-8 reads as U+FFFD; anything but one
// JSON object is "The server sent invalid JSON."; a reply whose "ok" is not true comes back only
// when "recoverable" is true and it has a "session", every other one is thrown as NetworkError
// with the sentence for its "error" code. A field of the wrong JSON type raises JsonError.
JsonObject InterpretReply(std::string_view utf8);

}  // namespace varnel
