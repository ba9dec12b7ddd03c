#pragma once
// One owner for every Win32 handle kind: a movable, non-copyable holder that closes its handle
// through a traits type when it goes. Adding a handle kind means writing a traits struct, never
// another hand-written owner. COM interfaces use Microsoft::WRL::ComPtr instead.
#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace varnel {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Handle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Traits::Invalid(); }

  // Hands the handle to the caller, who then closes it.
  [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Traits::Invalid()); }

  void reset(Handle handle = Traits::Invalid()) noexcept {
    const Handle old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Handle handle_ = Traits::Invalid();
};

// Most handle kinds are null when empty and closed by one call that takes just the handle.
template <typename HandleType, auto close>
struct NullIsEmptyTraits {
  using Handle = HandleType;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle handle) noexcept { close(handle); }
};
template <typename HandleType, auto close>
using NullableHandle = UniqueHandle<NullIsEmptyTraits<HandleType, close>>;

// Events, processes, threads, mutexes.
using KernelHandle = NullableHandle<HANDLE, &CloseHandle>;

// CreateFileW reports failure as INVALID_HANDLE_VALUE, not null.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) noexcept { CloseHandle(handle); }
};
using FileHandle = UniqueHandle<FileHandleTraits>;

// Memory the platform allocated with LocalAlloc for the caller (CommandLineToArgvW,
// ConvertSidToStringSidW, FormatMessageW).
template <typename Pointer>
using LocalMemory = NullableHandle<Pointer, &LocalFree>;

// GDI objects: bitmaps, fonts, brushes, pens.
template <typename Object>
using GdiObject = NullableHandle<Object, &DeleteObject>;

// Memory device contexts from CreateCompatibleDC.
using MemoryDc = NullableHandle<HDC, &DeleteDC>;

// The input desktop, opened to check that it is the one the customer sees.
using DesktopHandle = NullableHandle<HDESK, &CloseDesktop>;

using IconHandle = NullableHandle<HICON, &DestroyIcon>;

// A Win32 failure: what() is the step's fixed narrow sentence, code() the platform's error code,
// kept for diagnosis. The customer never sees either; the catching code shows its own sentence.
class PlatformError : public std::runtime_error {
 public:
  PlatformError(const std::string& what, std::uint32_t code)
      : std::runtime_error(what), code_(code) {}

  std::uint32_t code() const noexcept { return code_; }

 private:
  std::uint32_t code_;
};

// Raises PlatformError with GetLastError() for the step `what` that just failed.
[[noreturn]] inline void ThrowLastError(const std::string& what) {
  throw PlatformError(what, GetLastError());
}

// A manual-reset event, not set. Raises PlatformError "Unable to create network event.".
inline KernelHandle MakeManualResetEvent() {
  KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) ThrowLastError("Unable to create network event.");
  return event;
}

}  // namespace varnel
