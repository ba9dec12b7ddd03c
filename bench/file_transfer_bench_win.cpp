// What one file step costs the session worker under Wine, on real files in the temporary folder:
// receiving a full chunk (262144 Base64 characters decoded and written) and sending one (196608
// bytes read and encoded). Prints one JSON object: milliseconds per step, wall clock and the
// thread's CPU time, over a 200 MiB download and the upload of the same file.
//
//   file_transfer_bench_win [chunks, default 1067]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "transfer/file_platform_win.h"
#include "util/base64_win.h"
#include "util/utf.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

double ThreadCpuMilliseconds() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  const auto value = [](const FILETIME& time) {
    return static_cast<double>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime);
  };
  return (value(kernel) + value(user)) / 10000.0;
}

JsonObject File(const std::u16string& id, const char16_t* state, const char16_t* direction,
                double size, double received = 0) {
  JsonObject file = JsonObject::New();
  file.InsertString(u"id", id);
  file.InsertString(u"state", state);
  file.InsertString(u"direction", direction);
  file.Insert(u"size", JsonValue::Number(size));
  file.Insert(u"received", JsonValue::Number(received));
  return file;
}

int Run(int chunks) {
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  const std::u16string path =
      FromWide(temp) + u"quillory-bench-" + AsciiToUtf16(std::to_string(GetCurrentProcessId()));
  const std::u16string id = u"0123456789abcdef0123456789abcdef";
  const double size = static_cast<double>(chunks) * kChunkToStaff;
  std::vector<std::uint8_t> bytes(kChunkToStaff);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  const std::u16string text = EncodeBase64(bytes);
  StopEvent stop;
  const JsonObject none = JsonObject::New();

  std::unique_ptr<FileTransfer> engine = MakeWindowsFileTransfer();
  engine->FileTransferStep(File(id, u"awaiting_save", u"to_customer", size), none, id, path, stop);
  auto clock = std::chrono::steady_clock::now();
  double cpu = ThreadCpuMilliseconds();
  for (int i = 0; i < chunks; ++i) {
    JsonObject reply = JsonObject::New();
    reply.Insert(u"index", JsonValue::Number(i));
    reply.InsertString(u"data", text);
    engine->FileTransferStep(File(id, u"delivering", u"to_customer", size), reply, u"", u"", stop);
  }
  const double down_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - clock).count();
  const double down_cpu = ThreadCpuMilliseconds() - cpu;

  engine->FileTransferStep(File(id, u"awaiting_pick", u"to_staff", 0), none, id, path, stop);
  clock = std::chrono::steady_clock::now();
  cpu = ThreadCpuMilliseconds();
  for (int i = 0; i < chunks; ++i) {
    engine->FileTransferStep(
        File(id, u"staging", u"to_staff", 0, static_cast<double>(i * kChunkToStaff)), none, u"",
        u"", stop);
  }
  const double up_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - clock).count();
  const double up_cpu = ThreadCpuMilliseconds() - cpu;
  engine.reset();
  DeleteFileW(Wide(path));
  std::printf(
      "{\"chunks\": %d, \"receive_ms_per_chunk\": %.2f, \"receive_cpu_ms_per_chunk\": %.2f, "
      "\"send_ms_per_chunk\": %.2f, \"send_cpu_ms_per_chunk\": %.2f}\n",
      chunks, down_ms / chunks, down_cpu / chunks, up_ms / chunks, up_cpu / chunks);
  return 0;
}

}  // namespace
}  // namespace varnel

int wmain(int argc, wchar_t** argv) {
  // By default the largest file the engine takes, in whole chunks.
  constexpr int kLargestChunks = static_cast<int>(varnel::kLargestFile / varnel::kChunkToStaff);
  const int chunks = argc > 1 ? _wtoi(argv[1]) : kLargestChunks;
  return varnel::Run(chunks > 0 ? chunks : kLargestChunks);
}
