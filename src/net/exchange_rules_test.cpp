#include "net/exchange_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "net/network_error.h"

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

TEST(ExchangeRulesTest, EveryListedServerErrorHasItsSentence) {
  const std::pair<std::u16string, std::u16string> table[] = {
      {u"authentication_failed",
       u"This device cannot connect. Contact support to review its access."},
      {u"invalid_ixcompany",
       u"Company information is missing or invalid. Update the support application or ask your "
       u"support agent for help."},
      {u"invalid_support_ticket",
       u"Ticket not valid for this company, expired, or already used. Check the ticket and support "
       u"application with your agent."},
      {u"support_ticket_rate_limit",
       u"Too many ticket attempts. Wait one minute before trying again."},
      {u"support_ticket_required",
       u"A support ticket is required. Restart using the latest Quillory program."},
      {u"automatic_connection_limit", u"The server is busy. Please retry in a minute."},
      {u"authentication_required", u"The support server needs an update for ticket connections."},
      {u"device_scope_mismatch",
       u"This device is registered for a different market, store, or vendor."},
      {u"device_already_connected", u"This device already has a connection to the server."},
  };
  for (const auto& [code, message] : table) EXPECT_EQ(ServerErrorMessage(code), message);
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

}  // namespace
}  // namespace varnel
