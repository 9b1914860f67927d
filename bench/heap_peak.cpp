#include "heap_peak.hpp"

#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

// Replacing operator new leaves no other place for the count: it has to be
// reachable from every allocation of the process.
std::atomic<bool> counting{false};
std::atomic<std::int64_t> in_use{0};
std::atomic<std::int64_t> highest{0};

void note_allocated(void* block) {
  if (!block || !counting.load(std::memory_order_relaxed)) return;
  const auto size = static_cast<std::int64_t>(malloc_usable_size(block));
  const std::int64_t now = in_use.fetch_add(size, std::memory_order_relaxed) + size;
  std::int64_t seen = highest.load(std::memory_order_relaxed);
  while (now > seen && !highest.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
  }
}

// A block allocated before the window opened counts as freed all the same:
// the heap shrinks by it.
void note_freed(void* block) {
  if (!block || !counting.load(std::memory_order_relaxed)) return;
  in_use.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(block)), std::memory_order_relaxed);
}

void* allocated(void* block) {
  if (!block) throw std::bad_alloc();
  note_allocated(block);
  return block;
}

void* aligned(std::size_t size, std::align_val_t alignment) {
  void* block = nullptr;
  const auto bytes = static_cast<std::size_t>(alignment);
  if (posix_memalign(&block, bytes < sizeof(void*) ? sizeof(void*) : bytes, size ? size : 1) != 0) block = nullptr;
  return allocated(block);
}

void release(void* block) {
  note_freed(block);
  std::free(block);
}

}  // namespace

namespace heap_peak {

void start() {
  in_use.store(0);
  highest.store(0);
  counting.store(true);
}

std::size_t stop() {
  counting.store(false);
  return static_cast<std::size_t>(highest.load());
}

}  // namespace heap_peak

// The array, nothrow and sized forms of the standard library forward to these.
void* operator new(std::size_t size) { return allocated(std::malloc(size ? size : 1)); }
void* operator new(std::size_t size, std::align_val_t alignment) { return aligned(size, alignment); }
void operator delete(void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete(void* block, std::align_val_t) noexcept { release(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { release(block); }
