// Fuzzes the input injector with sequences of batches, built from the bytes either as commands near
// every range boundary or as raw JSON text, on random monitors and desktops, allowed or not, with
// own windows, refused events and time passing in between. After every step:
// - a batch that is not allowed sends nothing but releases;
// - what the platform has pressed and not released is exactly what the injector holds, and it
//   carries a deadline;
// - once the deadline has passed, the watchdog has released everything.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "input/platform_input_injector.h"
#include "support/fake_input_platform.h"
#include "util/utf.h"

namespace {

using namespace varnel;

using fuzz::Require;

std::string Number(FuzzedDataProvider& data) {
  static const char* const kEdges[] = {
      "-1",   "0",     "1",    "2",    "3",         "7",           "8",          "222",
      "223",  "-1200", "1200", "1201", "-1201",     "65535",       "65536",      "65535.9",
      "-0.9", "37",    "91",   "111",  "1e300",     "-2147483649", "2147483648", "\"5\"",
      "null", "true",  "[]",   "{}",   "4294967296"};
  if (data.ConsumeBool()) return kEdges[data.ConsumeIntegralInRange<std::size_t>(0, 28)];
  return std::to_string(data.ConsumeIntegralInRange<int>(-70000, 70000));
}

std::string Command(FuzzedDataProvider& data) {
  static const char* const kKinds[] = {"release", "move",  "down",      "up",   "key_down",
                                       "key_up",  "wheel", "open_tool", "Move", ""};
  static const char* const kFields[] = {"x", "y", "button", "key", "delta", "tool"};
  static const char* const kTools[] = {"control_panel", "printers", "devices_printers", "cmd"};
  if (data.ConsumeIntegralInRange(0, 30) == 0) return Number(data);  // not an object
  std::string text = "{";
  if (data.ConsumeIntegralInRange(0, 20) != 0) {
    text += "\"kind\":\"" + std::string(kKinds[data.ConsumeIntegralInRange(0, 9)]) + "\"";
  }
  for (int fields = data.ConsumeIntegralInRange(0, 4); fields > 0; --fields) {
    const int field = data.ConsumeIntegralInRange(0, 5);
    text += std::string(text.size() > 1 ? "," : "") + "\"" + kFields[field] + "\":";
    text += field == 5 ? "\"" + std::string(kTools[data.ConsumeIntegralInRange(0, 3)]) + "\""
                       : Number(data);
  }
  return text + "}";
}

ScreenRect Rect(FuzzedDataProvider& data) {
  const int left = data.ConsumeIntegralInRange(-5000, 5000);
  const int top = data.ConsumeIntegralInRange(-5000, 5000);
  return {left, top, left + data.ConsumeIntegralInRange(0, 8000),
          top + data.ConsumeIntegralInRange(0, 8000)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  FakeInputClock clock;
  auto owned = std::make_unique<FakeInputPlatform>(clock);
  FakeInputPlatform& platform = *owned;
  std::vector<MonitorInfo> monitors;
  for (int i = data.ConsumeIntegralInRange(0, 3); i > 0; --i) {
    monitors.push_back({u"\\\\.\\DISPLAY" + AsciiToUtf16(std::to_string(i)), Rect(data), i == 1});
  }
  const ScreenRect desk = Rect(data);
  platform.desktop = {desk.left, desk.top, desk.right - desk.left, desk.bottom - desk.top};
  const int own_x = data.ConsumeIntegralInRange(-100, 100);
  platform.own_window = [own_x](std::int32_t x, std::int32_t) { return x % 101 == own_x; };

  bool allowed = false;
  platform.on_event = [&](const SentEvent& e) { Require(allowed || e.IsRelease()); };
  auto injector = std::make_unique<PlatformInputInjector>(
      std::move(owned), [&](std::u16string_view id) -> std::optional<MonitorInfo> {
        for (const MonitorInfo& m : monitors) {
          if (id.empty() ? m.primary : m.id == id) return m;
        }
        return std::nullopt;
      });

  PressedInput pressed;
  std::size_t seen = 0;
  while (data.remaining_bytes() > 0) {
    allowed = data.ConsumeBool();
    platform.desktop_default = data.ConsumeIntegralInRange(0, 15) != 0;
    platform.own_foreground = data.ConsumeIntegralInRange(0, 7) == 0;
    platform.fail_send_at = data.ConsumeIntegralInRange(0, 15) == 0
                                ? seen + data.ConsumeIntegralInRange<std::size_t>(0, 4)
                                : SIZE_MAX;
    const std::u16string monitor =
        u"\\\\.\\DISPLAY" + AsciiToUtf16(std::to_string(data.ConsumeIntegralInRange(0, 3)));
    std::string text = "[";
    if (data.ConsumeIntegralInRange(0, 15) == 0) {
      text += data.ConsumeRandomLengthString(200);
    } else {
      for (int n = data.ConsumeIntegralInRange(0, 8); n > 0; --n) {
        text += (text.size() > 1 ? "," : "") + Command(data);
      }
    }
    const std::optional<JsonObject> parsed =
        JsonObject::TryParse(Utf8ToUtf16("{\"a\":" + text + "]}"));
    if (parsed) {
      try {
        injector->ApplyInputs(parsed->GetArrayOr(u"a", JsonArray::New()), allowed,
                              data.ConsumeBool() ? monitor : u"");
      } catch (const JsonError&) {
        // An element that is not an object, or a field of another type.
      }
    }
    allowed = false;  // the watchdog only releases
    clock.Advance(data.ConsumeIntegralInRange<std::uint64_t>(0, 2000));

    const std::vector<SentEvent> sent = platform.Sent();
    for (; seen < sent.size(); ++seen) {
      if (seen != platform.fail_send_at) pressed.Apply(sent[seen]);
    }
    const PlatformInputInjector::Held held = injector->HeldInput();
    Require(held.keys == pressed.keys && held.buttons == pressed.buttons);
    const bool holding = !held.keys.empty() || !held.buttons.empty();
    Require(!holding || (held.hold_deadline != 0 && clock.Now() < held.hold_deadline + 50));
  }
  // The platform goes with the injector: its last releases are followed as they are sent.
  const std::vector<SentEvent> sent = platform.Sent();
  for (; seen < sent.size(); ++seen) pressed.Apply(sent[seen]);
  platform.on_event = [&](const SentEvent& e) {
    Require(e.IsRelease());
    pressed.Apply(e);
  };
  clock.RunFree();
  injector.reset();
  Require(pressed.keys.empty() && pressed.buttons.empty());
  return 0;
}
