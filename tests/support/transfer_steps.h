#pragma once
// Drives a file transfer engine one update at a time, as the session worker does: shared by the
// engine's tests on the disk in memory and on real Windows files.
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "transfer/file_transfer.h"
#include "util/utf.h"

namespace varnel {

struct TransferSteps {
  using json = nlohmann::json;

  // The reply, null for none, or {"error": text} after which the record is reset as the worker
  // does. With `prompt`, the customer's answer to this transfer's file prompt (empty: dismissed).
  json Step(json file, const json& file_reply = json::object(),
            const std::optional<std::u16string>& prompt = std::nullopt) {
    file.emplace("id", id);
    const auto parse = [](const json& value) {
      return JsonObject::TryParse(Utf8ToUtf16(value.dump())).value();
    };
    try {
      const std::optional<JsonObject> reply = engine->FileTransferStep(
          parse(file), parse(file_reply), prompt ? Utf8ToUtf16(file["id"].get<std::string>()) : u"",
          prompt.value_or(u""), stop);
      return reply ? json::parse(Utf16ToUtf8(reply->Serialize())) : json();
    } catch (const FileTransferError& error) {
      engine->ResetTransfer();
      return {{"error", error.what()}};
    }
  }
  json Pick(const std::u16string& path) {
    return Step({{"state", "awaiting_pick"}, {"direction", "to_staff"}}, json::object(), path);
  }
  json Stage(double received, int chunks = 0) {
    return Step({{"state", "staging"},
                 {"direction", "to_staff"},
                 {"received", received},
                 {"chunks", chunks}});
  }
  json Offer(double size, const std::optional<std::u16string>& path = std::nullopt) {
    return Step({{"state", "awaiting_save"}, {"direction", "to_customer"}, {"size", size}},
                json::object(), path.value_or(save));
  }
  json Deliver(double size, const json& file_reply = json::object()) {
    return Step({{"state", "delivering"}, {"direction", "to_customer"}, {"size", size}},
                file_reply);
  }
  json Chunk(double size, int index, const std::string& data) {
    return Deliver(size, {{"index", index}, {"data", data}});
  }

  std::string id;
  std::u16string save;  // where an offered file is saved unless a step names another path
  std::unique_ptr<FileTransfer> engine;
  StopEvent stop;
};

}  // namespace varnel
