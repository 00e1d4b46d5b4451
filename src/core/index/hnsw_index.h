// HnswIndex: the layered neighbour graph over a VectorStore, its searches
// (graph, exhaustive and SQ8 paths), insertion, tombstones, vector updates
// and statistics. Callers hold the database's index lock: shared for
// searches and reads, exclusive for every change.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/index/exhaustive_scan.h"
#include "core/index/hit.h"
#include "core/vectors/distance.h"
#include "core/base/function_ref.h"
#include "core/base/progress.h"
#include "core/vectors/quantize.h"
#include "core/vectors/vector_rows.h"
#include "core/vectors/vector_store.h"

namespace hovra {

inline constexpr std::uint32_t kNoEntry = 0xFFFFFFFFu;
inline constexpr std::size_t kBruteForceThreshold = 10'000'000;
inline constexpr std::size_t kSequentialBatch = 128;

struct WalkScratch;

// One neighbour list of one node on a layer above 0, behind a one-byte spin
// lock held only while a thread reads or rewrites the list.
struct NeighbourList {
  std::vector<std::uint32_t> slots;
  mutable std::uint8_t lock_byte = 0;  // used through std::atomic_ref
};

// The graph as stored in the graph file, before or after it becomes an index.
struct GraphLayout {
  std::size_t dim = 0;
  Metric metric = Metric::Cosine;
  std::size_t m = 16;
  std::size_t ef_construction = 200;
  std::uint32_t entry_point = kNoEntry;
  std::size_t max_level = 0;
  std::vector<std::uint32_t> deleted;  // as listed; duplicates collapse
  // The node table in its file form, in one block: per node its layer
  // count L, then L lists (layer 0 first), each a count C and C slots.
  std::vector<std::uint32_t> table;
  std::vector<std::size_t> node_at;  // per node: the position of its L in table

  std::size_t node_count() const { return node_at.size(); }
  std::size_t layer_count(std::size_t node) const { return table[node_at[node]]; }
  // The list of a node on one of its layers: (first slot, count).
  std::pair<const std::uint32_t*, std::size_t> list(std::size_t node, std::size_t layer) const {
    std::size_t at = node_at[node] + 1;
    for (std::size_t l = 0; l < layer; ++l) at += 1 + table[at];
    return {table.data() + at + 1, table[at]};
  }
  std::vector<std::uint32_t> list_copy(std::size_t node, std::size_t layer) const {
    auto [p, n] = list(node, layer);
    return std::vector<std::uint32_t>(p, p + n);
  }
  // Appends a node with these lists, layer 0 first (for layouts built by hand).
  void add_node(const std::vector<std::vector<std::uint32_t>>& lists) {
    node_at.push_back(table.size());
    table.push_back(static_cast<std::uint32_t>(lists.size()));
    for (const auto& l : lists) {
      table.push_back(static_cast<std::uint32_t>(l.size()));
      table.insert(table.end(), l.begin(), l.end());
    }
  }
};

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
struct ScanList {
  const std::vector<std::uint32_t>* slots = nullptr;
  bool all_pass = false;
};

// What a filtered search may return, as the caller knows it before the
// search starts.
struct SlotFilter {
  SlotPredicate admits;  // the filter's test of one live slot
  std::size_t bound;     // at most this many live slots pass
  // Asked for only when the search scans exactly, possibly from several
  // threads at once.
  FunctionRef<ScanList()> scan_list;
};

class HnswIndex {
 public:
  // An empty index; m must be at least 2 (checked by the database).
  HnswIndex(std::size_t dim, Metric metric, std::size_t m, std::size_t ef_construction);
  HnswIndex(const HnswIndex&) = delete;
  HnswIndex& operator=(const HnswIndex&) = delete;

  // An index from a loaded layout, store and norms. The caller has checked
  // every slot of the layout against the node count and the store's size.
  static std::unique_ptr<HnswIndex> from_layout(GraphLayout layout, VectorStore store, std::vector<float> norms);

  std::size_t dim() const { return dim_; }
  Metric metric() const { return metric_; }
  std::size_t m() const { return m_; }
  std::size_t m_max0() const { return m_max0_; }
  std::size_t ef_construction() const { return ef_construction_; }
  double level_mult() const { return level_mult_; }
  std::size_t node_count() const { return levels_.size(); }
  std::size_t live_count() const { return live_count_.load(std::memory_order_relaxed); }
  std::uint32_t entry_point() const { return entry_point_; }
  std::size_t max_level() const { return max_level_; }
  const std::unordered_set<std::uint32_t>& deleted() const { return deleted_; }
  bool is_deleted(std::uint32_t slot) const { return slot < dead_.size() && dead_[slot] != 0; }
  std::size_t level(std::uint32_t slot) const { return levels_[slot]; }
  // A copy of one neighbour list, taken under its lock.
  void copy_list(std::uint32_t slot, std::size_t layer, std::vector<std::uint32_t>& out) const;

  const VectorStore& store() const { return store_; }
  const std::vector<float>& norms() const { return norms_; }
  const float* vector(std::uint32_t slot) const { return store_.vector(slot); }
  const Sq8Quantizer* quantizer() const { return quantizer_ ? &*quantizer_ : nullptr; }
  void set_quantizer(Sq8Quantizer q) { quantizer_ = std::move(q); }
  bool uses_brute_force() const { return live_count() * dim_ < kBruteForceThreshold; }

  // Searches: min(k, live slots that pass) hits in ascending distance, none
  // deleted. The query's length must equal dim (Panic otherwise). The graph
  // walk fills its beam with live (and passing) slots only; a filter that few
  // slots pass is answered by an exact scan of them instead, and so is a walk
  // that measures more nodes than could pass or ends short of k.
  std::vector<Hit> search(const float* query, std::size_t len, std::size_t k, std::size_t ef) const;
  std::vector<Hit> search_filtered(const float* query, std::size_t len, std::size_t k, std::size_t ef,
                                   const SlotFilter& filter) const;

  // The unfiltered search of every query, in query order: exactly search()
  // per query. On the exhaustive path without tombstones the rows are scored
  // for all queries together; otherwise the queries run on the worker pool.
  // Each query holds dim floats. progress counts the queries done; once it
  // asks to stop, the remaining queries are skipped and the result must be
  // thrown away.
  std::vector<std::vector<Hit>> search_batch(const std::vector<const float*>& queries, std::size_t k, std::size_t ef,
                                             Progress* progress = nullptr) const;

  // Changes (exclusive lock).
  std::uint32_t insert(const float* v, std::size_t len);
  // Vectors given as pointers to dim floats each; lens checked first.
  // progress counts the vectors linked. With stoppable, a stop asked for
  // through progress ends the batch early with an empty result, and the
  // index is left half-built: only an index that is thrown away afterwards
  // (a compaction's new one) may be given stoppable.
  std::vector<std::uint32_t> insert_batch(const std::vector<const float*>& vectors,
                                          const std::vector<std::size_t>& lens, Progress* progress = nullptr,
                                          bool stoppable = false);
  // The same for rows read where they lie, as they are appended; every
  // row's length is checked first.
  std::vector<std::uint32_t> insert_batch(const VectorRows& rows, Progress* progress = nullptr,
                                          bool stoppable = false);
  void mark_deleted(std::uint32_t slot);
  void update_vector(std::uint32_t slot, const float* v, std::size_t len);
  void enable_quantization();
  void disable_quantization() { quantizer_.reset(); }

  IndexStats stats() const;
  IndexMemory memory_usage() const;

 private:
  std::size_t random_level() const;
  // Neighbour-list access. Layer 0 lists live in one flat block per node
  // (a count word, then room for m_max0 + 1 slots, at most 129), so a search
  // reads a node's list without chasing a pointer; a longer list keeps its
  // own vector in long0_. Callers hold the list's lock (ListLock)
  // around items/assign.
  struct Items {
    const std::uint32_t* data;
    std::size_t size;
    const std::uint32_t* begin() const { return data; }
    const std::uint32_t* end() const { return data + size; }
  };
  class ListLock {
   public:
    ListLock(const HnswIndex& index, std::uint32_t slot, std::size_t layer);
    ~ListLock();
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

   private:
    void spin();  // waits for the holder to let go, then takes the lock
    std::atomic_ref<std::uint8_t> lock_;
  };
  Items items(std::uint32_t slot, std::size_t layer) const {
    if (layer == 0) {
      const std::uint32_t* block = flat0_.data() + std::size_t(slot) * stride0_;
      if (block[0] != kLongList) return {block + 1, block[0]};
      return {long0_[slot].data(), long0_[slot].size()};
    }
    const auto& v = upper_[slot][layer - 1].slots;
    return {v.data(), v.size()};
  }
  static constexpr std::uint32_t kLongList = 0xFFFFFFFFu;
  void assign(std::uint32_t slot, std::size_t layer, const std::uint32_t* data, std::size_t size);
  std::uint8_t& lock_byte(std::uint32_t slot, std::size_t layer) const;
  void check_slot(std::uint32_t slot) const;
  void reserve_nodes(std::size_t nodes);
  void append_node(const float* v, std::size_t level);
  // kLocked: other threads link at the same time (the parallel phase of
  // insert_batch), so the walks read each list under its lock. Otherwise
  // the caller's exclusive hold of the index keeps every list still.
  template <class Use>
  void with_node_distance(std::uint32_t slot, Use&& use) const;
  template <bool kLocked>
  void connect_node(std::uint32_t slot, std::size_t level, std::uint32_t ep);
  void link_back(std::uint32_t n, std::uint32_t slot, std::size_t layer, std::size_t cap, WalkScratch& ws);
  void keep_last_links(Items before, std::uint32_t incoming, std::vector<std::uint32_t>& kept);
  bool evict_shared(std::vector<std::uint32_t>& list, std::uint32_t keep);
  void adopt(std::uint32_t orphan, const std::vector<std::uint32_t>& hosts);
  std::uint32_t count_in0(std::uint32_t slot, int delta);
  void select_neighbours(const std::vector<Hit>& candidates, std::uint32_t self, std::size_t cap,
                         std::vector<std::uint32_t>& out) const;
  bool is_diverse(const Hit& candidate, const std::vector<std::uint32_t>& kept) const;
  float link_distance(std::uint32_t a, std::uint32_t b) const;

  void repair_unlinked(std::uint32_t slot, std::size_t layer, const std::vector<std::uint32_t>& former);
  void hand_over_entry(std::uint32_t slot);
  // Reachability upkeep after insertions and updates (see link_unreachable).
  void note_changes(std::size_t count);
  void link_unreachable();
  bool link_from_reached(std::uint32_t slot, const std::vector<std::uint8_t>& reached, std::uint32_t& spare);

  // Both walks pass over `skip` (a node being relinked) as if it were
  // absent, and use the calling thread's scratch ws. kLocked: each list is
  // read under its lock (only while other threads link, see connect_node).
  template <bool kLocked, class Dist>
  std::uint32_t greedy_closest(const Dist& dist, WalkScratch& ws, std::uint32_t start, std::size_t layer,
                               std::uint32_t skip = kNoEntry) const;
  // Admit decides which reached slots may enter the beam (see AdmitAll and
  // Admissible in the .cpp); every reached slot is still expanded.
  template <bool kLocked, class Dist, class Admit>
  std::vector<Hit> search_layer(const Dist& dist, WalkScratch& ws, std::uint32_t entry, std::size_t ef,
                                std::size_t layer, Admit& admit, std::uint32_t skip = kNoEntry) const;
  template <class Admit>
  std::vector<Hit> beam(const float* query, std::size_t ef, Admit& admit) const;
  std::vector<Hit> best_of_beam(const float* query, std::vector<Hit> beam, std::size_t k) const;
  bool walk_is_cheaper(std::size_t passing, std::size_t width) const;
  ScanRows scan_rows() const;
  std::vector<Hit> exhaustive(const float* query, std::size_t k, SlotPredicate* predicate,
                              const std::vector<std::uint32_t>* scan) const;

  std::size_t dim_;
  Metric metric_;
  std::size_t m_;
  std::size_t m_max0_;
  // The most neighbours an inserted node chooses for its own layer-0 list:
  // m, like on the upper layers. Its list still grows to m_max0_ through
  // later back-links; choosing m halves the back-links each insertion makes
  // and prunes, at the same recall.
  std::size_t own_cap0_;
  std::size_t ef_construction_;
  double level_mult_;
  VectorStore store_;
  std::vector<float> norms_;
  // Whether every norm in norms_ bounds its row (see ScanRows): norms this
  // index computes always do; norms read from a file do once a scan has
  // checked them. Scans under the read lock may settle it.
  mutable std::atomic<bool> norms_bound_rows_{true};
  std::vector<std::uint32_t> levels_;         // per slot
  std::size_t stride0_;                       // words per node in flat0_
  std::vector<std::uint32_t> flat0_;          // per slot: count, then slots
  mutable std::vector<std::uint8_t> locks0_;  // per slot, layer-0 list lock
  // Per slot, layer-0 lists too long for the flat room; sized to the node
  // count only when such lists can occur (m above 64, or a loaded long list).
  std::vector<std::vector<std::uint32_t>> long0_;
  std::vector<std::unique_ptr<NeighbourList[]>> upper_;  // per slot, layers 1..level
  std::vector<std::uint32_t> upper_nodes_;               // slots with a layer above 0, ascending
  std::optional<Sq8Quantizer> quantizer_;
  std::unordered_set<std::uint32_t> deleted_;
  std::vector<std::uint8_t> dead_;  // per slot, 1 when in deleted_
  // Per slot, how many layer-0 lists hold it (through atomic_ref). Lists
  // keep a member they would otherwise leave with too few in-links, so no
  // node falls out of reach of the walk.
  std::vector<std::uint32_t> in0_;
  std::size_t max_level_ = 0;
  std::atomic<std::size_t> live_count_{0};
  std::uint32_t entry_point_ = kNoEntry;
  std::size_t changes_since_audit_ = 0;  // insertions and updates since link_unreachable ran
};

// Marks in `reached` every node a walk over layer-0 lists reaches from start
// (start included), where list_of(slot) gives a slot's list as something
// iterable; members at or past reached.size() are passed over. Deleted nodes
// are walked through, as searches do.
template <class ListOf>
void mark_reachable(std::uint32_t start, std::vector<std::uint8_t>& reached, const ListOf& list_of) {
  if (start >= reached.size() || reached[start]) return;
  std::vector<std::uint32_t> stack{start};
  reached[start] = 1;
  while (!stack.empty()) {
    std::uint32_t slot = stack.back();
    stack.pop_back();
    for (std::uint32_t next : list_of(slot))
      if (next < reached.size() && !reached[next]) {
        reached[next] = 1;
        stack.push_back(next);
      }
  }
}

}  // namespace hovra
