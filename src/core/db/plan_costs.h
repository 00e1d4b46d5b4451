// The cost model of a filter's plan, in the units of the index's cost model
// (nanoseconds of one core, HnswIndex::kWalkNodeCost): what testing one
// record against the filter costs, whether a candidate list is worth a copy
// of its rows, what a walk with the filter is expected to cost before one
// ran, and what searches learnt of walking the graph with the filter
// (WalkMemory) rather than scanning its candidates.
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

// What a walk with a filter is expected to cost before any walk with it
// ran, from the filter's share of the live records alone: to fill a beam
// of `width` passing records the walk tests about width / share nodes and
// the width of the beam again (nodes tested per passing record ~ 1 /
// share), and measures those and about kListsAround lists of `links`
// (the graph's layer-0 list length) around the beam. `node_cost` is what
// a measured node costs (HnswIndex::kWalkNodeCost), `test_cost` a tested
// one. On 100,000 x 128 clustered rows, m 16, with filters passing 100 %
// to 20 % of the records at random, the walks tested 1.0-1.1x the nodes
// this says at width 200 and 1.6-1.8x at width 40, and measured
// 1.0-1.35x; at 10 % and width 40 they gave up at 1.1x the scan.
// A filter that holds where the queries are walks far less (its nearby
// records pass), one that holds where they are not gives up early.
std::size_t expected_walk_cost(std::size_t passing, std::size_t live, std::size_t width, std::size_t links,
                               std::size_t test_cost, std::size_t node_cost);
inline constexpr std::size_t kListsAround = 16;

// What searches learnt of walking the graph with one filter: whether most
// of its last few walks cost more than the exact scan of its candidates
// (they gave up, or measured and tested nodes worth more than the scan; a
// filter that holds where the queries are rare walks so). It lives with
// the plan, so any change to the metadata index (a new plan) starts it
// afresh. From any number of threads at once.
class WalkMemory {
 public:
  bool ran_expensive() const;
  // Whether a walk is expected to cost more than the scan: most of the
  // recent walks did, or, before any walk ran, `estimated` (the caller's
  // expected_walk_cost against the scan's cost) says so.
  bool expects_expensive(bool estimated) const;
  // Whether a search should scan without trying the walk: a walk is
  // expected to be expensive, except on every kRetryEvery-th such search,
  // which walks again so that the memory follows the queries when they
  // move (and learns of a filter that holds where the queries are).
  bool scan_first(bool estimated);
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
