// One whole support session under Wine: the real session worker and the real WinHTTP WebSocket
// connection against the support-server simulator, with the fake desktop's screen and input and the
// real file engine (saving into a given folder, picking a given file); with --real, the program's
// real screen capture and input injector instead of the fakes. The consent prompts are answered
// "Allow" as soon as they open. Prints what the customer's side saw, and what the turns cost, as
// one JSON object on stdout. tests/simulator/run_session_e2e.py runs it as the end-to-end test;
// bench/session_turns_wine.py runs it against an instant server for the turn rate and the CPU time
// per turn.
//
// With --sample-every N it also samples, every N turns and at the end, the working set, the
// private bytes and the process's kernel and GDI object counts (tests/session/run_soak.py).
//
//   session_worker_e2e [--real] [--sample-every N] <server url> [seconds [save folder [pick]]]
#include <objbase.h>
#include <windows.h>
// after windows.h, which they need
#include <psapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "input/input_platform_win.h"
#include "launch/launch_error.h"
#include "launch/server_url.h"
#include "net/websocket_connection_win.h"
#include "screen/screen_win.h"
#include "session/session_worker.h"
#include "support/fake_worker_parts.h"
#include "support/process_counts_win.h"
#include "transfer/file_platform_win.h"
#include "util/base64_win.h"
#include "util/utf.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

// The worker looks up the selected monitor once per turn: this counts and times the turns of any
// screen. Only the first and last times are kept, so a long run costs nothing per turn.
class TurnClock final : public Screen {
 public:
  explicit TurnClock(std::unique_ptr<Screen> inner) : inner_(std::move(inner)) {}
  std::vector<MonitorInfo> ListMonitors() override { return inner_->ListMonitors(); }
  std::optional<MonitorInfo> FindMonitor(std::u16string_view id) override {
    const auto now = std::chrono::steady_clock::now();
    if (turns_.load() == 0) first_ = now;
    last_ = now;
    turns_.fetch_add(1);
    return inner_->FindMonitor(id);
  }
  PreviewFrame CapturePreview(std::u16string_view id) override {
    return inner_->CapturePreview(id);
  }
  long turns() const { return turns_.load(); }
  // Read after Stop.
  double Span() const { return std::chrono::duration<double>(last_ - first_).count(); }

 private:
  std::unique_ptr<Screen> inner_;
  std::atomic<long> turns_{0};
  std::chrono::steady_clock::time_point first_, last_;
};

nlohmann::json Sample(long turn) {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                       sizeof(counters));
  constexpr double kMb = 1024.0 * 1024.0;
  return {{"turn", turn},
          {"working_set_mb", static_cast<double>(counters.WorkingSetSize) / kMb},
          {"private_mb", static_cast<double>(counters.PrivateUsage) / kMb},
          {"handles", KernelHandles()},
          {"gdi_objects", GdiObjects()}};
}

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

// Counts the batches the worker applies, live or refused.
struct InputCounts {
  std::atomic<int> live_batches{0}, live_commands{0}, refused_commands{0};
};

// The process's largest working set so far, in MiB.
double PeakWorkingSetMb() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return -1;
  return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

// Empty save folder and pick: every file prompt is dismissed.
int Run(const std::u16string& url, int seconds, const std::u16string& save_folder,
        const std::u16string& pick, bool real, long sample_every) {
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

  FakeDesktop desktop;  // outlives the worker
  // One monitor; the picture ("picture-N" in Base64) changes every second capture, so the agent
  // sees both new and unchanged frames.
  desktop.monitors = {MonitorInfo{u"\\\\.\\DISPLAY1", {0, 0, 1600, 1000}, true}};
  desktop.capture = [captures = 0](const std::optional<MonitorInfo>& monitor) mutable {
    PreviewFrame frame = FakePicture(monitor);
    if (!monitor) return frame;
    const std::string picture = "picture-" + std::to_string(captures++ / 2);
    frame.jpeg =
        EncodeBase64({reinterpret_cast<const std::uint8_t*>(picture.data()), picture.size()});
    frame.width = 160;
    frame.height = 100;
    return frame;
  };
  InputCounts counts;
  desktop.input = [&counts](const JsonArray& inputs, bool allowed, std::u16string_view) {
    if (allowed) ++counts.live_batches;
    (allowed ? counts.live_commands : counts.refused_commands) += static_cast<int>(inputs.size());
    return true;
  };
  SessionWorkerParts parts = desktop.Parts();
  auto screen = std::make_unique<TurnClock>(real ? MakeWindowsScreen() : std::move(parts.screen));
  TurnClock* clock = screen.get();
  parts.screen = std::move(screen);
  if (real) {
    // The injector's own monitor lookup, so that it does not count as a turn.
    std::shared_ptr<Screen> lookup = MakeWindowsScreen();
    parts.input = MakeWindowsInputInjector(
        [lookup](std::u16string_view id) { return lookup->FindMonitor(id); });
  }
  parts.connect = MakeWebSocketConnectionFactory();
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
  std::u16string last_file_prompt;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  SessionSnapshot snapshot = worker.Snapshot();
  nlohmann::json samples = nlohmann::json::array();
  long next_sample = sample_every;
  // The window's 100 ms poll, a little faster so that a prompt is answered within one turn.
  while (!snapshot.finished && std::chrono::steady_clock::now() < deadline) {
    if (snapshot.consent_required) {
      worker.SubmitConsent(true, snapshot.consent_id, PromptedConsentKind(snapshot));
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
      }
    }
    if (sample_every > 0 && clock->turns() >= next_sample) {
      samples.push_back(Sample(clock->turns()));
      next_sample += sample_every;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    snapshot = worker.Snapshot();
  }
  const bool timed_out = !snapshot.finished;
  worker.Stop();
  snapshot = worker.Snapshot();
  const double process_cpu = ProcessCpuMilliseconds() - process_cpu_before;
  if (sample_every > 0) samples.push_back(Sample(clock->turns()));

  nlohmann::json report = {{"live_batches", counts.live_batches.load()},
                           {"live_commands", counts.live_commands.load()},
                           {"refused_commands", counts.refused_commands.load()}};
  report["status_text"] = Utf16ToUtf8(snapshot.status_text);
  report["finished"] = snapshot.finished;
  report["timed_out"] = timed_out;
  report["server_version"] = Utf16ToUtf8(snapshot.server_version);
  report["version_warning"] = Utf16ToUtf8(snapshot.version_warning);
  report["staff_id"] = Utf16ToUtf8(snapshot.staff_id);
  report["command_warning"] = Utf16ToUtf8(snapshot.command_warning);
  report["file_warning"] = Utf16ToUtf8(snapshot.file_warning);
  report["peak_working_set_mb"] = PeakWorkingSetMb();
  report["samples"] = samples;
  // The turn loop's cost, from the first turn to the last.
  const long turns = clock->turns();
  report["turns"] = turns;
  if (turns > 1 && clock->Span() > 0) {
    report["turns_per_second"] = static_cast<double>(turns - 1) / clock->Span();
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
  bool real = false;
  long sample_every = 0;
  std::vector<const wchar_t*> args;  // the positional ones, then empty texts for those left out
  for (int i = 1; i < argc; ++i) {
    if (std::wstring_view(argv[i]) == L"--real") {
      real = true;
    } else if (std::wstring_view(argv[i]) == L"--sample-every" && i + 1 < argc) {
      sample_every = _wtol(argv[++i]);
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.empty()) {
    std::fprintf(stderr,
                 "usage: session_worker_e2e [--real] [--sample-every N] <server url> [seconds "
                 "[save folder [file to pick]]]\n");
    return 2;
  }
  args.resize(4, L"");
  try {
    const int seconds = _wtoi(args[1]);
    return varnel::Run(varnel::FromWide(args[0]), seconds > 0 ? seconds : 60,
                       varnel::FromWide(args[2]), varnel::FromWide(args[3]), real, sample_every);
  } catch (const varnel::LaunchError& error) {
    std::fprintf(stderr, "bad server url: %s\n", varnel::Utf16ToUtf8(error.message()).c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "failed: %s\n", error.what());
  }
  return 2;
}
