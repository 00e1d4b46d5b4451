// Hit: one answer of a search (a slot and its distance to the query), and
// the orders of hits: closer distances first with NaN after every number,
// and hit_before, the order the exhaustive scan returns (ties by slot).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace hovra {

struct Hit {
  std::uint32_t slot;
  float distance;
};

// Orders distances ascending with NaN after every number, so sorting and
// selection stay well-defined whatever the vectors hold.
inline bool closer(float a, float b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

// Hits by closer distance; equal distances are left as they come.
struct HitCloser {
  bool operator()(const Hit& a, const Hit& b) const { return closer(a.distance, b.distance); }
};

// Ascending distance, NaN after every number, ties by slot.
inline bool hit_before(const Hit& a, const Hit& b) {
  bool an = std::isnan(a.distance), bn = std::isnan(b.distance);
  if (an != bn) return bn;
  if (!an && a.distance != b.distance) return a.distance < b.distance;
  return a.slot < b.slot;
}

// Stable by ascending distance: hits at equal distances keep their order.
inline void sort_hits(std::vector<Hit>& hits) { std::stable_sort(hits.begin(), hits.end(), HitCloser()); }

}  // namespace hovra
