#pragma once
// Shared pieces of the Windows network tests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>

#include "launch/server_url.h"
#include "net/network_error.h"
#include "scripted_server_win.h"
#include "util/stop_event.h"
#include "util/utf.h"

namespace varnel::nettest {

inline ServerEndpoint LocalEndpoint(std::uint16_t port, std::u16string host = u"127.0.0.1",
                                    std::u16string path = u"/client") {
  ServerEndpoint endpoint;
  endpoint.host = std::move(host);
  endpoint.port = port;
  endpoint.secure = false;
  endpoint.path = std::move(path);
  return endpoint;
}

inline const std::string kCancelled = "(cancelled)";

// How `action` ended: the customer's sentence (as UTF-8) of the NetworkError it threw,
// kCancelled for a stop, "(nothing)" when it returned.
template <typename Action>
std::string Outcome(Action&& action) {
  try {
    action();
  } catch (const NetworkError& error) {
    return Utf16ToUtf8(error.message());
  } catch (const Cancelled&) {
    return kCancelled;
  }
  return "(nothing)";
}

// Runs `action`; a NetworkError it throws becomes a test failure that shows the sentence
// (gtest would only show the fixed what() text).
template <typename Action>
auto Expect(Action&& action) -> decltype(action()) {
  try {
    return action();
  } catch (const NetworkError& error) {
    ADD_FAILURE() << "network error: " << Utf16ToUtf8(error.message());
    throw;
  }
}

// Sets `stop` as soon as the server logs `line`; the future holds the moment it did.
inline std::future<std::chrono::steady_clock::time_point> StopWhenLogged(
    const ScriptedServer& server, std::string line, StopEvent& stop) {
  return std::async(std::launch::async, [&server, line = std::move(line), &stop] {
    EXPECT_TRUE(server.WaitForLogLine(line, std::chrono::seconds(60))) << line;
    stop.Set();
    return std::chrono::steady_clock::now();
  });
}

}  // namespace varnel::nettest
