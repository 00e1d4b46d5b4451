// Prepared batches: the shard's side of a two-phase commit across
// databases. A prepare checks a batch as the plain operation would, logs it
// under a transaction id (a prepare marker and its records, no commit) and
// holds its ids; a resolution logs the outcome and applies the batch or
// drops it. Until then the records are invisible and every other change to
// a held id is refused, so that the batch still applies exactly as it was
// checked. The log keeps an unresolved batch across reopens, and the new
// log a save puts in place begins with the unresolved batches. A reader
// following the log applies a batch only at its committing resolution.
#include <unordered_map>
#include <unordered_set>

#include "core/base/thread_annotations.h"
#include "core/db/database.h"

namespace hovra {

namespace {

std::optional<JsonValue> unpacked(std::optional<PackedValue> metadata) {
  if (!metadata) return std::nullopt;
  return metadata->to_json();
}

// The batch's items as insert records (the log's form of add and upsert).
std::vector<WalRecord> insert_records(const RecordBatch& batch, std::size_t dim) {
  std::vector<WalRecord> records;
  records.reserve(batch.size());
  RowReader read(batch.vectors);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const float* row = read(i);
    WalRecord record = WalRecord::insert(std::string(batch.ids.get(i)), std::vector<float>(row, row + dim),
                                         unpacked(batch.metadata_of(i)));
    if (const SparseVector* sparse = batch.sparse_of(i)) {
      record.has_sparse = true;
      record.sparse = *sparse;
    }
    records.push_back(std::move(record));
  }
  return records;
}

bool all_inserts_of(const std::vector<WalRecord>& records, std::size_t dim) {
  for (const WalRecord& r : records)
    if (r.kind != WalRecord::Kind::Insert || r.vector.size() != dim) return false;
  return true;
}

bool all_deletes(const std::vector<WalRecord>& records) {
  for (const WalRecord& r : records)
    if (r.kind != WalRecord::Kind::Delete) return false;
  return true;
}

}  // namespace

Status Database::check_not_held(std::string_view id) const {
  if (held_ids_.empty()) return Status::success();
  if (held_ids_.count(std::string(id))) return DbError::held(std::string(id));
  return Status::success();
}

Status Database::check_batch_not_held(const ByteTable& ids) const {
  if (held_ids_.empty()) return Status::success();
  for (std::size_t i = 0; i < ids.size(); ++i) HOVRA_RETURN_IF_ERROR(check_not_held(ids.get(i)));
  return Status::success();
}

void Database::hold(const PreparedLog& batch) {
  for (const WalRecord& r : batch.records) held_ids_.emplace(r.id, batch.transaction);
}

// Caller holds the id-map write lock; takes the WAL mutex.
Status Database::prepare_records(const std::string& transaction, std::vector<WalRecord> records,
                                 std::uint64_t& ticket) {
  for (const PreparedLog& pending : prepared_)
    if (pending.transaction == transaction) return DbError::held(transaction);
  HOVRA_RETURN_IF_ERROR(check_owner());
  {
    MutexLock w(wal_mutex_);
    WalBatch batch(*wal_, static_cast<std::uint32_t>(records.size()), &transaction);
    HOVRA_RETURN_IF_ERROR(batch.begin());
    for (const WalRecord& record : records) HOVRA_RETURN_IF_ERROR(batch.add(record));
    HOVRA_RETURN_IF_ERROR(batch.commit());
    ticket = wal_->appended();
    count_logged(records.size());
  }
  PreparedLog prepared{transaction, std::move(records)};
  hold(prepared);
  prepared_.push_back(std::move(prepared));
  return Status::success();
}

Status Database::prepare_add_many(const std::string& transaction, const RecordBatch& batch) {
  HOVRA_RETURN_IF_ERROR(check_batch(batch));
  if (batch.size() == 0) return Status::success();
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    HOVRA_RETURN_IF_ERROR(check_new_ids(batch.ids));
    HOVRA_RETURN_IF_ERROR(check_batch_not_held(batch.ids));
    HOVRA_RETURN_IF_ERROR(prepare_records(transaction, insert_records(batch, dim_), ticket));
  }
  return durable(ticket);
}

Status Database::prepare_upsert_many(const std::string& transaction, const RecordBatch& batch) {
  HOVRA_RETURN_IF_ERROR(check_batch(batch));
  if (batch.size() == 0) return Status::success();
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    HOVRA_RETURN_IF_ERROR(check_batch_not_held(batch.ids));
    HOVRA_RETURN_IF_ERROR(prepare_records(transaction, insert_records(batch, dim_), ticket));
  }
  return durable(ticket);
}

// Caller holds the id-map write lock. Logs the removal of ids (each held
// by the database, none twice) as one prepared batch; nothing for none.
Status Database::prepare_removals(const std::string& transaction, const std::vector<std::string_view>& ids,
                                  std::uint64_t& ticket) {
  if (ids.empty()) return Status::success();
  std::vector<WalRecord> records;
  records.reserve(ids.size());
  for (std::string_view id : ids) {
    HOVRA_RETURN_IF_ERROR(check_not_held(id));
    records.push_back(WalRecord::remove(std::string(id)));
  }
  return prepare_records(transaction, std::move(records), ticket);
}

Result<std::size_t> Database::prepare_delete_many(const std::string& transaction, const ByteTable& ids) {
  std::uint64_t ticket = 0;
  std::size_t count = 0;
  {
    WriteLock id_lock(id_map_lock_);
    std::vector<std::string_view> present;
    std::unordered_set<std::string_view> seen;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      std::string_view id = ids.get(i);
      if (slot_of(id) != IdIndex::kNone && seen.insert(id).second) present.push_back(id);
    }
    HOVRA_RETURN_IF_ERROR(prepare_removals(transaction, present, ticket));
    count = present.size();
  }
  if (count == 0) return std::size_t{0};
  Status st = durable(ticket);
  if (!st.ok()) return st.error();
  return count;
}

Result<std::size_t> Database::prepare_delete_where(const std::string& transaction, const Filter& filter) {
  std::uint64_t ticket = 0;
  std::size_t count = 0;
  {
    WriteLock id_lock(id_map_lock_);
    std::vector<std::string_view> matching;
    for (std::uint32_t slot : matching_slots(filter)) matching.push_back(ids_by_slot().get(slot));
    HOVRA_RETURN_IF_ERROR(prepare_removals(transaction, matching, ticket));
    count = matching.size();
  }
  if (count == 0) return std::size_t{0};
  Status st = durable(ticket);
  if (!st.ok()) return st.error();
  return count;
}

// Caller holds the id-map write lock. Inserts and deletes (what prepares
// log) apply as one batch; anything else a log may hold, record by record.
void Database::apply_prepared_locked(const std::vector<WalRecord>& records) {
  if (records.empty()) return;
  if (all_inserts_of(records, dim_)) {
    apply_insert_run_locked(records.data(), records.size());
  } else if (all_deletes(records)) {
    std::vector<std::uint32_t> slots;
    for (const WalRecord& r : records) {
      std::uint32_t slot = forget_id_locked(r.id);
      if (slot != IdIndex::kNone) slots.push_back(slot);
    }
    clear_slots(slots);
  } else {
    for (const WalRecord& r : records) apply_logged_locked(r);
  }
  release_freed(records.size());
}

// Holds the id-map write lock from the look-up through the change; takes
// the WAL mutex for the resolution.
Result<bool> Database::resolve_prepared(const std::string& transaction, bool commit) {
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    auto found = prepared_.begin();
    while (found != prepared_.end() && found->transaction != transaction) ++found;
    if (found == prepared_.end()) return false;
    HOVRA_RETURN_IF_ERROR(check_owner());
    {
      MutexLock w(wal_mutex_);
      HOVRA_RETURN_IF_ERROR(wal_->append_frame(encode_resolution(transaction, commit)));
      ticket = wal_->appended();
      count_logged(1);
    }
    PreparedLog batch = std::move(*found);
    prepared_.erase(found);
    for (const WalRecord& r : batch.records) {
      auto held = held_ids_.find(r.id);
      if (held != held_ids_.end() && held->second == transaction) held_ids_.erase(held);
    }
    if (commit) apply_prepared_locked(batch.records);
  }
  // A committed batch's new records are fresh: the linker takes them.
  Status st = finish_change(ticket);
  if (!st.ok()) return st.error();
  return true;
}

std::vector<PreparedLog> Database::pending_prepared() const {
  ReadLock ids(id_map_lock_);
  return prepared_;
}

void Database::follow_prepared(std::vector<PreparedLog> batches) {
  WriteLock ids(id_map_lock_);
  held_ids_.clear();
  prepared_ = std::move(batches);
  for (const PreparedLog& batch : prepared_) hold(batch);
}

std::vector<std::string> Database::prepared_transactions() const {
  ReadLock ids(id_map_lock_);
  std::vector<std::string> out;
  for (const PreparedLog& batch : prepared_) out.push_back(batch.transaction);
  return out;
}

}  // namespace hovra
