#pragma once
// Counts every heap block a program takes, by replacing the global allocation functions: for the
// tests, fuzzers and benchmarks that hold the JSON layer to its cost per byte of a reply. Include
// it in exactly one source file of a program. A block counts at its usable size; under the
// sanitizers that is the size asked for.
#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace counting_heap {

inline constexpr std::size_t kBig = 256 * 1024;

inline std::atomic<std::size_t> allocations{0};
inline std::atomic<std::size_t> bytes{0};  // asked for, over the whole run
inline std::atomic<std::size_t> big_allocations{0};
inline std::atomic<std::size_t> held{0};
inline std::atomic<std::size_t> peak{0};

// Starts a new peak from what is held now, and returns that.
inline std::size_t RestartPeak() {
  const std::size_t now = held.load();
  peak = now;
  return now;
}

inline void* Allocate(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  bytes.fetch_add(size, std::memory_order_relaxed);
  if (size >= kBig) big_allocations.fetch_add(1, std::memory_order_relaxed);
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  const std::size_t usable = malloc_usable_size(memory);
  const std::size_t now = held.fetch_add(usable, std::memory_order_relaxed) + usable;
  std::size_t highest = peak.load(std::memory_order_relaxed);
  while (now > highest && !peak.compare_exchange_weak(highest, now)) {
  }
  return memory;
}

inline void Free(void* memory) noexcept {
  if (memory == nullptr) return;
  held.fetch_sub(malloc_usable_size(memory), std::memory_order_relaxed);
  std::free(memory);
}

}  // namespace counting_heap

void* operator new(std::size_t size) { return counting_heap::Allocate(size); }
void* operator new[](std::size_t size) { return counting_heap::Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return counting_heap::Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* memory) noexcept { counting_heap::Free(memory); }
void operator delete[](void* memory) noexcept { counting_heap::Free(memory); }
void operator delete(void* memory, std::size_t) noexcept { counting_heap::Free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { counting_heap::Free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { counting_heap::Free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
  counting_heap::Free(memory);
}
