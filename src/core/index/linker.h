// The Linker: what linking reads of an index and the graph it changes,
// shared by build.cpp (linking a node, updates, the entry point, the
// reachability audit, the index's insertions) and neighbours.cpp
// (neighbour selection, back-links and the layer-0 in-link floor). Internal
// to the index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/index/graph.h"
#include "core/index/hit.h"
#include "core/index/hnsw_index.h"
#include "core/index/walk.h"

namespace hovra {

// Layer-0 lists keep a dropped member that would be left with fewer
// in-links than this: with two, a pair of nodes that only list each other
// cannot drift out of reach.
constexpr std::size_t kMinInLinks = 2;

// What linking reads of an index (its rows, norms, tombstones and
// parameters) and the graph it changes. Made once the rows to link are in
// the store; several threads may link through one Linker at once (the
// parallel phase of a batch), each list under its lock.
class Linker {
 public:
  explicit Linker(HnswIndex& index)
      : graph_(index.graph_),
        rows_(index.store_.data()),
        norms_(index.norms_.data()),
        dead_(index.dead_.data()),
        unlinked_(index.unlinked_.data()),
        dim_(index.dim_),
        metric_(index.metric_),
        // The most neighbours an inserted node chooses for its own layer-0
        // list: m, like on the upper layers. Its list still grows to 2m
        // through later back-links; choosing m halves the back-links each
        // insertion makes and prunes, at the same recall.
        own_cap0_(index.graph_.m()),
        ef_construction_(index.ef_construction_) {}

  template <bool kLocked>
  bool connect_node(std::uint32_t slot, std::size_t level, std::uint32_t ep);
  void make_findable(std::uint32_t slot);
  void relink_nearest(std::uint32_t slot, std::vector<Hit> near);
  void repair_unlinked(std::uint32_t slot, std::size_t layer, const std::vector<std::uint32_t>& former);
  void adopt_former(std::uint32_t slot, const std::vector<std::uint32_t>& former0);
  void hand_over_entry(std::uint32_t slot);
  void leave_twin_group();
  void link_unreachable();

 private:
  template <class Use>
  void with_node_distance(std::uint32_t slot, Use&& use) const;
  void link_back(std::uint32_t n, std::uint32_t slot, std::size_t layer, std::size_t cap, WalkScratch& ws);
  void keep_last_links(Graph::Items before, std::uint32_t incoming, std::vector<std::uint32_t>& kept);
  bool evict_shared(std::vector<std::uint32_t>& list, std::uint32_t keep);
  void adopt(std::uint32_t orphan, const std::vector<std::uint32_t>& hosts, std::size_t wanted = kMinInLinks);
  static void keep_floor(const std::vector<Hit>& candidates, std::uint32_t self, std::size_t floor,
                         std::vector<std::uint32_t>& kept);
  void select_neighbours(const std::vector<Hit>& candidates, std::uint32_t self, std::size_t cap,
                         std::vector<std::uint32_t>& out) const;
  enum class Diversity { Kept, Covered, Twin };
  Diversity diversity(const Hit& candidate, const std::vector<std::uint32_t>& kept) const;
  bool is_diverse(const Hit& candidate, const std::vector<std::uint32_t>& kept) const;
  bool same_point(std::uint32_t a, std::uint32_t b, float d) const;
  float link_distance(std::uint32_t a, std::uint32_t b) const;
  bool link_from_reached(std::uint32_t slot, const std::vector<std::uint8_t>& reached, std::uint32_t& spare);

  Graph& graph_;
  const float* rows_;
  const float* norms_;
  const std::uint8_t* dead_;
  const std::uint8_t* unlinked_;  // per slot, 1 while it waits for linking (fresh_rows.cpp)
  std::size_t dim_;
  Metric metric_;
  std::size_t own_cap0_;
  std::size_t ef_construction_;
};

// The distance between two stored nodes as the graph's construction measures
// it: as the walks do (the pair kernels, cosine through the stored norms),
// the exact kernel for the dot product.
[[gnu::always_inline]] inline float Linker::link_distance(std::uint32_t a, std::uint32_t b) const {
  const float* ra = rows_ + std::size_t(a) * dim_;
  const float* rb = rows_ + std::size_t(b) * dim_;
  if (metric_ == Metric::Euclidean) return pair_l2sq_kernel()(ra, rb, dim_);
  if (metric_ != Metric::Cosine) return distance(ra, rb, dim_, metric_);
  float d = pair_dot_kernel()(ra, rb, dim_);
  float scale = norms_[a] * norms_[b];
  return scale > 0.0f ? 1.0f - d / scale : 1.0f;
}

}  // namespace hovra
