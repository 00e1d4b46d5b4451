// The record table kept in step: a slot's row in the index, its id, its
// metadata, the metadata index and the text index, set, replaced and
// cleared together. Callers hold the locks each function requires
// (REQUIRES in database.h).
#include "core/db/database.h"

#include "core/base/heap.h"
#include "core/base/thread_pool.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <unordered_set>

namespace hovra {

// Caller holds the id-map write lock. Takes index, slot-ids, metadata and
// metadata-index write locks in order.
void Database::apply_insert_locked(std::string_view id, const float* vector, std::optional<PackedValue> metadata,
                                   const SparseVector* sparse) {
  WriteLock ix(index_lock_);
  std::uint32_t slot = index_->store_fresh(vector, dim_);
  note_fresh_locked();
  WriteLock si(slot_ids_lock_);
  WriteLock md(metadata_lock_);
  WriteLock mi(metadata_index_lock_);
  record_slot_locked(slot, id, metadata);
  text_set(slot, metadata);
  sparse_set(slot, sparse);
}

// Caller holds the id-map, slot-ids, metadata and metadata-index write
// locks: the tables of a newly inserted slot.
void Database::record_slot_locked(std::uint32_t slot, std::string_view id, std::optional<PackedValue> metadata) {
  slot_ids_.grow_to(slot);
  slot_metadata_.grow_to(slot);
  slot_ids_.push_back(id);
  id_to_slot_.insert(slot, slot_ids_);
  id_changes_.fetch_add(1, std::memory_order_relaxed);
  metadata_index_.add(slot, metadata);
  if (metadata) slot_metadata_.push_back(metadata->bytes());
  else slot_metadata_.push_absent();
}

// Caller holds the id-map, slot-ids and metadata write locks: room in the
// id map, the ids and the metadata for n more records.
void Database::reserve_record_tables_locked(std::size_t n) {
  slot_ids_.reserve_more(n, 0);
  slot_metadata_.reserve_more(n, 0);
  id_to_slot_.reserve(id_to_slot_.size() + n);
}

// Caller holds the id-map write lock. Inserts the items' vectors as one
// batch, read from where they lie, and records their tables; takes the
// index, slot-ids, metadata and metadata-index write locks in order.
void Database::insert_batch_locked(const RecordBatch& batch, const std::vector<std::uint32_t>* items,
                                   Progress* progress) {
  std::size_t n = items ? items->size() : batch.size();
  auto item = [&](std::size_t k) -> std::size_t { return items ? (*items)[k] : k; };
  WriteLock ix(index_lock_);
  std::vector<std::uint32_t> slots =
      index_->store_fresh_batch(items ? VectorRows::selected(batch.vectors, items->data(), n) : batch.vectors);
  note_fresh_locked();
  advance(progress, n);
  WriteLock si(slot_ids_lock_);
  WriteLock md(metadata_lock_);
  WriteLock mi(metadata_index_lock_);
  reserve_record_tables_locked(n);
  for (std::size_t k = 0; k < n; ++k)
    record_slot_locked(slots[k], batch.ids.get(item(k)), batch.metadata_of(item(k)));
  for (std::size_t k = 0; k < n; ++k) {
    text_set(slots[k], batch.metadata_of(item(k)));
    sparse_set(slots[k], batch.sparse_of(item(k)));
  }
}

// Caller holds the id-map write lock: replaces an existing record's vector
// and metadata in place.
void Database::replace_record_locked(std::uint32_t slot, const float* vector, std::optional<PackedValue> metadata,
                                     const SparseVector* sparse) {
  {
    WriteLock ix(index_lock_);
    index_->replace_vector(slot, vector, dim_);
    note_fresh_locked();
  }
  replace_metadata(slot, metadata);
  sparse_set(slot, sparse);
}

// Takes the metadata lock, then the metadata-index lock. The new metadata
// does not lie in slot_metadata_.
void Database::replace_metadata(std::uint32_t slot, std::optional<PackedValue> metadata) {
  WriteLock md(metadata_lock_);
  WriteLock mi(metadata_index_lock_);
  metadata_index_.remove(slot, metadata_at(slot));
  metadata_index_.add(slot, metadata);
  mi.unlock();
  if (metadata) slot_metadata_.set(slot, metadata->bytes());
  else slot_metadata_.set_absent(slot);
  note_record_changed(slot);
  text_set(slot, metadata);
}

// Large changes free large temporary blocks (lists being relinked, copies
// of rows, grown arrays); hand their pages back to the system. Below this
// many records the blocks are small and trimming would cost more than it
// returns.
constexpr std::size_t kTrimAfterItems = 1024;

std::size_t Database::node_capacity() const {
  ReadLock ix(index_lock_);
  return index_->node_capacity();
}

void Database::release_freed(std::size_t items) {
  if (items >= kTrimAfterItems) trim_heap();
}

// Tombstones a slot everywhere. Takes the index, slot-ids, metadata and
// metadata-index write locks one group after another, in order.
void Database::clear_slot(std::uint32_t slot) {
  {
    WriteLock ix(index_lock_);
    index_->mark_deleted(slot);
  }
  {
    WriteLock si(slot_ids_lock_);
    if (slot < slot_ids_.size()) slot_ids_.set_absent(slot);
  }
  WriteLock md(metadata_lock_);
  WriteLock mi(metadata_index_lock_);
  if (slot < slot_metadata_.size()) {
    metadata_index_.remove(slot, metadata_at(slot));
    mi.unlock();
    slot_metadata_.set_absent(slot);
  }
  text_clear(slot);
}

}  // namespace hovra
