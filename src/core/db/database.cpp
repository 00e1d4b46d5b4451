// Database operations on records: add, upsert, update, delete, get, the
// batches, ids, compaction, the quantization switches and statistics
// (searches and counting are in database_search.cpp).
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

std::size_t default_ef(std::size_t k) {
  double ef = static_cast<double>(k) + std::floor(kDefaultEfSqrtFactor * std::sqrt(static_cast<double>(k)));
  ef = std::max(static_cast<double>(kDefaultEfFloor), ef);
  if (ef >= 18446744073709551615.0) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(ef);
}

Database::~Database() {
  stop_linker();
  // A forked child's copy leaves the log alone: a thread of the parent may
  // have held the WAL mutex when the child was forked. Nor does the
  // child have the parent's text builder thread to wait for.
  if (current_process_id() != owner_pid_) {
    detach_text_builder();
    return;
  }
  stop_text_builder();
  MutexLock g(wal_mutex_);
  if (wal_) wal_->close_writer();
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
  slot_ids_.reserve_more(n, 0);
  slot_metadata_.reserve_more(n, 0);
  id_to_slot_.reserve(id_to_slot_.size() + n);
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
  text_set(slot, metadata);
}

// Large changes free large temporary blocks (lists being relinked, copies
// of rows, grown arrays); hand their pages back to the system. Below this
// many records the blocks are small and trimming would cost more than it
// returns.
constexpr std::size_t kTrimAfterItems = 1024;

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

// Caller holds the id-map write lock.
void Database::upsert_batch_locked(const RecordBatch& batch, Progress* progress) {
  // Items whose id exists (before or through an earlier item of this
  // batch) replace in batch order; the first occurrence of each new id is
  // inserted.
  std::unordered_map<std::string_view, std::uint32_t> first_new;
  first_new.reserve(batch.size());
  std::vector<std::uint32_t> new_items;
  for (std::uint32_t i = 0; i < batch.size(); ++i) {
    std::string_view id = batch.ids.get(i);
    if (slot_of(id) != IdIndex::kNone || first_new.count(id)) continue;
    first_new.emplace(id, i);
    new_items.push_back(i);
  }
  RowReader read(batch.vectors);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    std::uint32_t slot = slot_of(batch.ids.get(i));
    if (slot == IdIndex::kNone) continue;
    replace_record_locked(slot, read(i), batch.metadata_of(i), batch.sparse_of(i));
    advance(progress);
  }
  if (new_items.size() == batch.size()) insert_batch_locked(batch, nullptr, progress);
  else if (!new_items.empty()) insert_batch_locked(batch, &new_items, progress);
  // Later occurrences of a new id replace the record its first one made.
  for (std::size_t i = 0; i < batch.size(); ++i) {
    std::string_view id = batch.ids.get(i);
    auto f = first_new.find(id);
    if (f == first_new.end() || f->second == i) continue;
    replace_record_locked(slot_of(id), read(i), batch.metadata_of(i), batch.sparse_of(i));
    advance(progress);
  }
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
  compacted_unsaved_.store(true);
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
          {"heap_in_use", heap.in_use},
          {"heap_free", heap.free_held},
          {"resident", heap.resident}};
}

IndexStats Database::stats() const {
  ReadLock ix(index_lock_);
  return index_->stats();
}

}  // namespace hovra
