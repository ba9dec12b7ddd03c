#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "net/exchange_rules.h"
#include "net/websocket_client_win.h"
#include "net/websocket_connection_win.h"
#include "net_test_support_win.h"

namespace varnel {
namespace {

using namespace nettest;
using ::testing::HasSubstr;

// A request the scripted server answers as `act` says; `text` is sent back verbatim.
JsonObject Act(const std::u16string& act, const std::u16string& text = u"") {
  JsonObject request = JsonObject::New();
  request.InsertString(u"act", act);
  if (!text.empty()) request.InsertString(u"text", text);
  return request;
}

// Exchange over a real connection. Reassembly and the reply limit are the client's (its own
// test); the request limit and reading the reply (invalid JSON, UTF-8, error codes) are
// exchange_rules_test's. Here: a request at the limit crosses whole, one beyond it is not sent,
// and an error reply reaches the customer as its sentence.
TEST(ExchangeTest, RequestsUpToTheLimitAreSentAndAnErrorReplyBecomesItsSentence) {
  ScriptedServer server;
  StopEvent stop;
  WebSocketClient client(LocalEndpoint(server.port()), stop);
  JsonObject request = Act(u"info");
  request.InsertString(u"pad", u"");
  const std::size_t frame = EncodeRequest(request).size();
  request.InsertString(u"pad", std::u16string(360000 - frame, u'p'));
  Expect([&] { client.Exchange(request); });
  request.InsertString(u"pad", std::u16string(360001 - frame, u'p'));
  EXPECT_EQ(Outcome([&] { client.Exchange(request); }), "The support request is too large.");
  const JsonObject info = Expect([&] { return client.Exchange(Act(u"info")); });
  // The server received the first request and this one, nothing in between.
  EXPECT_THAT(Utf16ToUtf8(info.Serialize()), HasSubstr(R"("received":[360000,14])"));
  EXPECT_EQ(Outcome([&] {
              client.Exchange(Act(u"text", uR"({"ok":false,"error":"device_already_connected"})"));
            }),
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
  EXPECT_EQ(Outcome([&] { connection->Exchange(Act(u"info")); }), kCancelled);
}

}  // namespace
}  // namespace varnel
