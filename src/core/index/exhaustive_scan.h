// The exhaustive scan: every eligible row is scored by a block kernel (or,
// for many queries, by a matrix product), the rows that can still be among
// the k nearest are kept with a margin that covers the kernels' rounding, and
// only those are re-scored by the exact kernels. The returned distances are
// therefore exactly those of a scan that scores every row with the exact
// kernels: the batch formula over SimSIMD's dot product without tombstones
// or a filter, the pairwise distance otherwise. Results are ordered by
// ascending distance (NaN last), ties by ascending slot, so every way of
// scanning returns the same list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/base/progress.h"
#include "core/index/hit.h"
#include "core/vectors/distance.h"

namespace hovra {

// The rows a scan reads: row s is data[s * dim, (s + 1) * dim).
struct ScanRows {
  const float* data = nullptr;
  std::size_t dim = 0;
  std::size_t count = 0;
  const float* norms = nullptr;  // per row; read by the batch formula only
  Metric metric = Metric::Cosine;
  // Whether every stored norm is known to bound its row's computed norm, so
  // the batch formula's scan can take its error bounds from the norms
  // instead of summing each row's squares.
  bool norms_bound_rows = false;
};

// The k nearest of all rows by the batch formula (no tombstones, no filter).
// A large scan is split over the worker pool. When the norms were not known
// to bound the rows, *norms_hold (if given) tells whether this scan found
// that they all do.
std::vector<Hit> scan_all_rows(const ScanRows& rows, const float* query, std::size_t k, bool* norms_hold = nullptr);
// The same for many queries at once: out[i] is exactly scan_all_rows for
// queries[i]. With BLAS the rows are scored by a matrix product; the work is
// split over the worker pool.
// progress counts the queries scored; once it asks to stop, the remaining
// queries are skipped (their lists left empty).
void scan_all_rows_many(const ScanRows& rows, const float* const* queries, std::size_t query_count, std::size_t k,
                        std::vector<std::vector<Hit>>& out, Progress* progress = nullptr);
// The k nearest of the given slots (each below rows.count) by the pairwise
// distance.
std::vector<Hit> scan_slots(const ScanRows& rows, const float* query, const std::uint32_t* slots,
                            std::size_t slot_count, std::size_t k);

// The same scan, with the rows of the slots copied one after another in
// their order (copy + i * dim holds slots[i]'s row): the rows are scored as
// one block, and the few kept are scored again from the store, so the
// result is scan_slots' exactly while the copy matches the store.
std::vector<Hit> scan_copied_rows(const ScanRows& rows, const float* query, const std::uint32_t* slots,
                                  const float* copy, std::size_t slot_count, std::size_t k);

// Whether the many-query form scores by a matrix product (a BLAS build);
// the module hints, once, that a build without one would scan faster with it.
bool scan_uses_matrix_product();

}  // namespace hovra
