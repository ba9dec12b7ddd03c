#include "net/websocket_client_win.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <winsock2.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "net_test_support_win.h"

namespace varnel {
namespace {

using namespace std::chrono_literals;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace nettest;

std::unique_ptr<WebSocketClient> Open(const ServerEndpoint& endpoint, const StopEvent& stop) {
  return Expect([&] { return std::make_unique<WebSocketClient>(endpoint, stop); });
}

std::string Send(WebSocketClient& client, std::string_view request) {
  return Expect([&] { return client.ExchangeText(request); });
}

// A loopback port nobody listens on: bound, then released.
std::uint16_t ClosedPort() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  int length = sizeof(address);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(s);
  WSACleanup();
  return ntohs(address.sin_port);
}

// The server listens on 127.0.0.1 only: localhost must be dialled there.
TEST(WebSocketClientTest, UpgradesWithTheFixedRequestAndNoCredentials) {
  ScriptedServer server;
  StopEvent stop;
  auto client = Open(LocalEndpoint(server.port(), u"localhost", u"/client/A%20b"), stop);
  const std::string reply = Send(*client, R"({"act":"info"})");
  EXPECT_THAT(reply, HasSubstr(R"("path": "/client/A%20b")"));
  EXPECT_THAT(reply, HasSubstr(R"("user_agent": "VarnelQuillory/0.5")"));
  EXPECT_THAT(reply, HasSubstr(R"("authorization": false)"));
  EXPECT_THAT(reply, HasSubstr(R"("received": [14])"));
}

TEST(WebSocketClientTest, ReassemblesAReplyOfManyFramesAndPiecesInOrder) {
  ScriptedServer server;
  StopEvent stop;
  auto client = Open(LocalEndpoint(server.port()), stop);
  std::string numbered;
  for (int i = 0; numbered.size() < 30000; ++i) numbered += std::to_string(i) + ",";
  EXPECT_EQ(Send(*client, R"({"act":"text","frames":7,"text":")" + numbered + R"("})"), numbered);
  // Frames of one byte each still make one message, and the connection stays usable.
  EXPECT_EQ(
      Send(*client, R"({"act":"text","frames":50,"text":")" + numbered.substr(0, 50) + R"("})"),
      numbered.substr(0, 50));
}

TEST(WebSocketClientTest, TakesRepliesUpToTheLimitAndRefusesOneByteMore) {
  ScriptedServer server;
  StopEvent stop;
  {
    auto client = Open(LocalEndpoint(server.port()), stop);
    EXPECT_EQ(Send(*client, R"({"act":"size","size":360000,"frames":3})").size(), 360000u);
    EXPECT_EQ(Send(*client, R"({"act":"size","size":360000})").size(), 360000u);
  }
  for (const char* frames : {"1", "90"}) {
    auto client = Open(LocalEndpoint(server.port()), stop);
    EXPECT_EQ(NetworkErrorOf([&] {
                client->ExchangeText(std::string(R"({"act":"size","size":360001,"frames":)") +
                                     frames + "}");
              }),
              "The server response is too large.");
  }
}

TEST(WebSocketClientTest, CloseFrameOrBinaryMessageInsteadOfAReplyEndTheExchange) {
  ScriptedServer server;
  StopEvent stop;
  for (const char* act : {"close", "binary"}) {
    auto client = Open(LocalEndpoint(server.port()), stop);
    EXPECT_EQ(
        NetworkErrorOf([&] { client->ExchangeText(std::string(R"({"act":")") + act + "\"}"); }),
        "The server closed the connection or sent an unsupported message.")
        << act;
  }
}

// Wine hands out a WebSocket for a 200; without the status check the connection would open. A
// 401 challenge is refused the same way, and the Windows logon credentials never answer it.
TEST(WebSocketClientTest, UpgradeAnsweredWithOkOrAnAuthenticationChallengeIsRefused) {
  for (const char* answer : {"200", "401"}) {
    ScriptedServer server({"--upgrade", answer});
    StopEvent stop;
    EXPECT_EQ(NetworkErrorOf([&] { WebSocketClient opened(LocalEndpoint(server.port()), stop); }),
              "The server did not accept the WebSocket connection.")
        << answer;
    EXPECT_THAT(server.Log(), HasSubstr("upgrade /client"));
    EXPECT_THAT(server.Log(), Not(HasSubstr("authorization"))) << answer;
  }
}

TEST(WebSocketClientTest, RedirectIsNeitherFollowedNorAccepted) {
  ScriptedServer server({"--upgrade", "302"});
  StopEvent stop;
  EXPECT_EQ(NetworkErrorOf([&] { WebSocketClient opened(LocalEndpoint(server.port()), stop); }),
            "The server did not accept the WebSocket connection.");
  EXPECT_THAT(server.Log(), HasSubstr("upgrade /client"));
  EXPECT_THAT(server.Log(), Not(HasSubstr("target-hit")));

  // The target does record a request that reaches it.
  NetworkErrorOf([&] { WebSocketClient opened(LocalEndpoint(server.target_port()), stop); });
  EXPECT_TRUE(server.WaitForLogLine("target-hit", 60s));
}

TEST(WebSocketClientTest, RefusedConnectionCarriesTheStackErrorCode) {
  StopEvent stop;
  EXPECT_EQ(NetworkErrorOf([&] { WebSocketClient opened(LocalEndpoint(ClosedPort()), stop); }),
            "Network error 12029. Check the server address and certificate.");
}

TEST(WebSocketClientTest, UntrustedCertificateCarriesTheStackErrorCode) {
  ScriptedServer server({"--tls"});
  StopEvent stop;
  // wss never pins localhost to 127.0.0.1; either way the name reaches this server.
  for (const char16_t* host : {u"127.0.0.1", u"localhost"}) {
    ServerEndpoint endpoint = LocalEndpoint(server.port(), host);
    endpoint.secure = true;
    // Wine reports 12157 (secure channel error), Windows 12175 (security failure).
    EXPECT_THAT(NetworkErrorOf([&] { WebSocketClient opened(endpoint, stop); }),
                AnyOf("Network error 12157. Check the server address and certificate.",
                      "Network error 12175. Check the server address and certificate."));
  }
}

TEST(WebSocketClientTest, StopDuringTheUpgradeCancelsAtOnce) {
  ScriptedServer server({"--upgrade", "silent"});
  StopEvent stop;
  auto stopped_at = StopWhenLogged(server, "upgrade /client", stop);
  EXPECT_TRUE(IsCancelled([&] { WebSocketClient opened(LocalEndpoint(server.port()), stop); }));
  EXPECT_LT(std::chrono::steady_clock::now() - stopped_at.get(), 5s);
}

TEST(WebSocketClientTest, StopAlreadySetSendsNothingAndStopDuringTheReplyWaitCancelsAtOnce) {
  ScriptedServer server;
  StopEvent stop;
  auto client = Open(LocalEndpoint(server.port()), stop);
  stop.Set();
  EXPECT_TRUE(IsCancelled([&] { client->ExchangeText(R"({"act":"info"})"); }));
  stop.Reset();
  EXPECT_THAT(Send(*client, R"({"act":"info"})"), HasSubstr(R"("received": [14])"));
  auto stopped_at = StopWhenLogged(server, "message 16", stop);
  EXPECT_TRUE(IsCancelled([&] { client->ExchangeText(R"({"act":"silent"})"); }));
  EXPECT_LT(std::chrono::steady_clock::now() - stopped_at.get(), 5s);
}

TEST(WebSocketClientTest, SilentServerTimesOutAfterTenSeconds) {
  ScriptedServer server;
  StopEvent stop;
  auto client = Open(LocalEndpoint(server.port()), stop);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(NetworkErrorOf([&] { client->ExchangeText(R"({"act":"silent"})"); }),
            "The server did not respond in time.");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 9500ms);
}

// Each empty piece comes well within the step's wait; only the bound on the whole reply ends it.
TEST(WebSocketClientTest, AReplyTricklingEmptyPiecesEndsAtTheReplyBound) {
  ScriptedServer server;
  StopEvent stop;
  auto client = Expect(
      [&] { return std::make_unique<WebSocketClient>(LocalEndpoint(server.port()), stop, 3000); });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(NetworkErrorOf([&] { client->ExchangeText(R"({"act":"trickle","interval":0.2})"); }),
            "The server did not respond in time.");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2900ms);
}

}  // namespace
}  // namespace varnel
