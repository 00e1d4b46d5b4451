// Database changes to records: the checks of vectors and queries, logging
// (single records and batches) and the wait for durability, add, upsert,
// update, delete and the batches add_many and upsert_many.
//
// Every change takes the id-map write lock before it appends its log record
// and keeps it until the change is applied, so memory applies changes in
// the order the log holds them and a reopen reproduces memory exactly. With
// synced writes a change then waits, after releasing its locks, until its
// record is on stable storage (group commit: one sync serves every record
// appended before it began). Vectors and queries with NaN or infinity are
// refused before anything is logged.
// Operations that look a slot up keep the id-map lock while they use it, so
// a compaction (which renumbers slots under the id-map write lock) never
// invalidates a slot in use.
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

namespace {

// Whether no component is NaN or infinite (exponent bits all ones).
bool all_finite(const float* v, std::size_t n) {
  std::uint32_t bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, v + i, 4);
    bad |= static_cast<std::uint32_t>((bits & 0x7F800000u) == 0x7F800000u);
  }
  return bad == 0;
}

// Whether the squared norm of finite components stays finite in float32:
// beyond it cosine distances become NaN and Euclidean and dot distances
// infinite. Summed in double, which cannot overflow for float inputs of any
// dimension the database allows.
bool norm_fits(const float* v, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += double(v[i]) * double(v[i]);
  return sum <= double(std::numeric_limits<float>::max());
}

// NonFiniteVector / VectorTooLarge for a stored vector, nullopt when sound.
std::optional<DbError> vector_fault(const float* v, std::size_t n, std::string_view id) {
  if (!all_finite(v, n)) return DbError::non_finite_vector(std::string(id));
  if (!norm_fits(v, n)) return DbError::vector_too_large(std::string(id));
  return std::nullopt;
}

}  // namespace

std::optional<DbError> query_fault(const std::vector<float>& q) {
  if (!all_finite(q.data(), q.size())) return DbError::non_finite_query();
  if (!norm_fits(q.data(), q.size())) return DbError::query_too_large();
  return std::nullopt;
}

// A forked child can still read its copy of the parent's engine, but its
// changes would go to the parent's log behind the parent's back. A
// snapshot has no log of its own to change.
Status Database::check_owner() const {
  if (read_only_) return DbError::read_only(dir_);
  if (current_process_id() != owner_pid_) return DbError::in_use(dir_);
  return Status::success();
}

Status Database::check_vector(const std::string& id, const std::vector<float>& vector) const {
  if (vector.size() != dim_) return DbError::dimension_mismatch(dim_, vector.size());
  if (std::optional<DbError> fault = vector_fault(vector.data(), vector.size(), id)) return *fault;
  return Status::success();
}

// Every length first, then every value: the first offending item names the
// error.
Status Database::check_batch(const RecordBatch& batch) const {
  const VectorRows& rows = batch.vectors;
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (rows.len(i) != dim_) return DbError::dimension_mismatch(dim_, rows.len(i));
  RowReader read(rows);
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (std::optional<DbError> fault = vector_fault(read(i), dim_, batch.ids.get(i))) return *fault;
  return Status::success();
}

// Takes the WAL mutex.
Status Database::log_one(const WalRecord& record, std::uint64_t& ticket) {
  MutexLock w(wal_mutex_);
  HOVRA_RETURN_IF_ERROR(wal_->append(record));
  ticket = wal_->appended();
  count_logged(1);
  return Status::success();
}

// Takes the WAL mutex. The batch's records replay all or nothing; a batch
// that fails part-way, or is stopped through progress before its commit
// marker, is cut out of the log again. Each record's frame is built from the
// batch where it lies, one at a time.
Status Database::log_batch(const RecordBatch& items, std::uint64_t& ticket, Progress* progress) {
  MutexLock w(wal_mutex_);
  start_phase(progress, "logging", "records", items.size());
  WalBatch batch(*wal_, static_cast<std::uint32_t>(items.size()));
  HOVRA_RETURN_IF_ERROR(batch.begin());
  RowReader read(items.vectors);
  std::string frame;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (stop_requested(progress)) return DbError::cancelled();
    encode_insert_frame(items.ids.get(i), read(i), dim_, items.metadata_of(i), frame, items.sparse_of(i));
    HOVRA_RETURN_IF_ERROR(batch.add_frame(frame));
    advance(progress);
  }
  // Between the records and the commit marker: a batch abandoned here
  // (returning before commit) leaves nothing in the log.
  if (stop_requested(progress)) return DbError::cancelled();
  HOVRA_RETURN_IF_ERROR(batch.commit());
  ticket = wal_->appended();
  count_logged(items.size());
  return Status::success();
}

// Called holding no lock. Takes the group-commit mutex, and the WAL mutex
// (never both at once) to read the log's handle or to refuse later appends
// after a failed sync.
Status Database::durable(std::uint64_t ticket) {
  if (!sync_writes_.load(std::memory_order_acquire)) return Status::success();
  Status st = group_commit_.wait(ticket, [&] {
    MutexLock w(wal_mutex_);
    return GroupCommit::Snapshot{wal_->sync_handle(), wal_->appended()};
  });
  if (!st.ok()) {
    MutexLock w(wal_mutex_);
    wal_->mark_broken(st.error());
  }
  return st;
}

namespace {
// Packs optional single-record metadata for the tables.
std::optional<PackedValue> pack_optional(const std::optional<JsonValue>& metadata, std::string& bytes) {
  if (!metadata) return std::nullopt;
  pack_json(*metadata, bytes);
  return PackedValue(bytes);
}

// The insert record of a single add or upsert, with its sparse vector.
WalRecord insert_record(const std::string& id, const std::vector<float>& vector,
                        const std::optional<JsonValue>& metadata, const SparseVector* sparse) {
  WalRecord r = WalRecord::insert(id, vector, metadata);
  if (sparse && !sparse->empty()) {
    r.has_sparse = true;
    r.sparse = *sparse;
  }
  return r;
}
}  // namespace

Status Database::add(const std::string& id, const std::vector<float>& vector, std::optional<JsonValue> metadata,
                     const SparseVector* sparse) {
  HOVRA_RETURN_IF_ERROR(check_vector(id, vector));
  HOVRA_RETURN_IF_ERROR(check_owner());
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    if (slot_of(id) != IdIndex::kNone) return DbError::duplicate_id(id);
    HOVRA_RETURN_IF_ERROR(check_not_held(id));
    HOVRA_RETURN_IF_ERROR(log_one(insert_record(id, vector, metadata, sparse), ticket));
    std::string bytes;
    apply_insert_locked(id, vector.data(), pack_optional(metadata, bytes), sparse);
  }
  return finish_change(ticket);
}

Status Database::upsert(const std::string& id, const std::vector<float>& vector, std::optional<JsonValue> metadata,
                        const SparseVector* sparse) {
  HOVRA_RETURN_IF_ERROR(check_vector(id, vector));
  HOVRA_RETURN_IF_ERROR(check_owner());
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    HOVRA_RETURN_IF_ERROR(check_not_held(id));
    HOVRA_RETURN_IF_ERROR(log_one(insert_record(id, vector, metadata, sparse), ticket));
    std::string bytes;
    std::optional<PackedValue> packed = pack_optional(metadata, bytes);
    std::uint32_t slot = slot_of(id);
    if (slot == IdIndex::kNone) apply_insert_locked(id, vector.data(), packed, sparse);
    else replace_record_locked(slot, vector.data(), packed, sparse);
  }
  return finish_change(ticket);
}

Status Database::update(const std::string& id, const std::vector<float>* vector, const JsonValue* metadata,
                        const SparseVector* sparse) {
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    std::uint32_t slot = slot_of(id);
    if (slot == IdIndex::kNone) return DbError::not_found(id);
    HOVRA_RETURN_IF_ERROR(check_not_held(id));
    if (vector) HOVRA_RETURN_IF_ERROR(check_vector(id, *vector));
    HOVRA_RETURN_IF_ERROR(check_owner());
    WalRecord record = WalRecord::update(id, vector, metadata);
    if (sparse) {
      record.has_sparse = true;
      record.sparse = *sparse;
    }
    HOVRA_RETURN_IF_ERROR(log_one(record, ticket));
    if (vector) {
      WriteLock ix(index_lock_);
      index_->replace_vector(slot, vector->data(), vector->size());
      note_fresh_locked();
    }
    if (metadata) {
      std::string bytes = packed(*metadata);
      replace_metadata(slot, PackedValue(bytes));
    }
    if (sparse) sparse_set(slot, sparse);
  }
  return finish_change(ticket);
}

// A failed log append leaves the record fully present.
Result<bool> Database::remove(const std::string& id) {
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    if (slot_of(id) == IdIndex::kNone) return false;
    HOVRA_RETURN_IF_ERROR(check_not_held(id));
    HOVRA_RETURN_IF_ERROR(check_owner());
    HOVRA_RETURN_IF_ERROR(log_one(WalRecord::remove(id), ticket));
    clear_slot(forget_id_locked(id));
  }
  Status st = durable(ticket);
  if (!st.ok()) return st.error();
  return true;
}

// Caller holds the id-map lock. DuplicateId for the first id the database
// holds already, DuplicateInBatch for the first the batch holds twice.
Status Database::check_new_ids(const ByteTable& ids) const {
  std::unordered_map<std::string_view, std::size_t> seen;  // id -> its first row
  seen.reserve(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    std::string_view id = ids.get(i);
    if (slot_of(id) != IdIndex::kNone) return DbError::duplicate_id(std::string(id));
    auto [at, fresh] = seen.emplace(id, i);
    if (!fresh) return DbError::duplicate_in_batch(std::string(id), at->second, i);
  }
  return Status::success();
}

// A stop asked for through progress while the batch is being logged
// abandons it (Cancelled, nothing changed); once it is linked into the graph
// it completes.
Status Database::add_many(const RecordBatch& batch, Progress* progress) {
  HOVRA_RETURN_IF_ERROR(check_batch(batch));
  if (batch.size() == 0) return Status::success();
  HOVRA_RETURN_IF_ERROR(check_owner());
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    HOVRA_RETURN_IF_ERROR(check_new_ids(batch.ids));
    HOVRA_RETURN_IF_ERROR(check_batch_not_held(batch.ids));
    HOVRA_RETURN_IF_ERROR(log_batch(batch, ticket, progress));
    start_phase(progress, "storing", "records", batch.size());
    insert_batch_locked(batch, nullptr, progress);
  }
  release_freed(batch.size());
  return finish_change(ticket, progress);
}

// Stops like add_many: while logging, not once records change.
Status Database::upsert_many(const RecordBatch& batch, Progress* progress) {
  HOVRA_RETURN_IF_ERROR(check_batch(batch));
  if (batch.size() == 0) return Status::success();
  HOVRA_RETURN_IF_ERROR(check_owner());
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    HOVRA_RETURN_IF_ERROR(check_batch_not_held(batch.ids));
    HOVRA_RETURN_IF_ERROR(log_batch(batch, ticket, progress));
    start_phase(progress, "storing", "records", batch.size());
    upsert_batch_locked(batch, progress);
  }
  release_freed(batch.size());
  return finish_change(ticket, progress);
}

namespace {

// For each item of a batch: itself when it is the first with its id or
// its id exists (slots), else the earlier item whose id it repeats. An
// open-addressing table of item numbers keyed by the ids' hashes.
std::vector<std::uint32_t> first_occurrences(const ByteTable& ids, const std::vector<std::uint32_t>& slots,
                                             const std::vector<std::uint32_t>& hashes) {
  const std::size_t n = ids.size();
  std::vector<std::uint32_t> first(n);
  const std::size_t mask = std::bit_ceil(std::max<std::size_t>(16, 2 * n)) - 1;
  std::vector<std::uint32_t> table(mask + 1, IdIndex::kNone);
  for (std::uint32_t i = 0; i < n; ++i) {
    first[i] = i;
    if (slots[i] != IdIndex::kNone) continue;
    for (std::size_t at = hashes[i] & mask;; at = (at + 1) & mask) {
      std::uint32_t item = table[at];
      if (item == IdIndex::kNone) {
        table[at] = i;
        break;
      }
      if (hashes[item] == hashes[i] && ids.get(item) == ids.get(i)) {
        first[i] = item;
        break;
      }
    }
  }
  return first;
}

}  // namespace

// Caller holds the id-map write lock.
void Database::upsert_batch_locked(const RecordBatch& batch, Progress* progress) {
  // Items whose id exists (before or through an earlier item of this
  // batch) replace in batch order; the first occurrence of each new id is
  // inserted.
  const std::size_t n = batch.size();
  // Each item's slot before the batch (replacing records changes none).
  std::vector<std::uint32_t> slots(n), hashes(n);
  id_to_slot_.find_many(batch.ids, ids_by_slot(), slots.data(), hashes.data());
  std::vector<std::uint32_t> first = first_occurrences(batch.ids, slots, hashes);
  std::vector<std::uint32_t> new_items;
  for (std::uint32_t i = 0; i < n; ++i)
    if (slots[i] == IdIndex::kNone && first[i] == i) new_items.push_back(i);
  RowReader read(batch.vectors);
  for (std::size_t i = 0; i < n; ++i) {
    if (slots[i] == IdIndex::kNone) continue;
    replace_record_locked(slots[i], read(i), batch.metadata_of(i), batch.sparse_of(i));
    advance(progress);
  }
  if (new_items.size() == n) insert_batch_locked(batch, nullptr, progress);
  else if (!new_items.empty()) insert_batch_locked(batch, &new_items, progress);
  // Later occurrences of a new id replace the record its first one made.
  for (std::size_t i = 0; i < n; ++i) {
    if (slots[i] != IdIndex::kNone || first[i] == i) continue;
    replace_record_locked(slot_of(batch.ids.get(i)), read(i), batch.metadata_of(i), batch.sparse_of(i));
    advance(progress);
  }
}

}  // namespace hovra
