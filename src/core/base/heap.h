// The process heap as the allocator sees it: what a request really costs,
// what the allocator holds, and handing freed memory back to the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace hovra {

// The bytes the allocator spends on one request of `bytes` (its header
// and rounding included); 0 for 0. Used to estimate what node-based
// containers hold.
std::size_t heap_chunk(std::size_t bytes);

// The heap bytes of a vector's block.
template <class T, class A>
std::size_t heap_bytes(const std::vector<T, A>& v) {
  return heap_chunk(v.capacity() * sizeof(T));
}

// An allocator whose blocks start on a cache line, so that a row of 64·n
// bytes at a multiple of 64 spans exactly n lines.
template <class T>
struct CacheLineAllocator {
  using value_type = T;
  static constexpr std::align_val_t kAlign{64};
  CacheLineAllocator() = default;
  template <class U>
  CacheLineAllocator(const CacheLineAllocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlign)); }
  void deallocate(T* p, std::size_t) { ::operator delete(p, kAlign); }
  template <class U>
  bool operator==(const CacheLineAllocator<U>&) const {
    return true;
  }
};

struct HeapStats {
  std::uint64_t in_use = 0;     // handed out and not yet freed
  std::uint64_t free_held = 0;  // freed, still held by the allocator
  std::uint64_t resident = 0;   // the process's resident set
};
HeapStats heap_stats();

// Gives the heap's free pages back to the system. Called after work that
// freed a lot (large batches, compaction).
void trim_heap();

}  // namespace hovra
