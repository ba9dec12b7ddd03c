#include "input/platform_input_injector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "input/fake_input_platform.h"
#include "util/utf.h"

namespace varnel {
namespace {

const std::u16string kRight = u"\\\\.\\DISPLAY2";

// A JSON array from its text.
JsonArray Array(const std::string& text) {
  return JsonObject::TryParse(Utf8ToUtf16("{\"a\":" + text + "}"))->GetArrayOr(u"a", {});
}

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
  const std::pair<std::uint32_t, const char*> buttons[] = {
      {kMouseLeftDown, "ldown"}, {kMouseLeftUp, "lup"},      {kMouseMiddleDown, "mdown"},
      {kMouseMiddleUp, "mup"},   {kMouseRightDown, "rdown"}, {kMouseRightUp, "rup"}};
  for (const auto& [flag, name] : buttons) {
    if (m.flags == flag) return name;
  }
  return "mouse?";
}

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

  bool Apply(const std::string& inputs, bool allowed = true, std::u16string monitor = kRight) {
    return injector->ApplyInputs(Array(inputs), allowed, monitor);
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
    return text;
  }

  std::vector<MonitorInfo> monitors{{u"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, true},
                                    {kRight, {1920, 0, 3840, 1080}, false}};
  FakeInputClock clock;
  FakeInputPlatform* platform = nullptr;
  std::unique_ptr<PlatformInputInjector> injector;
  std::size_t told = 0;
};

struct BatchCase {
  const char* name;
  std::string inputs;
  char result;  // 't' true, 'f' false, 'x' raises
  std::string story;
  std::string held = "";
  bool own_pixel = false;       // the window at the monitor's top-left pixel is ours
  bool own_foreground = false;  // the foreground window is ours
};
void PrintTo(const BatchCase& c, std::ostream* os) { *os << c.name; }

class InputInjectorBatch : public InputInjectorTest,
                           public ::testing::WithParamInterface<BatchCase> {};

// The right-hand monitor (1920,0)-(3840,1080) of a 3840 x 1080 desktop: its top-left pixel is
// absolute (32776, 0), its bottom-right one (65535, 65535).
TEST_P(InputInjectorBatch, AppliesInOrderUntilTheFirstBadCommandAndReleasesOnFailure) {
  const BatchCase& c = GetParam();
  if (c.own_pixel) platform->own_window = [](int x, int y) { return x == 1920 && y == 0; };
  platform->own_foreground = c.own_foreground;
  const auto apply = [&] { return Apply(c.inputs) ? 't' : 'f'; };

  if (c.result == 'x') {
    EXPECT_THROW(apply(), JsonError);
  } else {
    EXPECT_EQ(apply(), c.result);
  }
  EXPECT_EQ(Story(), c.story);
  EXPECT_EQ(Held(), c.held);
  // Whatever the batch still holds is due for release 1500 ms after it was accepted.
  const std::uint64_t deadline = injector->HeldInput().hold_deadline;
  if (c.result != 't') {
    EXPECT_EQ(deadline, 0u);
  } else if (!c.held.empty() || c.inputs == "[]") {
    EXPECT_EQ(deadline, 11500u);
  }
}

const std::string kA = R"({"kind":"key_down","key":65})";
INSTANTIATE_TEST_SUITE_P(
    InputInjector, InputInjectorBatch,
    ::testing::Values(
        BatchCase{"Empty", "[]", 't', ""},
        BatchCase{"Corners", R"([{"kind":"move","x":65535,"y":65535},{"kind":"move","x":0,"y":0}])",
                  't', "abs:65535,65535 abs:32776,0"},
        BatchCase{"TruncatedTowardZero", R"([{"kind":"move","x":65535.9,"y":-0.9}])", 't',
                  "abs:65535,0"},
        BatchCase{"XBeyond", "[" + kA + R"(,{"kind":"move","x":65536,"y":0}])", 'f', "K41 K41u"},
        BatchCase{"YBelow", R"([{"kind":"up","x":0,"y":-1}])", 'f', ""},
        BatchCase{"XMissing", "[" + kA + R"(,{"kind":"down","y":0}])", 'f', "K41 K41u"},
        BatchCase{"XHuge", R"([{"kind":"move","x":1e300,"y":0}])", 'f', ""},
        BatchCase{"XText", "[" + kA + R"(,{"kind":"move","x":"5","y":0}])", 'x', "K41 K41u"},
        BatchCase{"ButtonCheckedOnMove", R"([{"kind":"move","x":0,"y":0,"button":3}])", 'f', ""},
        BatchCase{"Buttons",
                  R"([{"kind":"down","x":0,"y":0,"button":2},{"kind":"up","x":0,"y":0,"button":2},
                      {"kind":"down","x":0,"y":0,"button":1},{"kind":"up","x":0,"y":0}])",
                  't', "abs:32776,0 rdown abs:32776,0 rup abs:32776,0 mdown abs:32776,0 lup",
                  "B1 "},
        BatchCase{"KeyBounds",
                  R"([{"kind":"key_down","key":8},{"kind":"key_down","key":222},
                      {"kind":"key_up","key":8}])",
                  't', "K8 KDE K8u", "K222 "},
        BatchCase{"KeyBelow", "[" + kA + R"(,{"kind":"key_down","key":7}])", 'f', "K41 K41u"},
        BatchCase{"KeyAbove", R"([{"kind":"key_up","key":223}])", 'f', ""},
        BatchCase{"KeyTwiceHeldOnce", "[" + kA + "," + kA + R"(,{"kind":"key_up","key":65}])", 't',
                  "K41 K41 K41u"},
        BatchCase{"KeyUpNotHeldIsSent", R"([{"kind":"key_up","key":66}])", 't', "K42u"},
        BatchCase{"WheelBounds",
                  R"([{"kind":"wheel","delta":-1200},{"kind":"wheel","delta":1200}])", 't',
                  "wheel:-1200 wheel:1200"},
        BatchCase{"WheelAbove", R"([{"kind":"wheel","delta":1201}])", 'f', ""},
        BatchCase{"WheelBelow", R"([{"kind":"wheel","delta":-1201}])", 'f', ""},
        BatchCase{"KindCaseMatters", R"([{"kind":"Move","x":0,"y":0}])", 'f', ""},
        BatchCase{"KindMissing", "[" + kA + ",{}]", 'f', "K41 K41u"},
        BatchCase{"UnknownToolAfterRelease", "[" + kA + R"(,{"kind":"open_tool","tool":"cmd"}])",
                  'f', "K41 K41u"},
        BatchCase{"NotAnObject", "[" + kA + ",5]", 'x', "K41 K41u"},
        BatchCase{"ReleaseKeysAscendingThenButtons",
                  R"([{"kind":"key_down","key":65},{"kind":"key_down","key":37},
                      {"kind":"key_down","key":8},{"kind":"down","x":0,"y":0,"button":2},
                      {"kind":"down","x":0,"y":0},{"kind":"release"}])",
                  't', "K41 K25e K8 abs:32776,0 rdown abs:32776,0 ldown K8u K25ue K41u lup rup"},
        BatchCase{"OwnWindowSkipsOnePointerCommand",
                  "[" + kA + R"(,{"kind":"down","x":0,"y":0},{"kind":"key_down","key":66}])", 't',
                  "K41 K41u K42", "K66 ", true},
        BatchCase{"OwnForegroundSkipsEachKey",
                  R"([{"kind":"down","x":65535,"y":65535},{"kind":"key_down","key":65},
                      {"kind":"wheel","delta":120}])",
                  't', "abs:65535,65535 ldown lup wheel:120", "", false, true}),
    ::testing::PrintToStringParamName());

// The thirteen keys with the extended flag, and no other between VK_BACK and VK_OEM_7.
TEST_F(InputInjectorTest, ExactlyTheThirteenExtendedKeysCarryTheFlag) {
  std::vector<int> extended;
  for (int vk = 8; vk <= 222; ++vk) {
    ASSERT_TRUE(Apply(R"([{"kind":"key_down","key":)" + std::to_string(vk) + "}]"));
    if (platform->Sent().back().key_event.flags & kKeyExtended) extended.push_back(vk);
  }
  EXPECT_THAT(extended, ::testing::ElementsAre(0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x2D,
                                               0x2E, 0x5B, 0x5C, 0x6F));
  // Released in ascending order, each with its own flag.
  ASSERT_TRUE(Apply("[]", false));
  const std::vector<SentEvent> sent = platform->Sent();
  EXPECT_EQ(sent.back().key_event, (KeyEvent{222, kKeyUp}));
  EXPECT_EQ(sent[sent.size() - 215 + 0x25 - 8].key_event, (KeyEvent{0x25, kKeyUp | kKeyExtended}));
}

struct PointCase {
  ScreenRect monitor;
  VirtualScreen desktop;
  int x, y;
  std::pair<int, int> pixel;
  std::string absolute;
};

TEST_F(InputInjectorTest, MapsOntoTheMonitorThenTheVirtualDesktop) {
  const PointCase cases[] = {
      {{1920, 0, 3840, 1080}, {0, 0, 3840, 1080}, 65535, 65535, {3839, 1079}, "abs:65535,65535"},
      {{1920, 0, 3840, 1080}, {0, 0, 3840, 1080}, 0, 0, {1920, 0}, "abs:32776,0"},
      {{1920, 0, 3840, 1080}, {0, 0, 3840, 1080}, 32768, 32767, {2880, 539}, "abs:49164,32737"},
      // Left of the primary, on a desktop that starts at -1280.
      {{-1280, 0, 0, 1024}, {-1280, 0, 3200, 1080}, 0, 65535, {-1280, 1023}, "abs:0,62134"},
      // A degenerate one-pixel desktop does not divide by zero.
      {{0, 0, 1, 1}, {0, 0, 1, 1}, 65535, 0, {0, 0}, "abs:0,0"}};
  for (const PointCase& c : cases) {
    monitors[1].rect = c.monitor;
    platform->desktop = c.desktop;
    platform->pointer_checks.clear();
    ASSERT_TRUE(Apply(R"([{"kind":"move","x":)" + std::to_string(c.x) + R"(,"y":)" +
                      std::to_string(c.y) + "}]"));
    EXPECT_EQ(Story(), c.absolute);
    EXPECT_THAT(platform->pointer_checks, ::testing::ElementsAre(c.pixel));
  }
}

TEST_F(InputInjectorTest, MulDivRoundsHalvesAwayFromZeroAndRefusesOverflow) {
  EXPECT_EQ(MulDiv(1, 3, 2), 2);
  EXPECT_EQ(MulDiv(-1, 3, 2), -2);
  EXPECT_EQ(MulDiv(1, 3, -2), -2);
  EXPECT_EQ(MulDiv(5, 1, 0), -1);
  EXPECT_EQ(MulDiv(65535, 65535, 1), -1);
  EXPECT_EQ(ToInt32(2147483647.9), 2147483647);
  EXPECT_EQ(ToInt32(-2147483648.9), INT32_MIN + 0);
  EXPECT_EQ(ToInt32(2147483648.0), INT32_MIN + 0);
  EXPECT_EQ(ToInt32(std::nan("")), INT32_MIN + 0);
}

struct ToolCase {
  const char* tool;
  std::u16string directory;
  bool opens;
  bool result;
  std::u16string opened;
};

TEST_F(InputInjectorTest, ToolsOpenFromTheSystemFolderAfterReleasing) {
  const std::u16string system = u"C:\\windows\\system32";
  const ToolCase cases[] = {{"control_panel", system, true, true, system + u"\\control.exe|"},
                            {"printers", system, true, true, u"ms-settings:printers|"},
                            {"devices_printers", system, true, true,
                             system + u"\\control.exe|/name Microsoft.DevicesAndPrinters"},
                            {"control_panel", system, false, false, system + u"\\control.exe|"},
                            {"control_panel", u"", true, false, u""},
                            {"control_panel", std::u16string(260, u'C'), true, false, u""},
                            {"Printers", system, true, false, u""}};
  for (const ToolCase& c : cases) {
    platform->system_directory = c.directory;
    platform->tool_opens = c.opens;
    platform->tools.clear();
    EXPECT_EQ(Apply("[" + kA + R"(,{"kind":"open_tool","tool":")" + c.tool + "\"}]"), c.result)
        << c.tool;
    EXPECT_EQ(Story(), "K41 K41u") << c.tool;
    EXPECT_THAT(platform->tools, ::testing::ElementsAreArray(
                                     c.opened.empty() ? std::vector<std::u16string>{}
                                                      : std::vector<std::u16string>{c.opened}));
  }
}

TEST_F(InputInjectorTest, AnEventThePlatformRefusesFailsTheBatch) {
  platform->fail_send_at = 2;  // the button-down
  EXPECT_FALSE(Apply("[" + kA + R"(,{"kind":"down","x":0,"y":0},{"kind":"key_down","key":66}])"));
  EXPECT_EQ(Story(), "K41 abs:32776,0 ldown K41u");
  EXPECT_EQ(Held(), "");
}

struct RefusalCase {
  const char* name;
  bool allowed, desktop, stopped;
  std::u16string monitor;
  bool result;
};

// Held input is released at once and nothing else is sent; the deadline is cleared, not moved.
TEST_F(InputInjectorTest, RefusedBatchesOnlyRelease) {
  const RefusalCase cases[] = {{"NotAllowed", false, true, false, kRight, true},
                               {"SecureDesktop", true, false, false, kRight, false},
                               {"MonitorGone", true, true, false, u"\\\\.\\DISPLAY9", false},
                               {"PrimaryGone", true, true, false, u"", false},
                               {"Stopped", true, true, true, kRight, true}};
  for (const RefusalCase& c : cases) {
    platform->desktop_default = true;
    ASSERT_TRUE(Apply("[" + kA + R"(,{"kind":"down","x":0,"y":0}])"));
    Story();
    platform->desktop_default = c.desktop;
    if (c.monitor.empty()) monitors[0].primary = false;
    if (c.stopped) {
      injector->StopInput();
      EXPECT_EQ(Story(), "K41u lup") << c.name;
    }
    EXPECT_EQ(Apply(R"([{"kind":"key_down","key":66}])", c.allowed, c.monitor), c.result) << c.name;
    EXPECT_EQ(Story(), c.stopped ? "" : "K41u lup") << c.name;
    EXPECT_EQ(injector->HeldInput().hold_deadline, 0u) << c.name;
  }
}

// The deadline counts from the last accepted batch; the watchdog polls every 50 ms from its start
// at 10000, so a batch at 10007 is released at the poll of 11550.
TEST_F(InputInjectorTest, TheWatchdogReleasesOnceBetween1500And1550MillisecondsAfterTheLastBatch) {
  clock.AdvanceTo(10007);
  ASSERT_TRUE(Apply("[" + kA + R"(,{"kind":"down","x":0,"y":0}])"));
  for (int second = 1; second <= 3; ++second) {  // batches every second keep it held
    clock.AdvanceTo(10007 + 1000 * second);
    ASSERT_TRUE(Apply("[]"));
  }
  clock.AdvanceTo(13007 + 1499);
  EXPECT_EQ(Story(), "K41 abs:32776,0 ldown");
  clock.AdvanceTo(20000);
  EXPECT_EQ(Story(), "K41u lup");
  const std::vector<SentEvent> sent = platform->Sent();
  EXPECT_GE(sent.back().tick, 13007u + 1500);
  EXPECT_LE(sent.back().tick, 13007u + 1550);
  EXPECT_EQ(injector->HeldInput().hold_deadline, 0u);
}

TEST_F(InputInjectorTest, DestructionReleasesWhatIsHeldAndEndsTheWatchdog) {
  ASSERT_TRUE(Apply(R"([{"kind":"key_down","key":38},{"kind":"down","x":0,"y":0,"button":1}])"));
  EXPECT_EQ(Story(), "K26e abs:32776,0 mdown");
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
  EXPECT_EQ(Held(), "");
  // Whatever was pressed last was released afterwards.
  const std::vector<SentEvent> sent = platform->Sent();
  std::string last_key, last_button;
  for (const SentEvent& e : sent) {
    if (e.key) last_key = Describe(e);
    if (!e.key && e.mouse_event.flags & (kMouseLeftDown | kMouseLeftUp)) last_button = Describe(e);
  }
  EXPECT_EQ(last_key + " " + last_button, "K41u lup");
}

}  // namespace
}  // namespace varnel
