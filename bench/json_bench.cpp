// Cost of the two largest JSON messages of a session: a "preview_frame" carrying a Base64 picture
// near its size limit, and a reply of the largest size the exchange accepts. Reported per message:
// time, heap allocations, bytes allocated, and "big" allocations (at least 256 KiB), which are the
// copies of the large text; building and serialising a frame should need exactly two of them, the
// text in the message and the serialised text.
//
// ReplyCost/* measures a whole reply of the largest accepted size in every shape a server can
// choose, ordinary and hostile: the peak heap while parsing (usable bytes of every block held,
// above what was held before), that peak per byte of wire text, and the time; ReplyCostDom/* is
// nlohmann/json's own DOM parse of the same UTF-8 text in the same run, as a yardstick.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "json/json.h"
#include "nlohmann/json.hpp"
#include "screen/preview_frame.h"
#include "session/wire_messages.h"
#include "support/counting_heap.h"
#include "util/monitor_info.h"
#include "util/utf.h"

namespace {

struct AllocationCount {
  std::size_t allocations = counting_heap::allocations.load();
  std::size_t bytes = counting_heap::bytes.load();
  std::size_t big = counting_heap::big_allocations.load();

  void Report(benchmark::State& state) const {
    const auto per_message = [&](std::size_t before, std::size_t after) {
      return benchmark::Counter(static_cast<double>(after - before) /
                                static_cast<double>(state.iterations()));
    };
    state.counters["allocs/msg"] = per_message(allocations, counting_heap::allocations.load());
    state.counters["bytes/msg"] = per_message(bytes, counting_heap::bytes.load());
    state.counters["big_allocs/msg"] = per_message(big, counting_heap::big_allocations.load());
  }
};

std::u16string Base64Text(std::size_t length) {
  static constexpr char16_t kAlphabet[] =
      u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::u16string text(length, u'A');
  std::uint32_t state = 12345;
  for (char16_t& unit : text) {
    state = state * 1664525u + 1013904223u;
    unit = kAlphabet[state >> 26];
  }
  return text;
}

const std::vector<varnel::MonitorInfo> kMonitors = {
    {u"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, true},
    {u"\\\\.\\DISPLAY2", {-2560, 0, 0, 1440}, false},
};

// The worker's path for a changed picture in a multi-monitor session: status message, monitor
// list, turned into a frame, serialised for the exchange.
void BuildAndSerialisePreviewFrame(benchmark::State& state) {
  varnel::PreviewFrame frame;
  frame.jpeg = Base64Text(349000);
  frame.width = 1280;
  frame.height = 720;
  frame.monitor_id = kMonitors[0].id;
  frame.rect = kMonitors[0].rect;
  const std::u16string last_sent = Base64Text(1000);
  std::size_t text_units = 0;

  const AllocationCount before;
  for (auto _ : state) {
    varnel::JsonObject message = varnel::BuildStatusMessage(false);
    varnel::AddMonitorList(message, kMonitors);
    varnel::TurnIntoPreviewFrame(message, frame.monitor_id, 4, frame, last_sent);
    const std::u16string text = message.Serialize();
    text_units = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  before.Report(state);
  state.counters["utf16_units"] = static_cast<double>(text_units);
}
BENCHMARK(BuildAndSerialisePreviewFrame)->Unit(benchmark::kMicrosecond);

// A reply of exactly `total_bytes` of UTF-8: a full session object and a few inputs, filled up
// either with one Base64 file chunk or with many small input commands.
std::string ReplyText(std::size_t total_bytes, bool many_inputs) {
  std::string head =
      R"({"ok":true,"session":{"state":"active","id":"req-8f2c","staff_id":"agent-17",)"
      R"("store":"S01","ixcompany":2,"consent_id":"c-1","screen_preview":true,)"
      R"("multi_monitor":true,"selected_monitor":"\\\\.\\DISPLAY1","monitor_revision":3,)"
      R"("preview_requested":true,"preview_has_frame":true,"viewer_connected":true,)"
      R"("control_id":"","control_allowed":true,"control_generation":"g-5","control_paused":false,)"
      R"("end_reason":"","file":{"id":"t-1","state":"sending","direction":"download",)"
      R"("name":"report.pdf"}},"command_error":"","inputs":[)";
  std::string text = head;
  const std::string input =
      R"({"type":"mouse_move","x":1234,"y":-567,"monitor":"\\\\.\\DISPLAY1"})";
  if (many_inputs) {
    const std::string tail = R"(],"file_reply":{}})";
    bool first = true;
    while (text.size() + input.size() + 1 + tail.size() <= total_bytes) {
      if (!first) text += ',';
      first = false;
      text += input;
    }
    // Pad with blanks, which JSON allows between tokens.
    text += std::string(total_bytes - text.size() - tail.size(), ' ');
    text += tail;
  } else {
    text += input + "," + input;
    text += R"(],"file_reply":{"id":"t-1","offset":0,"data":")";
    const std::string tail = R"("}})";
    const std::u16string chunk = Base64Text(total_bytes - text.size() - tail.size());
    text += varnel::Utf16ToUtf8(chunk);
    text += tail;
  }
  return text;
}

void ParseReply(benchmark::State& state, bool many_inputs) {
  const std::string wire = ReplyText(360000, many_inputs);
  if (wire.size() != 360000) state.SkipWithError("reply has the wrong size");
  const std::u16string text = varnel::Utf8ToUtf16(wire);

  const AllocationCount before;
  for (auto _ : state) {
    auto reply = varnel::JsonObject::TryParse(text);
    if (!reply) state.SkipWithError("reply did not parse");
    benchmark::DoNotOptimize(reply);
  }
  before.Report(state);
}

// As the exchange receives it: UTF-8 to UTF-16, then the parse.
void DecodeAndParseReply(benchmark::State& state, bool many_inputs) {
  const std::string wire = ReplyText(360000, many_inputs);
  const AllocationCount before;
  for (auto _ : state) {
    auto reply = varnel::JsonObject::TryParse(varnel::Utf8ToUtf16(wire));
    if (!reply) state.SkipWithError("reply did not parse");
    benchmark::DoNotOptimize(reply);
  }
  before.Report(state);
}

// ---- Reply cost by shape
// -------------------------------------------------------------------------

// A reply of `total_bytes` of UTF-8 whose padding field repeats `item` (items separated by commas)
// as often as fits; blanks, which JSON allows between tokens, make up the exact size.
std::string PaddedReply(std::size_t total_bytes, const std::string& item) {
  std::string text = R"({"ok":true,"padding":[)";
  const std::string tail = "]}";
  bool first = true;
  while (text.size() + item.size() + 1 + tail.size() <= total_bytes) {
    if (!first) text += ',';
    first = false;
    text += item;
  }
  text += std::string(total_bytes - text.size() - tail.size(), ' ');
  return text + tail;
}

// Arrays inside arrays down to the depth limit, the reply object and its padding array counting
// as the first two levels.
std::string NestedToTheCap() {
  const int levels = varnel::kJsonMaxDepth - 2;
  return std::string(levels, '[') + std::string(levels, ']');
}

// One object with as many distinct short keys as fit ("0", "1", ... "zz9").
std::string ManyShortKeys(std::size_t total_bytes) {
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string text = R"({"ok":true)";
  for (std::size_t i = 0;; ++i) {
    std::string key;
    std::size_t rest = i;
    do {
      key += kDigits[rest % 36];
      rest /= 36;
    } while (rest != 0);
    const std::string member = ",\"" + key + "\":0";
    if (text.size() + member.size() + 1 > total_bytes) break;
    text += member;
  }
  text += std::string(total_bytes - text.size() - 1, ' ');
  return text + "}";
}

std::string ShapeText(int shape) {
  constexpr std::size_t kSize = 360000;
  switch (shape) {
    case 0:
      return ReplyText(kSize, false);
    case 1:
      return PaddedReply(kSize, R"({"kind":"key_down","key":65})");
    case 2:
      return PaddedReply(kSize, "{}");
    case 3:
      return PaddedReply(kSize, "[]");
    case 4:
      return PaddedReply(kSize, NestedToTheCap());
    case 5:
      return ManyShortKeys(kSize);
    case 6:
      return PaddedReply(kSize, "0");
    case 7:
      return PaddedReply(kSize, "\"a\"");
    default:
      // One long text made of escapes only, six bytes of wire text for each unit held.
      std::string escapes;
      while (escapes.size() + 6 < kSize - 40) escapes += "\\u00e9";
      return PaddedReply(kSize, "\"" + escapes + "\"");
  }
}

struct PeakHeap {
  std::size_t base = counting_heap::held.load();
  PeakHeap() { counting_heap::peak.store(base); }
  std::size_t Above() const { return counting_heap::peak.load() - base; }
};

void ReportCost(benchmark::State& state, std::size_t wire_bytes, std::size_t peak) {
  state.counters["peak_bytes"] = static_cast<double>(peak);
  state.counters["peak/byte"] = static_cast<double>(peak) / static_cast<double>(wire_bytes);
  state.counters["wire_bytes"] = static_cast<double>(wire_bytes);
}

void ReplyCost(benchmark::State& state, int shape) {
  const std::string wire = ShapeText(shape);
  const std::u16string text = varnel::Utf8ToUtf16(wire);
  std::size_t peak = 0;
  for (auto _ : state) {
    const PeakHeap heap;
    auto reply = varnel::JsonObject::TryParse(text);
    peak = std::max(peak, heap.Above());
    if (!reply) state.SkipWithError("reply did not parse");
    benchmark::DoNotOptimize(reply);
  }
  ReportCost(state, wire.size(), peak);
}

void ReplyCostDom(benchmark::State& state, int shape) {
  const std::string wire = ShapeText(shape);
  std::size_t peak = 0;
  for (auto _ : state) {
    const PeakHeap heap;
    auto dom = nlohmann::json::parse(wire);
    peak = std::max(peak, heap.Above());
    benchmark::DoNotOptimize(dom);
  }
  ReportCost(state, wire.size(), peak);
}

#define QUILLORY_REPLY_SHAPE(name, shape)                                   \
  BENCHMARK_CAPTURE(ReplyCost, name, shape)->Unit(benchmark::kMicrosecond); \
  BENCHMARK_CAPTURE(ReplyCostDom, name, shape)->Unit(benchmark::kMicrosecond)

QUILLORY_REPLY_SHAPE(file_chunk, 0);
QUILLORY_REPLY_SHAPE(key_batch, 1);
QUILLORY_REPLY_SHAPE(empty_objects, 2);
QUILLORY_REPLY_SHAPE(empty_arrays, 3);
QUILLORY_REPLY_SHAPE(nested_to_cap, 4);
QUILLORY_REPLY_SHAPE(many_short_keys, 5);
QUILLORY_REPLY_SHAPE(small_numbers, 6);
QUILLORY_REPLY_SHAPE(short_strings, 7);
QUILLORY_REPLY_SHAPE(escaped_string, 8);

BENCHMARK_CAPTURE(ParseReply, file_chunk, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ParseReply, many_inputs, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(DecodeAndParseReply, file_chunk, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(DecodeAndParseReply, many_inputs, true)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
