// The engine inside a whole session: the session worker, a scripted server that sends or asks
// for one small file, and a disk in memory. The connection drops at every message and the
// customer stops at every wait; whatever happens, the disk holds no temporary file, and the save
// path holds the whole file or nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "memory_files.h"
#include "net/network_error.h"
#include "session/session_worker.h"
#include "transfer/file_transfer.h"
#include "util/utf.h"

namespace varnel {
namespace {

using json = nlohmann::json;

// Small, so that every message of the transfer can be the one that fails: the agent's chunks are
// 400 bytes, one upload chunk holds it all.
constexpr std::uint64_t kSize = 1000;
constexpr std::uint64_t kAgentChunk = 400;
const std::string kId(32, 'c');
const std::u16string kSave = u"C:\\in\\notes.bin";
const std::u16string kPick = u"C:\\out\\notes.bin";
const MonitorInfo kMonitor{u"\\\\.\\DISPLAY1", {0, 0, 800, 600}, true};

struct StillScreen final : Screen {
  std::vector<MonitorInfo> ListMonitors() override { return {kMonitor}; }
  std::optional<MonitorInfo> FindMonitor(std::u16string_view) override { return kMonitor; }
  PreviewFrame CapturePreview(std::u16string_view) override { return {}; }
};

struct NoInput final : InputInjector {
  bool ApplyInputs(const JsonArray&, bool, std::u16string_view) override { return true; }
  void ReleaseAll() noexcept override {}
  void StopInput() noexcept override {}
  void lock() override {}
  void unlock() noexcept override {}
};

struct Plan {
  bool to_customer = true;
  int drop_at = -1;     // the message whose reply never comes
  int stop_at = -1;     // the wait during which the customer stops
  bool linger = false;  // the server repeats "delivering" once after the file was delivered
};

// One session against the simulator's agent, reduced to one transfer; the fixture is the
// worker's clock and the server behind its connection.
class TransferSession : public SessionClock {
 public:
  explicit TransferSession(Plan run) : run_(run) {
    disk->files[kPick].bytes = MemoryDisk::PatternBytes(0, kSize);
    file_ = {{"id", kId},
             {"direction", run.to_customer ? "to_customer" : "to_staff"},
             {"state", run.to_customer ? "awaiting_save" : "awaiting_pick"},
             {"size", kSize}};
    SessionWorkerParts parts;
    parts.connect = [this] { return std::make_unique<Link>(*this); };
    parts.screen = std::make_unique<StillScreen>();
    parts.input = std::make_unique<NoInput>();
    parts.file = MakeFileTransfer(std::make_unique<MemoryFiles>(disk));
    parts.clock = std::shared_ptr<SessionClock>(std::shared_ptr<void>(), this);
    parts.thread_leave = [this] { left_.Set(); };
    worker_ =
        std::make_unique<SessionWorker>(LaunchOptions{}, DeviceCredentials{}, std::move(parts));
    worker_->Start();
    EXPECT_TRUE(left_.WaitFor(std::chrono::seconds(60))) << "the session never ended";
    worker_->Stop();
  }

  std::shared_ptr<MemoryDisk> disk = std::make_shared<MemoryDisk>();
  std::vector<std::string> sent;  // message types
  std::vector<std::uint8_t> uploaded;
  int waits = 0;
  SessionSnapshot Last() const { return worker_->Snapshot(); }

 private:
  bool StopsHere() {
    if (waits++ != run_.stop_at) return false;
    worker_->RequestStop();
    return true;
  }

  struct Link final : Connection {
    explicit Link(TransferSession& session) : s(session) {}
    void Connect(const ServerEndpoint&, const StopEvent&) override {}
    JsonObject Exchange(const JsonObject& request) override { return s.Exchange(request); }
    TransferSession& s;
  };

  JsonObject Exchange(const JsonObject& request) {
    if (StopsHere()) throw Cancelled{};
    if (static_cast<int>(sent.size()) == run_.drop_at) throw NetworkError(u"Dropped.");
    const json reply = Answer(json::parse(Utf16ToUtf8(request.Serialize())));
    return JsonObject::TryParse(Utf8ToUtf16(reply.dump())).value();
  }
  TimePoint Now() override { return {}; }
  bool Pause(const StopEvent& stop_event, std::chrono::milliseconds) override {
    return StopsHere() || stop_event.IsSet();
  }

  json Answer(const json& message) {
    const std::string type = message.value("type", "");
    sent.push_back(type);
    const std::string state = file_["state"];
    json reply = {{"ok", true}, {"server_version", "0.9.2"}};
    // The customer answers the prompt the worker has just shown.
    if (state.starts_with("awaiting")) {
      worker_->SubmitFileChoice(Utf8ToUtf16(kId), run_.to_customer ? kSave : kPick);
    }
    if (type == "file_accept") file_["state"] = run_.to_customer ? "delivering" : "staging";
    if (type == "file_get") {
      const std::uint64_t from = message["index"].get<std::uint64_t>() * kAgentChunk;
      const auto bytes =
          MemoryDisk::PatternBytes(from, std::min<std::uint64_t>(kAgentChunk, kSize - from));
      reply["file_reply"] = {{"index", message["index"]},
                             {"data", Utf16ToUtf8(MemoryDisk::Encode(bytes))}};
    }
    if (type == "file_chunk") {
      const auto bytes =
          MemoryFiles(disk).DecodeBase64(Utf8ToUtf16(message["data"].get<std::string>())).value();
      uploaded.insert(uploaded.end(), bytes.begin(), bytes.end());
      file_["received"] = uploaded.size();
      file_["chunks"] = message["index"].get<int>() + 1;
    }
    if (type == "file_finish" || type == "file_cancel" || (type == "file_done" && !run_.linger) ||
        delivered_) {
      file_["state"] = "complete";
    }
    delivered_ = type == "file_done";
    reply["session"] = {{"state", state == "complete" ? "ended" : "active"}, {"file", file_}};
    return reply;
  }

  Plan run_;
  json file_;
  bool delivered_ = false;
  StopEvent left_;
  std::unique_ptr<SessionWorker> worker_;  // last: joined before the rest goes
};

const std::vector<std::uint8_t> kWhole = MemoryDisk::PatternBytes(0, kSize);

// A delivered file is the customer's: a repeated update for it is no failure to report.
TEST(FileTransferSession, AnUpdateAfterDeliveryNeitherCancelsNorWarns) {
  TransferSession session(Plan{true, -1, -1, true});
  EXPECT_EQ(std::count(session.sent.begin(), session.sent.end(), "file_cancel"), 0);
  EXPECT_TRUE(session.Last().file_warning.empty());
  EXPECT_EQ(session.disk->files.at(kSave).bytes, kWhole);
}

TEST(FileTransferSession, ADropOrAStopAnywhereLeavesNoPartialFile) {
  for (const bool to_customer : {true, false}) {
    const TransferSession whole(Plan{to_customer});
    std::vector<std::string> file_messages;
    std::copy_if(whole.sent.begin(), whole.sent.end(), std::back_inserter(file_messages),
                 [](const std::string& type) { return type.starts_with("file_"); });
    const std::vector<std::string> expected =
        to_customer ? std::vector<std::string>{"file_accept", "file_get", "file_get", "file_get",
                                               "file_done"}
                    : std::vector<std::string>{"file_accept", "file_chunk", "file_finish"};
    EXPECT_EQ(file_messages, expected);
    EXPECT_EQ(to_customer ? whole.disk->files.at(kSave).bytes : whole.uploaded, kWhole);
    std::vector<Plan> runs;
    for (int i = 0; i < static_cast<int>(whole.sent.size()); ++i) runs.push_back({to_customer, i});
    for (int i = 0; i < whole.waits; ++i) runs.push_back({to_customer, -1, i});
    for (const Plan& run : runs) {
      const TransferSession session(run);
      const auto& files = session.disk->files;
      SCOPED_TRACE("drop " + std::to_string(run.drop_at) + " stop " + std::to_string(run.stop_at));
      EXPECT_EQ(files.size(), files.count(kSave) + 1) << "a temporary file remains";
      EXPECT_EQ(files.at(kPick).bytes, kWhole);
      if (files.count(kSave)) {
        EXPECT_EQ(files.at(kSave).bytes, kWhole);
      }
    }
  }
}

}  // namespace
}  // namespace varnel
