#include "transfer/file_transfer.h"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "support/memory_files.h"
#include "support/transfer_steps.h"
#include "util/utf.h"

namespace varnel {
namespace {

using json = nlohmann::json;

const std::string kId = "0123456789abcdef0123456789abcdef";
const std::u16string kSave = u"C:\\Users\\ada\\report.pdf";
const std::u16string kPart = kSave + u".varnel-" + Utf8ToUtf16(kId) + u".part";
const std::u16string kPick = u"D:/data/x.csv";

std::string Base64(std::uint64_t from, std::uint64_t count) {
  return Utf16ToUtf8(MemoryDisk::Encode(MemoryDisk::PatternBytes(from, count)));
}

// The engine on a disk in memory, driven as the worker drives it.
class FileTransferTest : public ::testing::Test, public TransferSteps {
 public:
  FileTransferTest() {
    id = kId;
    save = kSave;
    engine = MakeFileTransfer(std::make_unique<MemoryFiles>(disk));
  }
  json Answered(json file, const std::u16string& path) {
    return Step(std::move(file), json::object(), path);
  }
  std::vector<std::uint8_t>& Planted(const std::u16string& path, std::uint64_t size) {
    planted.insert(path);
    return disk->files[path].bytes = MemoryDisk::PatternBytes(7, size);
  }
  // Steps before the one a failure case is about, chained.
  FileTransferTest& Picked() { return Pick(kPick), *this; }
  FileTransferTest& Offered(double size) { return Offer(size), *this; }
  FileTransferTest& With(Fault fault) { return disk->faults.insert(fault), *this; }
  json Staging(const std::string& other) { return Step({{"id", other}, {"state", "staging"}}); }

  std::shared_ptr<MemoryDisk> disk = std::make_shared<MemoryDisk>();
  std::set<std::u16string> planted;  // the customer's own files
};

TEST_F(FileTransferTest, UploadSendsTheChunkAtEachOffsetTheServerNames) {
  Planted(kPick, 0) = MemoryDisk::PatternBytes(0, 500000);
  EXPECT_EQ(Pick(u""), (json{{"type", "file_cancel"}, {"transfer_id", kId}}));  // dismissed
  EXPECT_EQ(
      Pick(kPick),
      (json{{"type", "file_accept"}, {"transfer_id", kId}, {"name", "x.csv"}, {"size", 500000}}));
  for (int i : {0, 1, 1, 2}) {  // the server may ask for a chunk again
    const json chunk = Stage(i * 196608, i);
    EXPECT_EQ(chunk, (json{{"type", "file_chunk"},
                           {"transfer_id", kId},
                           {"data", Base64(i * 196608, i < 2 ? 196608 : 106784)},
                           {"index", i}}));
  }
  EXPECT_EQ(Stage(499999, 3)["data"], Base64(499999, 1));  // the last byte is not the end
  EXPECT_EQ(Stage(500000, 3), (json{{"type", "file_finish"}, {"transfer_id", kId}}));
}

TEST_F(FileTransferTest, DownloadLandsWholeAtTheChosenPathAndStaysThere) {
  EXPECT_EQ(Offer(300000, u"")["type"], "file_cancel");  // dismissed
  EXPECT_TRUE(disk->files.empty());
  EXPECT_EQ(Offer(300000), (json{{"type", "file_accept"}, {"transfer_id", kId}}));
  EXPECT_TRUE(disk->files.count(kPart));
  // The answer is used once; without a new one the offer waits.
  EXPECT_EQ(Step({{"state", "awaiting_save"}, {"direction", "to_customer"}, {"size", 300000}}),
            json());
  EXPECT_EQ(Deliver(300000), (json{{"type", "file_get"}, {"transfer_id", kId}, {"index", 0}}));
  // Both texts end in padding: what counts is the bytes they carry, not their length.
  EXPECT_EQ(Chunk(300000, 0, Base64(0, 196607))["index"], 1);
  EXPECT_FALSE(disk->files.count(kSave));
  EXPECT_EQ(Chunk(300000, 1, Base64(196607, 103393)),
            (json{{"type", "file_done"}, {"transfer_id", kId}}));
  // A repeated update after delivery is not a failure of the delivered transfer.
  EXPECT_EQ(Deliver(300000), json());
  engine->ResetTransfer();
  EXPECT_EQ(disk->files.size(), 1u);
  EXPECT_EQ(disk->files.at(kSave).bytes, MemoryDisk::PatternBytes(0, 300000));
}

TEST_F(FileTransferTest, EmptyFilesAndTheLargestFilesCrossBothWays) {
  Planted(kPick, 0);
  EXPECT_EQ(Pick(kPick)["size"], 0);
  EXPECT_EQ(Stage(0)["type"], "file_finish");
  EXPECT_EQ(Offer(0)["type"], "file_accept");
  EXPECT_EQ(Deliver(0)["type"], "file_done");
  EXPECT_TRUE(disk->files.at(kSave).bytes.empty());

  disk->files[kPick].sparse_size = kLargestFile;
  EXPECT_EQ(Pick(kPick)["size"], kLargestFile);
  EXPECT_EQ(Stage(kLargestFile - 5, 1067)["data"], Base64(kLargestFile - 5, 5));
  EXPECT_EQ(Stage(kLargestFile)["type"], "file_finish");
  EXPECT_EQ(Offer(kLargestFile, u"C:\\big")["type"], "file_accept");
  EXPECT_EQ(Chunk(kLargestFile, 0, Base64(0, 3))["index"], 1);

  disk->files[kPick].sparse_size = kLargestFile + 1;
  EXPECT_EQ(Pick(kPick)["error"], "Unable to read selected file");
  EXPECT_EQ(Offer(kLargestFile + 1)["error"], "File too large");
}

// Whatever ends a transfer before delivery takes its temporary file with it.
TEST_F(FileTransferTest, AnEndedTransferLeavesNothingBehind) {
  for (const std::string ending : {"cancelled", "expired", "idle", "complete", "new id", "stop"}) {
    stop.Reset();
    ASSERT_EQ(Offer(10)["type"], "file_accept");
    ASSERT_EQ(Chunk(10, 0, Base64(0, 4))["index"], 1);
    json update = {{"state", ending}, {"direction", "to_customer"}, {"size", 10}};
    if (ending == "new id") update = {{"id", std::string(32, 'b')}, {"state", "delivering"}};
    if (ending == "stop") {
      update["state"] = "delivering";
      stop.Set();
    }
    EXPECT_EQ(Step(update), json()) << ending;
    EXPECT_TRUE(disk->files.empty()) << ending;
  }
}

struct FailureCase {
  const char* name;
  std::function<json(FileTransferTest&)> run;
  std::string text;
};

class FileTransferFailure : public FileTransferTest,
                            public ::testing::WithParamInterface<FailureCase> {};

// Every failure leaves the customer's files as they were: the picked file and any file already
// at the save path or the temporary name are byte-identical, and nothing else is on the disk.
TEST_P(FileTransferFailure, FailsWithItsTextAndLeavesTheDiskAsItWas) {
  Planted(kPick, 20);
  EXPECT_EQ(GetParam().run(*this), (json{{"error", GetParam().text}}));
  engine.reset();
  if (disk->plant_on_move) planted.insert(kSave);
  for (const std::u16string& path : planted) {
    ASSERT_TRUE(disk->files.count(path)) << Utf16ToUtf8(path) << " deleted";
    const std::vector<std::uint8_t>& bytes = disk->files.at(path).bytes;
    EXPECT_EQ(bytes, MemoryDisk::PatternBytes(7, bytes.size())) << Utf16ToUtf8(path);
  }
  EXPECT_EQ(disk->files.size(), planted.size()) << "a file was left behind";
}

using F = FileTransferTest;
const std::string kTooLong(262148, 'A');

const FailureCase kFailures[] = {
    {"UpperCaseId", [](F& t) { return t.Staging(std::string(32, 'A')); }, "Invalid transfer ID"},
    {"Id31", [](F& t) { return t.Staging(kId.substr(1)); }, "Invalid transfer ID"},
    {"Id33", [](F& t) { return t.Staging(kId + "0"); }, "Invalid transfer ID"},
    {"NegativeSize", [](F& t) { return t.Offer(-1); }, "File too large"},
    {"PickToCustomer",
     [](F& t) {
       return t.Answered({{"state", "awaiting_pick"}, {"direction", "to_customer"}}, kPick);
     },
     "Transfer direction does not match its state"},
    {"SaveToStaff",
     [](F& t) {
       return t.Answered({{"state", "awaiting_save"}, {"direction", "to_staff"}}, kSave);
     },
     "Transfer direction does not match its state"},
    {"UnansweredPickWithoutDirection",
     [](F& t) {
       return t.Step({{"state", "awaiting_pick"}});
     },
     "Transfer direction does not match its state"},
    {"MissingPick", [](F& t) { return t.Pick(u"D:/gone"); }, "Unable to read selected file"},
    {"PickWithoutSize", [](F& t) { return t.With(Fault::kSize).Pick(kPick); },
     "Unable to read selected file"},
    {"TemporaryNameTaken", [](F& t) { return t.Planted(kPart, 9), t.Offer(10); },
     "Unable to create temporary file"},
    {"OffsetBeyondSize", [](F& t) { return t.Picked().Stage(21); }, "Invalid file offset"},
    {"NegativeOffset", [](F& t) { return t.Picked().Stage(-1); }, "Invalid file offset"},
    {"FractionalOffset", [](F& t) { return t.Picked().Stage(0.5); }, "Invalid file offset"},
    {"Seek", [](F& t) { return t.Picked().With(Fault::kSeek).Stage(0); }, "File seek failed"},
    {"ShrunkSource", [](F& t) { return t.Picked().Planted(kPick, 5), t.Stage(0); },
     "File read failed"},
    {"Encoding", [](F& t) { return t.Picked().With(Fault::kEncode).Stage(0); }, "Encoding failed"},
    {"FirstIndexOne", [](F& t) { return t.Offered(10).Chunk(10, 1, Base64(0, 3)); },
     "Invalid chunk order"},
    {"IndexRepeated",
     [](F& t) { return t.Offered(10).Chunk(10, 0, Base64(0, 3)), t.Chunk(10, 0, Base64(3, 3)); },
     "Invalid chunk order"},
    {"TextTooLong", [](F& t) { return t.Offered(kLargestFile).Chunk(kLargestFile, 0, kTooLong); },
     "Invalid file data"},
    {"NotBase64", [](F& t) { return t.Offered(10).Chunk(10, 0, "ab$d"); }, "Invalid file data"},
    {"MoreThanAnnounced",
     [](F& t) { return t.Offered(5).Chunk(5, 0, Base64(0, 3)), t.Chunk(5, 1, Base64(3, 3)); },
     "Invalid file data"},
    {"Write", [](F& t) { return t.Offered(10).With(Fault::kWrite).Chunk(10, 0, Base64(0, 3)); },
     "File write failed"},
    {"StopDuringLastWrite",
     [](F& t) {
       t.disk->on_write = [&t] { t.stop.Set(); };
       return t.Offered(3).Chunk(3, 0, Base64(0, 3));
     },
     "Cancelled"},
    {"Flush", [](F& t) { return t.Offered(3).With(Fault::kFlush).Chunk(3, 0, Base64(0, 3)); },
     "File flush failed"},
    {"TargetAppeared",
     [](F& t) {
       const auto b = MemoryDisk::PatternBytes(7, 4);
       t.disk->plant_on_move = std::string(b.begin(), b.end());
       return t.Offered(3).Chunk(3, 0, Base64(0, 3));
     },
     "Choose a new filename"}};

std::string CaseName(const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(FileTransfer, FileTransferFailure, ::testing::ValuesIn(kFailures),
                         CaseName);

}  // namespace
}  // namespace varnel
