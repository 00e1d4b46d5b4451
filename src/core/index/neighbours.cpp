// Neighbour selection (the diversity rule, and equal records kept within a
// budget), back-links with their pruning, and the layer-0 in-link floor:
// the Linker's choice of which neighbours each list keeps (linker.h).
#include <algorithm>

#include "core/index/linker.h"

namespace hovra {

namespace {

// A cosine distance this close to zero (a few roundings of a float sum)
// counts as two equal points.
constexpr float kCosineTwin = 1e-6f;

// How many members of a list may be equal to another member: a group of
// equal records links within itself through these and leaves the rest of
// the list to lead out of it.
std::size_t twin_budget(std::size_t cap) { return std::max<std::size_t>(1, cap / 8); }

}  // namespace

// ---- neighbour selection ----

// Chooses at most cap neighbours from candidates sorted by ascending
// distance to the node: a candidate is kept when it is closer to the node
// than to every neighbour kept before it. Keeping only the nearest
// candidates would fill every list of a tight cluster with members of that
// cluster, cutting the graph into islands that searches cannot cross.
//
// Equal vectors tie that test (a twin of a kept neighbour is as close to it
// as to the node when the node is their twin too), so the members of a
// group of equal records would keep one another only, leaving no way out of
// the group. A candidate equal to a kept neighbour is therefore kept only
// while the list holds fewer than twin_budget(cap) such twins: the group
// stays linked within itself and the rest of the list leads elsewhere.
void Linker::select_neighbours(const std::vector<Hit>& candidates, std::uint32_t self, std::size_t cap,
                               std::vector<std::uint32_t>& out) const {
  out.clear();
  std::size_t twins = 0;
  const std::size_t budget = twin_budget(cap);
  for (const Hit& c : candidates) {
    if (out.size() >= cap) break;
    if (c.slot == self) continue;
    switch (diversity(c, out)) {
      case Diversity::Kept:
        out.push_back(c.slot);
        break;
      case Diversity::Twin:
        if (twins < budget) {
          ++twins;
          out.push_back(c.slot);
        }
        break;
      case Diversity::Covered:
        break;
    }
  }
}

// Whether a candidate (with its distance to the node) is closer to the node
// than to every kept neighbour (Kept), closer to one of them (Covered), or
// no closer to any, but equal to one (Twin).
// Inlined into the selection with link_distance: called apart, the two
// measured 4.5 % more instructions per build (the metric's kernel fetched
// for every pair).
[[gnu::always_inline]] inline Linker::Diversity Linker::diversity(const Hit& candidate,
                                                                  const std::vector<std::uint32_t>& kept) const {
  bool twin = false;
  for (std::uint32_t k : kept) {
    float d = link_distance(candidate.slot, k);
    if (d < candidate.distance) return Diversity::Covered;
    if (!twin && d <= candidate.distance && same_point(candidate.slot, k, d)) twin = true;
  }
  return twin ? Diversity::Twin : Diversity::Kept;
}

bool Linker::is_diverse(const Hit& candidate, const std::vector<std::uint32_t>& kept) const {
  return diversity(candidate, kept) == Diversity::Kept;
}

// Whether two stored nodes at link distance d hold the same point, up to
// the rounding of the distance: a Euclidean distance of zero, a cosine
// distance within kCosineTwin of zero; under the dot product, whose
// distance says nothing of equality, equal rows.
bool Linker::same_point(std::uint32_t a, std::uint32_t b, float d) const {
  if (metric_ == Metric::Euclidean) return d <= 0.0f;
  if (metric_ == Metric::Cosine) return d <= kCosineTwin;
  return std::equal(rows_ + std::size_t(a) * dim_, rows_ + std::size_t(a + 1) * dim_, rows_ + std::size_t(b) * dim_);
}

// ---- back-links and the in-link floor ----

// Appends slot to n's list unless it is there; an overfull list is cut back
// to cap by the neighbour selection over its members (stable order, so the
// newest entry loses ties).
void Linker::link_back(std::uint32_t n, std::uint32_t slot, std::size_t layer, std::size_t cap, WalkScratch& ws) {
  std::vector<std::uint32_t>& grown = ws.grown;
  std::vector<Hit>& scored = ws.scored;
  ListLock lock(graph_, n, layer);
  Graph::Items current = graph_.items(n, layer);
  if (std::find(current.begin(), current.end(), slot) != current.end()) return;
  grown.assign(current.begin(), current.end());
  grown.push_back(slot);
  if (grown.size() > cap) {
    scored.clear();
    for (std::uint32_t x : grown) scored.push_back({x, link_distance(n, x)});
    sort_hits(scored);
    select_neighbours(scored, n, cap, grown);
    if (layer == 0) keep_last_links(current, slot, grown);
  }
  if (layer == 0 && std::find(grown.begin(), grown.end(), slot) != grown.end()) graph_.count_in0(slot, 1);
  graph_.assign(n, layer, grown.data(), grown.size());
}

// A layer-0 list goes from `before` to kept: each member it drops (not the
// incoming one, which it never held) that would be left with fewer than
// kMinInLinks in-links stays, in the room left or in place of a member that
// enough other lists hold. Counts change atomically, so two lists dropping
// the same node at once cannot both go below the floor.
void Linker::keep_last_links(Graph::Items before, std::uint32_t incoming, std::vector<std::uint32_t>& kept) {
  std::size_t chosen = kept.size();
  for (std::uint32_t x : before) {
    if (x == incoming || std::find(kept.begin(), kept.begin() + chosen, x) != kept.begin() + chosen) continue;
    if (graph_.count_in0(x, -1) >= kMinInLinks) continue;
    if (kept.size() >= graph_.m_max0() && !evict_shared(kept, incoming)) continue;
    kept.push_back(x);
    graph_.count_in0(x, 1);
  }
}

// Removes from a layer-0 list, nearest first, the farthest member other than
// `keep` that at least kMinInLinks other lists hold; false when there is none.
bool Linker::evict_shared(std::vector<std::uint32_t>& list, std::uint32_t keep) {
  for (std::size_t i = list.size(); i-- > 0;) {
    if (list[i] == keep) continue;
    if (graph_.count_in0(list[i], -1) >= kMinInLinks) {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
    graph_.count_in0(list[i], 1);
  }
  return false;
}

// Gives a node held by fewer than `wanted` layer-0 lists more in-links:
// hosts (nearest first) that lack it take it, in the room they have or in
// place of their farthest member that enough other lists also hold.
void Linker::adopt(std::uint32_t orphan, const std::vector<std::uint32_t>& hosts, std::size_t wanted) {
  std::vector<Hit> members;
  std::vector<std::uint32_t> list;
  for (std::uint32_t host : hosts) {
    if (graph_.count_in0(orphan, 0) >= wanted) return;
    if (host == orphan) continue;
    ListLock lock(graph_, host, 0);
    Graph::Items current = graph_.items(host, 0);
    if (std::find(current.begin(), current.end(), orphan) != current.end()) continue;
    members.clear();
    for (std::uint32_t x : current) members.push_back({x, link_distance(host, x)});
    sort_hits(members);
    list.clear();
    for (const Hit& h : members) list.push_back(h.slot);
    if (list.size() >= graph_.m_max0() && !evict_shared(list, orphan)) continue;
    list.push_back(orphan);
    graph_.count_in0(orphan, 1);
    graph_.assign(host, 0, list.data(), list.size());
  }
}

// Tops kept up to `floor` members with the nearest candidates (sorted by
// distance) the diversity rule passed over.
void Linker::keep_floor(const std::vector<Hit>& candidates, std::uint32_t self, std::size_t floor,
                        std::vector<std::uint32_t>& kept) {
  for (const Hit& c : candidates) {
    if (kept.size() >= floor) return;
    if (c.slot != self && std::find(kept.begin(), kept.end(), c.slot) == kept.end()) kept.push_back(c.slot);
  }
}

}  // namespace hovra
