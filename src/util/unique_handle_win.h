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

// Kernel objects whose "no handle" value is null: events, processes, threads, mutexes.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle handle) noexcept { CloseHandle(handle); }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

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
struct LocalMemoryTraits {
  using Handle = Pointer;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle memory) noexcept { LocalFree(reinterpret_cast<HLOCAL>(memory)); }
};
template <typename Pointer>
using LocalMemory = UniqueHandle<LocalMemoryTraits<Pointer>>;

// GDI objects: bitmaps, fonts, brushes, pens.
template <typename Object>
struct GdiObjectTraits {
  using Handle = Object;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle object) noexcept { DeleteObject(object); }
};
template <typename Object>
using GdiObject = UniqueHandle<GdiObjectTraits<Object>>;

// Memory device contexts from CreateCompatibleDC.
struct MemoryDcTraits {
  using Handle = HDC;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle dc) noexcept { DeleteDC(dc); }
};
using MemoryDc = UniqueHandle<MemoryDcTraits>;

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
