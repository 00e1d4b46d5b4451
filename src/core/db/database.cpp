// Database operations on records: add, upsert, update, delete, get, the
// batches, searches, counting, ids, compaction, the quantization switches
// and statistics.
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

#include "core/base/thread_pool.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_set>

namespace hovra {

namespace {
using ReadLock = std::shared_lock<std::shared_mutex>;
using WriteLock = std::unique_lock<std::shared_mutex>;

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

// Sorts distinct slots below `total` ascending: a comparison sort for a
// few, one bit per slot for many (no log factor).
void put_in_slot_order(std::vector<std::uint32_t>& slots, std::size_t total) {
  std::size_t n = slots.size();
  if (n * std::bit_width(n) * 16 < total) {
    std::sort(slots.begin(), slots.end());
    return;
  }
  std::vector<std::uint64_t> bits((total + 63) / 64, 0);
  for (std::uint32_t s : slots)
    if (s < total) bits[s >> 6] |= std::uint64_t{1} << (s & 63);
  slots.clear();
  for (std::size_t w = 0; w < bits.size(); ++w)
    for (std::uint64_t word = bits[w]; word != 0; word &= word - 1)
      slots.push_back(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(word))));
}

}  // namespace

std::size_t default_ef(std::size_t k) {
  double ef = static_cast<double>(k) + std::floor(10.0 * std::sqrt(static_cast<double>(k)));
  ef = std::max(200.0, ef);
  if (ef >= 18446744073709551615.0) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(ef);
}

Database::~Database() {
  // A forked child's copy leaves the log alone: a thread of the parent may
  // have held the WAL mutex when the child was forked.
  if (current_process_id() != owner_pid_) return;
  std::lock_guard<std::mutex> g(wal_mutex_);
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
  if (!all_finite(vector.data(), vector.size())) return DbError::non_finite_vector(id);
  return Status::success();
}

// Every length first, then every value: the first offending item names the
// error.
Status Database::check_batch(const std::vector<RecordInput>& items) const {
  for (const auto& item : items)
    if (item.vector.size() != dim_) return DbError::dimension_mismatch(dim_, item.vector.size());
  for (const auto& item : items)
    if (!all_finite(item.vector.data(), item.vector.size())) return DbError::non_finite_vector(item.id);
  return Status::success();
}

// Takes the WAL mutex.
Status Database::log_one(const WalRecord& record, std::uint64_t& ticket) {
  std::lock_guard<std::mutex> w(wal_mutex_);
  HOVRA_RETURN_IF_ERROR(wal_->append(record));
  ticket = wal_->appended();
  return Status::success();
}

// Takes the WAL mutex. The batch's records replay all or nothing; a batch
// that fails part-way, or is stopped through progress before its commit
// marker, is cut out of the log again.
Status Database::log_batch(const std::vector<RecordInput>& items, std::uint64_t& ticket, Progress* progress) {
  std::lock_guard<std::mutex> w(wal_mutex_);
  start_phase(progress, "logging", "records", items.size());
  WalBatch batch(*wal_, static_cast<std::uint32_t>(items.size()));
  HOVRA_RETURN_IF_ERROR(batch.begin());
  for (const auto& item : items) {
    if (stop_requested(progress)) return DbError::cancelled();
    HOVRA_RETURN_IF_ERROR(batch.add(WalRecord::insert(item.id, item.vector, item.metadata)));
    advance(progress);
  }
  // Between the records and the commit marker: a batch abandoned here
  // (returning before commit) leaves nothing in the log.
  if (stop_requested(progress)) return DbError::cancelled();
  HOVRA_RETURN_IF_ERROR(batch.commit());
  ticket = wal_->appended();
  return Status::success();
}

// Called holding no lock. Takes the group-commit mutex, and the WAL mutex
// (never both at once) to read the log's handle or to refuse later appends
// after a failed sync.
Status Database::durable(std::uint64_t ticket) {
  if (!sync_writes_.load(std::memory_order_acquire)) return Status::success();
  Status st = group_commit_.wait(ticket, [&] {
    std::lock_guard<std::mutex> w(wal_mutex_);
    return GroupCommit::Snapshot{wal_->sync_handle(), wal_->appended()};
  });
  if (!st.ok()) {
    std::lock_guard<std::mutex> w(wal_mutex_);
    wal_->mark_broken(st.error());
  }
  return st;
}

// Takes the WAL mutex.
void Database::require_sync_writes() {
  std::lock_guard<std::mutex> w(wal_mutex_);
  if (sync_writes_.exchange(true)) return;
  wal_->sync_directory_on_create(dir_.empty() ? "." : dir_);
}

Metric Database::metric() const {
  ReadLock ix(index_lock_);
  return index_->metric();
}

// Caller holds the id-map write lock. Takes index, slot-ids, metadata and
// metadata-index write locks in order.
void Database::apply_insert_locked(const std::string& id, const float* vector, std::optional<JsonValue> metadata) {
  WriteLock ix(index_lock_);
  std::uint32_t slot = index_->insert(vector, dim_);
  WriteLock si(slot_ids_lock_);
  WriteLock md(metadata_lock_);
  WriteLock mi(metadata_index_lock_);
  record_slot_locked(slot, id, std::move(metadata));
}

// Caller holds the id-map, slot-ids, metadata and metadata-index write
// locks: the tables of a newly inserted slot.
void Database::record_slot_locked(std::uint32_t slot, const std::string& id, std::optional<JsonValue> metadata) {
  id_to_slot_[id] = slot;
  if (slot_ids_.size() < slot) slot_ids_.resize(slot);
  if (slot_metadata_.size() < slot) slot_metadata_.resize(slot);
  slot_ids_.push_back(id);
  metadata_index_.add(slot, metadata ? &*metadata : nullptr);
  slot_metadata_.push_back(std::move(metadata));
}

// Caller holds the id-map write lock. Inserts the items' vectors as one
// batch and records their tables; takes the index, slot-ids, metadata and
// metadata-index write locks in order.
void Database::insert_batch_locked(const std::vector<RecordInput*>& items, Progress* progress) {
  std::vector<const float*> vectors;
  std::vector<std::size_t> lens;
  for (const RecordInput* item : items) {
    vectors.push_back(item->vector.data());
    lens.push_back(item->vector.size());
  }
  WriteLock ix(index_lock_);
  std::vector<std::uint32_t> slots = index_->insert_batch(vectors, lens, progress);
  WriteLock si(slot_ids_lock_);
  WriteLock md(metadata_lock_);
  WriteLock mi(metadata_index_lock_);
  for (std::size_t i = 0; i < items.size(); ++i) record_slot_locked(slots[i], items[i]->id, items[i]->metadata);
}

// Caller holds the id-map write lock: replaces an existing record's vector
// and metadata in place.
void Database::replace_record_locked(std::uint32_t slot, const std::vector<float>& vector,
                                     std::optional<JsonValue> metadata) {
  {
    WriteLock ix(index_lock_);
    index_->update_vector(slot, vector.data(), vector.size());
  }
  replace_metadata(slot, std::move(metadata));
}

// Takes the metadata lock, then the metadata-index lock.
void Database::replace_metadata(std::uint32_t slot, std::optional<JsonValue> metadata) {
  WriteLock md(metadata_lock_);
  WriteLock mi(metadata_index_lock_);
  auto& current = slot_metadata_.at(slot);
  metadata_index_.remove(slot, current ? &*current : nullptr);
  metadata_index_.add(slot, metadata ? &*metadata : nullptr);
  mi.unlock();
  current = std::move(metadata);
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
    if (slot < slot_ids_.size()) slot_ids_[slot].clear();
  }
  WriteLock md(metadata_lock_);
  WriteLock mi(metadata_index_lock_);
  if (slot < slot_metadata_.size()) {
    auto& current = slot_metadata_[slot];
    metadata_index_.remove(slot, current ? &*current : nullptr);
    mi.unlock();
    current.reset();
  }
}

Status Database::add(const std::string& id, const std::vector<float>& vector, std::optional<JsonValue> metadata) {
  HOVRA_RETURN_IF_ERROR(check_vector(id, vector));
  HOVRA_RETURN_IF_ERROR(check_owner());
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    if (id_to_slot_.count(id)) return DbError::duplicate_id(id);
    HOVRA_RETURN_IF_ERROR(log_one(WalRecord::insert(id, vector, metadata), ticket));
    apply_insert_locked(id, vector.data(), std::move(metadata));
  }
  return durable(ticket);
}

Status Database::upsert(const std::string& id, const std::vector<float>& vector, std::optional<JsonValue> metadata) {
  HOVRA_RETURN_IF_ERROR(check_vector(id, vector));
  HOVRA_RETURN_IF_ERROR(check_owner());
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    HOVRA_RETURN_IF_ERROR(log_one(WalRecord::insert(id, vector, metadata), ticket));
    auto it = id_to_slot_.find(id);
    if (it == id_to_slot_.end())
      apply_insert_locked(id, vector.data(), std::move(metadata));
    else
      replace_record_locked(it->second, vector, std::move(metadata));
  }
  return durable(ticket);
}

Status Database::update(const std::string& id, const std::vector<float>* vector, const JsonValue* metadata) {
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    auto it = id_to_slot_.find(id);
    if (it == id_to_slot_.end()) return DbError::not_found(id);
    if (vector) HOVRA_RETURN_IF_ERROR(check_vector(id, *vector));
    HOVRA_RETURN_IF_ERROR(check_owner());
    std::uint32_t slot = it->second;
    HOVRA_RETURN_IF_ERROR(log_one(WalRecord::update(id, vector, metadata), ticket));
    if (vector) {
      WriteLock ix(index_lock_);
      index_->update_vector(slot, vector->data(), vector->size());
    }
    if (metadata) replace_metadata(slot, *metadata);
  }
  return durable(ticket);
}

// A failed log append leaves the record fully present.
Result<bool> Database::remove(const std::string& id) {
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    auto it = id_to_slot_.find(id);
    if (it == id_to_slot_.end()) return false;
    HOVRA_RETURN_IF_ERROR(check_owner());
    HOVRA_RETURN_IF_ERROR(log_one(WalRecord::remove(id), ticket));
    std::uint32_t slot = it->second;
    id_to_slot_.erase(it);
    clear_slot(slot);
  }
  Status st = durable(ticket);
  if (!st.ok()) return st.error();
  return true;
}

// Holds the id-map read lock while reading the slot's vector and metadata.
Result<RecordView> Database::get(const std::string& id) const {
  ReadLock ids(id_map_lock_);
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end()) return DbError::not_found(id);
  std::uint32_t slot = it->second;
  RecordView view;
  {
    ReadLock ix(index_lock_);
    if (slot >= index_->node_count()) return DbError::corrupt_data("vector slot missing");
    const float* v = index_->vector(slot);
    view.vector.assign(v, v + dim_);
  }
  ReadLock md(metadata_lock_);
  if (slot < slot_metadata_.size()) view.metadata = slot_metadata_[slot];
  return view;
}

bool Database::contains(const std::string& id) const {
  ReadLock ids(id_map_lock_);
  return id_to_slot_.count(id) != 0;
}

std::size_t Database::len() const {
  ReadLock ix(index_lock_);
  return index_->live_count();
}

std::optional<std::size_t> Database::try_len() const {
  ReadLock ix(index_lock_, std::try_to_lock);
  if (!ix.owns_lock()) return std::nullopt;
  return index_->live_count();
}

// A stop asked for through progress while the batch is being logged
// abandons it (Cancelled, nothing changed); once it is linked into the graph
// it completes.
Status Database::add_many(std::vector<RecordInput> items, Progress* progress) {
  HOVRA_RETURN_IF_ERROR(check_batch(items));
  if (items.empty()) return Status::success();
  HOVRA_RETURN_IF_ERROR(check_owner());
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    std::unordered_set<std::string_view> seen;
    for (const auto& item : items) {
      if (id_to_slot_.count(item.id) || !seen.insert(item.id).second) return DbError::duplicate_id(item.id);
    }
    HOVRA_RETURN_IF_ERROR(log_batch(items, ticket, progress));
    start_phase(progress, "linking", "records", items.size());
    std::vector<RecordInput*> all;
    for (auto& item : items) all.push_back(&item);
    insert_batch_locked(all, progress);
  }
  return durable(ticket);
}

// Stops like add_many: while logging, not once records change.
Status Database::upsert_many(std::vector<RecordInput> items, Progress* progress) {
  HOVRA_RETURN_IF_ERROR(check_batch(items));
  if (items.empty()) return Status::success();
  HOVRA_RETURN_IF_ERROR(check_owner());
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    HOVRA_RETURN_IF_ERROR(log_batch(items, ticket, progress));
    start_phase(progress, "linking", "records", items.size());
    // Items whose id exists (before or through an earlier item of this
    // batch) replace in batch order; the first occurrence of each new id is
    // inserted.
    std::unordered_map<std::string_view, std::size_t> first_new;
    std::vector<RecordInput*> new_items;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (id_to_slot_.count(items[i].id) || first_new.count(items[i].id)) continue;
      first_new.emplace(items[i].id, i);
      new_items.push_back(&items[i]);
    }
    for (auto& item : items) {
      auto it = id_to_slot_.find(item.id);
      if (it == id_to_slot_.end()) continue;
      replace_record_locked(it->second, item.vector, item.metadata);
      advance(progress);
    }
    if (!new_items.empty()) insert_batch_locked(new_items, progress);
    // Later occurrences of a new id replace the record its first one made.
    for (std::size_t i = 0; i < items.size(); ++i) {
      auto f = first_new.find(items[i].id);
      if (f == first_new.end() || f->second == i) continue;
      replace_record_locked(id_to_slot_.at(items[i].id), items[i].vector, items[i].metadata);
      advance(progress);
    }
  }
  return durable(ticket);
}

// Caller holds the index, slot-ids and metadata read locks.
std::vector<Hit> Database::run_search(const float* query, std::size_t k, std::size_t ef,
                                      const FilterScope& scope) const {
  if (!scope.filter) return index_->search(query, dim_, k, ef);
  const CandidateView& candidates = scope.candidates;
  auto predicate = [&](std::uint32_t slot) {
    if (candidates.answered() && !candidates.contains(slot)) return false;
    if (scope.decided_by_candidates) return true;
    const auto& md = slot_metadata_.at(slot);
    return matches(*scope.filter, md ? &*md : nullptr);
  };
  auto list = [&] { return scan_list(scope); };
  SlotFilter filter{predicate, scope.bound, list};
  return index_->search_filtered(query, dim_, k, ef, filter);
}

// The slots an exact scan of the scope's filter visits, ascending: the
// candidate set or the slots of the filter's narrowest numeric range,
// whichever is smaller; none when only a pass over every slot can tell.
// Listed once per scope, by whichever query needs it first. Caller holds
// the index read lock; the scope holds the metadata-index read lock.
ScanList Database::scan_list(const FilterScope& scope) const {
  ScanSlots& scan = *scope.scan;
  if (!scan.listed.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> guard(scan.mutex);
    if (!scan.listed.load(std::memory_order_relaxed)) {
      std::optional<FieldRange> range = narrowest_range(*scope.filter, metadata_index_);
      std::vector<std::uint32_t> slots;
      if (scope.candidates.answered() && (!range || scope.candidates.slots().size() <= range->count)) {
        const SlotSet& set = scope.candidates.slots();
        slots.assign(set.begin(), set.end());
        scan.all_pass = scope.decided_by_candidates;
      } else if (range) {
        metadata_index_.numbers().collect(*range->field, range->range, slots);
        scan.all_pass = decided_by_range(*scope.filter);
      }
      if (scope.candidates.answered() || range) {
        put_in_slot_order(slots, index_->node_count());
        scan.slots = std::move(slots);
      }
      scan.listed.store(true, std::memory_order_release);
    }
  }
  return {scan.slots ? &*scan.slots : nullptr, scan.all_pass};
}

// Caller holds the slot-ids and metadata read locks.
std::vector<SearchHit> Database::assemble(const std::vector<Hit>& hits, std::optional<float> max_distance) const {
  std::vector<SearchHit> out;
  out.reserve(hits.size());
  for (const Hit& h : hits) {
    if (max_distance && !(h.distance <= *max_distance)) continue;
    SearchHit hit;
    hit.id = slot_ids_.at(h.slot);
    hit.distance = h.distance;
    hit.metadata = slot_metadata_.at(h.slot);
    out.push_back(std::move(hit));
  }
  return out;
}

// Caller holds the index, slot-ids and metadata read locks; the scope holds
// the metadata-index read lock (last in the lock order) while its candidate
// set is in use. Every change to the metadata index also needs the metadata
// write lock, so the set an equality filter borrows from the index cannot
// change under a search.
Database::FilterScope Database::filter_scope(const Filter* filter) const {
  FilterScope scope;
  scope.filter = filter;
  if (!filter) return scope;
  scope.metadata_index_lock = ReadLock(metadata_index_lock_);
  scope.candidates = candidate_view(*filter, metadata_index_);
  scope.decided_by_candidates = scope.candidates.answered() && decided_by_candidates(*filter);
  scope.bound = match_bound(*filter, metadata_index_, index_->live_count());
  if (scope.candidates.answered()) scope.bound = std::min(scope.bound, scope.candidates.slots().size());
  scope.scan = std::make_unique<ScanSlots>();
  return scope;
}

// Takes the index, slot-ids and metadata read locks (and, briefly, the
// metadata-index read lock) in order.
Result<std::vector<SearchHit>> Database::search(const std::vector<float>& query, const SearchParams& params) const {
  std::size_t ef = params.ef_search ? *params.ef_search : default_ef(params.k);
  if (query.size() != dim_) return DbError::dimension_mismatch(dim_, query.size());
  if (!all_finite(query.data(), query.size())) return DbError::non_finite_query();
  ReadLock ix(index_lock_);
  ReadLock si(slot_ids_lock_);
  ReadLock md(metadata_lock_);
  FilterScope scope = filter_scope(params.filter);
  std::vector<Hit> hits = run_search(query.data(), params.k, ef, scope);
  return assemble(hits, params.max_distance);
}

// A stop asked for through progress skips the queries not yet searched
// and fails the call with Cancelled.
Result<std::vector<std::vector<SearchHit>>> Database::search_many(const std::vector<std::vector<float>>& queries,
                                                                  const SearchParams& params,
                                                                  Progress* progress) const {
  std::size_t ef = params.ef_search ? *params.ef_search : default_ef(params.k);
  for (const auto& q : queries)
    if (q.size() != dim_) return DbError::dimension_mismatch(dim_, q.size());
  for (const auto& q : queries)
    if (!all_finite(q.data(), q.size())) return DbError::non_finite_query();
  std::vector<std::vector<SearchHit>> out;
  if (queries.empty()) return out;
  ReadLock ix(index_lock_);
  ReadLock si(slot_ids_lock_);
  ReadLock md(metadata_lock_);
  FilterScope scope = filter_scope(params.filter);
  start_phase(progress, "searching", "queries", queries.size());
  std::vector<std::vector<Hit>> hits;
  if (!scope.filter) {
    std::vector<const float*> pointers;
    pointers.reserve(queries.size());
    for (const auto& q : queries) pointers.push_back(q.data());
    hits = index_->search_batch(pointers, params.k, ef, progress);
  } else {
    hits.resize(queries.size());
    parallel_for(queries.size(), [&](std::size_t i) {
      if (stop_requested(progress)) return;
      hits[i] = run_search(queries[i].data(), params.k, ef, scope);
      advance(progress);
    });
  }
  if (stop_requested(progress)) return DbError::cancelled();
  out.reserve(queries.size());
  for (const auto& h : hits) out.push_back(assemble(h, params.max_distance));
  return out;
}

// Takes the index, metadata and metadata-index read locks in order and
// holds them together, so the candidate slots are used in the state they
// were read from (a compaction renumbers slots under all write locks).
std::size_t Database::count(const Filter* filter) const {
  if (!filter) return len();
  ReadLock ix(index_lock_);
  ReadLock md(metadata_lock_);
  ReadLock mi(metadata_index_lock_);
  std::optional<SlotSet> candidates = candidate_slots(*filter, metadata_index_);
  auto satisfies = [&](std::uint32_t slot) {
    if (index_->is_deleted(slot)) return false;
    const auto& m = slot_metadata_.at(slot);
    return matches(*filter, m ? &*m : nullptr);
  };
  std::size_t n = 0;
  if (candidates) {
    for (std::uint32_t slot : *candidates) n += satisfies(slot);
  } else {
    for (std::uint32_t slot = 0; slot < index_->node_count(); ++slot) n += satisfies(slot);
  }
  return n;
}

std::vector<std::string> Database::ids() const {
  ReadLock ids(id_map_lock_);
  std::vector<std::string> out;
  out.reserve(id_to_slot_.size());
  for (const auto& [id, slot] : id_to_slot_) out.push_back(id);
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
  }
  if (stop_requested(progress)) return DbError::cancelled();
  WriteLock ix(index_lock_);
  // A quantization switch may have run since the copy was taken: the new
  // index follows the old one's state now, so the last switch wins.
  if (index_->quantizer() && !fresh->quantizer())
    fresh->enable_quantization();
  else if (!index_->quantizer() && fresh->quantizer())
    fresh->disable_quantization();
  WriteLock si(slot_ids_lock_);
  WriteLock md(metadata_lock_);
  WriteLock mi(metadata_index_lock_);
  std::vector<std::string> new_ids(live.size());
  std::vector<std::optional<JsonValue>> new_metadata(live.size());
  std::unordered_map<std::uint32_t, std::uint32_t> renumber;
  for (std::uint32_t i = 0; i < live.size(); ++i) {
    renumber[live[i]] = i;
    new_ids[i] = std::move(slot_ids_.at(live[i]));
    new_metadata[i] = std::move(slot_metadata_.at(live[i]));
  }
  for (auto& [id, slot] : id_to_slot_) slot = renumber.at(slot);
  MetadataIndex rebuilt;
  for (std::uint32_t i = 0; i < new_metadata.size(); ++i)
    rebuilt.add(i, new_metadata[i] ? &*new_metadata[i] : nullptr);
  slot_ids_ = std::move(new_ids);
  slot_metadata_ = std::move(new_metadata);
  metadata_index_ = std::move(rebuilt);
  index_ = std::move(fresh);
  return Status::success();
}

void Database::enable_quantized_search() {
  WriteLock ix(index_lock_);
  index_->enable_quantization();
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

IndexStats Database::stats() const {
  ReadLock ix(index_lock_);
  return index_->stats();
}

}  // namespace hovra
