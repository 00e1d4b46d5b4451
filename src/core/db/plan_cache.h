// PlanCache: the query plans of the last few filters, kept so that searches
// repeating a filter (a tenant, a category, a long $in) reuse its compiled
// nodes and its candidate list instead of building them again per call. A
// plan is reused only for an equal filter over the metadata index at the
// same generation and the same slot count; any change to the index makes
// every kept plan stale, and stale plans are dropped on the next look-up.
// A filter the caller shares is kept as it is and found again by identity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/db/query_plan.h"
#include "core/records/filter.h"
#include "core/records/metadata_index.h"

namespace hovra {

// Whether two filters are the same tree with equal fields, values and
// thresholds (values compare as filters compare them: by kind and value).
bool same_filter(const Filter& a, const Filter& b);
// A hash of the filter's tree, equal for filters same_filter calls equal.
std::size_t filter_hash(const Filter& filter);

class PlanCache {
 public:
  // Plans kept at most: a few filters that alternate still hit.
  static constexpr std::size_t kCapacity = 4;

  // The plan of `filter` over `index` as it is now, kept or newly built.
  // The caller holds the metadata-index read lock for as long as it uses
  // the plan (as for any plan); the plan owns its copy of the filter, or
  // shares `shared` when the caller gives it (filter is then *shared): a
  // kept plan of that very filter is found by identity, without hashing or
  // comparing the filter (a $in of 500 values).
  std::shared_ptr<const QueryPlan> plan(const Filter& filter, const MetadataIndex& index, std::size_t slot_count,
                                        std::shared_ptr<const Filter> shared = nullptr);
  // The bytes the kept plans hold, with their filters and candidate lists.
  std::size_t memory_bytes() const;

 private:
  struct Entry;
  mutable std::mutex mutex_;                     // a leaf: nothing is taken under it (plans are built outside it)
  std::vector<std::shared_ptr<Entry>> entries_;  // most recently used first
};

}  // namespace hovra
