// The agent's input commands, checked in full, applied one element at a time under one lock.
#include "input/platform_input_injector.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "util/mul_div.h"

namespace varnel {
namespace {

constexpr std::int32_t kPointerMax = 65535;
constexpr std::int32_t kFirstKey = 0x08;  // VK_BACK
constexpr std::int32_t kLastKey = 0xDE;   // VK_OEM_7
constexpr std::int32_t kWheelLimit = 1200;

// A command the batch cannot go on from. Never leaves ApplyInputs.
struct BatchFailure {};
// The customer stopped support while the batch ran: the rest of it is dropped. Never leaves
// ApplyInputs.
struct BatchStopped {};

// Keys whose events need the extended flag, or the platform takes them for their numeric-keypad
// twins: Page Up/Down, End, Home, the arrows, Insert, Delete, both Windows keys, keypad divide.
bool IsExtendedKey(std::uint16_t vk) {
  return (vk >= 0x21 && vk <= 0x28) || vk == 0x2D || vk == 0x2E || vk == 0x5B || vk == 0x5C ||
         vk == 0x6F;
}

std::uint32_t ButtonFlag(std::int32_t button, bool down) {
  switch (button) {
    case 0:
      return down ? kMouseLeftDown : kMouseLeftUp;
    case 1:
      return down ? kMouseMiddleDown : kMouseMiddleUp;
    default:
      return down ? kMouseRightDown : kMouseRightUp;
  }
}

std::int32_t Field(const JsonObject& command, std::u16string_view key, double fallback) {
  return ToInt32(command.GetNumberOr(key, fallback));
}

void Require(bool condition) {
  if (!condition) throw BatchFailure{};
}

}  // namespace

std::int32_t ToInt32(double number) {
  // The open bounds admit every value whose truncation fits; NaN fails both comparisons.
  if (!(number > -2147483649.0 && number < 2147483648.0)) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(number);
}

// The selected monitor and the virtual desktop, read once per batch.
struct PlatformInputInjector::Target {
  ScreenRect monitor;
  VirtualScreen desktop;
  std::uint64_t deadline = 0;  // of this batch's presses
};

// A tool the batch asked for, started once the injector's lock is released.
struct PlatformInputInjector::ToolLaunch {
  std::u16string file;
  std::u16string parameters;
};

PlatformInputInjector::PlatformInputInjector(std::unique_ptr<InputPlatform> platform,
                                             MonitorLookup find_monitor)
    : platform_(std::move(platform)),
      find_monitor_(std::move(find_monitor)),
      watchdog_([this] { WatchdogBody(); }) {}

PlatformInputInjector::~PlatformInputInjector() {
  StopInput();
  watchdog_stop_.exchange(true);
  watchdog_.join();
  try {
    // Nobody else holds the lock by now; whatever a late holder left is released here for good.
    std::lock_guard<std::mutex> guard(lock_);
    ReleaseAll();
  } catch (...) {
    // Only a failing mutex gets here; nothing else can be done about it.
  }
}

PlatformInputInjector::Held PlatformInputInjector::HeldInput() {
  std::lock_guard<std::mutex> guard(lock_);
  return Held{held_keys_, held_buttons_, hold_deadline_, stop_requested_.load()};
}

void PlatformInputInjector::StopInput() noexcept {
  // The mark comes first and needs no lock: a batch that holds the lock sees it before its next
  // element or event and releases everything itself, so the caller never waits for the batch.
  stop_requested_.store(true);
  ReleaseIfFree();
}

void PlatformInputInjector::unlock() noexcept {
  lock_.unlock();
  // Whoever unlocks after a stop was marked releases what is held, so a stop marked while another
  // thread held the lock is never missed: the last holder to unlock sees the mark.
  if (stop_requested_.load()) ReleaseIfFree();
}

void PlatformInputInjector::ReleaseIfFree() noexcept {
  try {
    std::unique_lock<std::mutex> guard(lock_, std::try_to_lock);
    if (guard.owns_lock()) ReleaseAll();
  } catch (...) {
    // Only a failing mutex gets here; the watchdog releases at its next poll.
  }
}

void PlatformInputInjector::ReleaseAll() noexcept {
  // A failed release is not retried: the sets are emptied regardless, so nothing loops on a
  // desktop that refuses input.
  for (const std::uint16_t vk : held_keys_) {
    platform_->SendKey(KeyEvent{vk, kKeyUp | (IsExtendedKey(vk) ? kKeyExtended : 0)});
  }
  for (const std::int32_t button : held_buttons_) {
    platform_->SendMouse(MouseEvent{0, 0, 0, ButtonFlag(button, false)});
  }
  held_keys_.clear();
  held_buttons_.clear();
  hold_deadline_ = 0;
}

bool PlatformInputInjector::ApplyInputs(const JsonArray& inputs, bool allowed,
                                        std::u16string_view monitor_id) {
  std::unique_lock<PlatformInputInjector> guard(*this);
  if (stop_requested_.load() || !allowed) {
    ReleaseAll();
    return true;
  }
  try {
    if (!platform_->InputDesktopIsDefault()) throw BatchFailure{};
    const std::optional<MonitorInfo> monitor = find_monitor_(monitor_id);
    if (!monitor) throw BatchFailure{};
    const VirtualScreen desktop = platform_->VirtualScreenMetrics();
    const Target target{monitor->rect, desktop, platform_->TickCount() + kHoldMilliseconds};
    hold_deadline_ = target.deadline;
    for (const JsonValue& element : inputs) {
      CheckNotStopped();
      const std::optional<ToolLaunch> tool = ApplyOne(element.AsObject(), target);
      if (!tool) continue;
      // A tool start may take long; a stop meanwhile must neither wait for it nor be missed.
      guard.unlock();
      const bool opened =
          !stop_requested_.load() && platform_->OpenTool(tool->file, tool->parameters);
      guard.lock();
      CheckNotStopped();
      Require(opened);
    }
    return true;
  } catch (const BatchStopped&) {
    ReleaseAll();
    return true;
  } catch (const BatchFailure&) {
    ReleaseAll();
    return false;
  } catch (...) {
    // A malformed element reaches the caller as an error, but nothing may stay pressed meanwhile.
    if (guard.owns_lock()) ReleaseAll();
    throw;
  }
}

void PlatformInputInjector::CheckNotStopped() const {
  if (stop_requested_.load()) throw BatchStopped{};
}

std::optional<PlatformInputInjector::ToolLaunch> PlatformInputInjector::ApplyOne(
    const JsonObject& command, const Target& target) {
  const std::u16string kind = command.GetStringOrEmpty(u"kind");
  if (kind == u"release") {
    ReleaseAll();
  } else if (kind == u"move" || kind == u"down" || kind == u"up") {
    PointerStep(command, kind, target);
  } else if (kind == u"key_down" || kind == u"key_up") {
    KeyStep(command, kind == u"key_down", target);
  } else if (kind == u"wheel") {
    WheelStep(command);
  } else if (kind == u"open_tool") {
    return ToolStep(command);
  } else {
    throw BatchFailure{};
  }
  return std::nullopt;
}

void PlatformInputInjector::PointerStep(const JsonObject& command, std::u16string_view kind,
                                        const Target& target) {
  const std::int32_t x = Field(command, u"x", -1);
  const std::int32_t y = Field(command, u"y", -1);
  const std::int32_t button = Field(command, u"button", 0);
  Require(x >= 0 && x <= kPointerMax && y >= 0 && y <= kPointerMax && button >= 0 && button <= 2);

  const ScreenRect& m = target.monitor;
  const VirtualScreen& v = target.desktop;
  const std::int32_t px = m.left + MulDiv(x, m.right - m.left - 1, kPointerMax);
  const std::int32_t py = m.top + MulDiv(y, m.bottom - m.top - 1, kPointerMax);
  const std::int32_t ax = MulDiv(px - v.x, kPointerMax, std::max(v.width - 1, 1));
  const std::int32_t ay = MulDiv(py - v.y, kPointerMax, std::max(v.height - 1, 1));

  // The agent must not be able to steer this program, Stop Support included.
  if (platform_->OwnWindowAt(px, py)) {
    ReleaseAll();
    return;
  }
  Require(
      platform_->SendMouse(MouseEvent{ax, ay, 0, kMouseMove | kMouseVirtualDesk | kMouseAbsolute}));
  if (kind == u"move") return;
  const bool down = kind == u"down";
  CheckNotStopped();
  Require(platform_->SendMouse(MouseEvent{0, 0, 0, ButtonFlag(button, down)}));
  if (down) {
    held_buttons_.insert(button);
    Hold(target);
  } else {
    held_buttons_.erase(button);
  }
}

void PlatformInputInjector::KeyStep(const JsonObject& command, bool down, const Target& target) {
  const std::int32_t key = Field(command, u"key", 0);
  Require(key >= kFirstKey && key <= kLastKey);
  const auto vk = static_cast<std::uint16_t>(key);
  if (platform_->OwnWindowInForeground()) {
    ReleaseAll();
    return;
  }
  const std::uint32_t flags = (down ? 0 : kKeyUp) | (IsExtendedKey(vk) ? kKeyExtended : 0);
  Require(platform_->SendKey(KeyEvent{vk, flags}));
  if (down) {
    held_keys_.insert(vk);
    Hold(target);
  } else {
    held_keys_.erase(vk);
  }
}

void PlatformInputInjector::Hold(const Target& target) {
  // A release earlier in the batch (a "release" command, an own-window guard) cleared the
  // deadline; a press after it must still be covered by the watchdog.
  hold_deadline_ = target.deadline;
}

void PlatformInputInjector::WheelStep(const JsonObject& command) {
  const std::int32_t delta = Field(command, u"delta", 0);
  Require(delta >= -kWheelLimit && delta <= kWheelLimit);
  Require(platform_->SendMouse(MouseEvent{0, 0, delta, kMouseWheel}));
}

PlatformInputInjector::ToolLaunch PlatformInputInjector::ToolStep(const JsonObject& command) {
  const std::u16string tool = command.GetStringOrEmpty(u"tool");
  // A tool takes the focus: nothing the agent pressed may stay down behind it.
  ReleaseAll();
  const std::u16string system = platform_->SystemDirectory();
  Require(!system.empty() && system.size() <= 259);
  const std::u16string control = system + u"\\control.exe";
  if (tool == u"control_panel") return {control, u""};
  if (tool == u"printers") return {u"ms-settings:printers", u""};
  if (tool == u"devices_printers") return {control, u"/name Microsoft.DevicesAndPrinters"};
  throw BatchFailure{};
}

void PlatformInputInjector::WatchdogBody() noexcept {
  while (!watchdog_stop_.load()) {
    try {
      const std::chrono::nanoseconds wake = platform_->MonotonicNow() + kWatchdogPoll;
      for (std::chrono::nanoseconds now = platform_->MonotonicNow(); now < wake;
           now = platform_->MonotonicNow()) {
        platform_->Sleep(std::chrono::ceil<std::chrono::milliseconds>(wake - now));
      }
      // Through the injector's own unlock, which also settles a stop marked meanwhile.
      std::lock_guard<PlatformInputInjector> guard(*this);
      if (hold_deadline_ != 0 && platform_->TickCount() >= hold_deadline_) ReleaseAll();
    } catch (...) {
      // A failing mutex or clock: try again at the next poll rather than end the thread.
    }
  }
}

}  // namespace varnel
