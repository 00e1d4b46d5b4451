// The process heap as the allocator sees it: what a request really costs,
// what the allocator holds, and handing freed memory back to the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
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
// bytes at a multiple of 64 spans exactly n lines. Elements a resize adds
// are left uninitialized (default-initialized): the code arrays it serves
// are written row by row or read from a file straight into place, and
// zeroing them first would touch every page twice. (Huge-page blocks were
// tried for them: the faults of a read into such a block at open wait on
// the system's compaction, which made the open's CPU time vary 40-105 ms
// against 30 ms with ordinary pages.)
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
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
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
