// QueryPlan: how a filtered query finds its records. From the filter and the
// metadata index alone (no record read) it knows how many live records can
// match at most (the bound), which records are candidates, whether the
// candidates are exactly the matching records, and how to test one record
// cheaply (set probes before any metadata is read).
//
// Candidate sets come from the index's lists: an equality, $in or $contains
// is a union of posting (or element) lists, a range the field's numbers in
// it, $exists a presence list; $ne, $nin, $exists false and $not are
// complements within the records that have metadata; $and intersects, $or
// unites. A condition the index cannot answer (a dotted field, a $ne of
// null) leaves the records to the evaluator.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/base/function_ref.h"
#include "core/db/candidate_rows.h"
#include "core/db/plan_costs.h"
#include "core/records/filter.h"
#include "core/records/metadata_index.h"
#include "core/records/packed_json.h"

namespace hovra {

class QueryPlan {
 public:
  struct Node;  // a compiled condition (query_plan.cpp)

  // The caller holds the metadata-index read lock for the plan's whole life
  // (the plan borrows the index's lists) and keeps `filter` alive.
  // slot_count: the index's node count (every slot is below it).
  QueryPlan(const Filter& filter, const MetadataIndex& index, std::size_t slot_count);
  ~QueryPlan();
  QueryPlan(const QueryPlan&) = delete;
  QueryPlan& operator=(const QueryPlan&) = delete;

  const Filter& filter() const { return *filter_; }
  // The index narrows the filter to a candidate set.
  bool answered() const { return answered_; }
  // At most this many live records match.
  std::size_t bound() const { return bound_; }
  // The set probes alone decide a record (no metadata is read).
  bool probes_decide() const { return probes_decide_; }

  // Whether a live slot's record satisfies the filter; metadata_at(slot)
  // gives its packed metadata (the caller holds the metadata lock).
  template <class MetadataAt>
  bool admits(std::uint32_t slot, MetadataAt&& metadata_at) const {
    if (!passes_probes(slot)) return false;
    if (probes_decide_) return true;
    return matches(*filter_, metadata_at(slot));
  }

  // The candidates, ascending (nullptr: not answered, every slot may
  // match), and whether every live one of them satisfies the filter.
  // Built on first use, from any number of threads at once.
  struct Candidates {
    const std::vector<std::uint32_t>* slots = nullptr;
    bool exact = false;
  };
  Candidates candidates() const;

  // The candidates' rows copied one after another in the list's order
  // (copy + i * dim holds candidate i's row), so that the exact scans of a
  // filter searched again and again read one block instead of gathering
  // rows scattered over the store. Copied from the plan's second scan on,
  // when the list is built and worth it (worth_copying, plan_costs.h).
  // rows_version is the index's (HnswIndex::rows_version); a copy taken
  // at another is taken again.
  // row_of(slot) gives a slot's dim floats. nullptr: read the store. From
  // any number of threads at once (one copies, the others read the store
  // meanwhile); the caller holds the index lock shared, so the version
  // cannot change while it uses the copy.
  const float* copied_rows(std::uint64_t rows_version, std::size_t dim, std::size_t store_rows,
                           FunctionRef<const float*(std::uint32_t)> row_of) const;
  // Whether the scans of this plan read (or will read) such a copy, as far
  // as its bound tells before the list is built.
  bool copies_rows(std::size_t dim, std::size_t store_rows) const;

  // What testing one slot against the filter costs (TestCosts).
  std::size_t test_cost() const { return test_cost_; }
  // Whether the exact scan of the candidates tests each one too: the index
  // does not answer the filter exactly (as far as its estimates tell).
  bool scan_tests() const { return scan_tests_; }

  // A one-line account of the candidates, e.g. "$and of 2: posting lists
  // (exact)", for explain.
  std::string describe() const;

  // The bytes the plan holds: its compiled nodes, probes and, once built,
  // its candidate list (the filter and the index's lists are not its own).
  std::size_t memory_bytes() const;

  // What searches learnt of walking the graph with this filter (WalkMemory);
  // `estimated`: whether, before any walk ran, a walk is expected to cost
  // more than the scan (expected_walk_cost).
  bool walks_expensive(bool estimated) const { return walks_.expects_expensive(estimated); }
  bool scan_first(bool estimated) const { return walks_.scan_first(estimated); }
  void note_walk(bool expensive) const { walks_.note(expensive); }

 private:
  struct Probe {
    std::vector<const SlotSet*> any_of;  // in one of these sets
    bool negate = false;                 // ... or, negated, in none of them
  };
  std::unique_ptr<Node> compile(const Filter& filter) const;
  void add_probes(const Filter& filter);
  bool passes_probes(std::uint32_t slot) const;
  // The sets a test probes (the presence of object metadata counts one).
  std::size_t sets_probed() const;

  const Filter* filter_;
  const MetadataIndex* index_;
  std::size_t slot_count_;
  std::unique_ptr<Node> root_;
  bool answered_ = false;
  std::size_t bound_ = 0;
  std::vector<Probe> probes_;
  bool probes_need_object_ = false;  // a negated probe: the record must have object metadata
  bool probes_decide_ = false;
  std::size_t test_cost_ = 0;
  bool scan_tests_ = true;

  // The candidate list, built once.
  mutable std::mutex list_mutex_;  // taken by the first caller of candidates(); nothing is taken under it
  mutable std::atomic<bool> listed_{false};
  mutable std::vector<std::uint32_t> list_;
  mutable bool list_exact_ = false;

  // The copy of the candidates' rows, made once per rows version.
  mutable CandidateRows rows_;

  mutable WalkMemory walks_;
};

}  // namespace hovra
