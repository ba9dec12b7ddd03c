#pragma once
// A disk in memory for the transfer engine's native tests and fuzzer, with a strict Base64 codec
// of its own (RFC 4648 alphabet and padding, no line breaks or other characters) and a switch for
// every platform failure. Large files can be sparse: their bytes are Pattern(offset).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "transfer/file_platform.h"

namespace varnel {

enum class Fault { kOpen, kSize, kSeek, kRead, kCreate, kWrite, kFlush, kMove, kEncode, kDecode };

struct MemoryDisk {
  struct File {
    std::vector<std::uint8_t> bytes;
    std::uint64_t sparse_size = 0;  // when non-zero, the file has this size and Pattern bytes
    bool open_for_writing = false;  // created by the engine and not yet moved into place
    std::uint64_t Size() const { return sparse_size ? sparse_size : bytes.size(); }
  };

  static std::uint8_t Pattern(std::uint64_t offset) {
    return static_cast<std::uint8_t>((offset * 131 + offset / 65536) & 0xff);
  }
  static std::vector<std::uint8_t> PatternBytes(std::uint64_t from, std::uint64_t count);
  static std::u16string Encode(const std::vector<std::uint8_t>& bytes);

  std::map<std::u16string, File> files;
  std::set<Fault> faults;
  // A file with these bytes appears at the target just before a move: the customer's own file
  // that took the chosen name while the transfer ran.
  std::optional<std::string> plant_on_move;
  // Runs before each write: lets a test stop the session while a chunk is written.
  std::function<void()> on_write;
};

class MemoryFiles final : public FilePlatform {
 public:
  explicit MemoryFiles(std::shared_ptr<MemoryDisk> disk) : disk_(std::move(disk)) {}

  std::unique_ptr<SourceFile> OpenForReading(const std::u16string& path) override;
  std::unique_ptr<TargetFile> CreateNew(const std::u16string& path) override;
  std::optional<std::u16string> EncodeBase64(std::span<const std::uint8_t> bytes) override;
  std::optional<std::size_t> DecodedBase64Size(std::u16string_view text) override;
  std::optional<std::vector<std::uint8_t>> DecodeBase64(std::u16string_view text) override;

 private:
  std::shared_ptr<MemoryDisk> disk_;
};

}  // namespace varnel
