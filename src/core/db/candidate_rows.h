// CandidateRows: a copy of a candidate list's rows one after another in the
// list's order (copy + i * dim holds candidate i's row), so that the exact
// scans of a filter searched again and again read one block instead of
// gathering rows scattered over the store. It holds the rows of one rows
// version of the index (HnswIndex::rows_version) and is taken again at
// another. From any number of threads at once: one copies, the others read
// the store meanwhile.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/base/file_io.h"
#include "core/base/function_ref.h"

namespace hovra {

class CandidateRows {
 public:
  // Whether the copy holds the rows of rows_version (then data() reads it).
  bool holds(std::uint64_t rows_version) const { return copied_at_.load(std::memory_order_acquire) == rows_version; }
  const float* data() const { return copy_.data(); }
  // Counts a scan; true for the first (a filter searched once is not
  // copied).
  bool first_scan() { return scans_.fetch_add(1, std::memory_order_relaxed) == 0; }
  // Copies the rows of `list` (ascending, not empty) at rows_version, of
  // dim floats each, row_of(slot) giving a slot's. nullptr: another scan is
  // copying, or the memory was not there; read the store.
  const float* copy(const std::vector<std::uint32_t>& list, std::uint64_t rows_version, std::size_t dim,
                    FunctionRef<const float*(std::uint32_t)> row_of);
  // The bytes the copy holds.
  std::size_t bytes() const { return bytes_.load(std::memory_order_relaxed); }

 private:
  std::mutex mutex_;                         // tried by a scan that would copy; nothing is taken under it
  std::atomic<std::uint64_t> copied_at_{0};  // the rows version the copy holds; 0: none
  std::vector<float, LargeAllocator<float>> copy_;
  std::atomic<std::size_t> bytes_{0};
  std::atomic<std::uint32_t> scans_{0};
};

}  // namespace hovra
