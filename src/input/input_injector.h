#pragma once
// Remote input as the session worker uses it. The injector keeps everything it pressed under its
// own lock, shared with its watchdog thread and with the teardown, so that held keys and buttons
// can always be released. PlatformInputInjector implements it over a small platform interface;
// the worker's tests pass a fake.
#include <string_view>

#include "json/json.h"

namespace varnel {

class InputInjector {
 public:
  InputInjector() = default;
  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;
  // Releases what is still held and ends the watchdog before returning.
  virtual ~InputInjector() = default;

  // Applies one batch of the agent's input commands to the monitor `monitor_id` (empty =
  // primary). With `allowed` false, or once stopped, it only releases what is held. Takes the lock
  // itself for the batch, letting it go only while a tool starts; the caller must not hold it. A
  // stop during the batch ends it early, with everything released, and counts as applied. Returns
  // false when the batch was refused or failed part-way (everything held is released by then); may
  // raise JsonError for an element that is not an object.
  virtual bool ApplyInputs(const JsonArray& inputs, bool allowed,
                           std::u16string_view monitor_id) = 0;

  // Releases every key and button this injector holds. The caller holds the lock.
  virtual void ReleaseAll() noexcept = 0;

  // For good, and without waiting: marks input stopped before taking any lock, then releases
  // everything if the lock is free. A batch holding the lock sees the mark before its next element
  // or event, sends nothing more but releases, and whoever unlocks next releases what is held.
  virtual void StopInput() noexcept = 0;

  // The injector's lock, in the standard Lockable form (so std::lock_guard works on the injector).
  virtual void lock() = 0;
  virtual void unlock() noexcept = 0;
};

}  // namespace varnel
