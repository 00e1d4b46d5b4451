// Database: closing, the settings (synced writes, the exact-scan threshold,
// the metric) and the reads of single records: get, contains, len, ids.
// Changes are in database_changes.cpp, the record table's upkeep in
// database_table.cpp, compaction, the quantization switches and statistics
// in database_upkeep.cpp (searches and counting in database_search.cpp).
//
// Operations that look a slot up keep the id-map lock while they use it, so
// a compaction (which renumbers slots under the id-map write lock) never
// invalidates a slot in use.
#include "core/db/database.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace hovra {

std::size_t default_ef(std::size_t k) {
  double ef = static_cast<double>(k) + std::floor(kDefaultEfSqrtFactor * std::sqrt(static_cast<double>(k)));
  ef = std::max(static_cast<double>(kDefaultEfFloor), ef);
  if (ef >= 18446744073709551615.0) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(ef);
}

// In a forked child both background threads are the parent's: stopping
// them forgets them.
Database::~Database() {
  linker_.stop();
  text_builder_.stop();
  // A forked child's copy leaves the log alone: a thread of the parent may
  // have held the WAL mutex when the child was forked.
  if (current_process_id() != owner_pid_) return;
  MutexLock g(wal_mutex_);
  if (wal_) wal_->close_writer();
}

// Takes the WAL mutex.
void Database::require_sync_writes() {
  MutexLock w(wal_mutex_);
  if (sync_writes_.exchange(true)) return;
  wal_->sync_directory_on_create(root_);
}

void Database::set_exact_threshold(std::size_t components) {
  WriteLock ix(index_lock_);
  index_->set_exact_threshold(components);
}

std::size_t Database::exact_threshold() const {
  ReadLock ix(index_lock_);
  return index_->exact_threshold();
}

Metric Database::metric() const {
  ReadLock ix(index_lock_);
  return index_->metric();
}

// Holds the id-map read lock while reading the slot's vector and metadata.
Result<RecordView> Database::get(const std::string& id) const {
  ReadLock ids(id_map_lock_);
  std::uint32_t slot = slot_of(id);
  if (slot == IdIndex::kNone) return DbError::not_found(id);
  RecordView view;
  {
    ReadLock ix(index_lock_);
    if (slot >= index_->node_count()) return DbError::corrupt_data("vector slot missing");
    const float* v = index_->vector(slot);
    view.vector.assign(v, v + dim_);
  }
  ReadLock md(metadata_lock_);
  if (std::optional<PackedValue> m = metadata_at(slot)) {
    view.metadata.emplace();
    write_packed_json(*m, *view.metadata);
  }
  return view;
}

bool Database::contains(const std::string& id) const {
  ReadLock ids(id_map_lock_);
  return slot_of(id) != IdIndex::kNone;
}

std::size_t Database::len() const {
  ReadLock ix(index_lock_);
  return index_->live_count();
}

std::optional<std::size_t> Database::try_len() const {
  if (!index_lock_.try_lock_shared()) return std::nullopt;
  std::size_t n = index_->live_count();
  index_lock_.unlock_shared();
  return n;
}

bool Database::scans_every_row() const {
  ReadLock ix(index_lock_);
  return index_->node_count() > 0 && index_->uses_brute_force();
}

std::vector<std::string> Database::ids() const {
  ReadLock ids(id_map_lock_);
  std::vector<std::string> out;
  out.reserve(id_to_slot_.size());
  id_to_slot_.for_each([&](std::uint32_t slot) {
    id_map_lock_.assert_held_shared();
    out.emplace_back(ids_by_slot().get(slot));
  });
  return out;
}

}  // namespace hovra
