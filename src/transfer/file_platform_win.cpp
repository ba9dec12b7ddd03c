// Win32 file calls: a temporary file owned by its handle, moved into place only when whole.
#include "transfer/file_platform_win.h"

#include <windows.h>

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

#include "util/base64_win.h"
#include "util/unique_handle_win.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

// ReadFile and WriteFile take at most a DWORD per call; a chunk is far below that, but the
// loops do not rely on it.
DWORD Piece(std::size_t remaining) {
  return static_cast<DWORD>(std::min<std::size_t>(remaining, std::numeric_limits<DWORD>::max()));
}

class WindowsSourceFile final : public SourceFile {
 public:
  explicit WindowsSourceFile(FileHandle file) : file_(std::move(file)) {}

  std::optional<std::uint64_t> Size() override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.get(), &size) || size.QuadPart < 0) return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  ReadResult ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max()) ||
        !SetFilePointerEx(file_.get(), position, nullptr, FILE_BEGIN)) {
      return ReadResult::kSeekFailed;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      DWORD read = 0;
      if (!ReadFile(file_.get(), bytes.data() + done, Piece(bytes.size() - done), &read, nullptr) ||
          read == 0) {
        return ReadResult::kReadFailed;  // an error, or the end of a file that shrank
      }
      done += read;
    }
    return ReadResult::kDone;
  }

 private:
  FileHandle file_;
};

// Marks the file for deletion when its last handle closes, or clears that mark. The mark, unlike
// FILE_FLAG_DELETE_ON_CLOSE, can be cleared once the file is whole.
bool MarkForDeletion(HANDLE file, bool mark) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = mark ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         FALSE;
}

// FileRenameInfo's input for a move onto `target`, never replacing a file that took the name.
std::vector<std::uint8_t> RenameInfo(const std::u16string& target) {
  const std::size_t name_bytes = target.size() * sizeof(wchar_t);
  // The structure ends in the first character of the name; the rest, and a terminating zero,
  // follow it.
  std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + name_bytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(name_bytes);
  std::copy(target.begin(), target.end(), reinterpret_cast<char16_t*>(rename->FileName));
  return buffer;
}

class WindowsTargetFile final : public TargetFile {
 public:
  explicit WindowsTargetFile(FileHandle file) : file_(std::move(file)) {}

  bool Write(std::span<const std::uint8_t> bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      DWORD written = 0;
      if (!WriteFile(file_.get(), bytes.data() + done, Piece(bytes.size() - done), &written,
                     nullptr) ||
          written == 0) {
        return false;
      }
      done += written;
    }
    return true;
  }

  bool Flush() override { return FlushFileBuffers(file_.get()) != FALSE; }

  bool MoveNoReplace(const std::u16string& to) override {
    std::vector<std::uint8_t> buffer;
    try {
      buffer = RenameInfo(ExtendedLengthPath(to));
    } catch (const std::bad_alloc&) {
      return false;  // still marked: the file goes with its handle
    }
    if (!MarkForDeletion(file_.get(), false)) return false;
    if (!SetFileInformationByHandle(file_.get(), FileRenameInfo, buffer.data(),
                                    static_cast<DWORD>(buffer.size()))) {
      MarkForDeletion(file_.get(), true);
      return false;
    }
    // What MOVEFILE_WRITE_THROUGH did for a move by name; the data itself was flushed before.
    FlushFileBuffers(file_.get());
    return true;
  }

 private:
  FileHandle file_;
};

class WindowsFilePlatform final : public FilePlatform {
 public:
  std::unique_ptr<SourceFile> OpenForReading(const std::u16string& path) override {
    FileHandle file(CreateFileW(Wide(ExtendedLengthPath(path)), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    // Pipes, consoles and devices have no size and no offsets: only disk files are sent.
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return nullptr;
    return std::make_unique<WindowsSourceFile>(std::move(file));
  }

  std::unique_ptr<TargetFile> CreateNew(const std::u16string& path) override {
    // DELETE access lets the handle mark, unmark and rename its own file.
    FileHandle file(CreateFileW(Wide(ExtendedLengthPath(path)), GENERIC_WRITE | DELETE, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return nullptr;
    // A device name (CON, a pipe, ...) opens the device instead of creating a file: nothing was
    // created, and nothing would ever be whole on disk.
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return nullptr;
    // From here on the file is ours alone and goes when the handle closes, however the process
    // ends. Should the mark fail, the exclusive handle kept everyone else out: it goes by name.
    if (!MarkForDeletion(file.get(), true)) {
      file.reset();
      DeleteFileW(Wide(ExtendedLengthPath(path)));
      return nullptr;
    }
    return std::make_unique<WindowsTargetFile>(std::move(file));
  }

  std::optional<std::u16string> EncodeBase64(std::span<const std::uint8_t> bytes) override {
    try {
      return varnel::EncodeBase64(bytes);
    } catch (const PlatformError&) {
      return std::nullopt;
    }
  }

  std::optional<std::size_t> DecodedBase64Size(std::u16string_view text) override {
    return varnel::DecodedBase64Size(text);
  }

  std::optional<std::vector<std::uint8_t>> DecodeBase64(std::u16string_view text) override {
    return varnel::DecodeBase64(text);
  }
};

bool StartsWith(const std::u16string& text, std::u16string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::u16string ExtendedLengthPath(const std::u16string& path) {
  if (path.empty() || StartsWith(path, u"\\\\?\\") || StartsWith(path, u"\\\\.\\")) return path;
  // The wide call handles full paths of any length; the prefix then turns off the 260-character
  // limit of the calls that follow, whatever the system's long-path setting.
  std::wstring full(32768, L'\0');
  const DWORD length =
      GetFullPathNameW(Wide(path), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  std::u16string result = FromWide(full);
  if (StartsWith(result, u"\\\\?\\") || StartsWith(result, u"\\\\.\\")) return result;
  if (StartsWith(result, u"\\\\")) return u"\\\\?\\UNC\\" + result.substr(2);
  if (result.size() >= 3 && result[1] == u':' && result[2] == u'\\') return u"\\\\?\\" + result;
  return result;
}

std::unique_ptr<FilePlatform> MakeWindowsFilePlatform() {
  return std::make_unique<WindowsFilePlatform>();
}

std::unique_ptr<FileTransfer> MakeWindowsFileTransfer() {
  return MakeFileTransfer(MakeWindowsFilePlatform());
}

}  // namespace varnel
