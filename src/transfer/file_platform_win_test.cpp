// The transfer engine on real files, in a folder of the temporary directory whose own path is
// beyond 260 characters.
#include "transfer/file_platform_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "support/transfer_steps.h"
#include "util/unique_handle_win.h"
#include "util/utf.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

using json = nlohmann::json;

const std::string kId = "00112233445566778899aabbccddeeff";

// By listing the folder: a file marked for deletion may refuse to be opened.
bool Listed(const std::u16string& path) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(Wide(ExtendedLengthPath(path)), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

// Through the C runtime, which shares the file for reading and writing: a file the engine holds
// shared with nobody cannot be read.
std::optional<std::string> ReadAll(const std::u16string& path) {
  std::ifstream in(std::filesystem::path(ExtendedLengthPath(path)), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::u16string& path, const std::string& bytes) {
  ASSERT_TRUE(std::ofstream(std::filesystem::path(ExtendedLengthPath(path))) << bytes);
}

class WindowsFileTransfer : public ::testing::Test, public TransferSteps {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
    folder = FromWide(temp) + u"quillory-transfer-" +
             AsciiToUtf16(std::to_string(GetCurrentProcessId())) + u"-" +
             AsciiToUtf16(::testing::UnitTest::GetInstance()->current_test_info()->name());
    top = folder.size();
    folder += u"\\" + std::u16string(120, u'd') + u"\\" + std::u16string(120, u'e');
    for (std::size_t at = folder.find(u'\\', 3);; at = folder.find(u'\\', at + 1)) {
      CreateDirectoryW(Wide(ExtendedLengthPath(folder.substr(0, at))), nullptr);
      if (at == std::u16string::npos) break;
    }
    id = kId;
    save = folder + u"\\report.pdf";
    part = save + u".varnel-" + AsciiToUtf16(kId) + u".part";
    engine = MakeWindowsFileTransfer();
  }

  void TearDown() override {
    engine.reset();
    for (const std::u16string& path : {save, part}) DeleteFileW(Wide(ExtendedLengthPath(path)));
    for (std::u16string at = folder; at.size() >= top; at.resize(at.rfind(u'\\'))) {
      RemoveDirectoryW(Wide(ExtendedLengthPath(at)));
    }
  }

  json Offer() { return TransferSteps::Offer(6); }
  json Chunk(const std::string& data) { return TransferSteps::Chunk(6, 0, data); }

  std::size_t top = 0;
  std::u16string folder, part;
};

TEST_F(WindowsFileTransfer, FilesCrossBothWaysOnPathsBeyond260Characters) {
  ASSERT_GT(save.size(), 260u);
  ASSERT_EQ(Offer()["type"], "file_accept");
  EXPECT_EQ(Chunk("QUJDREVG")["type"], "file_done");
  EXPECT_EQ(ReadAll(save), "ABCDEF");
  EXPECT_EQ(ReadAll(part), std::nullopt);
  EXPECT_EQ(
      Pick(save),
      (json{{"type", "file_accept"}, {"transfer_id", kId}, {"name", "report.pdf"}, {"size", 6}}));
  EXPECT_EQ(Stage(2, 1)["data"], "Q0RFRg==");
}

// A file of the customer's at the temporary name or, by the end, at the chosen name is kept.
TEST_F(WindowsFileTransfer, NoFileOfTheCustomersIsUsedReplacedOrDeleted) {
  WriteAll(part, "mine");
  EXPECT_EQ(Offer(), (json{{"error", "Unable to create temporary file"}}));
  EXPECT_EQ(ReadAll(part), "mine");
  DeleteFileW(Wide(ExtendedLengthPath(part)));

  ASSERT_EQ(Offer()["type"], "file_accept");
  EXPECT_TRUE(Listed(part));
  EXPECT_EQ(ReadAll(part), std::nullopt) << "shared with nobody while written";
  WriteAll(save, "theirs");
  EXPECT_EQ(Chunk("QUJDREVG"), (json{{"error", "Choose a new filename"}}));
  EXPECT_EQ(ReadAll(part), std::nullopt);
  EXPECT_EQ(ReadAll(save), "theirs");
}

// As a crash or a forced logoff would: the process dies from outside between two chunks, and
// neither the temporary file nor anything at the chosen path survives it.
TEST_F(WindowsFileTransfer, ADownloadKilledFromOutsideLeavesNothing) {
  const std::wstring event_name =
      L"Local\\quillory-killed-download-" + std::to_wstring(GetCurrentProcessId());
  const KernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
  ASSERT_TRUE(ready);
  std::wstring command =
      L"\"" KILLED_DOWNLOAD_EXE_PATH L"\" \"" + std::wstring(Wide(save)) + L"\" " + event_name;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &started));
  const KernelHandle process(started.hProcess);
  const KernelHandle thread(started.hThread);
  const HANDLE waits[] = {ready.get(), process.get()};
  ASSERT_EQ(WaitForMultipleObjects(2, waits, FALSE, 60000), WAIT_OBJECT_0)
      << "the download ended before its second chunk";
  EXPECT_TRUE(Listed(part)) << "two chunks were written into the temporary file";

  ASSERT_TRUE(TerminateProcess(process.get(), 9));
  ASSERT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
  // The handle table of a killed process may be run down just after it is signalled.
  for (int tries = 0; tries < 600 && Listed(part); ++tries) Sleep(100);
  EXPECT_FALSE(Listed(part));
  EXPECT_FALSE(Listed(save));
}

// The platform decoder stops at inner padding and makes a byte of a lone character; the engine
// refuses such texts instead of writing fewer or other bytes than the agent sent.
TEST_F(WindowsFileTransfer, TextsTheDecoderWouldShortenAreRefused) {
  for (const std::string data : {"QQ==QUJD", "Q", "=QUJ", "QUJD$", "QU=D"}) {
    ASSERT_EQ(Offer()["type"], "file_accept");
    EXPECT_EQ(Chunk(data), (json{{"error", "Invalid file data"}})) << data;
  }
  EXPECT_EQ(ReadAll(part), std::nullopt);
  EXPECT_EQ(ReadAll(save), std::nullopt);
}

// A save path that names a device opens the device: the engine must not take it for a new file.
TEST(WindowsFilePlatform, CreateNewRefusesWhatIsNotADiskFile) {
  const std::unique_ptr<FilePlatform> platform = MakeWindowsFilePlatform();
  const std::u16string pipe =
      u"\\\\.\\pipe\\quillory-create-" + AsciiToUtf16(std::to_string(GetCurrentProcessId()));
  const FileHandle server(
      CreateNamedPipeW(Wide(pipe), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr));
  ASSERT_TRUE(server);
  for (const std::u16string& device : {std::u16string(u"\\\\.\\NUL"), pipe}) {
    EXPECT_EQ(platform->CreateNew(device), nullptr) << Utf16ToUtf8(device);
  }
}

}  // namespace
}  // namespace varnel
