#include "net/exchange_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "net/network_error.h"
#include "util/utf.h"

namespace varnel {
namespace {

template <typename Action>
std::u16string ErrorOf(Action&& action) {
  try {
    action();
  } catch (const NetworkError& error) {
    return error.message();
  }
  return u"(no error)";
}

// A request whose UTF-8 text is exactly `bytes` long, padded with `unit` (1 to 3 UTF-8 bytes).
JsonObject RequestOfUtf8Size(std::size_t bytes, char16_t unit, std::size_t unit_bytes) {
  JsonObject request = JsonObject::New();
  request.InsertString(u"pad", u"");
  const std::size_t frame = EncodeRequest(request).size();  // {"pad":""}
  const std::size_t units = (bytes - frame) / unit_bytes;
  std::u16string pad(units, unit);
  pad.append(bytes - frame - units * unit_bytes, u'a');
  request.InsertString(u"pad", pad);
  return request;
}

// 120,000 units of U+20AC are 360,000 bytes: well under the limit as UTF-16, at it as UTF-8.
TEST(ExchangeRulesTest, RequestLimitIsInclusiveAndCountsUtf8Bytes) {
  for (const auto& [unit, unit_bytes] : {std::pair{u'a', 1u}, std::pair{u'\u20ac', 3u}}) {
    EXPECT_EQ(EncodeRequest(RequestOfUtf8Size(360000, unit, unit_bytes)).size(), 360000u);
    EXPECT_EQ(ErrorOf([&] { EncodeRequest(RequestOfUtf8Size(360001, unit, unit_bytes)); }),
              u"The support request is too large.");
  }
}

TEST(ExchangeRulesTest, ReplyLimitIsTestedAfterEveryPieceAndARefusedPieceIsNotKept) {
  std::string reply(kMaxMessageBytes - 1, 'a');
  AppendReplyPiece(reply, "b");
  EXPECT_EQ(reply.size(), 360000u);
  EXPECT_NO_THROW(AppendReplyPiece(reply, ""));
  EXPECT_EQ(ErrorOf([&] { AppendReplyPiece(reply, "c"); }), u"The server response is too large.");
  EXPECT_EQ(reply.size(), 360000u);
  EXPECT_EQ(reply.back(), 'b');
}

TEST(ExchangeRulesTest, NetworkErrorCarriesTheCodeInDecimal) {
  EXPECT_EQ(NetworkErrorMessage(4294967295u),
            u"Network error 4294967295. Check the server address and certificate.");
  EXPECT_STREQ(NetworkError(u"x").what(), "Network operation failed");
}

TEST(EncodeRequestTest, SendsLoneSurrogatesAsReplacementCharacters) {
  JsonObject request = JsonObject::New();
  request.InsertString(u"type", std::u16string(u"a") + char16_t{0xD800} + u"b");
  const std::string text = EncodeRequest(request);
  // Either the raw replacement character or an escape of the unit: valid UTF-8 on the wire.
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(Utf8ToUtf16(text))), Utf8ToUtf16(text));
  EXPECT_EQ(text.find('\xED'), std::string::npos);  // no encoded surrogate
}

// An empty sentence: the reply is handed back to the worker. Known codes match exactly; others
// are shown cut to eighty UTF-16 units.
TEST(InterpretReplyTest, EachReplyIsHandedBackOrBecomesItsSentence) {
  const std::u16string rejected = u"Server rejected the request: ";
  const std::u16string ticket =
      u"Ticket not valid for this company, expired, or already used. Check the ticket and support "
      u"application with your agent.";
  const std::string e81 = [] {
    std::string text;
    for (int i = 0; i < 81; ++i) text += "\u00e9";
    return text;
  }();
  const std::pair<std::string, std::u16string> cases[] = {
      {R"({"ok":true,"session":{"state":"waiting"},"x":1})", u""},
      {R"({"ok":false,"error":"x","recoverable":true,"session":{}})", u""},
      {R"({"ok":false,"error":"invalid_support_ticket","recoverable":true})", ticket},
      {R"({"error":"invalid_support_ticket","recoverable":false,"session":{}})", ticket},
      {R"({"error":"x","session":{}})", rejected + u"x"},
      {"{}", rejected},
      {R"({"ok":false,"error":"device_already_connected"})",
       u"This device already has a connection to the server."},
      {R"({"error":"authentication_failed"})",
       u"This device cannot connect. Contact support to review its access."},
      {R"({"error":"invalid_ixcompany"})",
       u"Company information is missing or invalid. Update the support application or ask your "
       u"support agent for help."},
      {R"({"error":"support_ticket_rate_limit"})",
       u"Too many ticket attempts. Wait one minute before trying again."},
      {R"({"error":"support_ticket_required"})",
       u"A support ticket is required. Restart using the latest Quillory program."},
      {R"({"error":"automatic_connection_limit"})",
       u"The server is busy. Please retry in a minute."},
      {R"({"error":"authentication_required"})",
       u"The support server needs an update for ticket connections."},
      {R"({"error":"device_scope_mismatch"})",
       u"This device is registered for a different market, store, or vendor."},
      {R"({"error":"AUTHENTICATION_FAILED"})", rejected + u"AUTHENTICATION_FAILED"},
      {R"({"error":"authentication_failed "})", rejected + u"authentication_failed "},
      {R"({"error":")" + std::string(79, 'a') + "bc\"}",
       rejected + std::u16string(79, u'a') + u"b"},
      {R"({"error":")" + e81 + "\"}", rejected + std::u16string(80, u'\u00e9')},
      // The code lands in the status line, the title and a box: one line, no direction changes.
      {R"({"error":"a\r\nb\u0000c\u202ed\u2028"})", rejected + u"a  b cd "},
  };
  for (const auto& [text, sentence] : cases) {
    EXPECT_EQ(ErrorOf([&] { InterpretReply(text); }), sentence.empty() ? u"(no error)" : sentence)
        << text;
  }
  EXPECT_EQ(InterpretReply(cases[0].first).GetObject(u"session").GetStringOrEmpty(u"state"),
            u"waiting");
}

TEST(InterpretReplyTest, AnythingButOneObjectIsInvalidJson) {
  for (const char* text :
       {"[1,2]", "\"ok\"", "42", "", "{\"ok\":true", "{\"ok\":true} x", "{\"ok\":true}{}"}) {
    EXPECT_EQ(ErrorOf([&] { InterpretReply(text); }), u"The server sent invalid JSON.") << text;
  }
  EXPECT_THROW(InterpretReply(R"({"ok":"true"})"), JsonError);
  EXPECT_THROW(InterpretReply(R"({"ok":false,"error":7})"), JsonError);
}

TEST(InterpretReplyTest, MalformedUtf8InsideAStringReadsAsReplacementCharacter) {
  const JsonObject reply = InterpretReply("{\"ok\":true,\"name\":\"a\xFF\xC3(b\xE2\x82\"}");
  EXPECT_EQ(reply.GetStringOrEmpty(u"name"), u"a\uFFFD\uFFFD(b\uFFFD");
}

}  // namespace
}  // namespace varnel
