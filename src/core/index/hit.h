// Hit: one answer of a search (a slot and its distance to the query), and
// the orders of hits: hit_before, the one order every search returns
// (closer distances first, NaN after every number, ties by slot), and the
// stable order by distance alone that the graph's walks and construction
// rank candidates by; merging two lists of hits.
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

// The order of every search's answer: ascending distance, NaN after every
// number, ties by slot (the record added first comes first).
inline bool hit_before(const Hit& a, const Hit& b) {
  bool an = std::isnan(a.distance), bn = std::isnan(b.distance);
  if (an != bn) return bn;
  if (!an && a.distance != b.distance) return a.distance < b.distance;
  return a.slot < b.slot;
}

// hit_before as a function object, so that the sorts inline it.
struct HitBefore {
  bool operator()(const Hit& a, const Hit& b) const { return hit_before(a, b); }
};

// Puts hits in the order of a search's answer.
inline void order_hits(std::vector<Hit>& hits) { std::sort(hits.begin(), hits.end(), HitBefore()); }

// Stable by ascending distance: hits at equal distances keep their order.
inline void sort_hits(std::vector<Hit>& hits) { std::stable_sort(hits.begin(), hits.end(), HitCloser()); }

// The k closest of two lists of hits, each slot once (a slot in both keeps
// its hit from `a`), in the order of a search's answer.
inline std::vector<Hit> merge_hits(std::vector<Hit> a, const std::vector<Hit>& b, std::size_t k) {
  for (const Hit& h : b) {
    bool seen = false;
    for (const Hit& x : a) seen = seen || x.slot == h.slot;
    if (!seen) a.push_back(h);
  }
  order_hits(a);
  if (a.size() > k) a.resize(k);
  return a;
}

}  // namespace hovra
