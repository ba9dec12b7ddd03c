// Fuzzes the file transfer engine with sequences of server updates, chunk replies, customer
// choices, platform failures, files appearing on the disk and stop requests, on a disk in memory.
// After every step, as the session worker does, a failed step resets the record. Checked
// throughout:
// - only FileTransferError and JsonError ever escape a step;
// - the customer's files (picked files, and files that appeared at a save path or a temporary
//   name) are never changed or deleted;
// - a temporary file exists only while a download is under way, and none after a failure;
// - a download reported done left exactly the announced bytes at the chosen path, in the order
//   the agent sent them, and they stay there;
// - every chunk sent to the agent is the picked file's bytes at the offset the server named.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "support/memory_files.h"
#include "transfer/file_transfer.h"

namespace {

using varnel::Fault;
using varnel::JsonObject;
using varnel::JsonValue;
using varnel::MemoryDisk;

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  template <typename T, std::size_t N>
  const T& Pick(const T (&options)[N]) {
    return options[Byte() % N];
  }
  std::vector<std::uint8_t> Bytes(std::size_t count) {
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < count && !empty()) bytes.push_back(Byte());
    return bytes;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

const std::u16string kIds[] = {u"0123456789abcdef0123456789abcdef",
                               u"fedcba9876543210fedcba9876543210",
                               u"0123456789ABCDEF0123456789ABCDEF", u""};
const char16_t* const kStates[] = {u"idle",      u"awaiting_pick", u"awaiting_save",
                                   u"staging",   u"delivering",    u"complete",
                                   u"cancelled", u"expired",       u"paused"};
const char16_t* const kDirections[] = {u"to_staff", u"to_customer", u"to_customer", u""};
const std::u16string kSaves[] = {u"C:\\in\\a.bin", u"C:/in/b.bin"};
const std::u16string kPicks[] = {u"C:\\out\\small.bin", u"C:\\out/large.bin", u"C:\\out\\huge.bin",
                                 u"C:\\out\\missing.bin"};
const double kNumbers[] = {0,      1,      2,         3,         5,  64, 196608,
                           196609, 393216, 209715200, 209715201, -1, 2.5};

struct Download {
  std::u16string path;
  std::uint64_t size = 0;
  std::vector<std::uint8_t> bytes;  // what the agent sent so far
};

bool IsPart(const std::u16string& path) {
  return path.size() > 5 && path.compare(path.size() - 5, 5, u".part") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  auto disk = std::make_shared<MemoryDisk>();
  varnel::MemoryFiles codec(std::make_shared<MemoryDisk>());  // never fails
  disk->files[kPicks[0]].bytes = in.Bytes(in.Byte() % 64);
  disk->files[kPicks[1]].sparse_size = varnel::kLargestFile;
  disk->files[kPicks[2]].sparse_size = varnel::kLargestFile + 1;
  const auto sources = disk->files;
  std::map<std::u16string, std::vector<std::uint8_t>> kept;  // the customer's and delivered files
  std::unique_ptr<varnel::FileTransfer> engine =
      varnel::MakeFileTransfer(std::make_unique<varnel::MemoryFiles>(disk));
  varnel::StopEvent stop;
  Download download;
  bool downloading = false;
  std::u16string picked;

  for (int turn = 0; turn < 48 && !in.empty(); ++turn) {
    // The world between two updates.
    const std::uint8_t world = in.Byte();
    if (world & 1) disk->faults.insert(static_cast<Fault>(in.Byte() % 10));
    if (world & 2) disk->faults.clear();
    if (world & 4) {
      // A file of the customer's takes a name the transfer may want.
      const std::u16string& save = in.Pick(kSaves);
      const std::u16string name = (in.Byte() & 1) ? save : save + u".varnel-" + kIds[0] + u".part";
      if (!disk->files.count(name)) kept[name] = disk->files[name].bytes = {1, 2, 3};
    }
    if ((world & 8) && (world & 16)) stop.Set();
    if ((world & 8) && !(world & 16)) stop.Reset();

    JsonObject file = JsonObject::New();
    const std::u16string& id = in.Pick(kIds);
    file.InsertString(u"id", id);
    const std::u16string state = in.Pick(kStates);
    file.InsertString(u"state", state);
    const std::u16string direction = in.Pick(kDirections);
    file.InsertString(u"direction", direction);
    const double announced = in.Pick(kNumbers);
    file.Insert(u"size", JsonValue::Number(announced));
    const double received = (in.Byte() & 1) ? in.Pick(kNumbers) : in.Byte() * 196608.0;
    file.Insert(u"received", JsonValue::Number(received));
    file.Insert(u"chunks", JsonValue::Number(in.Byte() % 4));

    JsonObject file_reply = JsonObject::New();
    std::vector<std::uint8_t> sent;
    const std::uint8_t reply = in.Byte();
    if (reply & 1) {
      file_reply.Insert(u"index", JsonValue::Number((reply & 2) ? in.Byte() % 4 : -1.0));
      switch (reply >> 6) {
        case 0:
        case 1:
          sent = in.Bytes(in.Byte());
          file_reply.InsertString(u"data", MemoryDisk::Encode(sent));
          break;
        case 2: {
          const std::vector<std::uint8_t> raw = in.Bytes(in.Byte() % 16);
          file_reply.InsertString(u"data", std::u16string(raw.begin(), raw.end()));
          break;
        }
        default:
          file_reply.InsertString(u"data", std::u16string(262148, u'A'));
      }
    }
    const std::uint8_t prompt = in.Byte();
    const std::u16string prompt_id = (prompt & 1) ? id : (prompt & 2) ? kIds[1] : u"";
    std::u16string prompt_path;
    if (prompt & 4) prompt_path = direction == u"to_staff" ? in.Pick(kPicks) : in.Pick(kSaves);

    std::optional<JsonObject> answer;
    bool failed = false;
    try {
      answer = engine->FileTransferStep(file, file_reply, prompt_id, prompt_path, stop);
    } catch (const varnel::FileTransferError&) {
      failed = true;
    } catch (const varnel::JsonError&) {
      failed = true;
    }
    if (failed) {
      engine->ResetTransfer();
      downloading = false;
    }
    const std::u16string type = answer ? answer->GetStringOrEmpty(u"type") : u"";
    if (answer) REQUIRE(answer->GetStringOrEmpty(u"transfer_id") == id);

    if (type == u"file_accept" && direction != u"to_staff") {
      download = Download{prompt_path, static_cast<std::uint64_t>(announced), {}};
      downloading = true;
    } else if (type == u"file_accept") {
      picked = prompt_path;
      REQUIRE(answer->GetNumberOr(u"size", -1) == static_cast<double>(sources.at(picked).Size()));
      downloading = false;
    } else if (type == u"file_get" || type == u"file_done") {
      REQUIRE(downloading);
      if (file_reply.HasKey(u"data"))
        download.bytes.insert(download.bytes.end(), sent.begin(), sent.end());
      REQUIRE(download.bytes.size() <= download.size);
      if (type == u"file_done") {
        REQUIRE(download.bytes.size() == download.size);
        REQUIRE(disk->files.count(download.path) &&
                disk->files.at(download.path).bytes == download.bytes);
        kept[download.path] = download.bytes;
        downloading = false;
      }
    } else if (type == u"file_chunk") {
      const std::optional<std::vector<std::uint8_t>> chunk =
          codec.DecodeBase64(answer->GetStringOrEmpty(u"data"));
      REQUIRE(chunk && chunk->size() <= varnel::kChunkToStaff && !chunk->empty());
      REQUIRE(answer->GetNumberOr(u"index", -1) == file.GetNumberOr(u"chunks", 0));
      const auto& source = sources.at(picked);
      const auto offset = static_cast<std::uint64_t>(received);
      REQUIRE(offset + chunk->size() <= source.Size());
      for (std::size_t i = 0; i < chunk->size(); ++i) {
        REQUIRE((*chunk)[i] ==
                (source.sparse_size ? MemoryDisk::Pattern(offset + i) : source.bytes[offset + i]));
      }
    }

    // The disk: sources and kept files as they were, at most the live download's temporary file.
    std::size_t parts = 0;
    for (const auto& [path, stored] : disk->files) {
      if (sources.count(path)) {
        REQUIRE(stored.bytes == sources.at(path).bytes);
      } else if (kept.count(path)) {
        REQUIRE(stored.bytes == kept.at(path));
      } else {
        REQUIRE(IsPart(path));
        ++parts;
      }
    }
    const bool over = id.empty() || state == u"idle" || state == u"complete" ||
                      state == u"cancelled" || state == u"expired";
    REQUIRE(parts <= 1 && (parts == 0 || !(failed || over)));
    for (const auto& [path, bytes] : kept) REQUIRE(disk->files.count(path) == 1);
  }

  engine.reset();
  for (const auto& [path, stored] : disk->files) REQUIRE(sources.count(path) || kept.count(path));
  return 0;
}
