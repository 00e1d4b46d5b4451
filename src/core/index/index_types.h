// The structures the index's calls take and give: its statistics and
// memory figures, and what a filtered search knows of its filter before it
// starts (the test of one slot, a bound on the passing slots, and the
// slots an exact scan of it visits). HnswIndex is in hnsw_index.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/base/function_ref.h"

namespace hovra {

struct IndexStats {
  std::uint64_t num_vectors = 0;
  std::uint64_t num_deleted = 0;
  std::uint64_t num_layers = 0;
  double avg_degree_layer0 = 0.0;
  std::uint64_t max_degree_layer0 = 0;
  std::uint64_t min_degree_layer0 = 0;
  std::uint64_t memory_vectors_bytes = 0;
  std::uint64_t memory_graph_bytes = 0;
  std::uint64_t memory_quantized_bytes = 0;
  bool uses_brute_force = true;
  bool uses_quantized_search = false;
  std::uint64_t fresh_rows = 0;  // stored rows not yet linked into the graph
};

// Bytes the index's structures hold in memory.
struct IndexMemory {
  std::uint64_t vectors = 0;         // owned vector rows
  std::uint64_t vectors_mapped = 0;  // rows read from the mapped vector file
  std::uint64_t norms = 0;
  std::uint64_t graph = 0;      // levels, neighbour lists, locks, in-link counts, tombstones
  std::uint64_t quantizer = 0;  // SQ8 codes and codebook
};

using SlotPredicate = FunctionRef<bool(std::uint32_t)>;

// The slots an exact scan of a filter visits: every slot that can pass,
// ascending (nullptr: any slot can), and whether every live one of them
// passes, so that the scan needs no test.
//
// rows, when given, holds the rows of those slots one after another in the
// list's order, a copy the caller keeps of the store's rows (see
// HnswIndex::rows_version): a scan of a scattered list reads them as one
// block instead of gathering them over the store.
struct ScanList {
  const std::vector<std::uint32_t>* slots = nullptr;
  bool all_pass = false;
  const float* rows = nullptr;
};

// What a filtered search learnt of its walk, for the caller to remember
// with the filter: whether it walked, and whether the walk cost more than
// the exact scan of the passing slots would have (it gave up and scanned,
// or measured and tested nodes worth more than that scan).
struct WalkReport {
  bool walked = false;
  bool expensive = false;
};

// What a filtered search may return, as the caller knows it before the
// search starts.
struct SlotFilter {
  SlotPredicate admits;  // the filter's test of one live slot
  std::size_t bound;     // at most this many live slots pass
  // Asked for only when the search scans exactly, possibly from several
  // threads at once.
  FunctionRef<ScanList()> scan_list;
  // The caller's memory of this filter: its walks ran expensive, so the
  // search scans exactly without trying the walk.
  bool scan_first = false;
  WalkReport* report = nullptr;  // filled in when given
  // What testing one slot costs, in the units of the index's cost model
  // (HnswIndex::kWalkNodeCost), and whether the exact scan tests each slot
  // it visits as well (its list is not exactly the passing slots).
  std::size_t test_cost = 0;
  bool scan_tests = false;
  // Whether the exact scan reads a copy of the passing rows in one block
  // (ScanList::rows) rather than gathering them over the store, which
  // costs two to five times as much per row once the store outgrows the
  // caches.
  bool scan_reads_copy = false;
};

}  // namespace hovra
