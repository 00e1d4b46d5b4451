// HnswIndex: construction and loading, the planner of searches (the graph
// walk or the exhaustive scan, per query or for a batch), tombstones,
// quantization and statistics. The re-scoring of a walk's beam is in
// rescore.cpp.
#include "core/index/hnsw_index.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "core/base/defaults.h"
#include "core/base/error.h"
#include "core/base/heap.h"
#include "core/base/thread_pool.h"
#include "core/index/exhaustive_scan.h"
#include "core/index/walk.h"
#include "core/vectors/scan_kernels.h"

namespace hovra {

namespace {

// About how many nodes a layer-0 walk measures per beam slot when every node
// is admissible, weighted by the cost of a measured node against a scanned
// one.
constexpr double kWalkCostPerBeamSlot = 8.0;

// A row of the exact scan costs a fixed part plus one unit per so many
// components, in the units of kWalkNodeCost (see there): read from a copy
// of the passing rows, 11 ns at 128 dimensions and 30 at 384; gathered
// over a store larger than the caches, 55 and 69 ns.
constexpr std::size_t kCopiedRowCost = 4;
constexpr std::size_t kCopiedFloatsPerUnit = 16;
constexpr std::size_t kGatheredRowCost = 20;
constexpr std::size_t kGatheredFloatsPerUnit = 8;
// A filtered walk gives up once it has spent the scan it stands in for and
// a tenth more: a walk that would cost more ends in the scan anyway.
constexpr std::size_t kWalkBudgetTenths = 11;

std::size_t saturating_mul(std::size_t a, std::size_t b) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return std::numeric_limits<std::size_t>::max();
  return a * b;
}

}  // namespace

std::uint64_t next_rows_version() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

HnswIndex::HnswIndex(std::size_t dim, Metric metric, std::size_t m, std::size_t ef_construction)
    : dim_(dim),
      metric_(metric),
      ef_construction_(ef_construction),
      level_mult_(1.0 / std::log(static_cast<double>(m))),
      store_(dim),
      graph_(m) {}

std::unique_ptr<HnswIndex> HnswIndex::from_layout(GraphLayout layout, VectorStore store, std::vector<float> norms,
                                                  std::size_t room) {
  auto index = std::make_unique<HnswIndex>(layout.dim, layout.metric, layout.m, layout.ef_construction);
  std::size_t n = layout.node_count();
  room = std::max(room, n);
  index->graph_.load(layout, layout.entry_point, layout.max_level, room);
  index->deleted_.insert(layout.deleted.begin(), layout.deleted.end());
  index->dead_.reserve(room);
  index->dead_.assign(n, 0);
  index->unlinked_.reserve(room);
  index->unlinked_.assign(n, 0);
  index->linked_end_ = static_cast<std::uint32_t>(n);
  for (std::uint32_t s : index->deleted_)
    if (s < n) index->dead_[s] = 1;
  index->live_count_ = n - index->deleted_.size();
  index->store_ = std::move(store);
  index->norms_ = std::move(norms);
  index->norms_.reserve(room);
  index->norms_bound_rows_.store(false);
  return index;
}

// Reading a whole vector file at open costs about what the first few
// hundred searches would spend faulting its pages in one by one (a
// 100,000 x 128 file: tens of milliseconds either way), and the rest of the
// searches then run at full speed; past this size, the open would wait
// longer than a first search and the background warm-up takes over.
constexpr std::size_t kLoadAtOpenBytes = std::size_t(256) << 20;
// The upper layers of a larger index: every search starts with them.
constexpr std::size_t kUpperRowsAtOpenBytes = std::size_t(8) << 20;

void HnswIndex::load_first_rows() const {
  if (!store_.is_mapped() || dim_ == 0 || graph_.entry_point() == kNoEntry) return;
  // Quantized search walks on the codes and re-scores a few rows a query
  // from the map: resident memory stays the codes, the graph and the rows
  // read.
  if (quantizer_) {
    store_.expect_random_reads();
    return;
  }
  store_.prefer_huge_pages();
  const std::size_t row_bytes = dim_ * sizeof(float);
  if (store_.float_count() * sizeof(float) <= kLoadAtOpenBytes) {
    store_.load_rows_now(0, store_.near_slots());
    return;
  }
  store_.warm_in_background();
  std::vector<std::uint32_t> slots = graph_.upper_nodes();
  std::size_t budget = std::max<std::size_t>(1, kUpperRowsAtOpenBytes / row_bytes);
  if (slots.size() > budget) {
    std::nth_element(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(budget), slots.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return graph_.level(a) > graph_.level(b); });
    slots.resize(budget);
  }
  slots.push_back(graph_.entry_point());
  Graph::Items near = graph_.items(graph_.entry_point(), 0);
  slots.insert(slots.end(), near.begin(), near.end());
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  for (std::uint32_t s : slots)
    if (s < store_.near_slots()) store_.load_rows_now(s, 1);
}

bool HnswIndex::uses_brute_force() const { return live_count() * dim_ < exact_threshold(); }

template <class Admit>
std::vector<Hit> HnswIndex::beam(const float* query, std::size_t ef, Admit& admit) const {
  WalkScratch& ws = walk_scratch();
  std::uint32_t ep = graph_.entry_point();
  auto walk = [&](const auto& dist) {
    for (std::size_t layer = graph_.max_level(); layer >= 1; --layer)
      ep = greedy_closest<false>(graph_, dist, ws, ep, layer);
    std::vector<Hit> w = search_layer<false>(graph_, dist, ws, ep, ef, 0, admit);
    if (!beam_has_tie_run(w, ef)) return w;
    return search_layer<false, std::decay_t<decltype(dist)>, Admit, true>(graph_, dist, ws, ep, ef, 0, admit);
  };
  const float* rows = store_.data();
  if (quantizer_) return walk(QuantizedDistance(*quantizer_, query, metric_));
  if (binary_) return walk(BinaryWalkDistance(*binary_, query));
  if (metric_ == Metric::Cosine)
    return walk(CosineWalkDistance(rows, dim_, norms_.data(), query, vector_norm(query, dim_)));
  if (metric_ == Metric::Euclidean) return walk(L2WalkDistance(rows, dim_, query));
  return walk(ExactDistance(rows, dim_, metric_, query));
}

// Adds the quantizer's exceptions that `admits` to the k nearest hits of an
// SQ8 walk, measured at full precision: the walk measured them by codes
// that misplace them, so it may have passed them by or ranked them wrongly.
// They are few (see Sq8Quantizer::needs_training).
template <class Admits>
void HnswIndex::add_exceptions(const float* query, std::vector<Hit>& hits, std::size_t k, Admits&& admits) const {
  if (!quantizer_ || quantizer_->exceptions().empty()) return;
  std::vector<std::uint32_t> found;
  std::vector<float> row(dim_);
  found.reserve(hits.size());
  for (const Hit& h : hits) found.push_back(h.slot);
  std::sort(found.begin(), found.end());
  bool added = false;
  for (std::uint32_t s : quantizer_->exceptions()) {
    if (std::binary_search(found.begin(), found.end(), s) || !admits(s)) continue;
    hits.push_back({s, distance(query, row_at(s, row.data()), dim_, metric_)});
    added = true;
  }
  if (!added) return;
  order_hits(hits);
  if (hits.size() > k) hits.resize(k);
}

// Whether a walk that fills a beam of width slots, of which `passing` of all
// nodes are admissible, costs less than measuring those `passing` exactly.
// The walk's cost grows as admissible nodes thin out.
bool HnswIndex::walk_is_cheaper(std::size_t passing, std::size_t width) const {
  double walk = kWalkCostPerBeamSlot * static_cast<double>(width) * static_cast<double>(graph_.node_count()) /
                static_cast<double>(passing);
  return walk < static_cast<double>(passing);
}

ScanRows HnswIndex::scan_rows() const {
  return ScanRows{store_.data(), dim_,    store_.near_slots(),
                  norms_.data(), metric_, norms_bound_rows_.load(std::memory_order_relaxed)};
}

// The exact scan: every slot without tombstones or a filter (the batch
// formula), else the slots that are not deleted and pass the predicate, in
// slot order (the pairwise distance).
std::vector<Hit> HnswIndex::exhaustive(const float* query, std::size_t k, SlotPredicate* predicate,
                                       const std::vector<std::uint32_t>* scan, const float* scan_rows_copy) const {
  if (k == 0) return {};
  std::size_t n = graph_.node_count();
  if (!scan && predicate == nullptr && deleted_.empty() && dim_ > 0) {
    bool norms_hold = false;
    std::vector<Hit> hits = scan_every_row(query, k, &norms_hold);
    if (norms_hold) norms_bound_rows_.store(true, std::memory_order_relaxed);
    return hits;
  }
  // A list that every slot passes, with no tombstones: its slots are the
  // rows to scan as they are.
  if (scan && predicate == nullptr && deleted_.empty() && (scan->empty() || scan->back() < n)) {
    if (scan_rows_copy && store_.outside_rows() == 0)
      return scan_copied_rows(scan_rows(), query, scan->data(), scan_rows_copy, scan->size(), k);
    return scan_listed(query, scan->data(), scan->size(), k);
  }
  std::vector<std::uint32_t> eligible;
  auto consider = [&](std::uint32_t s) {
    if (s >= n || is_deleted(s)) return;
    if (predicate && !(*predicate)(s)) return;
    eligible.push_back(s);
  };
  if (scan) {
    // Only these slots (ascending) can pass the predicate.
    for (std::uint32_t s : *scan) consider(s);
  } else {
    eligible.reserve(n - std::min(n, deleted_.size()));
    for (std::uint32_t s = 0; s < n; ++s) consider(s);
  }
  return scan_listed(query, eligible.data(), eligible.size(), k);
}

std::vector<std::vector<Hit>> HnswIndex::search_batch(const std::vector<const float*>& queries, std::size_t k,
                                                      std::size_t ef, Progress* progress) const {
  std::vector<std::vector<Hit>> out;
  if (graph_.entry_point() != kNoEntry && uses_brute_force() && deleted_.empty() && dim_ > 0 && k > 0) {
    scan_every_row_many(queries.data(), queries.size(), k, out, progress);
    return out;
  }
  out.resize(queries.size());
  parallel_for(queries.size(), [&](std::size_t i) {
    if (stop_requested(progress)) return;
    out[i] = search(queries[i], dim_, k, ef);
    advance(progress);
  });
  return out;
}

std::vector<Hit> HnswIndex::search(const float* query, std::size_t len, std::size_t k, std::size_t ef) const {
  assert_len(len, dim_, "query dimension mismatch");
  if (graph_.node_count() == 0) return {};
  if (uses_brute_force()) {
    return exhaustive(query, k, nullptr, nullptr);
  }
  if (k == 0) return {};
  std::size_t width = std::max(ef, k);
  std::vector<Hit> hits;
  bool walks = graph_.entry_point() != kNoEntry;
  if (walks && deleted_.empty()) {
    AdmitAll all;
    hits = best_of_beam(query, beam(query, width, all), k);
  } else if (walks) {
    Admissible live{dead_.data(), nullptr, live_count()};
    std::vector<Hit> w = beam(query, width, live);
    if (live.gave_up) return exhaustive(query, k, nullptr, nullptr);
    hits = best_of_beam(query, std::move(w), k);
  }
  if (!hits.empty()) add_exceptions(query, hits, k, [&](std::uint32_t s) { return dead_[s] == 0; });
  if (fresh_count() > 0) hits = merge_hits(std::move(hits), scan_fresh(query, k, nullptr), k);
  // A walk that gave up, or a graph that cannot reach k live nodes from the
  // entry point, is answered by the exact scan.
  if (hits.size() < std::min(k, live_count())) return exhaustive(query, k, nullptr, nullptr);
  return hits;
}

std::vector<Hit> HnswIndex::search_filtered(const float* query, std::size_t len, std::size_t k, std::size_t ef,
                                            const SlotFilter& filter) const {
  assert_len(len, dim_, "query dimension mismatch");
  if (graph_.node_count() == 0) return {};
  SlotPredicate predicate = filter.admits;
  auto scan = [&] {
    ScanList list = filter.scan_list();
    return exhaustive(query, k, list.slots && list.all_pass ? nullptr : &predicate, list.slots, list.rows);
  };
  if (uses_brute_force()) {
    return scan();
  }
  std::size_t passing = std::min(filter.bound, live_count());
  if (k == 0 || passing == 0) return {};
  if (filter.scan_first || !filtered_search_walks(passing, k, ef)) return scan();
  std::size_t width = std::max(ef, saturating_mul(k, 4));
  std::vector<Hit> hits;
  if (graph_.entry_point() != kNoEntry) {
    const std::size_t scan_spends = scan_cost(passing, filter);
    Admissible admit{deleted_.empty() ? nullptr : dead_.data(), &predicate,
                     saturating_mul(scan_spends / 10, kWalkBudgetTenths)};
    admit.node_cost = kWalkNodeCost;
    admit.test_cost = filter.test_cost;
    admit.share = static_cast<double>(passing) / static_cast<double>(std::max<std::size_t>(live_count(), 1));
    std::vector<Hit> w = beam(query, width, admit);
    if (filter.report) {
      filter.report->walked = true;
      filter.report->expensive = admit.gave_up || admit.spent > scan_spends;
    }
    if (admit.gave_up) return scan();
    hits = best_of_beam(query, std::move(w), k);
    add_exceptions(query, hits, k, [&](std::uint32_t s) { return dead_[s] == 0 && predicate(s); });
  }
  if (fresh_count() > 0) hits = merge_hits(std::move(hits), scan_fresh(query, k, &predicate), k);
  // Short of k while more slots may pass: the graph cannot reach them.
  if (hits.size() < std::min(k, passing)) return scan();
  return hits;
}

bool HnswIndex::filtered_search_walks(std::size_t passing, std::size_t k, std::size_t ef) const {
  if (uses_brute_force()) return false;
  return walk_is_cheaper(std::min(passing, live_count()), std::max(ef, saturating_mul(k, 4)));
}

std::size_t HnswIndex::scan_cost(std::size_t passing, const SlotFilter& filter) const {
  std::size_t row = filter.scan_reads_copy ? kCopiedRowCost + dim_ / kCopiedFloatsPerUnit
                                           : kGatheredRowCost + dim_ / kGatheredFloatsPerUnit;
  if (filter.scan_tests) row += filter.test_cost;
  return saturating_mul(passing, row);
}

// Puts v in the slot's row, with its norm and, under quantized search, its
// codes; the node's links are the caller's to mend.
void HnswIndex::overwrite_row(std::uint32_t slot, const float* v, std::size_t len) {
  assert_len(len, dim_, "");
  graph_.check_slot(slot);
  store_.overwrite(slot, v);
  rows_version_ = next_rows_version();
  note_row_changed(slot);
  norms_[slot] = vector_norm(v, dim_);
  if (quantizer_) quantizer_->reencode(slot, v);
  if (binary_) binary_->reencode(slot, v);
}

// A database updated over and over without a save would note a slot per
// update: past one entry per node the list is made unique again.
void HnswIndex::note_row_changed(std::uint32_t slot) {
  rows_changed_.push_back(slot);
  if (rows_changed_.size() > 2 * node_count() + 64) {
    std::sort(rows_changed_.begin(), rows_changed_.end());
    rows_changed_.erase(std::unique(rows_changed_.begin(), rows_changed_.end()), rows_changed_.end());
  }
}

void HnswIndex::mark_deleted(std::uint32_t slot) {
  if (slot >= graph_.node_count()) return;
  if (!deleted_.insert(slot).second) return;
  dead_[slot] = 1;
  deleted_since_.push_back(slot);
  live_count_.fetch_sub(1, std::memory_order_relaxed);
}

// Codes read with their exceptions are used as read; older codes have their
// exceptions found among the rows (which reads the rows at the codes' ends).
void HnswIndex::set_quantizer(Sq8Quantizer q) {
  binary_.reset();
  quantizer_ = std::move(q);
  bring_rows_in();
  if (!quantizer_->rows_within_range()) quantizer_->find_exceptions(store_.data(), store_.float_count());
}

// Trains the range on the rows as they are and encodes every row: when
// quantized search is switched on, and again when rows added beyond the
// range have made too many exceptions (note_changes); the next save writes
// the new codes.
void HnswIndex::enable_quantization() {
  // Training needs at least one row and one component; otherwise quantized
  // search stays off.
  if (graph_.node_count() == 0 || dim_ == 0) return;
  bring_rows_in();
  Sq8Quantizer q = Sq8Quantizer::train(store_.data(), store_.float_count(), dim_);
  q.encode_all(store_.data(), store_.float_count());
  binary_.reset();
  quantizer_ = std::move(q);
}

// An empty index gets codes about the origin; a later call (the next open)
// centres them on the rows.
void HnswIndex::enable_binary_quantization() {
  if (dim_ == 0) return;
  quantizer_.reset();
  bring_rows_in();
  binary_ = BinaryCodes::train(store_.data(), store_.float_count(), dim_, metric_);
}

IndexMemory HnswIndex::memory_usage() const {
  IndexMemory m;
  m.vectors = store_.owned_bytes();
  if (store_.is_mapped()) m.vectors_mapped = store_.float_count() * sizeof(float);
  m.norms = heap_bytes(norms_);
  m.graph = graph_.memory_bytes() + heap_bytes(dead_) + heap_bytes(unlinked_) + heap_bytes(relink_);
  // The tombstone set: a bucket array and one node per member.
  m.graph += heap_chunk(deleted_.bucket_count() * sizeof(void*)) + deleted_.size() * heap_chunk(16);
  if (quantizer_)
    m.quantizer = heap_bytes(quantizer_->codes()) + heap_bytes(quantizer_->mins()) + heap_bytes(quantizer_->scales());
  if (binary_) m.quantizer = binary_->memory_bytes();
  return m;
}

IndexStats HnswIndex::stats() const {
  IndexStats s;
  std::size_t n = graph_.node_count();
  s.num_vectors = live_count();
  s.num_deleted = deleted_.size();
  s.uses_quantized_search = quantizer_.has_value();
  s.uses_brute_force = n == 0 || uses_brute_force();
  s.fresh_rows = fresh_count();
  if (n == 0) return s;
  s.num_layers = graph_.max_level() + 1;
  // Degrees over the linked live nodes: fresh rows have no lists yet.
  std::vector<std::uint8_t> skipped;
  std::size_t linked_live = s.num_vectors;
  if (fresh_count() > 0) {
    skipped = dead_;
    for (std::size_t i = 0; i < n; ++i)
      if (unlinked_[i] && !skipped[i]) {
        skipped[i] = 1;
        --linked_live;
      }
  }
  Graph::Degrees d = graph_.degrees(skipped.empty() ? dead_.data() : skipped.data());
  s.max_degree_layer0 = d.max0;
  s.min_degree_layer0 = d.min0;
  if (linked_live > 0) s.avg_degree_layer0 = static_cast<double>(d.sum0) / static_cast<double>(linked_live);
  else s.min_degree_layer0 = 0;
  s.memory_vectors_bytes = 4 * store_.float_count();
  s.memory_graph_bytes = 4 * d.total;
  s.memory_quantized_bytes = quantizer_ ? quantizer_->memory_bytes() : binary_ ? binary_->memory_bytes() : 0;
  return s;
}

}  // namespace hovra
