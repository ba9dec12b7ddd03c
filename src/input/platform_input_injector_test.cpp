#include "input/platform_input_injector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_input_platform.h"
#include "util/utf.h"

namespace varnel {
namespace {

const std::u16string kRight = u"\\\\.\\DISPLAY2";
const std::string kA = R"({"kind":"key_down","key":65})";
const std::string kDown = R"({"kind":"down","x":0,"y":0})";

// "K65" key down, "K37ue" key up with the extended flag, "abs:x,y", "ldown", "rup", "wheel:d".
std::string Describe(const SentEvent& e) {
  const KeyEvent& k = e.key_event;
  if (e.key) {
    return "K" + std::to_string(k.vk) + (k.flags & kKeyUp ? "u" : "") +
           (k.flags & kKeyExtended ? "e" : "");
  }
  const MouseEvent& m = e.mouse_event;
  if (m.flags == (kMouseMove | kMouseVirtualDesk | kMouseAbsolute)) {
    return "abs:" + std::to_string(m.dx) + "," + std::to_string(m.dy);
  }
  if (m.flags == kMouseWheel) return "wheel:" + std::to_string(m.data);
  const char* const buttons[] = {"ldown", "lup", "rdown", "rup", "mdown", "mup"};  // 0x2 to 0x40
  for (int i = 0; i < 6; ++i) {
    if (m.flags == 2u << i) return buttons[i];
  }
  return "mouse?";
}

// The injector on the right-hand monitor (1920,0)-(3840,1080) of a 3840 x 1080 desktop, whose
// top-left pixel is absolute (32776, 0). The clock starts at 10000, so a batch's presses are due
// for release at 11500.
class InputInjectorTest : public ::testing::Test {
 protected:
  InputInjectorTest() { Rebuild(); }
  ~InputInjectorTest() override {
    clock.RunFree();
    injector.reset();
  }
  // A fresh platform and injector; the clock runs free from the first rebuild on.
  void Rebuild() {
    if (injector) clock.RunFree();
    injector.reset();
    auto fake = std::make_unique<FakeInputPlatform>(clock);
    platform = fake.get();
    told = 0;
    injector = std::make_unique<PlatformInputInjector>(
        std::move(fake), [this](std::u16string_view id) -> std::optional<MonitorInfo> {
          for (const MonitorInfo& m : monitors) {
            if (id.empty() ? m.primary : m.id == id) return m;
          }
          return std::nullopt;
        });
  }

  // 't' applied, 'f' refused or failed, 'x' raised.
  char Apply(const std::string& inputs, bool allowed = true, std::u16string monitor = kRight) {
    try {
      const JsonArray batch =
          JsonObject::TryParse(Utf8ToUtf16("{\"a\":" + inputs + "}"))->GetArrayOr(u"a", {});
      return injector->ApplyInputs(batch, allowed, monitor) ? 't' : 'f';
    } catch (const JsonError&) {
      return 'x';
    }
  }
  // The events sent since the last call, separated by spaces.
  std::string Story() {
    std::string story;
    const std::vector<SentEvent> sent = platform->Sent();
    for (std::size_t i = told; i < sent.size(); ++i)
      story += (story.empty() ? "" : " ") + Describe(sent[i]);
    told = sent.size();
    return story;
  }
  std::string Held() {
    const PlatformInputInjector::Held held = injector->HeldInput();
    std::string text;
    for (const auto key : held.keys) text += "K" + std::to_string(key) + " ";
    for (const auto button : held.buttons) text += "B" + std::to_string(button) + " ";
    return text + "until " + std::to_string(held.hold_deadline);
  }
  // Whether everything the platform pressed was released again.
  bool NothingPressed() {
    PressedInput pressed;
    for (const SentEvent& e : platform->Sent()) pressed.Apply(e);
    return pressed.keys.empty() && pressed.buttons.empty();
  }

  std::vector<MonitorInfo> monitors{{u"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, true},
                                    {kRight, {1920, 0, 3840, 1080}, false}};
  FakeInputClock clock;
  FakeInputPlatform* platform = nullptr;
  std::unique_ptr<PlatformInputInjector> injector;
  std::size_t told = 0;
};

TEST_F(InputInjectorTest, CommandsAtTheEdgesOfTheirRangesAreSentInOrder) {
  ASSERT_EQ(Apply(R"([{"kind":"move","x":65535.9,"y":-0.9},
      {"kind":"down","x":0,"y":0,"button":2},{"kind":"up","x":0,"y":0,"button":2},
      {"kind":"down","x":0,"y":0,"button":1},{"kind":"up","x":0,"y":0},
      {"kind":"key_down","key":8},{"kind":"key_down","key":222},{"kind":"key_up","key":8},
      {"kind":"key_up","key":66},{"kind":"wheel","delta":-1200},{"kind":"wheel","delta":1200}])"),
            't');
  EXPECT_EQ(
      Story(),
      "abs:65535,0 abs:32776,0 rdown abs:32776,0 rup abs:32776,0 mdown abs:32776,0 lup K8 K222 "
      "K8u K66u wheel:-1200 wheel:1200");
  EXPECT_EQ(Held(), "K222 B1 until 11500");
  // A release lets go of the keys in ascending order, then of the buttons.
  ASSERT_EQ(Apply("[" + kA + "," + kDown + R"(,{"kind":"release"}])"), 't');
  EXPECT_EQ(Story(), "K65 abs:32776,0 ldown K65u K222u lup mup");
}

// The batch stops at the first bad command, and the key pressed before it comes up.
TEST_F(InputInjectorTest, ABadCommandFailsTheBatchAndReleases) {
  const auto check = [&](const std::string& command, char result, const char* story) {
    EXPECT_EQ(Apply("[" + kA + "," + command + R"(,{"kind":"key_down","key":66}])"), result)
        << command;
    EXPECT_EQ(Story(), story) << command;
    EXPECT_EQ(Held(), "until 0") << command;
  };
  for (const char* refused :
       {R"({"kind":"move","x":65536,"y":0})", R"({"kind":"up","x":0,"y":-1})",
        R"({"kind":"down","y":0})", R"({"kind":"move","x":1e300,"y":0})",
        R"({"kind":"move","x":0,"y":0,"button":3})", R"({"kind":"key_down","key":7})",
        R"({"kind":"key_up","key":223})", R"({"kind":"wheel","delta":1201})",
        R"({"kind":"wheel","delta":-1201})", R"({"kind":"Move","x":0,"y":0})", "{}",
        R"({"kind":"open_tool","tool":"cmd"})"}) {
    check(refused, 'f', "K65 K65u");
  }
  check(R"({"kind":"move","x":"5","y":0})", 'x', "K65 K65u");  // a field of another type
  check("5", 'x', "K65 K65u");                                 // not an object
  platform->fail_send_at = platform->Sent().size() + 2;        // the platform refuses the press
  check(kDown, 'f', "K65 abs:32776,0 ldown K65u");
}

// A pointer command aimed at our own window, and every key while ours is in the foreground, is
// not sent and releases everything instead; the next command goes on.
TEST_F(InputInjectorTest, NothingReachesOurOwnWindows) {
  platform->own_window = [](int x, int y) { return x == 1920 && y == 0; };
  ASSERT_EQ(Apply("[" + kA + "," + kDown + R"(,{"kind":"key_down","key":66}])"), 't');
  EXPECT_EQ(Story(), "K65 K65u K66");
  EXPECT_EQ(Held(), "K66 until 11500");
  platform->own_foreground = true;
  ASSERT_EQ(
      Apply(R"([{"kind":"down","x":65535,"y":65535},)" + kA + R"(,{"kind":"wheel","delta":120}])"),
      't');
  EXPECT_EQ(Story(), "abs:65535,65535 ldown K66u lup wheel:120");
}

TEST_F(InputInjectorTest, ExactlyTheThirteenExtendedKeysCarryTheFlagDownAndUp) {
  std::string batch = "[";
  for (int vk = 8; vk <= 222; ++vk)
    batch += R"({"kind":"key_down","key":)" + std::to_string(vk) + "},";
  ASSERT_EQ(Apply(batch + kA + "]"), 't');
  ASSERT_EQ(Apply("[" + kA + "]", false), 't');  // not allowed: releases only
  const std::vector<SentEvent> sent = platform->Sent();
  ASSERT_EQ(sent.size(), 431u);  // the second 'A' is not held twice
  std::vector<int> down, up;
  for (const SentEvent& e : sent) {
    if (e.key_event.flags & kKeyExtended)
      (e.key_event.flags & kKeyUp ? up : down).push_back(e.key_event.vk);
  }
  const std::vector<int> extended{0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27,
                                  0x28, 0x2D, 0x2E, 0x5B, 0x5C, 0x6F};
  EXPECT_EQ(down, extended);
  EXPECT_EQ(up, extended);
}

TEST_F(InputInjectorTest, MapsOntoTheMonitorThenTheVirtualDesktop) {
  struct {
    ScreenRect monitor;
    VirtualScreen desktop;
    const char *move, *absolute;
  } const cases[] = {
      {{1920, 0, 3840, 1080}, {0, 0, 3840, 1080}, R"("x":65535,"y":65535)", "abs:65535,65535"},
      {{1920, 0, 3840, 1080}, {0, 0, 3840, 1080}, R"("x":0,"y":0)", "abs:32776,0"},
      // Left of the primary, on a desktop that starts at -1280.
      {{-1280, 0, 0, 1024}, {-1280, 0, 3200, 1080}, R"("x":0,"y":65535)", "abs:0,62134"},
      // Above the primary, on a desktop that starts at -200.
      {{0, -200, 1920, 880}, {0, -200, 1920, 1080}, R"("x":0,"y":0)", "abs:0,0"},
      // A degenerate one-pixel desktop does not divide by zero.
      {{0, 0, 1, 1}, {0, 0, 1, 1}, R"("x":65535,"y":0)", "abs:0,0"}};
  for (const auto& c : cases) {
    monitors[1].rect = c.monitor;
    platform->desktop = c.desktop;
    ASSERT_EQ(Apply(std::string(R"([{"kind":"move",)") + c.move + "}]"), 't');
    EXPECT_EQ(Story(), c.absolute);
  }
}

TEST_F(InputInjectorTest, ToolsOpenFromTheSystemFolderAfterReleasing) {
  const std::u16string system = u"C:\\windows\\system32", control = system + u"\\control.exe|";
  struct {
    const char* tool;
    std::u16string directory;
    bool opens;
    char result;
    std::vector<std::u16string> opened;
  } const cases[] = {
      {"control_panel", system, true, 't', {control}},
      {"printers", system, true, 't', {u"ms-settings:printers|"}},
      {"devices_printers", system, true, 't', {control + u"/name Microsoft.DevicesAndPrinters"}},
      {"control_panel", system, false, 'f', {control}},
      {"control_panel", u"", true, 'f', {}},
      {"control_panel", std::u16string(260, u'C'), true, 'f', {}},
      {"Printers", system, true, 'f', {}}};
  for (const auto& c : cases) {
    platform->system_directory = c.directory;
    platform->tool_opens = c.opens;
    platform->tools.clear();
    EXPECT_EQ(Apply("[" + kA + R"(,{"kind":"open_tool","tool":")" + c.tool + "\"}]"), c.result);
    EXPECT_EQ(Story(), "K65 K65u") << c.tool;
    EXPECT_EQ(platform->tools, c.opened) << c.tool;
  }
}

// Held input is released at once and nothing else is sent; the deadline is cleared, not moved.
TEST_F(InputInjectorTest, RefusedBatchesOnlyRelease) {
  const struct {
    bool allowed, desktop, stopped;
    std::u16string monitor;
    char result;
  } cases[] = {{false, true, false, kRight, 't'},
               {true, false, false, kRight, 'f'},
               {true, true, false, u"\\\\.\\DISPLAY9", 'f'},
               {true, true, true, kRight, 't'}};
  for (const auto& c : cases) {
    platform->desktop_default = true;
    ASSERT_EQ(Apply("[" + kA + "," + kDown + "]"), 't');
    Story();
    platform->desktop_default = c.desktop;
    if (c.stopped) {
      injector->StopInput();
      EXPECT_EQ(Story(), "K65u lup");
    }
    EXPECT_EQ(Apply(R"([{"kind":"key_down","key":66}])", c.allowed, c.monitor), c.result);
    EXPECT_EQ(Story(), c.stopped ? "" : "K65u lup");
    EXPECT_EQ(Held(), "until 0");
  }
}

// The deadline counts from the last accepted batch; the watchdog polls every 50 ms from its start
// at 10000, so a last batch at 13007 is released at the poll of 14550.
TEST_F(InputInjectorTest, TheWatchdogReleasesOnceBetween1500And1550MillisecondsAfterTheLastBatch) {
  clock.AdvanceTo(10007);
  ASSERT_EQ(Apply("[" + kA + "," + kDown + "]"), 't');
  for (int second = 1; second <= 3; ++second) {  // batches every second keep it held
    clock.AdvanceTo(10007 + 1000 * second);
    ASSERT_EQ(Apply("[]"), 't');
  }
  clock.AdvanceTo(13007 + 1499);
  EXPECT_EQ(Story(), "K65 abs:32776,0 ldown");
  clock.AdvanceTo(20000);
  EXPECT_EQ(Story(), "K65u lup");
  EXPECT_EQ(platform->Sent().back().tick, 14550u);  // the first poll 1500 ms after 13007
  EXPECT_EQ(Held(), "until 0");
}

// The worker applies batches while the watchdog polls and the window's thread stops input; under
// ThreadSanitizer this shows the one lock covers them all.
TEST_F(InputInjectorTest, BatchesWatchdogAndStopShareOneLock) {
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i) {
      Apply("[" + kA + "," + kDown + "]");
      std::lock_guard<InputInjector> guard(*injector);
      if (i % 7 == 0) injector->ReleaseAll();
    }
  });
  for (int step = 0; step < 100; ++step) clock.Advance(400);
  injector->StopInput();
  worker.join();
  EXPECT_TRUE(injector->HeldInput().stopped);
  EXPECT_EQ(Held(), "until 0");
  EXPECT_TRUE(NothingPressed());
}

// A stop marked while the batch is inside a key event or a tool start returns without waiting
// for it, and from then on the platform sees releases only: the rest of a 360 KB batch, and the
// tools after it, never arrive.
TEST_F(InputInjectorTest, AStopDuringALongBatchReturnsAtOnceAndOnlyReleasesFollow) {
  std::string keys;
  for (int i = 0; i < 6150; ++i) keys += kA + R"(,{"kind":"key_down","key":66},)";
  const std::string tool = R"({"kind":"open_tool","tool":"control_panel"})";
  for (const bool stall_in_tool : {false, true}) {
    Rebuild();
    // The platform stalls in one call until the test lets it go, so that the stop is marked
    // while the batch is provably in the middle of it.
    std::promise<void> entered, go;
    const auto stall = [&, gone = go.get_future().share()] {
      entered.set_value();
      gone.wait();
    };
    std::atomic<std::size_t> calls{0};
    if (stall_in_tool) {
      platform->on_tool = stall;
    } else {
      platform->on_event = [&](const SentEvent&) {
        if (++calls == 100) stall();
      };
    }
    const std::string batch =
        stall_in_tool ? "[" + kA + "," + tool + "," + keys + tool + "]" : "[" + keys + tool + "]";
    auto applied = std::async(std::launch::async, [&] { return Apply(batch); });
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    auto stopped = std::async(std::launch::async, [&] { injector->StopInput(); });
    const bool returned = stopped.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    // Reading the held input takes the lock: free while a tool starts.
    if (stall_in_tool) {
      EXPECT_TRUE(injector->HeldInput().stopped);
    }
    // A stalled key event was already on its way when the stop came.
    const std::size_t sent_at_stop = platform->Sent().size() + (stall_in_tool ? 0 : 1);
    go.set_value();
    EXPECT_EQ(applied.get(), 't');
    ASSERT_TRUE(returned) << "StopInput waited for the stalled batch";
    const std::vector<SentEvent> sent = platform->Sent();
    for (std::size_t i = sent_at_stop; i < sent.size(); ++i) {
      EXPECT_TRUE(sent[i].IsRelease()) << i << ": " << Describe(sent[i]);
    }
    EXPECT_TRUE(NothingPressed());
    EXPECT_EQ(platform->tools.size(), stall_in_tool ? 1u : 0u);
    EXPECT_EQ(Held(), "until 0");
  }
}

}  // namespace
}  // namespace varnel
