#include "net/exchange_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "net/network_error.h"
#include "util/utf.h"

namespace varnel {
namespace {

std::u16string MessageOf(void (*action)()) {
  try {
    action();
  } catch (const NetworkError& error) {
    return error.message();
  }
  return u"(no error)";
}

TEST(ExchangeRulesTest, RequestLimitIsInclusive) {
  EXPECT_NO_THROW(CheckRequestSize(0));
  EXPECT_NO_THROW(CheckRequestSize(360000));
  EXPECT_EQ(MessageOf([] { CheckRequestSize(360001); }), u"The support request is too large.");
}

TEST(ExchangeRulesTest, ReplyLimitIsTestedAfterEveryPiece) {
  std::string reply;
  const std::string piece(4096, 'a');
  while (reply.size() + piece.size() <= kMaxMessageBytes) AppendReplyPiece(reply, piece);
  AppendReplyPiece(reply, std::string(kMaxMessageBytes - reply.size(), 'b'));
  EXPECT_EQ(reply.size(), 360000u);
  EXPECT_EQ(reply.back(), 'b');
  EXPECT_NO_THROW(AppendReplyPiece(reply, ""));
  try {
    AppendReplyPiece(reply, "c");
    FAIL() << "one byte over the limit was taken";
  } catch (const NetworkError& error) {
    EXPECT_EQ(error.message(), u"The server response is too large.");
  }
  EXPECT_EQ(reply.size(), 360000u);  // nothing of the refused piece was kept
}

TEST(ExchangeRulesTest, NetworkErrorCarriesTheCodeInDecimal) {
  EXPECT_EQ(NetworkErrorMessage(12029),
            u"Network error 12029. Check the server address and certificate.");
  EXPECT_EQ(NetworkErrorMessage(4294967295u),
            u"Network error 4294967295. Check the server address and certificate.");
  const NetworkError error(u"x");
  EXPECT_STREQ(error.what(), "Network operation failed");
}

TEST(ExchangeRulesTest, OtherCodesAreShownCutToEightyUnits) {
  EXPECT_EQ(ServerErrorMessage(u""), u"Server rejected the request: ");
  EXPECT_EQ(ServerErrorMessage(u"AUTHENTICATION_FAILED"),
            u"Server rejected the request: AUTHENTICATION_FAILED");
  EXPECT_EQ(ServerErrorMessage(u"authentication_failed "),
            u"Server rejected the request: authentication_failed ");
  const std::u16string long_code = std::u16string(79, u'a') + u"bc" + std::u16string(19, u'd');
  EXPECT_EQ(ServerErrorMessage(long_code),
            u"Server rejected the request: " + std::u16string(79, u'a') + u"b");
  EXPECT_EQ(ServerErrorMessage(std::u16string(80, u'\u00e9')),
            u"Server rejected the request: " + std::u16string(80, u'\u00e9'));
}

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

TEST(EncodeRequestTest, LimitCountsUtf8BytesNotUtf16Units) {
  EXPECT_EQ(EncodeRequest(RequestOfUtf8Size(360000, u'a', 1)).size(), 360000u);
  EXPECT_EQ(ErrorOf([] { EncodeRequest(RequestOfUtf8Size(360001, u'a', 1)); }),
            u"The support request is too large.");
  // 120,000 units of U+20AC are 360,000 bytes: well under the limit as UTF-16, over it as UTF-8.
  EXPECT_EQ(EncodeRequest(RequestOfUtf8Size(360000, u'\u20ac', 3)).size(), 360000u);
  EXPECT_EQ(ErrorOf([] { EncodeRequest(RequestOfUtf8Size(360002, u'\u20ac', 3)); }),
            u"The support request is too large.");
}

TEST(EncodeRequestTest, SendsLoneSurrogatesAsReplacementCharacters) {
  JsonObject request = JsonObject::New();
  request.InsertString(u"type", std::u16string(u"a") + char16_t{0xD800} + u"b");
  const std::string text = EncodeRequest(request);
  // Either the raw replacement character or an escape of the unit: valid UTF-8 on the wire.
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(Utf8ToUtf16(text))), Utf8ToUtf16(text));
  EXPECT_EQ(text.find('\xED'), std::string::npos);  // no encoded surrogate
}

TEST(InterpretReplyTest, ReturnsAnOkReplyWhole) {
  const JsonObject reply = InterpretReply(R"({"ok":true,"session":{"state":"waiting"},"x":1})");
  EXPECT_TRUE(reply.GetBooleanOr(u"ok", false));
  EXPECT_EQ(reply.GetObject(u"session").GetStringOrEmpty(u"state"), u"waiting");
}

TEST(InterpretReplyTest, AnythingButOneObjectIsInvalidJson) {
  for (const char* text :
       {"[1,2]", "\"ok\"", "42", "", "{\"ok\":true", "{\"ok\":true} x", "{\"ok\":true}{}"}) {
    EXPECT_EQ(ErrorOf([&] { InterpretReply(text); }), u"The server sent invalid JSON.") << text;
  }
}

TEST(InterpretReplyTest, MalformedUtf8InsideAStringReadsAsReplacementCharacter) {
  const JsonObject reply = InterpretReply("{\"ok\":true,\"name\":\"a\xFF\xC3(b\xE2\x82\"}");
  EXPECT_EQ(reply.GetStringOrEmpty(u"name"), u"a\uFFFD\uFFFD(b\uFFFD");
}

TEST(InterpretReplyTest, ErrorRepliesBecomeTheirSentences) {
  EXPECT_EQ(ErrorOf([] { InterpretReply("{}"); }), u"Server rejected the request: ");
  EXPECT_EQ(ErrorOf([] { InterpretReply(R"({"ok":false,"error":"device_already_connected"})"); }),
            u"This device already has a connection to the server.");
  EXPECT_EQ(ErrorOf([] { InterpretReply(R"({"error":"invalid_ixcompany","session":{}})"); }),
            u"Company information is missing or invalid. Update the support application or ask "
            u"your support agent for help.");
  const std::string long_code(100, 'q');
  EXPECT_EQ(ErrorOf([&] { InterpretReply(R"({"ok":false,"error":")" + long_code + R"("})"); }),
            u"Server rejected the request: " + std::u16string(80, u'q'));
}

TEST(InterpretReplyTest, OnlyARecoverableErrorWithASessionIsHandedBack) {
  const char* ticket =
      "Ticket not valid for this company, expired, or already used. Check the "
      "ticket and support application with your agent.";
  const JsonObject kept = InterpretReply(
      R"({"ok":false,"error":"invalid_support_ticket","recoverable":true,"session":{"state":"x"}})");
  EXPECT_EQ(kept.GetStringOrEmpty(u"error"), u"invalid_support_ticket");
  EXPECT_EQ(ErrorOf([] {
              InterpretReply(R"({"ok":false,"error":"invalid_support_ticket","recoverable":true})");
            }),
            AsciiToUtf16(ticket));
  EXPECT_EQ(
      ErrorOf([] {
        InterpretReply(
            R"({"ok":false,"error":"invalid_support_ticket","recoverable":false,"session":{}})");
      }),
      AsciiToUtf16(ticket));
  EXPECT_EQ(ErrorOf([] { InterpretReply(R"({"error":"x","session":{}})"); }),
            u"Server rejected the request: x");
}

TEST(InterpretReplyTest, FieldsOfTheWrongTypeAreNotTakenForTheirDefault) {
  EXPECT_THROW(InterpretReply(R"({"ok":"true"})"), JsonError);
  EXPECT_THROW(InterpretReply(R"({"ok":false,"error":7})"), JsonError);
}

}  // namespace
}  // namespace varnel
