// The fresh rows of an HnswIndex: rows stored in their slots and searched
// exactly until the database's linker links them into the graph. New slots
// are handed out in order, so the new rows not yet linked are the slots from
// linked_end_ on; a linked slot whose row is replaced joins the relink list.
// Both are marked in unlinked_, which the linking code reads to keep them out
// of the entry point's hand-over and the reachability audit.
#include <algorithm>

#include "core/base/error.h"
#include "core/index/exhaustive_scan.h"
#include "core/index/hnsw_index.h"

namespace hovra {

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
  store_.make_owned();
  reserve_nodes(graph_.node_count() + 1);
  append_node(v, draw_level());
  mark_stored_fresh(slot);
  live_count_.fetch_add(1, std::memory_order_relaxed);
  return slot;
}

void HnswIndex::reserve_fresh(std::size_t n) {
  store_.make_owned();
  store_.reserve_slots(graph_.node_count() + n);
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
  for (std::size_t i = 0; i < n; ++i) {
    append_node(read(i), draw_level());
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
  if (fresh_count() > 0) graph_.own_lists();
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
    store_.make_owned();
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
  return scan_slots(scan_rows(), query, slots.data(), slots.size(), k);
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
