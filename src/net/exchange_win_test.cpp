#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "net/exchange_rules.h"
#include "net/websocket_client_win.h"
#include "net/websocket_connection_win.h"
#include "net_test_support_win.h"

namespace varnel {
namespace {

using namespace nettest;
using ::testing::HasSubstr;

// A request the scripted server answers as `act` says; more fields with `with`.
JsonObject Act(const std::u16string& act) {
  JsonObject request = JsonObject::New();
  request.InsertString(u"act", act);
  return request;
}

JsonObject With(JsonObject request, std::u16string_view key, JsonValue value) {
  request.Insert(key, std::move(value));
  return request;
}

// A reply text sent back verbatim by the server.
JsonObject Reply(const std::string& utf8_text) {
  return With(Act(u"text"), u"text", JsonValue::String(Utf8ToUtf16(utf8_text)));
}

// Exchange over a real connection. Reassembly and the reply limit are the client's (its own test);
// reading the reply (invalid JSON, UTF-8, recoverable errors) is exchange_rules_test's. Here: the
// request limit holds before anything is sent, and an error code reaches the customer.
class ExchangeTest : public ::testing::Test {
 protected:
  JsonObject Exchange(const JsonObject& request) {
    return Expect([&] { return client_.Exchange(request); });
  }
  std::string ErrorOf(const JsonObject& request) {
    return NetworkErrorOf([&] { client_.Exchange(request); });
  }

  ScriptedServer server_;
  StopEvent stop_;
  WebSocketClient client_{LocalEndpoint(server_.port()), stop_};
};

TEST_F(ExchangeTest, RequestsUpToTheLimitAreSentAndLargerOnesAreNot) {
  JsonObject request = Act(u"info");
  request.InsertString(u"pad", u"");
  const std::size_t frame = EncodeRequest(request).size();
  request.InsertString(u"pad", std::u16string(360000 - frame, u'p'));
  Exchange(request);
  request.InsertString(u"pad", std::u16string(360001 - frame, u'p'));
  EXPECT_EQ(ErrorOf(request), "The support request is too large.");
  const JsonObject info = Exchange(Act(u"info"));
  // The server received the first request and this one, nothing in between.
  EXPECT_THAT(Utf16ToUtf8(info.Serialize()), HasSubstr(R"("received":[360000,14])"));
}

// The sentence for each code is exchange_rules_test's; here the client hands the reply to it.
TEST_F(ExchangeTest, AnErrorReplyBecomesItsSentence) {
  EXPECT_EQ(ErrorOf(Reply(R"({"ok":false,"error":"device_already_connected"})")),
            "This device already has a connection to the server.");
}

TEST(WebSocketConnectionTest, TheWorkersConnectionExchangesOverTheClient) {
  ScriptedServer server;
  StopEvent stop;
  const auto connection = MakeWebSocketConnectionFactory()();
  EXPECT_THROW(connection->Exchange(Act(u"info")), std::logic_error);
  Expect([&] { connection->Connect(LocalEndpoint(server.port(), u"localhost"), stop); });
  const JsonObject info = Expect([&] { return connection->Exchange(Act(u"info")); });
  EXPECT_EQ(info.GetStringOrEmpty(u"user_agent"), u"VarnelQuillory/0.5");
  stop.Set();
  EXPECT_TRUE(IsCancelled([&] { connection->Exchange(Act(u"info")); }));
}

}  // namespace
}  // namespace varnel
