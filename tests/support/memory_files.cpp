#include "support/memory_files.h"

#include <algorithm>
#include <string_view>

namespace varnel {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char16_t c) {
  const std::size_t at = c < 128 ? kAlphabet.find(static_cast<char>(c)) : std::string_view::npos;
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// Files are looked up again on every call, so a test may change the disk between steps; a file
// deleted while open fails its next operation. A created file goes with its handle until it is
// moved, as on Windows.
class MemoryFile final : public SourceFile, public TargetFile {
 public:
  MemoryFile(std::shared_ptr<MemoryDisk> disk, std::u16string path, bool writing)
      : disk_(std::move(disk)), path_(std::move(path)), writing_(writing) {}
  ~MemoryFile() override {
    const auto found = disk_->files.find(path_);
    if (writing_ && found != disk_->files.end() && found->second.open_for_writing) {
      disk_->files.erase(found);
    }
  }

  std::optional<std::uint64_t> Size() override {
    if (disk_->faults.count(Fault::kSize) || !disk_->files.count(path_)) return std::nullopt;
    return disk_->files.at(path_).Size();
  }
  ReadResult ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
    if (disk_->faults.count(Fault::kSeek)) return ReadResult::kSeekFailed;
    const auto found = disk_->files.find(path_);
    if (disk_->faults.count(Fault::kRead) || found == disk_->files.end() ||
        offset + bytes.size() > found->second.Size()) {
      return ReadResult::kReadFailed;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = found->second.sparse_size ? MemoryDisk::Pattern(offset + i)
                                           : found->second.bytes[offset + i];
    }
    return ReadResult::kDone;
  }

  bool Write(std::span<const std::uint8_t> bytes) override {
    if (disk_->on_write) disk_->on_write();
    if (disk_->faults.count(Fault::kWrite) || !disk_->files.count(path_)) return false;
    auto& stored = disk_->files.at(path_).bytes;
    stored.insert(stored.end(), bytes.begin(), bytes.end());
    return true;
  }
  bool Flush() override { return !disk_->faults.count(Fault::kFlush); }

  bool MoveNoReplace(const std::u16string& to) override {
    if (disk_->plant_on_move && !disk_->files.count(to)) {
      disk_->files[to].bytes.assign(disk_->plant_on_move->begin(), disk_->plant_on_move->end());
    }
    const auto found = disk_->files.find(path_);
    if (!writing_ || disk_->faults.count(Fault::kMove) || found == disk_->files.end() ||
        disk_->files.count(to)) {
      return false;
    }
    MemoryDisk::File& moved = disk_->files[to] = std::move(found->second);
    disk_->files.erase(path_);
    moved.open_for_writing = false;
    path_ = to;
    return true;
  }

 private:
  std::shared_ptr<MemoryDisk> disk_;
  std::u16string path_;
  bool writing_;
};

}  // namespace

std::vector<std::uint8_t> MemoryDisk::PatternBytes(std::uint64_t from, std::uint64_t count) {
  std::vector<std::uint8_t> bytes(count);
  for (std::uint64_t i = 0; i < count; ++i) bytes[i] = Pattern(from + i);
  return bytes;
}

std::u16string MemoryDisk::Encode(const std::vector<std::uint8_t>& bytes) {
  std::u16string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < 3; ++k) value = (value << 8) | (k < n ? bytes[i + k] : 0u);
    for (std::size_t k = 0; k < 4; ++k) {
      text += k <= n ? static_cast<char16_t>(kAlphabet[(value >> (18 - 6 * k)) & 63]) : u'=';
    }
  }
  return text;
}

std::unique_ptr<SourceFile> MemoryFiles::OpenForReading(const std::u16string& path) {
  if (disk_->faults.count(Fault::kOpen) || !disk_->files.count(path)) return nullptr;
  return std::make_unique<MemoryFile>(disk_, path, false);
}

std::unique_ptr<TargetFile> MemoryFiles::CreateNew(const std::u16string& path) {
  if (disk_->faults.count(Fault::kCreate) || disk_->files.count(path)) return nullptr;
  disk_->files[path].open_for_writing = true;
  return std::make_unique<MemoryFile>(disk_, path, true);
}

std::optional<std::u16string> MemoryFiles::EncodeBase64(std::span<const std::uint8_t> bytes) {
  if (disk_->faults.count(Fault::kEncode)) return std::nullopt;
  return MemoryDisk::Encode({bytes.begin(), bytes.end()});
}

std::optional<std::size_t> MemoryFiles::DecodedBase64Size(std::u16string_view text) {
  const std::optional<std::vector<std::uint8_t>> bytes = DecodeBase64(text);
  if (!bytes) return std::nullopt;
  return bytes->size();
}

std::optional<std::vector<std::uint8_t>> MemoryFiles::DecodeBase64(std::u16string_view text) {
  if (disk_->faults.count(Fault::kDecode) || text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int pad = last ? (text[i + 3] == u'=') + (text[i + 2] == u'=' && text[i + 3] == u'=') : 0;
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const int sextet = k >= 4 - static_cast<std::size_t>(pad) ? 0 : Sextet(text[i + k]);
      if (sextet < 0) return std::nullopt;
      value = (value << 6) | static_cast<std::uint32_t>(sextet);
    }
    for (int k = 0; k < 3 - pad; ++k)
      bytes.push_back(static_cast<std::uint8_t>(value >> (16 - 8 * k)));
  }
  return bytes;
}

}  // namespace varnel
