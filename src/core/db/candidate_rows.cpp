// CandidateRows: making the copy of a candidate list's rows.
#include "core/db/candidate_rows.h"

#include <algorithm>
#include <new>

namespace hovra {

const float* CandidateRows::copy(const std::vector<std::uint32_t>& list, std::uint64_t rows_version, std::size_t dim,
                                 FunctionRef<const float*(std::uint32_t)> row_of) {
  std::unique_lock<std::mutex> guard(mutex_, std::try_to_lock);
  if (!guard.owns_lock()) return nullptr;  // another scan is copying
  if (copied_at_.load(std::memory_order_relaxed) == rows_version) return copy_.data();
  // No scan reads the copy of another version: the version changes only
  // while no search holds the index lock.
  copied_at_.store(0, std::memory_order_relaxed);
  try {
    copy_.resize(list.size() * dim);
  } catch (const std::bad_alloc&) {
    copy_ = {};
    bytes_.store(0, std::memory_order_relaxed);
    return nullptr;
  }
  float* out = copy_.data();
  for (std::uint32_t slot : list) {
    std::copy_n(row_of(slot), dim, out);
    out += dim;
  }
  bytes_.store(copy_.capacity() * sizeof(float), std::memory_order_relaxed);
  copied_at_.store(rows_version, std::memory_order_release);
  return copy_.data();
}

}  // namespace hovra
