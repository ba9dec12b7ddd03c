// Exchanges per second over the WinHTTP WebSocket client against an instant local server (the
// scripted test server), and the client's own CPU time per exchange. Reports figures only.
//
//   wine-run exchange_bench_win.exe [seconds per case, default 3]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "json/json.h"
#include "launch/server_url.h"
#include "net/exchange_rules.h"
#include "net/network_error.h"
#include "net/websocket_client_win.h"
#include "scripted_server_win.h"
#include "util/stop_event.h"
#include "util/utf.h"

namespace varnel {
namespace {

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& time) {
    const ULONGLONG ticks =
        (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(ticks) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

// A request of about `request_bytes` whose reply is `reply_bytes` long.
JsonObject MakeRequest(std::size_t request_bytes, std::size_t reply_bytes) {
  JsonObject request = JsonObject::New();
  request.InsertString(u"act", u"size");
  request.Insert(u"size", JsonValue::Number(static_cast<double>(reply_bytes)));
  request.InsertString(u"pad", u"");
  const std::size_t frame = EncodeRequest(request).size();
  if (request_bytes > frame)
    request.InsertString(u"pad", std::u16string(request_bytes - frame, u'p'));
  return request;
}

void RunCase(const char* name, std::size_t request_bytes, std::size_t reply_bytes, double seconds) {
  nettest::ScriptedServer server;
  StopEvent stop;
  ServerEndpoint endpoint;
  endpoint.host = u"127.0.0.1";
  endpoint.port = server.port();
  endpoint.secure = false;
  endpoint.path = u"/bench";
  WebSocketClient client(endpoint, stop);
  const JsonObject request = MakeRequest(request_bytes, reply_bytes);
  for (int i = 0; i < 20; ++i) client.Exchange(request);  // warm-up

  const double cpu_start = ProcessCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  const auto until = start + std::chrono::duration<double>(seconds);
  long count = 0;
  while (std::chrono::steady_clock::now() < until) {
    client.Exchange(request);
    ++count;
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = ProcessCpuSeconds() - cpu_start;
  std::printf(
      "%-28s request %7zu B  reply %7zu B  %8.1f exchanges/s  %7.3f ms each  client CPU %7.3f "
      "ms/exchange\n",
      name, EncodeRequest(request).size(), reply_bytes, count / wall, 1000 * wall / count,
      1000 * cpu / count);
  std::fflush(stdout);
}

}  // namespace
}  // namespace varnel

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  if (std::getenv("QUILLORY_SOURCE_DIR") == nullptr) {
    _putenv_s("QUILLORY_SOURCE_DIR", QUILLORY_DEFAULT_SOURCE_DIR);
  }
  try {
    varnel::RunCase("small both ways", 0, 200, seconds);
    varnel::RunCase("large reply", 0, 350000, seconds);
    varnel::RunCase("large request", 350000, 200, seconds);
    varnel::RunCase("large both ways", 350000, 350000, seconds);
  } catch (const varnel::NetworkError& error) {
    std::fprintf(stderr, "network error: %s\n", varnel::Utf16ToUtf8(error.message()).c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "failed: %s\n", error.what());
    return 1;
  }
  return 0;
}
