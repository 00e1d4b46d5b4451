// Database: closing and the settings (synced writes, the exact-scan
// threshold and whether searches scan every row, the metric, the default
// beam width). The reads of records (get, contains, len, ids,
// and many at once) are in database_records.cpp, changes in
// database_changes.cpp, the record table's upkeep in database_table.cpp,
// compaction, the quantization switches and statistics in
// database_upkeep.cpp (searches and counting in database_search.cpp).
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

bool Database::scans_every_row() const {
  ReadLock ix(index_lock_);
  return index_->node_count() > 0 && index_->uses_brute_force();
}

}  // namespace hovra
