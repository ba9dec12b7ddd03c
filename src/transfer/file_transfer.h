#pragma once
// The session's one file transfer as the session worker uses it: the record and the engine that
// advances it by one step per server update. The engine works on the customer's files through the
// platform; the worker's tests pass a fake.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "json/json.h"
#include "transfer/file_platform.h"
#include "util/stop_event.h"

namespace varnel {

// A failed file step. The text is for diagnosis only: the customer sees the file warning.
class FileTransferError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class FileTransfer {
 public:
  FileTransfer() = default;
  FileTransfer(const FileTransfer&) = delete;
  FileTransfer& operator=(const FileTransfer&) = delete;
  // Resets the record (an unfinished temporary file is deleted).
  virtual ~FileTransfer() = default;

  // One step for a session update: `file` is the session's "file" object, `file_reply` the
  // reply's "file_reply" object (both empty objects when absent), `prompt_id` and `prompt_path`
  // the customer's latest file choice (both empty when there is none; a dismissed prompt has the
  // id and an empty path). Returns the one file message to send, if any. Raises on failure
  // (FileTransferError, JsonError, ...); the record may then be half-done until ResetTransfer.
  // Only polls `stop_event`, never waits on it.
  virtual std::optional<JsonObject> FileTransferStep(const JsonObject& file,
                                                     const JsonObject& file_reply,
                                                     std::u16string_view prompt_id,
                                                     std::u16string_view prompt_path,
                                                     const StopEvent& stop_event) = 0;

  // Closes the file, deletes a temporary file not yet moved into place, clears the record.
  virtual void ResetTransfer() noexcept = 0;
};

// Both directions, inclusive; the second is how the customer reads it.
inline constexpr std::uint64_t kLargestFile = 209715200;
inline constexpr std::u16string_view kLargestFileText = u"200 MB";
// File bytes per chunk sent to the agent: 262144 characters of Base64.
inline constexpr std::size_t kChunkToStaff = 196608;
// Base64 characters per chunk accepted from the agent.
inline constexpr std::size_t kLargestChunkText = 262144;

// A file message: "type" and "transfer_id", the further keys follow.
JsonObject MakeFileReply(std::u16string_view transfer_id, std::u16string_view type);
// The customer dismissed the file prompt, or a file step failed while the transfer ran.
inline JsonObject MakeFileCancel(std::u16string_view transfer_id) {
  return MakeFileReply(transfer_id, u"file_cancel");
}

// The engine over `platform`. A temporary file it created and did not move into place is deleted
// by ResetTransfer and when the engine is destroyed.
std::unique_ptr<FileTransfer> MakeFileTransfer(std::unique_ptr<FilePlatform> platform);

}  // namespace varnel
