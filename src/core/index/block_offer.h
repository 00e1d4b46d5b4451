// Offering a block of scored rows to an exact scan's preselection: the
// rows' bounds are tested eight at a time, a group's floor against the
// threshold first and then, in a group that passes, the rows marked at once;
// the group tests run in AVX-512 where the processor has it. Used by
// exhaustive_scan.cpp only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/index/preselect.h"

namespace hovra {

// Rows are scored and offered in blocks of at most this many.
constexpr std::size_t kBlockRows = 256;
// Rows are offered in groups of eight, each group first tested as a whole.
constexpr std::size_t kGroup = 8;

// The floor of each of `groups` whole groups (block_offer.cpp).
using GroupFloorsFn = void (*)(const double*, const double*, std::size_t, double*);
extern const GroupFloorsFn kGroupFloors;
// The rows of one group to offer, a bit per row (block_offer.cpp).
using GroupMarksFn = unsigned (*)(const double*, const double*, std::size_t, double);
extern const GroupMarksFn kGroupMarks;

// Offers n rows (n at most kBlockRows; row i is slot_of(i)) with their
// bounds; most rows lie above the threshold and are passed over by their
// group's floor (the threshold only falls), which spares a branch per row
// on the scans of small collections. In a group that passes, the rows at or
// under the threshold (and those with a non-finite end) are marked at once
// and offered one after another without a branch per row.
template <class SlotOf>
void offer_block(Preselect& pre, std::size_t n, const double* lo, const double* hi, SlotOf slot_of) {
  double floors[kBlockRows / kGroup];
  const std::size_t groups = n / kGroup;
  kGroupFloors(lo, hi, groups, floors);
  auto offer_marked = [&](std::size_t first, std::size_t count) {
    unsigned marked = kGroupMarks(lo + first, hi + first, count, pre.threshold());
    while (marked != 0) {
      std::size_t j = first + static_cast<std::size_t>(__builtin_ctz(marked));
      marked &= marked - 1;
      pre.candidate(slot_of(j), lo[j], hi[j]);
    }
  };
  for (std::size_t g = 0; g < groups; ++g) {
    if (floors[g] > pre.threshold()) continue;
    offer_marked(g * kGroup, kGroup);
  }
  if (groups * kGroup < n) offer_marked(groups * kGroup, n - groups * kGroup);
}

}  // namespace hovra
