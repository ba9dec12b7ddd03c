// Fuzzes what the session makes of a server reply: random replies built from the input, and
// mutations of real replies (the corpus), go through the typed reply view, the snapshot update
// and one whole worker turn on the fake desktop. Checked on every input:
// - nothing crashes, raises out of the worker or trips a sanitizer;
// - a reply the reading refuses changes nothing in the snapshot;
// - once finished, the snapshot never changes again;
// - every status text is one of the texts the customer may be shown.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "json/json.h"
#include "net/network_error.h"
#include "session/session_reply.h"
#include "session/session_snapshot.h"
#include "session/session_worker.h"
#include "support/fake_worker_parts.h"
#include "util/utf.h"

namespace varnel {
namespace {

using fuzz::IsStatusText;
using fuzz::Require;

// ---- replies built from the input ----

const char* const kStates[] = {"waiting", "awaiting_consent", "active", "denied", "expired",
                               "ended",   "Active",           ""};
const char* const kSessionKeys[] = {"state",
                                    "id",
                                    "staff_id",
                                    "store",
                                    "ixcompany",
                                    "consent_id",
                                    "end_reason",
                                    "screen_preview",
                                    "preview_requested",
                                    "preview_has_frame",
                                    "viewer_connected",
                                    "multi_monitor",
                                    "selected_monitor",
                                    "monitor_revision",
                                    "control_id",
                                    "control_allowed",
                                    "control_paused",
                                    "control_generation",
                                    "file"};
const char* const kFileStates[] = {"idle",          "complete",      "cancelled", "expired",
                                   "awaiting_pick", "awaiting_save", "staging",   "delivering"};

JsonValue RandomScalar(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0:
      return JsonValue::Boolean(in.ConsumeBool());
    case 1:
      return JsonValue::Number(in.ConsumeFloatingPointInRange(-1e12, 1e12));
    case 2:
      return JsonValue::String(Utf8ToUtf16(in.ConsumeRandomLengthString(24)));
    case 3:
      return JsonValue::String(AsciiToUtf16(in.PickValueInArray(kStates)));
    default:
      return JsonObject::New();
  }
}

JsonObject RandomReply(FuzzedDataProvider& in) {
  JsonObject session = JsonObject::New();
  session.InsertString(u"state", AsciiToUtf16(in.PickValueInArray(kStates)));
  const int fields = in.ConsumeIntegralInRange(0, 24);
  for (int i = 0; i < fields && in.remaining_bytes() > 0; ++i) {
    const std::u16string key = AsciiToUtf16(in.PickValueInArray(kSessionKeys));
    if (key == u"file" && in.ConsumeBool()) {
      JsonObject file = JsonObject::New();
      file.InsertString(u"id", Utf8ToUtf16(in.ConsumeRandomLengthString(8)));
      file.InsertString(u"state", AsciiToUtf16(in.PickValueInArray(kFileStates)));
      session.Insert(key, file);
    } else {
      session.Insert(key, RandomScalar(in));
    }
  }
  JsonObject reply = JsonObject::New();
  reply.Insert(u"ok", JsonValue::Boolean(true));
  if (in.ConsumeBool()) reply.Insert(u"command_error", RandomScalar(in));
  if (in.ConsumeBool()) {
    JsonArray inputs = JsonArray::New();
    inputs.Append(RandomScalar(in));
    reply.Insert(u"inputs", inputs);
  }
  if (!in.ConsumeBool() || in.remaining_bytes() > 0) reply.Insert(u"session", session);
  return reply;
}

void CheckSnapshotUpdate(const JsonObject& reply) {
  SessionSharedState shared;
  shared.UpdateFromReply(
      *JsonObject::TryParse(u"{\"session\":{\"state\":\"awaiting_consent\",\"id\":\"r\"}}"), {});
  const SessionSnapshot before = shared.Snapshot();
  bool readable = true;
  try {
    ReadSessionReply(reply);
  } catch (const JsonError&) {
    readable = false;
  }
  try {
    shared.UpdateFromReply(reply, TurnFacts{true, false, false});
    Require(readable);
  } catch (const JsonError&) {
    Require(!readable && shared.Snapshot() == before);
    return;
  } catch (const NetworkError& error) {
    Require(error.message() == u"Unsupported server session state.");
    Require(shared.Snapshot() == before);
    return;
  }
  const SessionSnapshot after = shared.Snapshot();
  Require(IsStatusText(after.status_text));
  if (after.finished) {
    shared.UpdateFromReply(*JsonObject::TryParse(u"{\"session\":{\"state\":\"waiting\"}}"), {});
    shared.Publish(u"Connecting to server...", false);
    Require(shared.Snapshot() == after);
  }
}

// The server answers the handshake, then the fuzzed reply (also to the initial picture), then
// ends the session. The injector reads every command the way the real one must: each element an
// object; the file engine fails on a staging transfer.
void CheckWorkerTurn(const JsonObject& reply) {
  FakeDesktop desktop;
  int exchanges = 0;
  desktop.exchange = [&](const JsonObject& request) {
    if (++exchanges == 1) return ParsedReply(R"({"ok":true,"server_version":"0.9.2"})");
    if (exchanges == 2 || request.GetStringOrEmpty(u"type") == u"initial_preview") return reply;
    return ParsedReply(R"({"ok":true,"session":{"state":"ended"}})");
  };
  desktop.input = [](const JsonArray& inputs, bool, std::u16string_view) {
    for (const JsonValue& command : inputs) command.AsObject().GetStringOrEmpty(u"kind");
    return true;
  };
  desktop.file_step = [](const JsonObject& file, std::u16string_view, std::u16string_view) {
    if (file.GetStringOrEmpty(u"state") == u"staging") throw FileTransferError("fails");
    return std::optional<JsonObject>();
  };
  SessionWorkerParts parts = desktop.Parts();
  auto clock = std::make_shared<FakeSessionClock>();
  clock->step = std::chrono::milliseconds(100);
  parts.clock = clock;
  SessionWorker worker(LaunchOptions{}, DeviceCredentials{}, std::move(parts));
  worker.Start();
  while (!worker.Snapshot().finished) std::this_thread::yield();
  worker.Stop();
  const SessionSnapshot last = worker.Snapshot();
  Require(IsStatusText(last.status_text));
  Require(last.status_text != u"Stopped - No remote permissions");
}

}  // namespace
}  // namespace varnel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace varnel;
  std::optional<JsonObject> reply;
  if (size > 0 && data[0] == '{') {
    // A mutated text: what the JSON layer refuses never reaches the session.
    reply = JsonObject::TryParse(
        Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size)));
    if (!reply) return 0;
  } else {
    FuzzedDataProvider in(data, size);
    reply = RandomReply(in);
  }
  CheckSnapshotUpdate(*reply);
  CheckWorkerTurn(*reply);
  return 0;
}
