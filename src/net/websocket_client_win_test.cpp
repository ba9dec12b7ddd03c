#include "net/websocket_client_win.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <tuple>

#include "net_test_support_win.h"

namespace varnel {
namespace {

using namespace std::chrono_literals;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace nettest;

class WebSocketClientTest : public ::testing::Test {
 protected:
  void Open(const ServerEndpoint& endpoint, DWORD reply_wait_ms = kReplyWaitMs) {
    client =
        Expect([&] { return std::make_unique<WebSocketClient>(endpoint, stop, reply_wait_ms); });
  }
  std::string Send(std::string_view request) {
    return Expect([&] { return client->ExchangeText(request); });
  }
  std::string SendFails(const std::string& request) {
    return Outcome([&] { client->ExchangeText(request); });
  }
  std::string OpenFails(const ServerEndpoint& endpoint) {
    return Outcome([&] { WebSocketClient opened(endpoint, stop); });
  }

  StopEvent stop;
  std::unique_ptr<WebSocketClient> client;
};

// The server listens on 127.0.0.1 only: localhost must be dialled there.
TEST_F(WebSocketClientTest, UpgradesWithTheFixedRequestAndNoCredentials) {
  ScriptedServer server;
  Open(LocalEndpoint(server.port(), u"localhost", u"/client/A%20b"));
  const std::string reply = Send(R"({"act":"info"})");
  EXPECT_THAT(reply, HasSubstr(R"("path": "/client/A%20b")"));
  EXPECT_THAT(reply, HasSubstr(R"("user_agent": "VarnelQuillory/0.5")"));
  EXPECT_THAT(reply, HasSubstr(R"("authorization": false)"));
  EXPECT_THAT(reply, HasSubstr(R"("received": [14])"));
}

TEST_F(WebSocketClientTest, ReassemblesAReplyOfManyFramesAndPiecesInOrder) {
  ScriptedServer server;
  Open(LocalEndpoint(server.port()));
  std::string numbered;
  for (int i = 0; numbered.size() < 30000; ++i) numbered += std::to_string(i) + ",";
  EXPECT_EQ(Send(R"({"act":"text","frames":7,"text":")" + numbered + R"("})"), numbered);
  // Frames of one byte each still make one message, and the connection stays usable.
  EXPECT_EQ(Send(R"({"act":"text","frames":50,"text":")" + numbered.substr(0, 50) + R"("})"),
            numbered.substr(0, 50));
}

TEST_F(WebSocketClientTest, TakesRepliesUpToTheLimitAndRefusesOneByteMore) {
  ScriptedServer server;
  Open(LocalEndpoint(server.port()));
  EXPECT_EQ(Send(R"({"act":"size","size":360000,"frames":3})").size(), 360000u);
  EXPECT_EQ(Send(R"({"act":"size","size":360000})").size(), 360000u);
  for (const char* frames : {"1", "90"}) {
    Open(LocalEndpoint(server.port()));
    EXPECT_EQ(SendFails(std::string(R"({"act":"size","size":360001,"frames":)") + frames + "}"),
              "The server response is too large.");
  }
}

TEST_F(WebSocketClientTest, CloseFrameOrBinaryMessageInsteadOfAReplyEndTheExchange) {
  ScriptedServer server;
  for (const char* act : {"close", "binary"}) {
    Open(LocalEndpoint(server.port()));
    EXPECT_EQ(SendFails(std::string(R"({"act":")") + act + "\"}"),
              "The server closed the connection or sent an unsupported message.")
        << act;
  }
}

// Wine hands out a WebSocket for a 200; without the status check the connection would open. A
// 401 challenge is refused the same way, and the Windows logon credentials never answer it; a
// redirect is not followed (its target records any request that reaches it).
TEST_F(WebSocketClientTest, UpgradeAnsweredWithOkARedirectOrAChallengeIsRefused) {
  for (const char* answer : {"200", "302", "401"}) {
    ScriptedServer server({"--upgrade", answer});
    EXPECT_EQ(OpenFails(LocalEndpoint(server.port())),
              "The server did not accept the WebSocket connection.")
        << answer;
    EXPECT_THAT(server.Log(), HasSubstr("upgrade /client"));
    EXPECT_THAT(server.Log(), Not(HasSubstr("authorization"))) << answer;
    EXPECT_THAT(server.Log(), Not(HasSubstr("target-hit"))) << answer;
  }
  ScriptedServer server({"--upgrade", "302"});
  OpenFails(LocalEndpoint(server.target_port()));
  EXPECT_TRUE(server.WaitForLogLine("target-hit", 60s));
}

TEST_F(WebSocketClientTest, RefusedConnectionCarriesTheStackErrorCode) {
  std::uint16_t closed = 0;
  {
    ScriptedServer ended;  // nobody listens on its port once it has ended
    closed = ended.port();
  }
  EXPECT_EQ(OpenFails(LocalEndpoint(closed)),
            "Network error 12029. Check the server address and certificate.");
}

TEST_F(WebSocketClientTest, UntrustedCertificateCarriesTheStackErrorCode) {
  ScriptedServer server({"--tls"});
  // wss never pins localhost to 127.0.0.1; either way the name reaches this server.
  for (const char16_t* host : {u"127.0.0.1", u"localhost"}) {
    ServerEndpoint endpoint = LocalEndpoint(server.port(), host);
    endpoint.secure = true;
    // Wine reports 12157 (secure channel error), Windows 12175 (security failure).
    EXPECT_THAT(OpenFails(endpoint),
                AnyOf("Network error 12157. Check the server address and certificate.",
                      "Network error 12175. Check the server address and certificate."));
  }
}

TEST_F(WebSocketClientTest, StopDuringTheUpgradeCancelsAtOnce) {
  ScriptedServer server({"--upgrade", "silent"});
  auto stopped_at = StopWhenLogged(server, "upgrade /client", stop);
  EXPECT_EQ(OpenFails(LocalEndpoint(server.port())), kCancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped_at.get(), 5s);
}

TEST_F(WebSocketClientTest, StopAlreadySetSendsNothingAndStopDuringTheReplyWaitCancelsAtOnce) {
  ScriptedServer server;
  Open(LocalEndpoint(server.port()));
  stop.Set();
  EXPECT_EQ(SendFails(R"({"act":"info"})"), kCancelled);
  stop.Reset();
  EXPECT_THAT(Send(R"({"act":"info"})"), HasSubstr(R"("received": [14])"));
  auto stopped_at = StopWhenLogged(server, "message 16", stop);
  EXPECT_EQ(SendFails(R"({"act":"silent"})"), kCancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped_at.get(), 5s);
}

// A silent server fails a step's wait of ten seconds; one trickling empty pieces, each well within
// a step's wait, ends at the bound on the whole reply.
TEST_F(WebSocketClientTest, ASilentOrTricklingServerTimesOutAtTheReplyBound) {
  ScriptedServer server;
  for (const auto& [act, wait_ms, at_least] :
       {std::tuple{R"({"act":"silent"})", DWORD{kReplyWaitMs}, 9500ms},
        std::tuple{R"({"act":"trickle","interval":0.2})", DWORD{3000}, 2900ms}}) {
    Open(LocalEndpoint(server.port()), wait_ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendFails(act), "The server did not respond in time.");
    EXPECT_GE(std::chrono::steady_clock::now() - start, at_least);
  }
}

}  // namespace
}  // namespace varnel
