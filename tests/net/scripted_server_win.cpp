#include "scripted_server_win.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "util/unique_handle_win.h"

namespace varnel::nettest {
namespace {

using namespace std::chrono_literals;

std::wstring Widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

std::string QuoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string ReadFileText(const std::string& unix_path) {
  std::ifstream in(std::filesystem::path(WindowsPath(unix_path)), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string UniqueTempPath() {
  static std::atomic<unsigned> counter{0};
  return "/tmp/quillory-net-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetTickCount64()) + "-" + std::to_string(++counter);
}

FileHandle InheritableFile(const std::string& unix_path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  return FileHandle(CreateFileW(WindowsPath(unix_path).c_str(), access,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Wine starts a Unix program through CreateProcessW, but the process handle and id it returns
// stand for nothing (waits fail): the program's own id is what it reports itself.
void Spawn(const std::vector<std::string>& argv, const FileHandle& input,
           const FileHandle& output) {
  std::string line;
  for (const auto& argument : argv) line += (line.empty() ? "" : " ") + QuoteArgument(argument);
  std::wstring command = Widen(line);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = output.get();
  startup.hStdError = output.get();
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(WindowsPath(argv.front()).c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &startup, &process)) {
    ThrowLastError("cannot start " + argv.front());
  }
  const KernelHandle thread(process.hThread);
  const KernelHandle started(process.hProcess);
}

// Gone, or a zombie waiting to be reaped: either way it serves nothing any more.
bool UnixProcessEnded(unsigned long pid) {
  const std::string stat = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
  const auto state = stat.rfind(") ");
  return state == std::string::npos || stat.compare(state + 2, 1, "Z") == 0;
}

}  // namespace

std::wstring WindowsPath(const std::string& unix_path) {
  std::wstring path = L"Z:" + Widen(unix_path);
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

ScriptedServer::ScriptedServer(std::vector<std::string> options) : base_(UniqueTempPath()) {
  const char* source = std::getenv("QUILLORY_SOURCE_DIR");
  if (source == nullptr) throw std::runtime_error("QUILLORY_SOURCE_DIR is not set");
  std::vector<std::string> argv = {"/usr/bin/python3",
                                   std::string(source) + "/tests/net/scripted_server.py",
                                   "--port-file", base_ + ".port"};
  argv.insert(argv.end(), options.begin(), options.end());

  // Wine gives a Unix child no usable standard input; its output goes to a file we can show.
  Spawn(argv, InheritableFile("/dev/null", GENERIC_READ, OPEN_EXISTING),
        InheritableFile(base_ + ".err", GENERIC_WRITE, CREATE_ALWAYS));

  // A cold Python start on a loaded machine can take seconds; the limit is only for a broken run.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  for (;;) {
    std::istringstream fields(ReadFileText(base_ + ".port"));
    if (fields >> port_ >> pid_ >> target_port_) break;
    const std::string errors = ReadFileText(base_ + ".err");
    if (errors.find("Error") != std::string::npos || std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("the scripted server did not start: " + errors);
    }
    Sleep(20);
  }
}

ScriptedServer::~ScriptedServer() {
  try {
    Spawn({"/bin/kill", "-TERM", std::to_string(pid_)},
          InheritableFile("/dev/null", GENERIC_READ, OPEN_EXISTING),
          InheritableFile("/dev/null", GENERIC_WRITE, OPEN_EXISTING));
  } catch (const std::runtime_error&) {
    // It ends by itself after its lifetime.
  }
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!UnixProcessEnded(pid_) && std::chrono::steady_clock::now() < deadline) Sleep(20);
  for (const char* suffix : {".port", ".port.log", ".err"}) {
    DeleteFileW(WindowsPath(base_ + suffix).c_str());
  }
}

std::string ScriptedServer::Log() const { return ReadFileText(base_ + ".port.log"); }

bool ScriptedServer::WaitForLogLine(const std::string& line,
                                    std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::istringstream lines(Log());
    for (std::string entry; std::getline(lines, entry);) {
      if (entry == line) return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    Sleep(20);
  }
}

}  // namespace varnel::nettest
