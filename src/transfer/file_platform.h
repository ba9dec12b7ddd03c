#pragma once
// What the transfer engine needs of the customer's disk and of the platform's Base64 codec. The
// engine makes every decision; these operations only carry them out, and report failure by their
// result, never by raising. On Windows they are the file and crypt calls; tests use a disk in
// memory.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

enum class ReadResult { kDone, kSeekFailed, kReadFailed };

// A file the customer picked, open for reading while others may read it too. Closed when
// destroyed.
class SourceFile {
 public:
  virtual ~SourceFile() = default;
  // Nothing when the size cannot be read.
  virtual std::optional<std::uint64_t> Size() = 0;
  // Fills all of `bytes` from `offset` on; a short read is kReadFailed.
  virtual ReadResult ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) = 0;
};

// A file this program created, open for writing and shared with nobody. Until it is moved into
// place it belongs to its handle: destroyed, or closed by a crash, a kill or a logoff, it takes
// the file with it, so no name is ever deleted and nothing is left behind.
class TargetFile {
 public:
  virtual ~TargetFile() = default;
  // Appends all of `bytes`; false on failure or a short write.
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
  // Through to the disk.
  virtual bool Flush() = 0;
  // Renames the open file onto `to`, a name that must still be free, written through to the
  // disk; from then on the file stays when closed. On failure it still goes with its handle.
  virtual bool MoveNoReplace(const std::u16string& to) = 0;
};

class FilePlatform {
 public:
  virtual ~FilePlatform() = default;
  // An existing disk file; nullptr when it cannot be opened or is not a disk file.
  virtual std::unique_ptr<SourceFile> OpenForReading(const std::u16string& path) = 0;
  // A file that did not exist before; nullptr when it cannot be created, also when the name is
  // taken.
  virtual std::unique_ptr<TargetFile> CreateNew(const std::u16string& path) = 0;

  // Base64 without line breaks; nothing when encoding fails.
  virtual std::optional<std::u16string> EncodeBase64(std::span<const std::uint8_t> bytes) = 0;
  // The number of bytes `text` decodes to; nothing when the codec refuses the text.
  virtual std::optional<std::size_t> DecodedBase64Size(std::u16string_view text) = 0;
  virtual std::optional<std::vector<std::uint8_t>> DecodeBase64(std::u16string_view text) = 0;
};

}  // namespace varnel
