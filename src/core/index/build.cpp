// Linking nodes into an index's graph: insertion (one at a time, and in
// batches whose linking is split over the worker pool), vector updates with
// the repair of the lists that held the moved node, nodes that lie apart
// made findable, the hand-over of the entry point, and the periodic
// reachability audit. Neighbour selection, back-links and the layer-0
// in-link floor are in neighbours.cpp; the Linker is declared in linker.h.
#include <algorithm>
#include <cmath>
#include <random>

#include "core/base/defaults.h"
#include "core/base/error.h"
#include "core/base/thread_pool.h"
#include "core/index/hnsw_index.h"
#include "core/index/linker.h"
#include "core/index/walk.h"

namespace hovra {

namespace {

// A node whose own layer-0 selection keeps a single neighbour out of
// several candidates lies apart from the others: its candidates all lie one
// way, the nearest covering every other. Such a node keeps as many of its
// nearest candidates as a layer-0 list holds, and m of them list it in
// turn, so that a search ending anywhere near it still leads to it (300
// records far from 100,000 clustered ones had one link out and one in,
// and 69 of them were not found by their own vectors). Not under the dot
// product, where a few rows of large norm cover every candidate of most
// nodes without those nodes lying anywhere apart. Once the nodes
// linked with it are in place, it searches again for its nearest with a
// beam kApartBeamFactor times ef_construction wide (see make_findable).
constexpr std::size_t kApartBeamFactor = 4;

// How many consecutive vectors of a batch one worker links in a row.
constexpr std::size_t kLinkRun = 64;

// The reachability of every live node is checked, and mended, once the
// insertions and updates since the last check reach 1/kAuditPeriod of the
// node count: a breadth-first walk costs about as much as a few insertions
// per node checked.
constexpr std::size_t kAuditPeriod = 32;

// A node's top layer: floor(-ln(u) * level_mult) for u uniform in (0, 1].
std::size_t random_level(double level_mult) {
  thread_local std::mt19937_64 rng{[] {
    std::random_device rd;
    return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  }()};
  double u = 0.0;
  while (u == 0.0) u = static_cast<double>(rng() >> 11) * 0x1.0p-53;  // a zero draw is redrawn
  double level = std::floor(-std::log(u) * level_mult);
  if (!(level > 0.0)) return 0;
  return static_cast<std::size_t>(level);
}

// Puts each run of candidates at equal distance from the node into an order
// that depends on the node: a node whose candidates include a group of
// equal records chooses one of them as its neighbour, and without this
// every node near the group would choose the same one (the one the walk met
// first), leaving every other member of the group without a way out.
void spread_ties(std::vector<Hit>& candidates, std::uint32_t self) {
  std::size_t i = 0;
  while (i < candidates.size()) {
    std::size_t j = i + 1;
    while (j < candidates.size() && candidates[j].distance == candidates[i].distance) ++j;
    if (j - i > 1) {
      std::uint64_t h = (std::uint64_t(self) + 1) * 0x9E3779B97F4A7C15ull;
      std::rotate(candidates.begin() + static_cast<std::ptrdiff_t>(i),
                  candidates.begin() + static_cast<std::ptrdiff_t>(i + (h >> 32) % (j - i)),
                  candidates.begin() + static_cast<std::ptrdiff_t>(j));
    }
    i = j;
  }
}

}  // namespace

// Calls use(dist) with the distance the construction's walks measure from
// the stored node `slot`: through the stored norms for cosine, the pair
// kernel for Euclidean, the exact kernel for the dot product.
template <class Use>
void Linker::with_node_distance(std::uint32_t slot, Use&& use) const {
  const float* v = rows_ + std::size_t(slot) * dim_;
  if (metric_ == Metric::Cosine) use(CosineWalkDistance(rows_, dim_, norms_, v, norms_[slot]));
  else if (metric_ == Metric::Euclidean) use(L2WalkDistance(rows_, dim_, v));
  else use(ExactDistance(rows_, dim_, metric_, v));
}

// ---- linking a node ----

// Links a stored node into every layer up to its level, starting the
// descent at ep. The walks pass over the node itself: links other nodes
// already hold to it (an updated node, or one another thread has linked)
// would lead them into its own lists, still empty or stale. A node that its
// layer-0 neighbours cut from their lists again is adopted by the nearest.
// A node that lies apart (see kApartBeamFactor) keeps its nearest
// candidates and is adopted by m of them; true for such a node, which
// the caller then makes findable once the nodes linked with it are in place.
//
// The node's neighbours are chosen on every layer first (top down, each
// layer's walk starting from the nearest node of the layer above) and
// linked afterwards from layer 0 up. Another thread linking at the same time
// can reach the node only through its links, so whatever layer it reaches the
// node on, the node's lists on that layer and below are already in place.
// Linked top down, a node reached on an upper layer before its layer-0 list
// exists would end that thread's descent in a dead end, and the nodes linked
// from there would form islands no search enters.
template <bool kLocked>
bool Linker::connect_node(std::uint32_t slot, std::size_t level, std::uint32_t ep) {
  WalkScratch& ws = walk_scratch();
  std::size_t top = graph_.max_level();
  std::size_t low = std::min(level, top);
  std::vector<std::vector<std::uint32_t>> chosen(low + 1);
  bool apart = false;
  auto choose = [&](const auto& dist) {
    for (std::size_t t = top; t > level; --t) ep = greedy_closest<kLocked>(graph_, dist, ws, ep, t, slot);
    for (std::size_t l = low + 1; l-- > 0;) {
      AdmitAll all;
      std::vector<Hit> w = search_layer<kLocked>(graph_, dist, ws, ep, ef_construction_, l, all, slot);
      if (beam_has_tie_run(w, ef_construction_))
        w = search_layer<kLocked, std::decay_t<decltype(dist)>, AdmitAll, true>(graph_, dist, ws, ep,
                                                                                ef_construction_, l, all, slot);
      spread_ties(w, slot);
      select_neighbours(w, slot, l == 0 ? own_cap0_ : graph_.m(), chosen[l]);
      if (l == 0 && chosen[0].size() == 1 && w.size() > 2 && metric_ != Metric::DotProduct) {
        apart = true;
        keep_floor(w, slot, graph_.m_max0(), chosen[0]);
      }
      if (!w.empty()) ep = w.front().slot;
    }
  };
  with_node_distance(slot, choose);
  for (std::size_t l = 0; l <= low; ++l) {
    std::vector<std::uint32_t>& selected = chosen[l];
    {
      // Another thread may have linked into the list already.
      ListLock lock(graph_, slot, l);
      if (l == 0) {
        Graph::Items before = graph_.items(slot, 0);
        for (std::uint32_t x : selected)
          if (std::find(before.begin(), before.end(), x) == before.end()) graph_.count_in0(x, 1);
        keep_last_links(before, kNoEntry, selected);
      }
      graph_.assign(slot, l, selected.data(), selected.size());
    }
    std::size_t cap = graph_.cap(l);
    for (std::uint32_t n : selected)
      if (graph_.level(n) >= l) link_back(n, slot, l, cap, ws);
    if (l == 0) adopt(slot, selected, apart ? own_cap0_ : kMinInLinks);
  }
  return apart;
}

// Makes a node that lies apart findable by its own vector, once the nodes
// linked with it are in place (see HnswIndex::note_changes). Its candidates were whatever the descent led
// to when it was linked, and its nearest neighbours may have come after it:
// a wide search from the entry point gives it its nearest.
// Then a search for it as a query for one hit at the default beam width
// makes it should end at the node (or at a record equal to it). Searches
// for a point far from every cluster cross a landscape where everything is
// about as far away, and end wherever the descent happened to lead: the
// nearest nodes such a search ended at list the node, and the test is made
// again, a few times at most.
void Linker::make_findable(std::uint32_t slot) {
  constexpr int kTries = 3;
  constexpr std::size_t kHosts = 4;
  std::vector<std::uint32_t> hosts;
  auto walk = [&](std::size_t ef, std::uint32_t skip) {
    std::vector<Hit> w;
    with_node_distance(slot, [&](const auto& dist) {
      WalkScratch& ws = walk_scratch();
      std::uint32_t ep = graph_.entry_point();
      for (std::size_t l = graph_.max_level(); l > 0; --l) ep = greedy_closest<false>(graph_, dist, ws, ep, l, skip);
      AdmitAll all;
      w = search_layer<false>(graph_, dist, ws, ep, ef, 0, all, skip);
    });
    return w;
  };
  relink_nearest(slot, walk(kApartBeamFactor * ef_construction_, slot));
  for (int t = 0; t < kTries; ++t) {
    std::vector<Hit> w = walk(kDefaultEfFloor, kNoEntry);  // the default beam width for one hit
    hosts.clear();
    for (const Hit& h : w) {
      if (dead_[h.slot]) continue;
      if (hosts.empty() && (h.slot == slot || same_point(h.slot, slot, h.distance))) return;
      if (h.slot == slot) break;
      hosts.push_back(h.slot);
      if (hosts.size() == kHosts) break;
    }
    if (hosts.empty()) return;
    adopt(slot, hosts, graph_.count_in0(slot, 0) + hosts.size());
  }
}

// Gives a node apart the nearest m_max0 of `near` (sorted by distance)
// and its own layer-0 list as neighbours, and a place in m of their lists.
void Linker::relink_nearest(std::uint32_t slot, std::vector<Hit> near) {
  const std::size_t floor = graph_.m_max0();
  std::vector<std::uint32_t> kept;
  {
    ListLock lock(graph_, slot, 0);
    Graph::Items before = graph_.items(slot, 0);
    for (std::uint32_t x : before) near.push_back({x, link_distance(slot, x)});
    sort_hits(near);
    keep_floor(near, slot, floor, kept);
    for (std::uint32_t x : kept)
      if (std::find(before.begin(), before.end(), x) == before.end()) graph_.count_in0(x, 1);
    keep_last_links(before, kNoEntry, kept);
    graph_.assign(slot, 0, kept.data(), kept.size());
  }
  adopt(slot, kept, own_cap0_);
}

void HnswIndex::find_apart() {
  if (apart_.empty()) return;
  Linker link(*this);
  for (std::uint32_t s : apart_)
    if (!is_deleted(s) && !is_unlinked(s)) link.make_findable(s);
  apart_.clear();
}

// ---- updates ----

// Every node that lists slot on the layer lets go of it: it keeps its other
// neighbours and adds slot's former neighbours, nearest to it first, by the
// neighbour selection's diversity rule until its list is full; a list that
// takes none of them still takes the nearest in slot's place. Each link so
// added is offered back, as an insertion offers its links. So the links
// into and out of the region the slot leaves keep leading there instead of
// to wherever the slot moves: a sparse region loses the nodes that linked it
// from afar, and its own nodes' links, redirected and returned, keep it in
// reach of searches that start elsewhere. Layer 0 asks slot's former
// neighbours and their neighbours, which hold nearly all its in-links; a
// higher layer, having few nodes, asks all of them.
void Linker::repair_unlinked(std::uint32_t slot, std::size_t layer, const std::vector<std::uint32_t>& former) {
  std::size_t cap = graph_.cap(layer);
  std::vector<std::uint32_t> holders;
  if (layer == 0) {
    holders = former;
    for (std::uint32_t y : former) {
      ListLock lock(graph_, y, 0);
      Graph::Items theirs = graph_.items(y, 0);
      holders.insert(holders.end(), theirs.begin(), theirs.end());
    }
    std::sort(holders.begin(), holders.end());
    holders.erase(std::unique(holders.begin(), holders.end()), holders.end());
  } else {
    for (std::uint32_t s : graph_.upper_nodes())
      if (graph_.level(s) >= layer) holders.push_back(s);
  }
  std::vector<std::uint32_t> kept;
  std::vector<Hit> offered;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> added;  // (new neighbour, holder)
  for (std::uint32_t n : holders) {
    if (n == slot || graph_.level(n) < layer) continue;
    ListLock lock(graph_, n, layer);
    Graph::Items theirs = graph_.items(n, layer);
    if (std::find(theirs.begin(), theirs.end(), slot) == theirs.end()) continue;
    kept.clear();
    for (std::uint32_t x : theirs)
      if (x != slot) kept.push_back(x);
    offered.clear();
    for (std::uint32_t y : former)
      if (y != slot && y != n && graph_.level(y) >= layer && std::find(kept.begin(), kept.end(), y) == kept.end())
        offered.push_back({y, link_distance(n, y)});
    sort_hits(offered);
    std::size_t before = kept.size();
    for (const Hit& c : offered) {
      if (kept.size() >= cap) break;
      if (is_diverse(c, kept)) kept.push_back(c.slot);
    }
    if (kept.size() == before && !offered.empty()) kept.push_back(offered.front().slot);
    if (layer == 0) {
      graph_.count_in0(slot, -static_cast<int>(theirs.size - before));
      for (std::size_t i = before; i < kept.size(); ++i) graph_.count_in0(kept[i], 1);
    }
    for (std::size_t i = before; i < kept.size(); ++i) added.push_back({kept[i], n});
    graph_.assign(n, layer, kept.data(), kept.size());
  }
  WalkScratch& ws = walk_scratch();
  for (auto [y, n] : added) link_back(y, n, layer, cap, ws);
}

// After an updated node is relinked: each of its former layer-0 neighbours
// that too few lists hold any more is adopted by the nearest of its own
// neighbours and the updated node's former ones.
void Linker::adopt_former(std::uint32_t slot, const std::vector<std::uint32_t>& former0) {
  std::vector<std::uint32_t> hosts;
  std::vector<Hit> near;
  for (std::uint32_t y : former0) {
    if (y == slot || graph_.count_in0(y, 0) >= kMinInLinks) continue;
    graph_.copy_list(y, 0, hosts);
    hosts.insert(hosts.end(), former0.begin(), former0.end());
    near.clear();
    for (std::uint32_t h : hosts)
      if (h != slot && h != y) near.push_back({h, link_distance(y, h)});
    sort_hits(near);
    hosts.clear();
    for (const Hit& h : near) hosts.push_back(h.slot);
    adopt(y, hosts);
  }
}

// Before an update relinks the entry point, the role passes to the highest
// other node (live before deleted, lowest slot on ties), and the updated node
// drops the layers above that node's level, where it was alone and its lists
// were empty. Were the entry to move with its vector, a group of records
// moved far away together with it could, as more of them join, lose every
// link back to the others, and every search would start in that group.
void Linker::hand_over_entry(std::uint32_t slot) {
  std::uint32_t best = slot;
  auto consider = [&](std::uint32_t s) {
    if (s == slot || unlinked_[s]) return;
    if (best == slot || graph_.level(s) > graph_.level(best) ||
        (graph_.level(s) == graph_.level(best) && !dead_[s] && dead_[best]))
      best = s;
  };
  for (std::uint32_t s : graph_.upper_nodes()) consider(s);  // ascending slots
  if (best == slot)
    for (std::uint32_t s = 0; s < graph_.node_count(); ++s) consider(s);
  if (best == slot) return;
  std::size_t keep = graph_.level(best);
  graph_.lower_level(slot, keep);
  graph_.set_entry(best, keep);
}

// Moves the entry point out of a group of equal records. Every search
// starts at the entry point, and from inside such a group its first steps
// meet the group only: the upper layers offer no closer node (a twin is at
// the same distance), and on layer 0 the beam fills with twins, all at one
// distance, so that no node farther than the group enters it and the walk
// never leaves. When the entry point's layer-0 list holds a twin of it, the
// role passes to the highest live node that is not one (lowest slot on
// ties), and the twins above that node's level drop their layers there:
// those lists held twins only, since a list keeps few of them.
void Linker::leave_twin_group() {
  const std::uint32_t entry = graph_.entry_point();
  if (entry == kNoEntry || graph_.max_level() == 0) return;
  auto twin = [&](std::uint32_t x) { return x != entry && same_point(entry, x, link_distance(entry, x)); };
  Graph::Items own = graph_.items(entry, 0);
  if (std::none_of(own.begin(), own.end(), twin)) return;
  std::uint32_t best = kNoEntry;
  for (std::uint32_t s : graph_.upper_nodes())  // ascending slots
    if (s != entry && !dead_[s] && !unlinked_[s] && !twin(s) &&
        (best == kNoEntry || graph_.level(s) > graph_.level(best)))
      best = s;
  if (best == kNoEntry) return;
  const std::size_t keep = graph_.level(best);
  std::vector<std::uint32_t> upper = graph_.upper_nodes();
  for (std::uint32_t s : upper)
    if (graph_.level(s) > keep) graph_.lower_level(s, keep);
  graph_.set_entry(best, keep);
}

// ---- the reachability audit ----

// Makes every live node reachable from the entry point on layer 0. Pruned
// lists can cut a region off: a group of records inserted or moved far from
// the others keeps links among its own members, and the links that crossed
// over are the ones the diversity rule drops first; under the dot product,
// lists shrink towards a few nodes of large norm that few lists lead away
// from. A breadth-first walk from the entry point finds the live nodes it
// misses; each is linked from a reached node (link_from_reached), and the
// nodes it reaches in turn count as reached. No list lets go of a member
// here, so what has been reached stays reached.
void Linker::link_unreachable() {
  std::size_t n = graph_.node_count();
  if (graph_.entry_point() == kNoEntry || n < 2) return;
  std::vector<std::uint8_t> reached(n, 0);
  auto reach_from = [&](std::uint32_t start) {
    mark_reachable(start, reached, [&](std::uint32_t s) { return graph_.items(s, 0); });
  };
  reach_from(graph_.entry_point());
  std::uint32_t spare = 0;
  for (std::uint32_t s = 0; s < n; ++s) {
    if (reached[s] || dead_[s] || unlinked_[s]) continue;
    if (link_from_reached(s, reached, spare)) reach_from(s);
  }
}

// Links a node that the entry point cannot reach from a reached node with
// room in its list: the nearest such that a layer-0 walk for its vector from
// the entry point finds (all it measures is reached), else the first reached
// slot from `spare` on with room (lists only grow here, so slots before
// `spare` stay full). Only when no reached list has room does the nearest
// the walk found hold one member over its cap, until it is next pruned (false,
// the node left unlinked, if that list is over its cap already). The node
// links back where its own list has room.
bool Linker::link_from_reached(std::uint32_t slot, const std::vector<std::uint8_t>& reached, std::uint32_t& spare) {
  WalkScratch& ws = walk_scratch();
  const std::uint32_t entry = graph_.entry_point();
  const std::size_t cap = graph_.m_max0();
  std::vector<Hit> near;
  with_node_distance(slot, [&](const auto& dist) {
    AdmitAll all;
    near = search_layer<false>(graph_, dist, ws, entry, ef_construction_, 0, all, slot);
  });
  auto has_room = [&](std::uint32_t s) { return reached[s] && graph_.items(s, 0).size < cap; };
  std::uint32_t host = kNoEntry;
  for (const Hit& h : near)
    if (has_room(h.slot)) {
      host = h.slot;
      break;
    }
  if (host == kNoEntry) {
    while (spare < reached.size() && !has_room(spare)) ++spare;
    if (spare < reached.size()) host = spare;
  }
  if (host == kNoEntry) {
    host = near.empty() ? entry : near.front().slot;
    if (graph_.items(host, 0).size > cap) return false;  // already over its cap
  }
  Graph::Items theirs = graph_.items(host, 0);
  std::vector<std::uint32_t> list(theirs.begin(), theirs.end());
  list.push_back(slot);
  graph_.count_in0(slot, 1);
  graph_.assign(host, 0, list.data(), list.size());
  Graph::Items own = graph_.items(slot, 0);
  if (own.size < cap && std::find(own.begin(), own.end(), host) == own.end()) {
    std::vector<std::uint32_t> back(own.begin(), own.end());
    back.push_back(host);
    graph_.count_in0(host, 1);
    graph_.assign(slot, 0, back.data(), back.size());
  }
  return true;
}

// ---- the index's changes ----

// Room for `nodes` nodes in every per-node array, growing by half at
// least, so that a batch appends without reallocating and a run of small
// batches does not reallocate on each.
void HnswIndex::reserve_nodes(std::size_t nodes) {
  std::size_t capacity = graph_.capacity();
  if (nodes <= capacity) return;
  nodes = std::max(nodes, capacity + capacity / 2);
  norms_.reserve(nodes);
  dead_.reserve(nodes);
  unlinked_.reserve(nodes);
  graph_.reserve(nodes);
}

void HnswIndex::append_node(const float* v, std::size_t level, const unsigned char* lies_at,
                            const LastingBytes* lasting) {
  graph_.append_node(level);
  if (quantizer_) quantizer_->append(v);
  if (binary_) binary_->append(v);
  norms_.push_back(vector_norm(v, dim_));
  if (lies_at) store_.append_outside(lies_at, lasting->keep);
  else store_.append(v);
  dead_.push_back(0);
  unlinked_.push_back(0);
}

std::size_t HnswIndex::draw_level() { return random_level(level_mult_); }

// After `count` nodes were linked or relinked: the nodes linked apart are
// made findable once no other fresh rows wait (the nodes linked with them
// are in place), before the audit, which mends whatever their new links
// cut off.
void HnswIndex::note_changes(std::size_t count) {
  if (quantizer_ && quantizer_->needs_training()) enable_quantization();
  if (fresh_count() <= count) find_apart();
  changes_since_audit_ += count;
  if (changes_since_audit_ < (graph_.node_count() + kAuditPeriod - 1) / kAuditPeriod) return;
  changes_since_audit_ = 0;
  Linker link(*this);
  link.leave_twin_group();
  link.link_unreachable();
}

// A batch of changes ends with an audit, whatever the chunks the linker cut
// it into: once the fresh rows are drained after a stretch of linking long
// enough that the audit's walk over the graph stays a small share of it.
// Single changes trickling in are audited by note_changes alone.
void HnswIndex::audit_after_drain(std::size_t stretch) {
  std::size_t enough = std::max<std::size_t>(kParallelBatchAbove, graph_.node_count() / (8 * kAuditPeriod));
  if (stretch < enough || changes_since_audit_ == 0) return;
  changes_since_audit_ = 0;
  Linker link(*this);
  link.leave_twin_group();
  link.link_unreachable();
}

std::uint32_t HnswIndex::insert(const float* v, std::size_t len) {
  assert_len(len, dim_, "vector dimension mismatch");
  graph_.own_lists();
  auto slot = static_cast<std::uint32_t>(graph_.node_count());
  std::size_t level = random_level(level_mult_);
  store_.make_owned();
  append_node(v, level);
  live_count_.fetch_add(1, std::memory_order_relaxed);
  if (linked_end_ == slot) linked_end_ = slot + 1;
  if (graph_.entry_point() == kNoEntry) {
    graph_.set_entry(slot, level);
    return slot;
  }
  if (Linker(*this).connect_node<false>(slot, level, graph_.entry_point())) apart_.push_back(slot);
  if (level > graph_.max_level()) graph_.set_entry(slot, level);
  note_changes(1);
  return slot;
}

std::vector<std::uint32_t> HnswIndex::insert_batch(const std::vector<const float*>& vectors,
                                                   const std::vector<std::size_t>& lens, Progress* progress,
                                                   bool stoppable) {
  for (std::size_t len : lens) assert_len(len, dim_, "vector dimension mismatch");
  return insert_batch(VectorRows::gathered(vectors.data(), vectors.size(), dim_), progress, stoppable);
}

std::vector<std::uint32_t> HnswIndex::insert_batch(const VectorRows& rows, Progress* progress, bool stoppable) {
  for (std::size_t i = 0; i < rows.size(); ++i) assert_len(rows.len(i), dim_, "vector dimension mismatch");
  std::size_t n = rows.size();
  std::vector<std::uint32_t> slots;
  if (n == 0) return slots;
  graph_.own_lists();
  auto first = static_cast<std::uint32_t>(graph_.node_count());
  std::vector<std::size_t> levels(n);
  for (auto& lv : levels) lv = random_level(level_mult_);
  store_.make_owned();
  store_.reserve_slots(graph_.node_count() + n);
  reserve_nodes(graph_.node_count() + n);
  RowReader read(rows);
  for (std::size_t i = 0; i < n; ++i) append_node(read(i), levels[i]);
  slots.reserve(n);
  for (std::size_t i = 0; i < n; ++i) slots.push_back(first + static_cast<std::uint32_t>(i));
  bool fresh_before = linked_end_ != first;
  if (!link_stored(slots, progress, stoppable, true)) return {};
  live_count_.fetch_add(n, std::memory_order_relaxed);
  if (!fresh_before) linked_end_ = static_cast<std::uint32_t>(graph_.node_count());
  return slots;
}

bool HnswIndex::link_stored(const std::vector<std::uint32_t>& slots, Progress* progress, bool stoppable,
                            bool sequential_head) {
  std::size_t n = slots.size();
  if (n == 0) return true;
  auto stopping = [&] { return stoppable && stop_requested(progress); };
  Linker link(*this);
  // Which nodes of the batch lie apart (each entry written by the one
  // thread that links that node).
  std::vector<std::uint8_t> apart(n, 0);
  // Links node i of the batch alone, moving the entry point to it when it
  // reaches above the top layer.
  auto link_alone = [&](std::size_t i) {
    std::uint32_t slot = slots[i];
    apart[i] = link.connect_node<false>(slot, graph_.level(slot), graph_.entry_point());
    if (graph_.level(slot) > graph_.max_level()) graph_.set_entry(slot, graph_.level(slot));
    advance(progress);
  };
  std::size_t start = 0;
  if (graph_.entry_point() == kNoEntry) {
    graph_.set_entry(slots[0], graph_.level(slots[0]));
    start = 1;
    advance(progress);
  }
  // A batch is linked one node at a time until the graph has a few layers
  // of nodes to descend through; with sequential_head, its first
  // kParallelBatchAbove nodes always are.
  std::size_t sequential = std::min(n, kParallelBatchAbove);
  if (!sequential_head) {
    std::size_t linked = linked_end_ - std::min<std::size_t>(linked_end_, relink_.size());
    sequential = linked >= kParallelBatchAbove ? start : std::min(n, start + kParallelBatchAbove - linked);
  }
  for (std::size_t i = start; i < sequential; ++i) {
    if (stopping()) return false;
    link_alone(i);
  }
  if (n > sequential) {
    // Nodes whose level is above the current top layer would get no links
    // on their upper layers in the parallel phase, and one of them would
    // become the entry point with empty top lists. They are linked after
    // it, one by one, like the sequential phase.
    std::uint32_t ep = graph_.entry_point();
    std::size_t top = graph_.max_level();
    std::vector<std::size_t> parallel, deferred;
    for (std::size_t i = sequential; i < n; ++i) (graph_.level(slots[i]) > top ? deferred : parallel).push_back(i);
    // The workers claim runs of kLinkRun consecutive vectors and link each
    // run in order. Neighbours in the input are often neighbours in space
    // (records loaded in sorted order); linked at the same time, neither
    // would see the other, and a pair or a small group near only each other
    // could end up unlinked. Within a run each sees the one before it, and
    // the vectors linked at the same time lie a run apart.
    std::size_t runs = (parallel.size() + kLinkRun - 1) / kLinkRun;
    parallel_for(runs, [&](std::size_t r) {
      std::size_t end = std::min(parallel.size(), (r + 1) * kLinkRun);
      for (std::size_t j = r * kLinkRun; j < end; ++j) {
        if (stopping()) return;
        std::uint32_t slot = slots[parallel[j]];
        apart[parallel[j]] = link.connect_node<true>(slot, graph_.level(slot), ep);
        advance(progress);
      }
    });
    if (stopping()) return false;
    for (std::size_t i : deferred) link_alone(i);
  }
  for (std::size_t i = 0; i < n; ++i)
    if (apart[i]) apart_.push_back(slots[i]);
  note_changes(n);
  return true;
}

// Relinks the node of a slot whose row was overwritten (replace_vector, then
// link_fresh). Each node that listed the slot, on any layer, drops it and
// takes on instead the slot's former neighbours it could reach through the
// slot before (repair_unlinked); a former neighbour that too few lists hold
// any more is adopted by the nearest of its neighbours (adopt_former). So
// the update strands no node behind the moved one, and the region it leaves
// stays as reachable as before.
void HnswIndex::relink_node(std::uint32_t slot) {
  if (graph_.node_count() == 1) return;
  graph_.own_lists();
  Linker link(*this);
  if (slot == graph_.entry_point()) link.hand_over_entry(slot);
  std::size_t level = graph_.level(slot);
  std::vector<std::uint32_t> former, former0;
  for (std::size_t l = 0; l <= level; ++l) {
    {
      ListLock lock(graph_, slot, l);
      Graph::Items own = graph_.items(slot, l);
      former.assign(own.begin(), own.end());
      graph_.assign(slot, l, nullptr, 0);
    }
    if (l == 0) {
      for (std::uint32_t x : former) graph_.count_in0(x, -1);
      former0 = former;
    }
    link.repair_unlinked(slot, l, former);
  }
  if (link.connect_node<false>(slot, level, graph_.entry_point())) apart_.push_back(slot);
  link.adopt_former(slot, former0);
  note_changes(1);
}

}  // namespace hovra
