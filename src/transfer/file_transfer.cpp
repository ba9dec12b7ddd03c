// One transfer step per server update; a file is whole at the customer's path or nowhere.
#include "transfer/file_transfer.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "transfer/transfer_state.h"
#include "util/hex.h"

namespace varnel {
namespace {

bool IsTransferId(std::u16string_view id) { return IsLowerHex(id, 32); }

// The whole bytes that the Base64 letters of `text` carry, however it is padded or broken into
// lines. The platform decoder stops early at padding inside a text and makes a byte of a lone
// letter; a size that differs from this marks a text that would not decode to what was sent.
std::size_t CarriedBytes(std::u16string_view text) {
  const auto letters = std::count_if(text.begin(), text.end(), [](char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
           c == u'+' || c == u'/';
  });
  return static_cast<std::size_t>(letters) * 6 / 8;
}

[[noreturn]] void Fail(const char* text) { throw FileTransferError(text); }

// The name the agent sees: no folders of the customer's disk.
std::u16string NameOf(const std::u16string& path) {
  const std::size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

// A received file on its way to the customer's chosen path. The platform deletes it with its
// handle unless it was moved into place, so every failure, stop, reset, crash and kill leaves
// nothing half-written behind; and the engine never names a file to delete.
class TemporaryFile {
 public:
  // nullptr when the file cannot be created; a file already bearing the name stays untouched.
  static std::unique_ptr<TemporaryFile> Create(FilePlatform& platform, const std::u16string& path) {
    std::unique_ptr<TargetFile> file = platform.CreateNew(path);
    if (!file) return nullptr;
    return std::unique_ptr<TemporaryFile>(new TemporaryFile(std::move(file)));
  }

  bool Write(std::span<const std::uint8_t> bytes) { return file_->Write(bytes); }

  // Flushes the file and moves it onto `target`, which must not exist. Once moved, the file is
  // the customer's and closing it leaves it there.
  void MoveInto(const std::u16string& target) {
    if (!file_->Flush()) Fail("File flush failed");
    if (!file_->MoveNoReplace(target)) Fail("Choose a new filename");
    file_.reset();
  }

 private:
  explicit TemporaryFile(std::unique_ptr<TargetFile> file) : file_(std::move(file)) {}

  std::unique_ptr<TargetFile> file_;
};

class FileTransferEngine final : public FileTransfer {
 public:
  explicit FileTransferEngine(std::unique_ptr<FilePlatform> platform)
      : platform_(std::move(platform)) {}
  ~FileTransferEngine() override { ResetTransfer(); }

  std::optional<JsonObject> FileTransferStep(const JsonObject& file, const JsonObject& file_reply,
                                             std::u16string_view prompt_id,
                                             std::u16string_view prompt_path,
                                             const StopEvent& stop_event) override {
    const std::u16string id = file.GetStringOrEmpty(u"id");
    const TransferState state = ParseTransferState(file.GetStringOrEmpty(u"state"));
    const std::u16string direction = file.GetStringOrEmpty(u"direction");

    if (id != transfer_id_) {
      ResetTransfer();
      transfer_id_ = id;
    }
    if (id.empty() || IsTransferOver(state)) {
      ResetTransfer();
      return std::nullopt;
    }
    if (!IsTransferId(id)) Fail("Invalid transfer ID");
    // The customer's dialog follows the state and the engine follows the direction: where they
    // disagree, a file picked to be sent would become the place the agent's data is written.
    if ((state == TransferState::kAwaitingPick && direction != u"to_staff") ||
        (state == TransferState::kAwaitingSave && direction != u"to_customer")) {
      Fail("Transfer direction does not match its state");
    }
    if (stop_event.IsSet()) {
      ResetTransfer();
      return std::nullopt;
    }
    const double announced = file.GetNumberOr(u"size", 0.0);
    if (!(announced >= 0.0 && announced <= static_cast<double>(kLargestFile))) {
      Fail("File too large");
    }

    if (prompt_id == id &&
        (state == TransferState::kAwaitingPick || state == TransferState::kAwaitingSave)) {
      if (prompt_path.empty()) return MakeFileCancel(id);
      return Accept(direction == u"to_staff", std::u16string(prompt_path), announced);
    }
    if (direction == u"to_staff" && state == TransferState::kStaging && accepted_ && source_) {
      return SendChunk(file);
    }
    if (direction == u"to_customer" && state == TransferState::kDelivering && accepted_ &&
        temporary_) {
      return ReceiveChunk(file_reply, stop_event);
    }
    return std::nullopt;
  }

  void ResetTransfer() noexcept override {
    source_.reset();
    temporary_.reset();
    transfer_id_.clear();
    path_.clear();
    size_ = 0;
    transferred_ = 0;
    next_index_ = 0;
    accepted_ = false;
  }

 private:
  JsonObject Accept(bool to_staff, std::u16string path, double announced) {
    // A second answer for the same transfer starts it over rather than mixing two files.
    source_.reset();
    temporary_.reset();
    transferred_ = 0;
    next_index_ = 0;
    path_ = std::move(path);
    accepted_ = true;
    JsonObject reply = MakeFileReply(transfer_id_, u"file_accept");
    if (to_staff) {
      source_ = platform_->OpenForReading(path_);
      if (!source_) Fail("Unable to read selected file");
      const std::optional<std::uint64_t> size = source_->Size();
      if (!size || *size > kLargestFile) Fail("Unable to read selected file");
      size_ = *size;
      reply.InsertString(u"name", NameOf(path_));
      reply.Insert(u"size", JsonValue::Number(static_cast<double>(size_)));
    } else {
      size_ = static_cast<std::uint64_t>(announced);
      temporary_ = TemporaryFile::Create(*platform_, path_ + u".varnel-" + transfer_id_ + u".part");
      if (!temporary_) Fail("Unable to create temporary file");
    }
    return reply;
  }

  // The chunk at the server's offset: the server paces the upload and may ask for a chunk again.
  JsonObject SendChunk(const JsonObject& file) {
    const double received = file.GetNumberOr(u"received", 0.0);
    // A negative or fractional offset names no byte of the file.
    if (!(received >= 0.0 && received <= static_cast<double>(size_)) ||
        received != std::floor(received)) {
      Fail("Invalid file offset");
    }
    const auto offset = static_cast<std::uint64_t>(received);
    if (offset == size_) return MakeFileReply(transfer_id_, u"file_finish");

    std::vector<std::uint8_t> bytes(
        static_cast<std::size_t>(std::min<std::uint64_t>(size_ - offset, kChunkToStaff)));
    switch (source_->ReadAt(offset, bytes)) {
      case ReadResult::kDone:
        break;
      case ReadResult::kSeekFailed:
        Fail("File seek failed");
      case ReadResult::kReadFailed:
        Fail("File read failed");
    }
    std::optional<std::u16string> text = platform_->EncodeBase64(bytes);
    if (!text) Fail("Encoding failed");
    JsonObject reply = MakeFileReply(transfer_id_, u"file_chunk");
    reply.InsertString(u"data", std::move(*text));
    reply.Insert(u"index", JsonValue::Number(file.GetNumberOr(u"chunks", 0.0)));
    return reply;
  }

  JsonObject ReceiveChunk(const JsonObject& file_reply, const StopEvent& stop_event) {
    if (file_reply.HasKey(u"data")) {
      if (file_reply.GetNumberOr(u"index", -1.0) != static_cast<double>(next_index_)) {
        Fail("Invalid chunk order");
      }
      const std::u16string data = file_reply.GetStringOrEmpty(u"data");
      if (data.size() > kLargestChunkText) Fail("Invalid file data");
      const std::uint64_t room = size_ - transferred_;
      const std::optional<std::size_t> length = platform_->DecodedBase64Size(data);
      if (!length || *length > room || *length != CarriedBytes(data)) Fail("Invalid file data");
      // The decoded bytes, not the size estimate, are what counts against the announced size.
      const std::optional<std::vector<std::uint8_t>> bytes = platform_->DecodeBase64(data);
      if (!bytes || bytes->size() > room || !temporary_->Write(*bytes)) Fail("File write failed");
      transferred_ += bytes->size();
      ++next_index_;
    }
    if (transferred_ < size_) {
      JsonObject reply = MakeFileReply(transfer_id_, u"file_get");
      reply.Insert(u"index", JsonValue::Number(next_index_));
      return reply;
    }
    if (stop_event.IsSet()) Fail("Cancelled");
    temporary_->MoveInto(path_);
    temporary_.reset();
    // Delivered: later updates of this transfer have nothing left to do. Were it still accepted, a
    // repeated "delivering" would touch the closed file, fail, and cancel a finished transfer.
    accepted_ = false;
    return MakeFileReply(transfer_id_, u"file_done");
  }

  std::unique_ptr<FilePlatform> platform_;  // first: the files below close before it goes
  std::u16string transfer_id_;
  std::u16string path_;
  std::unique_ptr<SourceFile> source_;
  std::unique_ptr<TemporaryFile> temporary_;
  std::uint64_t size_ = 0;
  std::uint64_t transferred_ = 0;
  std::uint32_t next_index_ = 0;
  bool accepted_ = false;
};

}  // namespace

JsonObject MakeFileReply(std::u16string_view transfer_id, std::u16string_view type) {
  JsonObject reply = JsonObject::New();
  reply.InsertString(u"type", std::u16string(type));
  reply.InsertString(u"transfer_id", std::u16string(transfer_id));
  return reply;
}

std::unique_ptr<FileTransfer> MakeFileTransfer(std::unique_ptr<FilePlatform> platform) {
  return std::make_unique<FileTransferEngine>(std::move(platform));
}

}  // namespace varnel
