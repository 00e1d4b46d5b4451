// Graph: storage of the neighbour lists, loading from a node table, node
// growth, degree statistics and the debug checks of the graph's invariants.
#include "core/index/graph.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "core/base/error.h"
#include "core/base/heap.h"

namespace hovra {

Graph::Graph(std::size_t m) : m_(m), m_max0_(2 * m), stride0_(1 + std::min<std::size_t>(2 * m + 1, kFlatRoomMax)) {}

void Graph::load(const NodeTable& nodes, std::uint32_t entry_point, std::size_t max_level, std::size_t room) {
  std::size_t n = nodes.node_count();
  const std::uint32_t* table = nodes.words();
  const bool mapped = nodes.mapped != nullptr;
  // A mapped table's lists need no blocks here: flat0_ holds only the
  // nodes appended later, and growing it copies only those.
  room = std::max(room, n);
  levels_.reserve(room);
  locks0_.reserve(room);
  in0_.reserve(room);
  changed_.reserve(room);
  upper_.reserve(room);
  if (!mapped) flat0_.reserve(room * stride0_);
  levels_.resize(n);
  locks0_.assign(n, 0);
  if (mapped) {
    mapped_nodes_ = n;
    mapped_words_ = nodes.mapped;
    mapped_at_ = nodes.node_at;
    mapped_keep_ = nodes.keep;
    flat0_.clear();
  } else {
    flat0_.assign(n * stride0_, 0);
  }
  bool long_lists = stride0_ < m_max0_ + 2;
  for (std::size_t s = 0; s < n && !long_lists && !mapped; ++s) {
    std::size_t at = nodes.node_at[s];
    long_lists = table[at] > 0 && table[at + 1] >= stride0_;
  }
  if (long_lists) long0_.resize(n);
  upper_.resize(n);
  for (std::size_t s = 0; s < n; ++s) {
    std::size_t at = nodes.node_at[s];
    std::size_t layers = table[at++];
    std::size_t level = layers == 0 ? 0 : layers - 1;
    levels_[s] = static_cast<std::uint32_t>(level);
    if (level > 0) {
      upper_[s].reset(new NeighbourList[level]);
      upper_nodes_.push_back(static_cast<std::uint32_t>(s));
    }
    for (std::size_t l = 0; l < layers; ++l) {
      std::size_t count = table[at];
      if (!mapped || l > 0) put(static_cast<std::uint32_t>(s), l, table + at + 1, count);
      at += 1 + count;
    }
  }
  in0_.assign(n, 0);
  changed_.assign(n, 0);
  for (std::uint32_t s = 0; s < n; ++s)
    for (std::uint32_t x : items(s, 0))
      if (x < n) ++in0_[x];
  entry_point_ = entry_point;
  max_level_ = max_level;
}

void Graph::fix_lists() {
  lists_fixed_ = true;
  blockless_from_ = std::min(blockless_from_, levels_.size());
}

void Graph::own_lists() {
  if (mapped_nodes_ == 0 && !lists_fixed_) return;
  const std::size_t mapped = mapped_nodes_, n = levels_.size();
  // Nodes appended to fixed lists have no block, count or mark yet: empty
  // lists, held by no list, new since the marks were taken.
  if (lists_fixed_) {
    in0_.resize(n, 0);
    changed_.resize(n, 1);
    if (!long0_.empty()) long0_.resize(n);
    lists_fixed_ = false;
    blockless_from_ = std::numeric_limits<std::size_t>::max();
  }
  std::vector<std::uint32_t> flat(n * stride0_, 0);
  std::copy(flat0_.begin(), flat0_.end(), flat.begin() + mapped * stride0_);
  bool long_lists = stride0_ < m_max0_ + 2;
  for (std::size_t s = 0; s < mapped && !long_lists; ++s)
    long_lists = block0(static_cast<std::uint32_t>(s))[0] >= stride0_;
  if (long_lists) long0_.resize(n);
  std::vector<std::size_t> at = std::move(mapped_at_);
  std::shared_ptr<const void> keep = std::move(mapped_keep_);
  const std::uint32_t* words = mapped_words_;
  flat0_ = std::move(flat);
  mapped_nodes_ = 0;
  mapped_words_ = nullptr;
  mapped_at_ = {};
  for (std::size_t s = 0; s < mapped; ++s) {
    const std::uint32_t* list = words + at[s] + 1;
    put(static_cast<std::uint32_t>(s), 0, list + 1, list[0]);
  }
}

void Graph::put(std::uint32_t slot, std::size_t layer, const std::uint32_t* data, std::size_t size) {
  if (layer > 0) {
    upper_[slot][layer - 1].slots.assign(data, data + size);
    return;
  }
  if (slot < mapped_nodes_) panic("a mapped neighbour list cannot change");
  if (slot >= blockless_from_) panic("a fixed neighbour list cannot change");
  std::uint32_t* block = flat0_.data() + (std::size_t(slot) - mapped_nodes_) * stride0_;
  if (block[0] == kLongList || size >= stride0_) {
    if (long0_.size() <= slot) panic("neighbour list over its capacity");
    long0_[slot].assign(data, data + size);
    block[0] = kLongList;
    return;
  }
  std::copy(data, data + size, block + 1);
  block[0] = static_cast<std::uint32_t>(size);
}

void Graph::check_slot(std::uint32_t slot) const {
  if (slot >= levels_.size())
    panic("index out of bounds: the len is " + std::to_string(levels_.size()) + " but the index is " +
          std::to_string(slot));
}

void Graph::copy_list(std::uint32_t slot, std::size_t layer, std::vector<std::uint32_t>& out) const {
  check_slot(slot);
  if (layer > levels_[slot]) panic("layer out of range for node " + std::to_string(slot));
  ListLock lock(*this, slot, layer);
  Items it = items(slot, layer);
  out.assign(it.begin(), it.end());
}

void Graph::reserve(std::size_t nodes) {
  levels_.reserve(nodes);
  locks0_.reserve(nodes);
  upper_.reserve(nodes);
  if (lists_fixed_) return;
  flat0_.reserve((nodes - std::min(nodes, mapped_nodes_)) * stride0_);
  in0_.reserve(nodes);
  changed_.reserve(nodes);
}

void Graph::append_node(std::size_t level) {
  if (levels_.size() >= kNoEntry) panic("slot space exhausted");
  levels_.push_back(static_cast<std::uint32_t>(level));
  locks0_.push_back(0);
  if (!lists_fixed_) {
    flat0_.resize(flat0_.size() + stride0_, 0);
    in0_.push_back(0);
    changed_.push_back(1);
    if (!long0_.empty() || stride0_ < m_max0_ + 2) long0_.resize(levels_.size());
  }
  upper_.emplace_back(level > 0 ? new NeighbourList[level] : nullptr);
  if (level > 0) upper_nodes_.push_back(static_cast<std::uint32_t>(levels_.size() - 1));
}

void Graph::lower_level(std::uint32_t slot, std::size_t keep) {
  if (keep >= levels_[slot]) return;
  std::unique_ptr<NeighbourList[]> lists(keep > 0 ? new NeighbourList[keep] : nullptr);
  for (std::size_t l = 0; l < keep; ++l) lists[l].slots = std::move(upper_[slot][l].slots);
  upper_[slot] = std::move(lists);
  levels_[slot] = static_cast<std::uint32_t>(keep);
  mark_changed(slot);
  if (keep == 0) upper_nodes_.erase(std::find(upper_nodes_.begin(), upper_nodes_.end(), slot));
}

Graph::Degrees Graph::degrees(const std::uint8_t* dead) const {
  Degrees d;
  bool any_live = false;
  for (std::uint32_t slot = 0; slot < levels_.size(); ++slot) {
    for (std::size_t l = 0; l <= levels_[slot]; ++l) {
      std::size_t len;
      {
        ListLock lock(*this, slot, l);
        len = items(slot, l).size;
      }
      d.total += len;
      if (l == 0 && !dead[slot]) {
        d.sum0 += len;
        d.max0 = std::max<std::uint64_t>(d.max0, len);
        d.min0 = any_live ? std::min<std::uint64_t>(d.min0, len) : len;
        any_live = true;
      }
    }
  }
  return d;
}

std::uint64_t Graph::memory_bytes() const {
  std::uint64_t bytes = heap_bytes(levels_) + heap_bytes(flat0_) + heap_bytes(locks0_) + heap_bytes(long0_) +
                        heap_bytes(upper_) + heap_bytes(upper_nodes_) + heap_bytes(in0_) + heap_bytes(changed_);
  for (const auto& list : long0_) bytes += heap_bytes(list);
  for (std::size_t s = 0; s < upper_.size(); ++s) {
    if (levels_[s] == 0) continue;
    bytes += heap_chunk(levels_[s] * sizeof(NeighbourList) + sizeof(std::size_t));
    for (std::size_t l = 0; l < levels_[s]; ++l) bytes += heap_bytes(upper_[s][l].slots);
  }
  return bytes;
}

[[gnu::noinline]] void ListLock::spin() {
  do {
    while (lock_.load(std::memory_order_relaxed)) __builtin_ia32_pause();
  } while (lock_.exchange(1, std::memory_order_acquire));
}

// ---- the invariants (checked with HOVRA_DEBUG_INVARIANTS) ----

namespace {

[[noreturn]] void invariant_broken(const char* what, std::uint32_t slot, std::size_t layer) {
  std::fprintf(stderr, "hovra: graph invariant broken: %s (node %u, layer %zu)\n", what, slot, layer);
  std::abort();
}

}  // namespace

// A list is read only on a layer of its node, and nodes are slots below
// the node count.
void Graph::check_layer(std::uint32_t slot, std::size_t layer) const {
  if (slot >= levels_.size()) invariant_broken("slot out of range", slot, layer);
  if (layer > levels_[slot]) invariant_broken("layer above the node's level", slot, layer);
}

// A new list: every member a node, none the list's own node, at most the
// cap (one over it on layer 0 at most, see link_from_reached). A loaded
// list may already break the last two; a change never breaks them anew.
void Graph::check_change(std::uint32_t slot, std::size_t layer, const std::uint32_t* data, std::size_t size) const {
  check_layer(slot, layer);
  Items before = items(slot, layer);
  bool self_before = std::find(before.begin(), before.end(), slot) != before.end();
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] >= levels_.size()) invariant_broken("member out of range", slot, layer);
    if (data[i] == slot && !self_before) invariant_broken("self-link", slot, layer);
  }
  std::size_t allowed = cap(layer) + (layer == 0 ? 1 : 0);
  if (size > allowed && size > before.size) invariant_broken("list over its cap", slot, layer);
}

}  // namespace hovra
