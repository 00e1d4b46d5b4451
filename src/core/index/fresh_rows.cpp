// The fresh rows of an HnswIndex: rows stored in their slots and searched
// exactly until the database's linker links them into the graph. New slots
// are handed out in order, so the new rows not yet linked are the slots from
// linked_end_ on; a linked slot whose row is replaced joins the relink list.
// Both are marked in unlinked_, which the linking code reads to keep them out
// of the entry point's hand-over and the reachability audit. A reader's
// fresh rows may lie outside the store (in the log it follows); the exact
// scans gather those block by block.
#include <algorithm>
#include <bit>
#include <numeric>

#include "core/base/error.h"
#include "core/index/exhaustive_scan.h"
#include "core/index/hnsw_index.h"

namespace hovra {

namespace {

// Rows gathered at a time from outside the store: a block of 64 KiB, which
// stays in the cache while the kernels read it.
std::size_t gather_block(std::size_t dim) { return std::max<std::size_t>(1, (std::size_t(64) << 10) / (dim * 4)); }

// Keeps the k first hits in answer order once more than 4k were added.
void keep_best(std::vector<Hit>& hits, std::size_t k, bool last) {
  if (!last && hits.size() <= 4 * k) return;
  order_hits(hits);
  if (hits.size() > k) hits.resize(k);
}

}  // namespace

// The first row of an empty graph becomes its entry point at once, as
// linking would make it (it needs no links): a saved graph always has one.
void HnswIndex::mark_stored_fresh(std::uint32_t slot) {
  if (graph_.entry_point() != kNoEntry) {
    unlinked_[slot] = 1;
    return;
  }
  graph_.set_entry(slot, graph_.level(slot));
  if (linked_end_ == slot) linked_end_ = slot + 1;
}

std::uint32_t HnswIndex::store_fresh(const float* v, std::size_t len) {
  assert_len(len, dim_, "vector dimension mismatch");
  auto slot = static_cast<std::uint32_t>(graph_.node_count());
  reserve_nodes(graph_.node_count() + 1);
  append_node(v, draw_level());
  mark_stored_fresh(slot);
  live_count_.fetch_add(1, std::memory_order_relaxed);
  return slot;
}

void HnswIndex::reserve_fresh(std::size_t n) {
  // (A reader's rows mostly stay where they lie: no room for them here.)
  if (!rows_in_place_) store_.reserve_slots(graph_.node_count() + n);
  reserve_nodes(graph_.node_count() + n);
}

std::vector<std::uint32_t> HnswIndex::store_fresh_batch(const VectorRows& rows) {
  for (std::size_t i = 0; i < rows.size(); ++i) assert_len(rows.len(i), dim_, "vector dimension mismatch");
  std::size_t n = rows.size();
  std::vector<std::uint32_t> slots;
  if (n == 0) return slots;
  auto first = static_cast<std::uint32_t>(graph_.node_count());
  reserve_fresh(n);
  RowReader read(rows);
  slots.reserve(n);
  // A row that lies in lasting bytes stays there for a reader, unless it
  // is the first of an empty graph (its entry point, which walks read).
  const bool in_place = rows_in_place_ && rows.lasting() != nullptr && std::endian::native == std::endian::little;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char* lies_at = in_place && graph_.entry_point() != kNoEntry ? rows.lasting_row(i) : nullptr;
    append_node(read(i), draw_level(), lies_at, rows.lasting());
    mark_stored_fresh(first + static_cast<std::uint32_t>(i));
    slots.push_back(first + static_cast<std::uint32_t>(i));
  }
  live_count_.fetch_add(n, std::memory_order_relaxed);
  return slots;
}

void HnswIndex::replace_vector(std::uint32_t slot, const float* v, std::size_t len) {
  overwrite_row(slot, v, len);
  if (unlinked_[slot] || graph_.node_count() == 1) return;
  unlinked_[slot] = 1;
  relink_.push_back(slot);
}

std::size_t HnswIndex::link_fresh(std::size_t max_rows, Progress* progress) {
  if (fresh_count() > 0) {
    graph_.own_lists();
    bring_rows_in();
  }
  std::size_t taken = 0;
  // The relinked rows first, one at a time: each repairs the lists that
  // held it before it is linked where its new row belongs.
  std::size_t relinked = 0;
  while (relinked < relink_.size() && taken < max_rows) {
    std::uint32_t slot = relink_[relinked++];
    ++taken;
    unlinked_[slot] = 0;
    if (!is_deleted(slot)) relink_node(slot);
    advance(progress);
  }
  relink_.erase(relink_.begin(), relink_.begin() + static_cast<std::ptrdiff_t>(relinked));
  // Then the new rows in slot order, as one batch; deleted ones are passed.
  std::vector<std::uint32_t> batch;
  std::uint32_t end = linked_end_;
  while (end < graph_.node_count() && taken < max_rows) {
    if (!is_deleted(end)) batch.push_back(end);
    ++end;
    ++taken;
  }
  if (end != linked_end_) {
    store_.make_owned();  // (any map copied or made writable)
    // The rows count as linked before the batch is: the reachability audit
    // that may end it (note_changes) must see them, or it passes over them
    // and the next audit finds nothing changed since.
    for (std::uint32_t s = linked_end_; s < end; ++s) unlinked_[s] = 0;
    link_stored(batch, progress, false, false);
    linked_end_ = end;
  }
  linked_in_stretch_ += taken;
  if (fresh_count() == 0) {
    audit_after_drain(linked_in_stretch_);
    linked_in_stretch_ = 0;
  }
  return taken;
}

std::vector<Hit> HnswIndex::scan_fresh(const float* query, std::size_t k, SlotPredicate* admit) const {
  std::vector<std::uint32_t> slots;
  slots.reserve(fresh_count());
  auto consider = [&](std::uint32_t s) {
    if (is_deleted(s) || (admit && !(*admit)(s))) return;
    slots.push_back(s);
  };
  for (std::uint32_t s : relink_) consider(s);
  std::sort(slots.begin(), slots.end());
  for (std::uint32_t s = linked_end_; s < graph_.node_count(); ++s) consider(s);
  if (slots.empty() || k == 0) return {};
  return scan_listed(query, slots.data(), slots.size(), k);
}

std::vector<Hit> HnswIndex::scan_listed(const float* query, const std::uint32_t* slots, std::size_t count,
                                        std::size_t k) const {
  const std::size_t near = store_.near_slots();
  if (store_.outside_rows() == 0) return scan_slots(scan_rows(), query, slots, count, k);
  std::vector<std::uint32_t> inside, outside;
  for (std::size_t i = 0; i < count; ++i) (slots[i] < near ? inside : outside).push_back(slots[i]);
  std::vector<Hit> hits;
  if (!inside.empty()) hits = scan_slots(scan_rows(), query, inside.data(), inside.size(), k);
  if (outside.empty() || k == 0) return hits;
  // In slot order, so that a block's ties keep the order of the whole.
  std::sort(outside.begin(), outside.end());
  const std::size_t block = std::min(gather_block(dim_), outside.size());
  std::vector<float> rows(block * dim_), norms(block);
  std::vector<std::uint32_t> local(block);
  std::iota(local.begin(), local.end(), 0u);
  for (std::size_t from = 0; from < outside.size(); from += block) {
    const std::size_t n = std::min(block, outside.size() - from);
    store_.gather_rows(outside.data() + from, n, rows.data());
    for (std::size_t i = 0; i < n; ++i) norms[i] = norms_[outside[from + i]];
    const ScanRows part{rows.data(), dim_, n, norms.data(), metric_, true};
    for (const Hit& h : scan_slots(part, query, local.data(), n, k))
      hits.push_back({outside[from + h.slot], h.distance});
    keep_best(hits, k, false);
  }
  keep_best(hits, k, true);
  return hits;
}

// The rows outside are this index's own appends, whose norms it computed:
// they bound the rows.
std::vector<Hit> HnswIndex::scan_every_row(const float* query, std::size_t k, bool* norms_hold) const {
  std::vector<Hit> hits = scan_all_rows(scan_rows(), query, k, norms_hold);
  const std::size_t near = store_.near_slots(), outside = store_.outside_rows();
  if (outside == 0 || k == 0) return hits;
  const std::size_t block = std::min(gather_block(dim_), outside);
  std::vector<float> rows(block * dim_);
  std::vector<std::uint32_t> slots(block);
  for (std::size_t from = 0; from < outside; from += block) {
    const std::size_t n = std::min(block, outside - from);
    std::iota(slots.begin(), slots.begin() + n, static_cast<std::uint32_t>(near + from));
    store_.gather_rows(slots.data(), n, rows.data());
    const ScanRows part{rows.data(), dim_, n, norms_.data() + near + from, metric_, true};
    for (const Hit& h : scan_all_rows(part, query, k)) hits.push_back({slots[h.slot], h.distance});
    keep_best(hits, k, false);
  }
  keep_best(hits, k, true);
  return hits;
}

void HnswIndex::scan_every_row_many(const float* const* queries, std::size_t count, std::size_t k,
                                    std::vector<std::vector<Hit>>& out, Progress* progress) const {
  scan_all_rows_many(scan_rows(), queries, count, k, out, progress);
  const std::size_t near = store_.near_slots(), outside = store_.outside_rows();
  if (outside == 0 || k == 0 || stop_requested(progress)) return;
  const std::size_t block = std::min(gather_block(dim_), outside);
  std::vector<float> rows(block * dim_);
  std::vector<std::uint32_t> slots(block);
  std::vector<std::vector<Hit>> part_out;
  for (std::size_t from = 0; from < outside; from += block) {
    const std::size_t n = std::min(block, outside - from);
    std::iota(slots.begin(), slots.begin() + n, static_cast<std::uint32_t>(near + from));
    store_.gather_rows(slots.data(), n, rows.data());
    const ScanRows part{rows.data(), dim_, n, norms_.data() + near + from, metric_, true};
    part_out.clear();
    scan_all_rows_many(part, queries, count, k, part_out);
    for (std::size_t q = 0; q < count && q < out.size() && q < part_out.size(); ++q) {
      for (const Hit& h : part_out[q]) out[q].push_back({slots[h.slot], h.distance});
      keep_best(out[q], k, false);
    }
  }
  for (std::vector<Hit>& hits : out) keep_best(hits, k, true);
}

void HnswIndex::adopt_unlinked() {
  std::size_t n = graph_.node_count();
  if (n < 2) return;
  std::uint32_t entry = graph_.entry_point();
  auto waits = [&](std::uint32_t s) { return s != entry && !dead_[s] && graph_.items(s, 0).size == 0; };
  // The longest run of waiting (or deleted) slots at the end is the new
  // rows; waiting slots before it are relinked.
  std::uint32_t end = static_cast<std::uint32_t>(n);
  while (end > 0 && end - 1 != entry && (dead_[end - 1] || waits(end - 1))) --end;
  for (std::uint32_t s = 0; s < end; ++s)
    if (waits(s)) {
      unlinked_[s] = 1;
      relink_.push_back(s);
    }
  for (std::uint32_t s = end; s < n; ++s) unlinked_[s] = 1;
  linked_end_ = end;
}

}  // namespace hovra
