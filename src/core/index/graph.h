// Graph: the layered neighbour lists of an index, their locks, layer-0
// in-link counts and change marks, the entry point, the node table of the graph file it is
// loaded from, and degree statistics. It holds slots only: it knows nothing
// of vectors or metrics. With HOVRA_DEBUG_INVARIANTS defined, every list it
// is given is checked against the graph's invariants.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace hovra {

inline constexpr std::uint32_t kNoEntry = 0xFFFFFFFFu;

#ifdef HOVRA_DEBUG_INVARIANTS
inline constexpr bool kCheckGraphInvariants = true;
#else
inline constexpr bool kCheckGraphInvariants = false;
#endif

// The node table in its file form, in one block: per node its layer count
// L, then L lists (layer 0 first), each a count C and C slots. The block is
// `table`, or the words of a file mapped in memory (`mapped`, kept alive
// by `keep`), where the entries were checked as they lie.
struct NodeTable {
  std::vector<std::uint32_t> table;
  std::vector<std::size_t> node_at;  // per node: the position of its L in the block
  const std::uint32_t* mapped = nullptr;
  std::shared_ptr<const void> keep;

  const std::uint32_t* words() const { return mapped ? mapped : table.data(); }
  std::size_t node_count() const { return node_at.size(); }
  std::size_t layer_count(std::size_t node) const { return words()[node_at[node]]; }
  // The list of a node on one of its layers: (first slot, count).
  std::pair<const std::uint32_t*, std::size_t> list(std::size_t node, std::size_t layer) const {
    const std::uint32_t* w = words();
    std::size_t at = node_at[node] + 1;
    for (std::size_t l = 0; l < layer; ++l) at += 1 + w[at];
    return {w + at + 1, w[at]};
  }
  std::vector<std::uint32_t> list_copy(std::size_t node, std::size_t layer) const {
    auto [p, n] = list(node, layer);
    return std::vector<std::uint32_t>(p, p + n);
  }
  // Appends a node with these lists, layer 0 first (for tables built by hand).
  void add_node(const std::vector<std::vector<std::uint32_t>>& lists) {
    node_at.push_back(table.size());
    table.push_back(static_cast<std::uint32_t>(lists.size()));
    for (const auto& l : lists) {
      table.push_back(static_cast<std::uint32_t>(l.size()));
      table.insert(table.end(), l.begin(), l.end());
    }
  }
};

// Lists hold at most m members on the layers above 0 and 2m on layer 0 (one
// more on layer 0 while a reachability repair has no other room, see
// link_from_reached). Layer-0 lists live in one flat block per node (a count
// word, then room for 2m + 1 slots, at most kFlatRoomMax), so a walk reads a
// node's list without chasing a pointer; a longer list keeps its own vector.
// (Nodes a reader appends take no block: see fix_lists.)
// Readers and writers of a list hold its lock (ListLock) or know that no
// other thread changes lists.
class Graph {
 public:
  // A list as it lies in the graph, valid while its lock is held.
  struct Items {
    const std::uint32_t* data;
    std::size_t size;
    const std::uint32_t* begin() const { return data; }
    const std::uint32_t* end() const { return data + size; }
  };

  // An empty graph for lists of at most m members (2m on layer 0).
  explicit Graph(std::size_t m);
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // Takes over the lists of a node table whose every member is one of its
  // nodes (the caller has checked), with its entry point and top level. A
  // mapped table's layer-0 lists are read where they lie (a reader's graph:
  // the page cache holds them once for every process), until own_lists.
  // The per-node arrays get room for `room` nodes (at least the table's)
  // before they are filled, so that the first nodes appended after the
  // load do not copy them.
  void load(const NodeTable& nodes, std::uint32_t entry_point, std::size_t max_level, std::size_t room = 0);
  // Copies layer-0 lists read from a mapped table into the graph's own
  // blocks, so that they can change; every change of the graph's lists
  // is preceded by it (the index calls it before it links or updates).
  void own_lists();
  // Slots whose layer-0 lists lie in a mapped table (0 when none do).
  std::size_t mapped_nodes() const { return mapped_nodes_; }
  // The lists of a graph nobody links (a reader's) stay as they are: nodes
  // appended from now on have empty lists and take no layer-0 block,
  // in-link count or change mark (a reader following a writer would hold
  // 136 bytes of zeros per new row at m 16). own_lists gives every node
  // its own block again before any list changes.
  void fix_lists();
  // Slots from this one on have no layer-0 block (see fix_lists).
  std::size_t blockless_from() const { return blockless_from_; }

  std::size_t m() const { return m_; }
  std::size_t m_max0() const { return m_max0_; }
  // The most members a list of the layer keeps.
  std::size_t cap(std::size_t layer) const { return layer == 0 ? m_max0_ : m_; }
  std::size_t node_count() const { return levels_.size(); }
  std::size_t capacity() const { return levels_.capacity(); }
  std::size_t level(std::uint32_t slot) const { return levels_[slot]; }
  std::uint32_t entry_point() const { return entry_point_; }
  std::size_t max_level() const { return max_level_; }
  void set_entry(std::uint32_t slot, std::size_t level) {
    entry_point_ = slot;
    max_level_ = level;
  }
  // Slots with a layer above 0, ascending.
  const std::vector<std::uint32_t>& upper_nodes() const { return upper_nodes_; }

  // The list of a node on one of its layers (at most its level).
  Items items(std::uint32_t slot, std::size_t layer) const {
    if constexpr (kCheckGraphInvariants) check_layer(slot, layer);
    if (layer == 0) {
      const std::uint32_t* block = block0(slot);
      // (A mapped list, checked as read, never holds the long-list mark.)
      if (block[0] != kLongList) return {block + 1, block[0]};
      return {long0_[slot].data(), long0_[slot].size()};
    }
    const auto& v = upper_[slot][layer - 1].slots;
    return {v.data(), v.size()};
  }
  // Replaces a list (under its lock).
  void assign(std::uint32_t slot, std::size_t layer, const std::uint32_t* data, std::size_t size) {
    if constexpr (kCheckGraphInvariants) check_change(slot, layer, data, size);
    put(slot, layer, data, size);
    mark_changed(slot);
  }
  // A copy of one list, taken under its lock; Panic for a slot or layer
  // out of range.
  void copy_list(std::uint32_t slot, std::size_t layer, std::vector<std::uint32_t>& out) const;
  // Panic unless the slot is a node.
  void check_slot(std::uint32_t slot) const;
  // A node's layer-0 block (its count word and the room for its list),
  // for a walk to prefetch before it may expand the node.
  const std::uint32_t* block0(std::uint32_t slot) const {
    if (slot < mapped_nodes_) return mapped_words_ + mapped_at_[slot] + 1;
    if (slot >= blockless_from_) return kEmptyBlock;
    return flat0_.data() + (std::size_t(slot) - mapped_nodes_) * stride0_;
  }
  std::size_t block0_bytes() const { return stride0_ * sizeof(std::uint32_t); }

  // Room for `nodes` nodes in every per-node array.
  void reserve(std::size_t nodes);
  // Appends a node with empty lists on layers 0..level; Panic once the
  // slot space is exhausted.
  void append_node(std::size_t level);
  // Drops a node's layers above `keep` (lists there are let go).
  void lower_level(std::uint32_t slot, std::size_t keep);

  // Whether a node's lists or levels changed since the marks were last
  // taken (a graph file written as a delta holds only those nodes). Every
  // change marks its node; load() and a new node start marked as loaded
  // and as changed respectively.
  // (A node without a block keeps no mark: it counts as changed.)
  bool changed(std::uint32_t slot) const {
    if (slot >= changed_.size()) return true;
    return std::atomic_ref<std::uint8_t>(changed_[slot]).load(std::memory_order_relaxed) != 0;
  }
  // Clears a node's mark (before its lists are copied: a change made
  // meanwhile marks it again).
  void clear_changed(std::uint32_t slot) const {
    if (slot < changed_.size()) std::atomic_ref<std::uint8_t>(changed_[slot]).store(0, std::memory_order_relaxed);
  }
  // Marks a node changed; threads changing different layers of one node
  // at once may both mark it.
  void mark_changed(std::uint32_t slot) const {
    if (slot < changed_.size()) std::atomic_ref<std::uint8_t>(changed_[slot]).store(1, std::memory_order_relaxed);
  }

  // Changes a node's layer-0 in-link count (how many layer-0 lists hold
  // it; delta 0 reads it) atomically; returns the new count.
  std::uint32_t count_in0(std::uint32_t slot, int delta) {
    std::atomic_ref<std::uint32_t> count(in0_[slot]);
    auto d = static_cast<std::uint32_t>(delta);
    return delta == 0 ? count.load(std::memory_order_relaxed) : count.fetch_add(d, std::memory_order_relaxed) + d;
  }

  // List lengths: of layer 0 over the nodes `dead` does not mark (each
  // read under its lock), and of every list.
  struct Degrees {
    std::uint64_t sum0 = 0, min0 = 0, max0 = 0;
    std::uint64_t total = 0;
  };
  Degrees degrees(const std::uint8_t* dead) const;
  // Bytes of the lists, levels, locks and in-link counts.
  std::uint64_t memory_bytes() const;

 private:
  friend class ListLock;
  // One neighbour list of one node on a layer above 0, behind a one-byte
  // spin lock held only while a thread reads or rewrites the list.
  struct NeighbourList {
    std::vector<std::uint32_t> slots;
    mutable std::uint8_t lock_byte = 0;  // used through std::atomic_ref
  };
  static constexpr std::uint32_t kLongList = 0xFFFFFFFFu;
  static constexpr std::size_t kFlatRoomMax = 129;
  // The layer-0 block of every node that has none (see fix_lists).
  alignas(64) static constexpr std::uint32_t kEmptyBlock[1 + kFlatRoomMax] = {};

  std::uint8_t& lock_byte(std::uint32_t slot, std::size_t layer) const {
    return layer == 0 ? locks0_[slot] : upper_[slot][layer - 1].lock_byte;
  }
  void put(std::uint32_t slot, std::size_t layer, const std::uint32_t* data, std::size_t size);
  void check_layer(std::uint32_t slot, std::size_t layer) const;
  void check_change(std::uint32_t slot, std::size_t layer, const std::uint32_t* data, std::size_t size) const;

  std::size_t m_;
  std::size_t m_max0_;
  std::vector<std::uint32_t> levels_;  // per slot
  std::size_t stride0_;                // words per node in flat0_
  std::vector<std::uint32_t> flat0_;   // per slot from mapped_nodes_ on: count, then slots
  // Slots below mapped_nodes_ read their layer-0 list (count, then slots)
  // in a mapped node table, at mapped_at_ (see load).
  std::size_t mapped_nodes_ = 0;
  const std::uint32_t* mapped_words_ = nullptr;
  std::vector<std::size_t> mapped_at_;
  std::shared_ptr<const void> mapped_keep_;
  // Slots from blockless_from_ on have no block in flat0_, no in-link count
  // and no change mark; lists_fixed_ while nodes are appended so.
  std::size_t blockless_from_ = std::numeric_limits<std::size_t>::max();
  bool lists_fixed_ = false;
  mutable std::vector<std::uint8_t> locks0_;  // per slot, layer-0 list lock
  // Per slot, layer-0 lists too long for the flat room; sized to the node
  // count only when such lists can occur (m above 64, or a loaded long list).
  std::vector<std::vector<std::uint32_t>> long0_;
  std::vector<std::unique_ptr<NeighbourList[]>> upper_;  // per slot, layers 1..level
  std::vector<std::uint32_t> upper_nodes_;               // slots with a layer above 0, ascending
  // Per slot, how many layer-0 lists hold it (through atomic_ref).
  std::vector<std::uint32_t> in0_;
  // Per slot, 1 when changed since the marks were taken (through atomic_ref).
  mutable std::vector<std::uint8_t> changed_;
  std::uint32_t entry_point_ = kNoEntry;
  std::size_t max_level_ = 0;
};

// Holds one list's lock. Taking a free lock is one exchange, inlined at
// every use; only a lock another thread holds goes to the out-of-line spin.
class ListLock {
 public:
  ListLock(const Graph& graph, std::uint32_t slot, std::size_t layer) : lock_(graph.lock_byte(slot, layer)) {
    if (lock_.exchange(1, std::memory_order_acquire)) spin();
  }
  ~ListLock() { lock_.store(0, std::memory_order_release); }
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;

 private:
  void spin();  // waits for the holder to let go, then takes the lock
  std::atomic_ref<std::uint8_t> lock_;
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
