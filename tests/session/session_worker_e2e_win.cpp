// One whole support session under Wine: the real session worker and the real WinHTTP WebSocket
// connection against the support-server simulator, with a fake screen and input and the real file
// engine (saving into a given folder, picking a given file).
// The consent prompts are answered "Allow" as soon as they open. Prints what the customer's side
// saw, and what the turns cost, as one JSON object on stdout. tests/simulator/run_session_e2e.py
// runs it as the end-to-end test; bench/session_turns_wine.py runs it against an instant server
// for the turn rate and the CPU time per turn.
//
//   session_worker_e2e <server url> [seconds [save folder [file to pick]]]
#include <objbase.h>
#include <windows.h>
// after windows.h, which it needs
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "launch/launch_error.h"
#include "launch/server_url.h"
#include "net/websocket_connection_win.h"
#include "session/session_worker.h"
#include "transfer/file_platform_win.h"
#include "util/utf.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

constexpr ScreenRect kDesktop{0, 0, 1600, 1000};

// One monitor; the picture changes every second capture, so the agent sees both new and
// unchanged frames.
class FakeScreen final : public Screen {
 public:
  std::vector<MonitorInfo> ListMonitors() override { return {Monitor()}; }
  // The worker looks up the selected monitor once per turn: this counts and times the turns.
  std::optional<MonitorInfo> FindMonitor(std::u16string_view id) override {
    turn_times_.push_back(std::chrono::steady_clock::now());
    return Lookup(id);
  }
  PreviewFrame CapturePreview(std::u16string_view id) override {
    PreviewFrame frame;
    const std::optional<MonitorInfo> monitor = Lookup(id);
    if (!monitor) {
      frame.error = u"Selected monitor is unavailable.";
      return frame;
    }
    frame.monitor_id = monitor->id;
    frame.rect = monitor->rect;
    frame.jpeg = Picture(captures_++ / 2);
    frame.width = 160;
    frame.height = 100;
    return frame;
  }

  // The Base64 text of the n-th picture: "picture-n" padded to a multiple of three bytes.
  static std::u16string Picture(int n) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes = "picture-" + std::to_string(n);
    while (bytes.size() % 3 != 0) bytes += '.';
    std::u16string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
      const unsigned value = (static_cast<unsigned char>(bytes[i]) << 16) |
                             (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                             static_cast<unsigned char>(bytes[i + 2]);
      for (int shift = 18; shift >= 0; shift -= 6) {
        text += static_cast<char16_t>(kAlphabet[(value >> shift) & 63]);
      }
    }
    return text;
  }

  // Read after Stop: the worker's thread has ended by then.
  int captures() const { return captures_; }
  const std::vector<std::chrono::steady_clock::time_point>& turn_times() const {
    return turn_times_;
  }

 private:
  static MonitorInfo Monitor() { return MonitorInfo{u"\\\\.\\DISPLAY1", kDesktop, true}; }
  static std::optional<MonitorInfo> Lookup(std::u16string_view id) {
    if (id.empty() || id == Monitor().id) return Monitor();
    return std::nullopt;
  }
  int captures_ = 0;
  std::vector<std::chrono::steady_clock::time_point> turn_times_;
};

double Milliseconds(const FILETIME& kernel, const FILETIME& user) {
  auto value = [](const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  return static_cast<double>(value(kernel) + value(user)) / 10000.0;  // 100 ns units
}

double ProcessCpuMilliseconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return Milliseconds(kernel, user);
}

// What the injector saw; owned by the test, since Stop destroys the injector.
struct InputRecord {
  std::mutex lock;
  int live_batches = 0;
  int live_commands = 0;
  int refused_commands = 0;
  bool stopped = false;

  nlohmann::json Report() {
    std::lock_guard<std::mutex> guard(lock);
    return {{"live_batches", live_batches},
            {"live_commands", live_commands},
            {"refused_commands", refused_commands},
            {"stopped", stopped}};
  }
};

class RecordingInput final : public InputInjector {
 public:
  explicit RecordingInput(InputRecord& record) : record_(record) {}
  bool ApplyInputs(const JsonArray& inputs, bool allowed, std::u16string_view) override {
    std::lock_guard<std::mutex> guard(lock_);
    std::lock_guard<std::mutex> record_guard(record_.lock);
    if (allowed) {
      ++record_.live_batches;
      record_.live_commands += static_cast<int>(inputs.size());
    } else {
      record_.refused_commands += static_cast<int>(inputs.size());
    }
    return true;
  }
  void ReleaseAll() noexcept override {}
  void StopInput() noexcept override {
    std::lock_guard<std::mutex> guard(lock_);
    std::lock_guard<std::mutex> record_guard(record_.lock);
    record_.stopped = true;
  }
  void lock() override { lock_.lock(); }
  void unlock() noexcept override { lock_.unlock(); }

 private:
  std::mutex lock_;
  InputRecord& record_;
};

// The process's largest working set so far, in MiB.
double PeakWorkingSetMb() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return -1;
  return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

// Empty save folder and pick: every file prompt is dismissed.
int Run(const std::u16string& url, int seconds, const std::u16string& save_folder,
        const std::u16string& pick) {
  LaunchOptions options;
  options.server = ValidateServerUrl(url, true);
  options.allow_insecure_local = true;
  options.ixcompany = 7;
  options.support_ticket = u"123456";
  options.requester = u"E2E customer";
  options.program_name = u"Quillory";
  options.program_version = u"2026.10.6.1";
  DeviceCredentials credentials{u"0123456789abcdef0123456789abcdef",
                                u"0123456789abcdef0123456789abcdef"
                                u"0123456789abcdef0123456789abcdef"};

  auto screen = std::make_unique<FakeScreen>();
  InputRecord input_record;
  auto input = std::make_unique<RecordingInput>(input_record);
  FakeScreen* screen_view = screen.get();  // lives as long as the worker
  SessionWorkerParts parts;
  parts.connect = MakeWebSocketConnectionFactory();
  parts.screen = std::move(screen);
  parts.input = std::move(input);
  parts.file = MakeWindowsFileTransfer();
  parts.thread_enter = [] {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
      throw std::runtime_error("CoInitializeEx failed");
    }
  };
  // The worker's own CPU time, read by the thread itself as the last thing it does.
  double worker_cpu = 0;  // written on the worker's thread, read after Stop
  parts.thread_leave = [&worker_cpu] {
    CoUninitialize();
    FILETIME created, exited, kernel, user;
    if (GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) {
      worker_cpu = Milliseconds(kernel, user);
    }
  };

  SessionWorker worker(options, credentials, std::move(parts));
  const double process_cpu_before = ProcessCpuMilliseconds();
  worker.Start();
  nlohmann::json answered = nlohmann::json::array();
  std::u16string last_file_prompt;
  int file_prompts = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  SessionSnapshot snapshot = worker.Snapshot();
  // The window's 100 ms poll, a little faster so that a prompt is answered within one turn.
  while (!snapshot.finished && std::chrono::steady_clock::now() < deadline) {
    if (snapshot.consent_required && worker.SubmitConsent(true, snapshot.consent_id)) {
      answered.push_back({{"consent_id", Utf16ToUtf8(snapshot.consent_id)},
                          {"control", snapshot.control_request_pending}});
    }
    // The file prompts, once per transfer as the window does: save under the offered name, or
    // pick the given file.
    const bool saving = snapshot.file_state == u"awaiting_save";
    if ((saving || snapshot.file_state == u"awaiting_pick") &&
        snapshot.file_transfer_id != last_file_prompt) {
      const std::u16string path =
          saving ? (save_folder.empty() ? save_folder : save_folder + u"\\" + snapshot.file_name)
                 : pick;
      if (worker.SubmitFileChoice(snapshot.file_transfer_id, path)) {
        last_file_prompt = snapshot.file_transfer_id;
        ++file_prompts;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    snapshot = worker.Snapshot();
  }
  const bool timed_out = !snapshot.finished;
  worker.Stop();
  snapshot = worker.Snapshot();
  const double process_cpu = ProcessCpuMilliseconds() - process_cpu_before;

  nlohmann::json report = input_record.Report();
  report["status_text"] = Utf16ToUtf8(snapshot.status_text);
  report["finished"] = snapshot.finished;
  report["timed_out"] = timed_out;
  report["server_version"] = Utf16ToUtf8(snapshot.server_version);
  report["version_warning"] = Utf16ToUtf8(snapshot.version_warning);
  report["staff_id"] = Utf16ToUtf8(snapshot.staff_id);
  report["end_reason"] = Utf16ToUtf8(snapshot.end_reason);
  report["command_warning"] = Utf16ToUtf8(snapshot.command_warning);
  report["file_warning"] = Utf16ToUtf8(snapshot.file_warning);
  report["file_prompts"] = file_prompts;
  report["peak_working_set_mb"] = PeakWorkingSetMb();
  report["captures"] = screen_view->captures();
  report["answered"] = answered;
  report["pictures"] = {Utf16ToUtf8(FakeScreen::Picture(0)), Utf16ToUtf8(FakeScreen::Picture(1))};
  // The turn loop's cost, from the first turn to the last.
  const auto& turn_times = screen_view->turn_times();
  const std::size_t turns = turn_times.size();
  report["turns"] = turns;
  if (turns > 1) {
    const double span =
        std::chrono::duration<double>(turn_times.back() - turn_times.front()).count();
    report["turns_per_second"] = static_cast<double>(turns - 1) / span;
  }
  if (turns > 0) {
    report["worker_cpu_ms_per_turn"] = worker_cpu / static_cast<double>(turns);
    report["process_cpu_ms_per_turn"] = process_cpu / static_cast<double>(turns);
  }
  std::printf("%s\n", report.dump().c_str());
  std::fflush(stdout);
  return timed_out ? 3 : 0;
}

}  // namespace
}  // namespace varnel

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: session_worker_e2e <server url> [seconds]\n");
    return 2;
  }
  try {
    const std::u16string url = varnel::FromWide(argv[1]);
    const int seconds = argc > 2 ? _wtoi(argv[2]) : 60;
    const std::u16string save_folder = argc > 3 ? varnel::FromWide(argv[3]) : u"";
    const std::u16string pick = argc > 4 ? varnel::FromWide(argv[4]) : u"";
    return varnel::Run(url, seconds > 0 ? seconds : 60, save_folder, pick);
  } catch (const varnel::LaunchError& error) {
    std::fprintf(stderr, "bad server url: %s\n", varnel::Utf16ToUtf8(error.message()).c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "failed: %s\n", error.what());
  }
  return 2;
}
