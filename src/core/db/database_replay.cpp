// Applying logged changes to memory without logging them again: what an
// open replays from the log, what a reader takes from a writer's log, and
// the records of a committed prepared batch. Runs of plain inserts (what
// add_many, upsert_many and single adds without a sparse vector log) go
// into the tables in batches straight from the log's bytes: the id, the
// floats and the metadata's text are read where they lie, so a large log
// opens without building a record object per record. Every other change is
// decoded and applied on its own, under the locks its operation takes.
#include <algorithm>
#include <bit>
#include <cstring>

#include "core/base/backing_ahead.h"
#include "core/base/bytes.h"
#include "core/db/database.h"

namespace hovra {

namespace {

// Plain inserts applied per batch: small enough that the rows gathered
// for one stay in cache on their way into the vector store.
constexpr std::size_t kReplayBatch = 512;

// n little-endian floats from bytes that may be unaligned.
void load_floats(const unsigned char* bytes, std::size_t n, float* out) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, bytes, n * sizeof(float));
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = load_f32(bytes + 4 * i);
  }
}

}  // namespace

// A run of more than one plain insert goes in as batches; a lone one is
// applied as the other changes are, unless its row may stay where it lies.
void Database::replay(const std::vector<LoggedFrame>& frames, const LastingBytes* lasting) {
  std::size_t i = 0;
  while (i < frames.size()) {
    std::size_t end = i;
    while (end < frames.size() && frames[end].kind == kInsertKind) ++end;
    if (end - i > 1 || (end > i && lasting)) {
      WriteLock ids(id_map_lock_);
      apply_insert_frames_locked(frames.data() + i, end - i, lasting);
      release_freed(end - i);
      i = end;
      continue;
    }
    WalRecord record;
    if (decode_payload(frames[i].kind, frames[i].payload, record)) apply_logged(record);
    ++i;
  }
}

// A record whose payload does not decode, whose vector is not of the
// database's dimension or whose metadata is not JSON is passed over, as
// one by one replay passes over it.
void Database::apply_insert_frames_locked(const LoggedFrame* frames, std::size_t count, const LastingBytes* lasting) {
  auto [room, room_bytes] = reserve_for_inserts_locked(count);
  // A long run's rows fill the store's new memory in order: the system
  // backs it beside the decoding (joined when the run is in).
  // (Rows read where they lie need no room.)
  BackingAhead backing(room, lasting ? 0 : std::min(room_bytes, count * dim_ * sizeof(float)));
  std::vector<float> rows;
  // With lasting bytes the rows are read where they lie (by address).
  std::vector<const unsigned char*> logged;
  if (lasting) logged.reserve(std::min(count, kReplayBatch));
  else rows.reserve(std::min(count, kReplayBatch) * dim_);
  std::string packed, error;
  for (std::size_t from = 0; from < count; from += kReplayBatch) {
    const std::size_t to = std::min(count, from + kReplayBatch);
    RecordBatch batch;
    rows.clear();
    logged.clear();
    for (std::size_t i = from; i < to; ++i) {
      InsertFields f;
      if (!insert_fields(frames[i].payload, f) || f.dim != dim_) continue;
      if (!f.metadata.empty()) {
        packed.clear();
        if (!parse_json_packed(f.metadata, packed, error)) continue;
        // The metadata table begins with the first item that has any.
        while (batch.metadata.size() < batch.ids.size()) batch.metadata.push_absent();
        batch.metadata.push_back(packed);
      }
      batch.ids.push_back(f.id);
      if (lasting) {
        logged.push_back(f.vector);
        continue;
      }
      const std::size_t at = rows.size();
      rows.resize(at + dim_);
      load_floats(f.vector, dim_, rows.data() + at);
    }
    if (batch.ids.size() == 0) continue;
    batch.vectors = lasting ? VectorRows::logged(logged.data(), batch.ids.size(), dim_, lasting)
                            : VectorRows::contiguous(rows.data(), batch.ids.size(), dim_);
    upsert_batch_locked(batch, nullptr);
  }
}

// Room in the index and the tables for n more records, taken once for a
// run applied in pieces (each piece's own reserve then grows nothing).
// Gives the vector store's room past its last row.
std::pair<const void*, std::size_t> Database::reserve_for_inserts_locked(std::size_t n) {
  WriteLock ix(index_lock_);
  index_->reserve_fresh(n);
  WriteLock si(slot_ids_lock_);
  WriteLock md(metadata_lock_);
  WriteLock mi(metadata_index_lock_);
  reserve_record_tables_locked(n);
  return index_->store().room_ahead();
}

void Database::apply_insert_run_locked(const WalRecord* records, std::size_t count) {
  if (count == 0) return;
  RecordBatch batch;
  std::vector<const float*> rows;
  rows.reserve(count);
  bool any_metadata = false;
  bool any_sparse = false;
  for (std::size_t i = 0; i < count; ++i) {
    any_metadata = any_metadata || records[i].metadata.has_value();
    any_sparse = any_sparse || (records[i].has_sparse && !records[i].sparse.empty());
  }
  std::string bytes;
  for (std::size_t i = 0; i < count; ++i) {
    const WalRecord& r = records[i];
    batch.ids.push_back(r.id);
    rows.push_back(r.vector.data());
    if (any_sparse) batch.sparse.push_back(r.has_sparse ? r.sparse : SparseVector{});
    if (!any_metadata) continue;
    if (!r.metadata) {
      batch.metadata.push_absent();
      continue;
    }
    bytes.clear();  // pack_json appends
    pack_json(*r.metadata, bytes);
    batch.metadata.push_back(bytes);
  }
  batch.vectors = VectorRows::gathered(rows.data(), rows.size(), dim_);
  upsert_batch_locked(batch, nullptr);
}

// Applies one logged change without logging it, under the locks the
// matching operation takes (id-map write lock first).
void Database::apply_logged(const WalRecord& r) {
  if (r.kind == WalRecord::Kind::TextIndex) {
    define_text_index(r.text_index);
    return;
  }
  WriteLock ids(id_map_lock_);
  apply_logged_locked(r);
}

void Database::apply_logged_locked(const WalRecord& r) {
  std::uint32_t slot = slot_of(r.id);
  std::string bytes;
  std::optional<PackedValue> metadata;
  if (r.metadata) {
    pack_json(*r.metadata, bytes);
    metadata = PackedValue(bytes);
  }
  switch (r.kind) {
    case WalRecord::Kind::Insert: {
      if (r.vector.size() != dim_) return;  // cannot be applied as logged
      const SparseVector* sparse = r.has_sparse ? &r.sparse : nullptr;
      if (slot == IdIndex::kNone) apply_insert_locked(r.id, r.vector.data(), metadata, sparse);
      else replace_record_locked(slot, r.vector.data(), metadata, sparse);
      return;
    }
    case WalRecord::Kind::Delete: {
      if (slot == IdIndex::kNone) return;
      clear_slot(forget_id_locked(r.id));
      return;
    }
    case WalRecord::Kind::Update: {
      if (slot == IdIndex::kNone) return;
      if (r.has_vector && r.vector.size() == dim_) {
        WriteLock ix(index_lock_);
        index_->replace_vector(slot, r.vector.data(), r.vector.size());
        note_fresh_locked();
      }
      if (r.has_metadata) replace_metadata(slot, metadata);
      if (r.has_sparse) sparse_set(slot, &r.sparse);
      return;
    }
    case WalRecord::Kind::TextIndex:
      return;  // applied by apply_logged, without the id-map lock; never prepared
  }
}

}  // namespace hovra
