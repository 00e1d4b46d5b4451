// HnswIndex: construction and loading, the rows read at open, tombstones,
// row changes, quantization and statistics. Its searches (the planner of
// walk or scan and its cost model) are in hnsw_search.cpp; the re-scoring
// of a walk's beam is in rescore.cpp.
#include "core/index/hnsw_index.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "core/base/defaults.h"
#include "core/base/error.h"

namespace hovra {

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
