// The cost model of a filter's plan, in the units of the index's cost model
// (nanoseconds of one core, HnswIndex::kWalkNodeCost): what testing one
// record against the filter costs, whether a candidate list is worth a copy
// of its rows, and what searches learnt of walking the graph with the
// filter (WalkMemory) rather than scanning its candidates.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/records/filter.h"

namespace hovra {

// What testing one slot against a filter costs: each set probed and, when
// the probes do not decide, the record's metadata found and read, and each
// condition and listed value compared.
struct TestCosts {
  static constexpr std::size_t kProbeCost = 10;       // a set probed
  static constexpr std::size_t kEvaluateCost = 300;   // the metadata found and read
  static constexpr std::size_t kConditionCost = 30;   // a condition evaluated
  static constexpr std::size_t kListedValueCost = 4;  // a value of $in or $nin compared
};

// The test's cost: `sets_probed` set probes and, unless they decide the
// record, the metadata read and `filter`'s conditions evaluated.
std::size_t filter_test_cost(std::size_t sets_probed, bool probes_decide, const Filter& filter);

// Whether a list of `count` slots spanning `span` slots, of a store of
// `store_rows` rows of dim floats, is worth a copy of its rows: it holds at
// least kMinCopiedRows, at most an eighth of the store's rows and under
// kMaxCopiedBytes, and covers less than half of the slots it spans.
bool worth_copying(std::size_t count, std::size_t span, std::size_t store_rows, std::size_t dim);
inline constexpr std::size_t kMinCopiedRows = 256;
inline constexpr std::size_t kMaxCopiedBytes = std::size_t(256) << 20;

// What searches learnt of walking the graph with one filter: whether most
// of its last few walks cost more than the exact scan of its candidates
// (they gave up, or measured and tested nodes worth more than the scan; a
// filter that holds where the queries are rare walks so). It lives with
// the plan, so any change to the metadata index (a new plan) starts it
// afresh. From any number of threads at once.
class WalkMemory {
 public:
  bool ran_expensive() const;
  // Whether a search should scan without trying the walk: the walks ran
  // expensive, except on every kRetryEvery-th such search, which walks
  // again so that the memory follows the queries when they move.
  bool scan_first();
  void note(bool expensive);
  static constexpr std::uint32_t kRecentWalks = 16;
  static constexpr std::uint32_t kRetryEvery = 64;

 private:
  // The recent walks (low 16 bits) and how many of them ran expensive (high
  // 16 bits), both halved once the walks pass kRecentWalks; the searches
  // that scanned on that memory.
  std::atomic<std::uint32_t> walks_{0};
  std::atomic<std::uint32_t> scans_first_{0};
};

}  // namespace hovra
