// Database upkeep and statistics: compaction (the live records renumbered
// into a new index and tables), the quantization switches, the counts of
// slots and deleted records, memory by structure and the index's figures.
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

// Holds the id-map write lock throughout, so no record change runs between
// collecting the live vectors and swapping in the new tables; then takes the
// index, slot-ids, metadata and metadata-index write locks in order.
// A stop asked for through progress before the new index is swapped in
// leaves everything as it was (Cancelled).
Status Database::compact(Progress* progress) {
  WriteLock ids(id_map_lock_);
  std::unique_ptr<HnswIndex> fresh;
  std::vector<std::uint32_t> live;
  {
    ReadLock ix(index_lock_);
    const HnswIndex& old = *index_;
    fresh = std::make_unique<HnswIndex>(old.dim(), old.metric(), old.m(), old.ef_construction());
    fresh->set_exact_threshold(old.exact_threshold());
    std::vector<const float*> vectors;
    for (std::uint32_t s = 0; s < old.node_count(); ++s) {
      if (old.is_deleted(s)) continue;
      live.push_back(s);
      vectors.push_back(old.vector(s));
    }
    start_phase(progress, "rebuilding", "records", vectors.size());
    if (!vectors.empty())
      fresh->insert_batch(vectors, std::vector<std::size_t>(vectors.size(), old.dim()), progress, true);
    if (stop_requested(progress)) return DbError::cancelled();
    if (old.quantizer()) fresh->enable_quantization();
    if (old.binary_codes()) fresh->enable_binary_quantization();
  }
  if (stop_requested(progress)) return DbError::cancelled();
  WriteLock ix(index_lock_);
  // A quantization switch may have run since the copy was taken: the new
  // index follows the old one's state now, so the last switch wins.
  if (index_->quantizer() && !fresh->quantizer()) fresh->enable_quantization();
  else if (index_->binary_codes() && !fresh->binary_codes()) fresh->enable_binary_quantization();
  else if (!index_->quantizer() && !index_->binary_codes()) fresh->disable_quantization();
  WriteLock si(slot_ids_lock_);
  WriteLock md(metadata_lock_);
  WriteLock mi(metadata_index_lock_);
  slot_ids_ = slot_ids_.select(live);
  slot_metadata_ = slot_metadata_.select(live);
  id_to_slot_.clear();
  id_to_slot_.reserve(live.size());
  for (std::uint32_t i = 0; i < live.size(); ++i)
    if (slot_ids_.present(i)) id_to_slot_.insert(i, slot_ids_);
  id_generation_.fetch_add(1, std::memory_order_relaxed);
  MetadataIndex rebuilt;
  for (std::uint32_t i = 0; i < live.size(); ++i) rebuilt.add(i, metadata_at(i));
  metadata_index_ = std::move(rebuilt);
  text_renumber(live);
  index_ = std::move(fresh);
  note_fresh_locked();
  checkpoints_.note_compacted();
  mi.unlock();
  md.unlock();
  si.unlock();
  ix.unlock();
  ids.unlock();
  release_freed(live.size());
  return Status::success();
}

void Database::enable_quantized_search() {
  WriteLock ix(index_lock_);
  index_->enable_quantization();
}

void Database::enable_binary_search() {
  WriteLock ix(index_lock_);
  index_->enable_binary_quantization();
}

bool Database::binary_search() const {
  ReadLock ix(index_lock_);
  return index_->binary_codes() != nullptr;
}

void Database::disable_quantized_search() {
  WriteLock ix(index_lock_);
  index_->disable_quantization();
}

bool Database::quantized_search() const {
  ReadLock ix(index_lock_);
  return index_->quantizer() != nullptr;
}

std::size_t Database::deleted_count() const {
  ReadLock ix(index_lock_);
  return index_->deleted().size();
}

std::size_t Database::total_slots() const {
  ReadLock ix(index_lock_);
  return index_->node_count();
}

// Takes the id-map, index, slot-ids, metadata, metadata-index and text
// read locks in order.
std::vector<MemoryPart> Database::memory_usage() const {
  ReadLock ids(id_map_lock_);
  ReadLock ix(index_lock_);
  ReadLock si(slot_ids_lock_);
  ReadLock md(metadata_lock_);
  ReadLock mi(metadata_index_lock_);
  ReadLock tx(text_lock_);
  IndexMemory index = index_->memory_usage();
  std::uint64_t id_bytes = slot_ids_.memory_bytes();
  std::uint64_t map_bytes = id_to_slot_.memory_bytes();
  std::uint64_t metadata_bytes = slot_metadata_.memory_bytes();
  HeapStats heap = heap_stats();
  return {{"vectors", index.vectors},
          {"vectors_mapped", index.vectors_mapped},
          {"norms", index.norms},
          {"graph", index.graph},
          {"quantizer", index.quantizer},
          {"ids", id_bytes},
          {"id_map", map_bytes},
          {"metadata", metadata_bytes},
          {"metadata_index", metadata_index_.memory_bytes()},
          {"text_index", text_ ? text_->index->memory_bytes() : 0},
          {"sparse_vectors", sparse_.memory_bytes()},
          {"query_plans", plan_cache_.memory_bytes()},
          {"heap_in_use", heap.in_use},
          {"heap_free", heap.free_held},
          {"resident", heap.resident}};
}

IndexStats Database::stats() const {
  ReadLock ix(index_lock_);
  return index_->stats();
}

}  // namespace hovra
