// The process heap as the allocator sees it: what a request really costs,
// what the allocator holds, and handing freed memory back to the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hovra {

// The bytes the allocator spends on one request of `bytes` (its header
// and rounding included); 0 for 0. Used to estimate what node-based
// containers hold.
std::size_t heap_chunk(std::size_t bytes);

// The heap bytes of a vector's block.
template <class T>
std::size_t heap_bytes(const std::vector<T>& v) {
  return heap_chunk(v.capacity() * sizeof(T));
}

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
