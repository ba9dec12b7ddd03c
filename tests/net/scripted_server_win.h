#pragma once
// Starts tests/net/scripted_server.py (Debian's /usr/bin/python3, run by Wine as a Unix program)
// on a free loopback port and ends it again by its process id.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace varnel::nettest {

class ScriptedServer {
 public:
  // `options` are extra command-line arguments of the script (e.g. "--upgrade", "302").
  explicit ScriptedServer(std::vector<std::string> options = {});
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::uint16_t port() const { return port_; }
  // A second listener that only records connections ("target-hit" in the log).
  std::uint16_t target_port() const { return target_port_; }
  // The server's event log so far.
  std::string Log() const;
  // Waits until the log holds `line`; false when `limit` passed first.
  bool WaitForLogLine(const std::string& line, std::chrono::milliseconds limit) const;

 private:
  std::string base_;  // Unix path prefix of this server's files under /tmp
  std::uint16_t port_ = 0;
  std::uint16_t target_port_ = 0;
  unsigned long pid_ = 0;  // the Unix process id
};

// The Windows path (Z:\...) of a Unix path.
std::wstring WindowsPath(const std::string& unix_path);

}  // namespace varnel::nettest
