#pragma once
// What the input injector needs of the platform, kept small so that the rules about what may reach
// the customer's desktop live in the portable core and are tested with a recording fake. The
// Windows layer (input_platform_win.h) implements it with SendInput and its neighbours.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "util/monitor_info.h"

namespace varnel {

// Event flags with the values of the platform's input records, so the Windows layer passes them on
// unchanged.
inline constexpr std::uint32_t kMouseMove = 0x0001;
inline constexpr std::uint32_t kMouseLeftDown = 0x0002;
inline constexpr std::uint32_t kMouseLeftUp = 0x0004;
inline constexpr std::uint32_t kMouseRightDown = 0x0008;
inline constexpr std::uint32_t kMouseRightUp = 0x0010;
inline constexpr std::uint32_t kMouseMiddleDown = 0x0020;
inline constexpr std::uint32_t kMouseMiddleUp = 0x0040;
inline constexpr std::uint32_t kMouseWheel = 0x0800;
inline constexpr std::uint32_t kMouseVirtualDesk = 0x4000;
inline constexpr std::uint32_t kMouseAbsolute = 0x8000;
inline constexpr std::uint32_t kKeyExtended = 0x0001;
inline constexpr std::uint32_t kKeyUp = 0x0002;

struct MouseEvent {
  std::int32_t dx = 0;
  std::int32_t dy = 0;
  std::int32_t data = 0;  // the wheel delta
  std::uint32_t flags = 0;

  friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

struct KeyEvent {
  std::uint16_t vk = 0;
  std::uint32_t flags = 0;

  friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

// The bounding rectangle of all monitors, in physical pixels.
struct VirtualScreen {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

class InputPlatform {
 public:
  InputPlatform() = default;
  InputPlatform(const InputPlatform&) = delete;
  InputPlatform& operator=(const InputPlatform&) = delete;
  virtual ~InputPlatform() = default;

  // True only when the desktop receiving input is the ordinary one ("Default"): never on the
  // locked workstation, an elevation prompt or any other secure desktop.
  virtual bool InputDesktopIsDefault() = 0;
  // One event each; true when the platform reports exactly one event inserted. They must not
  // raise: releases run where nothing may be thrown.
  virtual bool SendMouse(const MouseEvent& event) = 0;
  virtual bool SendKey(const KeyEvent& event) = 0;
  // Whether the window at this pixel, or the foreground window, belongs to this process.
  virtual bool OwnWindowAt(std::int32_t x, std::int32_t y) = 0;
  virtual bool OwnWindowInForeground() = 0;
  virtual VirtualScreen VirtualScreenMetrics() = 0;
  // Milliseconds since start-up; the clock of the hold deadline.
  virtual std::uint64_t TickCount() = 0;
  // The system folder, or an empty text when it cannot be read.
  virtual std::u16string SystemDirectory() = 0;
  // Opens a file or URI with the shell's "open" verb; true on success. Empty parameters: none.
  virtual bool OpenTool(std::u16string_view file, std::u16string_view parameters) = 0;
  // The watchdog's monotonic clock and its sleep.
  virtual std::chrono::nanoseconds MonotonicNow() = 0;
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

// The selected monitor for an id (empty = the primary monitor), or nothing when it is gone. The
// injector asks afresh for every batch; the program binds it to the live monitor enumeration.
using MonitorLookup = std::function<std::optional<MonitorInfo>(std::u16string_view id)>;

}  // namespace varnel
