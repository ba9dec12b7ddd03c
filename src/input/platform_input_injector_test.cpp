#include "input/platform_input_injector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
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

// "K41" key down, "K25ue" key up with the extended flag, "abs:x,y", "ldown", "rup", "wheel:d".
std::string Describe(const SentEvent& e) {
  if (e.key) {
    char text[16];
    std::snprintf(text, sizeof text, "K%X%s%s", static_cast<unsigned>(e.key_event.vk),
                  (e.key_event.flags & kKeyUp) ? "u" : "",
                  (e.key_event.flags & kKeyExtended) ? "e" : "");
    return text;
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
  InputInjectorTest() {
    auto fake = std::make_unique<FakeInputPlatform>(clock);
    platform = fake.get();
    injector = std::make_unique<PlatformInputInjector>(
        std::move(fake), [this](std::u16string_view id) -> std::optional<MonitorInfo> {
          for (const MonitorInfo& m : monitors) {
            if (id.empty() ? m.primary : m.id == id) return m;
          }
          return std::nullopt;
        });
  }
  ~InputInjectorTest() override {
    clock.RunFree();
    injector.reset();
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
      "abs:65535,0 abs:32776,0 rdown abs:32776,0 rup abs:32776,0 mdown abs:32776,0 lup K8 KDE "
      "K8u K42u wheel:-1200 wheel:1200");
  EXPECT_EQ(Held(), "K222 B1 until 11500");
  // A release lets go of the keys in ascending order, then of the buttons.
  ASSERT_EQ(Apply("[" + kA + R"(,{"kind":"down","x":0,"y":0},{"kind":"release"}])"), 't');
  EXPECT_EQ(Story(), "K41 abs:32776,0 ldown K41u KDEu lup mup");
}

// The batch stops at the first bad command, and the key pressed before it comes up.
TEST_F(InputInjectorTest, ABadCommandFailsTheBatchAndReleases) {
  const auto check = [&](const std::string& command, char result) {
    EXPECT_EQ(Apply("[" + kA + "," + command + R"(,{"kind":"key_down","key":66}])"), result)
        << command;
    EXPECT_EQ(Story(), "K41 K41u") << command;
    EXPECT_EQ(Held(), "until 0") << command;
  };
  for (const char* refused :
       {R"({"kind":"move","x":65536,"y":0})", R"({"kind":"up","x":0,"y":-1})",
        R"({"kind":"down","y":0})", R"({"kind":"move","x":1e300,"y":0})",
        R"({"kind":"move","x":0,"y":0,"button":3})", R"({"kind":"key_down","key":7})",
        R"({"kind":"key_up","key":223})", R"({"kind":"wheel","delta":1201})",
        R"({"kind":"wheel","delta":-1201})", R"({"kind":"Move","x":0,"y":0})", "{}",
        R"({"kind":"open_tool","tool":"cmd"})"}) {
    check(refused, 'f');
  }
  check(R"({"kind":"move","x":"5","y":0})", 'x');        // a field of another type
  check("5", 'x');                                       // not an object
  platform->fail_send_at = platform->Sent().size() + 2;  // the platform refuses the button-down
  EXPECT_EQ(Apply("[" + kA + R"(,{"kind":"down","x":0,"y":0},{"kind":"key_down","key":66}])"), 'f');
  EXPECT_EQ(Story(), "K41 abs:32776,0 ldown K41u");
  EXPECT_EQ(Held(), "until 0");
}

// A pointer command aimed at our own window, and every key while ours is in the foreground, is
// not sent and releases everything instead; the next command goes on.
TEST_F(InputInjectorTest, NothingReachesOurOwnWindows) {
  platform->own_window = [](int x, int y) { return x == 1920 && y == 0; };
  ASSERT_EQ(Apply("[" + kA + R"(,{"kind":"down","x":0,"y":0},{"kind":"key_down","key":66}])"), 't');
  EXPECT_EQ(Story(), "K41 K41u K42");
  EXPECT_EQ(Held(), "K66 until 11500");
  platform->own_foreground = true;
  ASSERT_EQ(
      Apply(R"([{"kind":"down","x":65535,"y":65535},)" + kA + R"(,{"kind":"wheel","delta":120}])"),
      't');
  EXPECT_EQ(Story(), "abs:65535,65535 ldown K42u lup wheel:120");
}

TEST_F(InputInjectorTest, ExactlyTheThirteenExtendedKeysCarryTheFlagDownAndUp) {
  std::string batch;
  for (int vk = 8; vk <= 222; ++vk) {
    batch += std::string(batch.empty() ? "[" : ",") + R"({"kind":"key_down","key":)" +
             std::to_string(vk) + "}";
  }
  ASSERT_EQ(Apply(batch + "]"), 't');
  ASSERT_EQ(Apply("[" + kA + "]", false), 't');  // not allowed: releases only
  const std::vector<SentEvent> sent = platform->Sent();
  ASSERT_EQ(sent.size(), 430u);
  std::vector<int> extended;
  for (std::size_t i = 0; i < 215; ++i) {
    const KeyEvent down = sent[i].key_event;
    if (down.flags & kKeyExtended) extended.push_back(down.vk);
    EXPECT_EQ(sent[215 + i].key_event, (KeyEvent{down.vk, down.flags | kKeyUp}));
  }
  EXPECT_THAT(extended, ::testing::ElementsAre(0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x2D,
                                               0x2E, 0x5B, 0x5C, 0x6F));
}

TEST_F(InputInjectorTest, MapsOntoTheMonitorThenTheVirtualDesktop) {
  struct {
    ScreenRect monitor;
    VirtualScreen desktop;
    int x, y;
    std::pair<int, int> pixel;
    std::string absolute;
  } const cases[] = {
      {{1920, 0, 3840, 1080}, {0, 0, 3840, 1080}, 65535, 65535, {3839, 1079}, "abs:65535,65535"},
      {{1920, 0, 3840, 1080}, {0, 0, 3840, 1080}, 0, 0, {1920, 0}, "abs:32776,0"},
      // Left of the primary, on a desktop that starts at -1280.
      {{-1280, 0, 0, 1024}, {-1280, 0, 3200, 1080}, 0, 65535, {-1280, 1023}, "abs:0,62134"},
      // Above the primary, on a desktop that starts at -200.
      {{0, -200, 1920, 880}, {0, -200, 1920, 1080}, 0, 0, {0, -200}, "abs:0,0"},
      // A degenerate one-pixel desktop does not divide by zero.
      {{0, 0, 1, 1}, {0, 0, 1, 1}, 65535, 0, {0, 0}, "abs:0,0"}};
  for (const auto& c : cases) {
    monitors[1].rect = c.monitor;
    platform->desktop = c.desktop;
    platform->pointer_checks.clear();
    ASSERT_EQ(Apply(R"([{"kind":"move","x":)" + std::to_string(c.x) + R"(,"y":)" +
                    std::to_string(c.y) + "}]"),
              't');
    EXPECT_EQ(Story(), c.absolute);
    EXPECT_THAT(platform->pointer_checks, ::testing::ElementsAre(c.pixel));
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
    EXPECT_EQ(Story(), "K41 K41u") << c.tool;
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
    ASSERT_EQ(Apply("[" + kA + R"(,{"kind":"down","x":0,"y":0}])"), 't');
    Story();
    platform->desktop_default = c.desktop;
    if (c.stopped) {
      injector->StopInput();
      EXPECT_EQ(Story(), "K41u lup");
    }
    EXPECT_EQ(Apply(R"([{"kind":"key_down","key":66}])", c.allowed, c.monitor), c.result);
    EXPECT_EQ(Story(), c.stopped ? "" : "K41u lup");
    EXPECT_EQ(Held(), "until 0");
  }
}

// The deadline counts from the last accepted batch; the watchdog polls every 50 ms from its start
// at 10000, so a batch at 10007 is released at the poll of 11550.
TEST_F(InputInjectorTest, TheWatchdogReleasesOnceBetween1500And1550MillisecondsAfterTheLastBatch) {
  clock.AdvanceTo(10007);
  ASSERT_EQ(Apply("[" + kA + R"(,{"kind":"down","x":0,"y":0}])"), 't');
  for (int second = 1; second <= 3; ++second) {  // batches every second keep it held
    clock.AdvanceTo(10007 + 1000 * second);
    ASSERT_EQ(Apply("[]"), 't');
  }
  clock.AdvanceTo(13007 + 1499);
  EXPECT_EQ(Story(), "K41 abs:32776,0 ldown");
  clock.AdvanceTo(20000);
  EXPECT_EQ(Story(), "K41u lup");
  const std::uint64_t released = platform->Sent().back().tick;
  EXPECT_GE(released, 13007u + 1500);
  EXPECT_LE(released, 13007u + 1550);
  EXPECT_EQ(Held(), "until 0");
}

TEST_F(InputInjectorTest, DestructionReleasesWhatIsHeld) {
  ASSERT_EQ(Apply(R"([{"kind":"key_down","key":38},{"kind":"down","x":0,"y":0,"button":1}])"), 't');
  std::string released;  // the platform goes with the injector
  platform->on_event = [&](const SentEvent& e) { released += Describe(e) + " "; };
  clock.RunFree();
  injector.reset();
  EXPECT_EQ(released, "K26ue mup ");
}

// The worker applies batches while the watchdog polls and the window's thread stops input; under
// ThreadSanitizer this shows the one lock covers them all.
TEST_F(InputInjectorTest, BatchesWatchdogAndStopShareOneLock) {
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i) {
      Apply("[" + kA + R"(,{"kind":"down","x":0,"y":0}])");
      std::lock_guard<InputInjector> guard(*injector);
      if (i % 7 == 0) injector->ReleaseAll();
    }
  });
  for (int step = 0; step < 100; ++step) clock.Advance(400);
  injector->StopInput();
  worker.join();
  EXPECT_TRUE(injector->HeldInput().stopped);
  EXPECT_EQ(Held(), "until 0");
  const std::vector<SentEvent> sent = platform->Sent();
  PressedInput pressed;
  for (const SentEvent& e : sent) pressed.Apply(e);
  EXPECT_TRUE(pressed.keys.empty() && pressed.buttons.empty());
}

// A platform that stalls on one call until the test lets it go, so that a stop can be marked while
// a batch is provably in the middle of it.
class Stall {
 public:
  void Enter() {
    std::unique_lock<std::mutex> guard(lock_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(guard, [&] { return released_; });
  }
  bool AwaitEntered() {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(30), [&] { return entered_; });
  }
  void Release() {
    std::lock_guard<std::mutex> guard(lock_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool released_ = false;
};

// A stop marked while the batch is inside a key event or a tool start returns without waiting
// for it, and from then on the platform sees releases only: the rest of a 360 KB batch, and the
// tools after it, never arrive.
TEST_F(InputInjectorTest, AStopDuringALongBatchReturnsAtOnceAndOnlyReleasesFollow) {
  std::string keys;
  for (int i = 0; i < 6150; ++i) {
    keys += R"({"kind":"key_down","key":65},{"kind":"key_down","key":66},)";
  }
  const std::string tool = R"({"kind":"open_tool","tool":"control_panel"})";
  struct Case {
    std::string batch;
    bool stall_in_tool;
  };
  const Case cases[] = {{"[" + keys + tool + "]", false},
                        {"[" + kA + "," + tool + "," + keys + tool + "]", true}};
  for (const Case& c : cases) {
    ASSERT_GE(c.batch.size(), 350000u);  // near the largest reply
    clock.RunFree();                     // lets the old injector's watchdog end
    injector.reset();
    auto fake = std::make_unique<FakeInputPlatform>(clock);
    platform = fake.get();
    injector = std::make_unique<PlatformInputInjector>(
        std::move(fake), [this](auto) { return std::optional<MonitorInfo>(monitors[0]); });
    told = 0;
    Stall stall;
    std::atomic<std::size_t> calls{0};
    if (c.stall_in_tool) {
      platform->on_tool = [&] { stall.Enter(); };
    } else {
      platform->on_event = [&](const SentEvent&) {
        if (++calls == 100) stall.Enter();
      };
    }
    char applied = '?';
    std::thread batch([&] { applied = Apply(c.batch); });
    ASSERT_TRUE(stall.AwaitEntered());

    const auto asked = std::chrono::steady_clock::now();
    auto stopped = std::async(std::launch::async, [&] { injector->StopInput(); });
    const bool returned = stopped.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    const auto took = std::chrono::steady_clock::now() - asked;
    // Reading the held input takes the lock: free while a tool starts.
    if (c.stall_in_tool) {
      EXPECT_TRUE(injector->HeldInput().stopped);
    }
    // A stalled key event was already on its way when the stop came.
    const std::size_t sent_at_stop = platform->Sent().size() + (c.stall_in_tool ? 0 : 1);
    stall.Release();
    batch.join();
    ASSERT_TRUE(returned) << "StopInput waited for the stalled batch";
    std::printf("StopInput returned after %lld us\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::microseconds>(took).count()));

    EXPECT_EQ(applied, 't');
    const std::vector<SentEvent> sent = platform->Sent();
    PressedInput pressed;
    for (std::size_t i = 0; i < sent.size(); ++i) {
      pressed.Apply(sent[i]);
      if (i >= sent_at_stop) {
        EXPECT_TRUE(sent[i].IsRelease()) << i << ": " << Describe(sent[i]);
      }
    }
    EXPECT_TRUE(pressed.keys.empty() && pressed.buttons.empty());
    EXPECT_EQ(platform->tools.size(), c.stall_in_tool ? 1u : 0u);
    EXPECT_EQ(Held(), "until 0");
  }
}

}  // namespace
}  // namespace varnel
