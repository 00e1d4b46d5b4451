// Database operations on records: add, upsert, update, delete, get, the
// batches, searches, counting, ids, compaction, the quantization switches
// and statistics.
//
// Every change takes the id-map write lock before it appends its log record
// and keeps it until the change is applied, so memory applies changes in
// the order the log holds them and a reopen reproduces memory exactly.
// Operations that look a slot up keep the id-map lock while they use it, so
// a compaction (which renumbers slots under the id-map write lock) never
// invalidates a slot in use.
#include "core/db/database.h"

#include "core/base/thread_pool.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

namespace hovra {

namespace {
using ReadLock = std::shared_lock<std::shared_mutex>;
using WriteLock = std::unique_lock<std::shared_mutex>;
}  // namespace

std::size_t default_ef(std::size_t k) {
  double ef = static_cast<double>(k) + std::floor(10.0 * std::sqrt(static_cast<double>(k)));
  ef = std::max(200.0, ef);
  if (ef >= 18446744073709551615.0) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(ef);
}

Database::~Database() {
  std::lock_guard<std::mutex> g(wal_mutex_);
  if (wal_) wal_->close_writer();
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
void Database::insert_batch_locked(const std::vector<RecordInput*>& items) {
  std::vector<const float*> vectors;
  std::vector<std::size_t> lens;
  for (const RecordInput* item : items) {
    vectors.push_back(item->vector.data());
    lens.push_back(item->vector.size());
  }
  WriteLock ix(index_lock_);
  std::vector<std::uint32_t> slots = index_->insert_batch(vectors, lens);
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
  if (vector.size() != dim_) return DbError::dimension_mismatch(dim_, vector.size());
  WriteLock ids(id_map_lock_);
  if (id_to_slot_.count(id)) return DbError::duplicate_id(id);
  {
    std::lock_guard<std::mutex> w(wal_mutex_);
    HOVRA_RETURN_IF_ERROR(wal_->append(WalRecord::insert(id, vector, metadata)));
  }
  apply_insert_locked(id, vector.data(), std::move(metadata));
  return Status::success();
}

Status Database::upsert(const std::string& id, const std::vector<float>& vector, std::optional<JsonValue> metadata) {
  if (vector.size() != dim_) return DbError::dimension_mismatch(dim_, vector.size());
  WriteLock ids(id_map_lock_);
  {
    std::lock_guard<std::mutex> w(wal_mutex_);
    HOVRA_RETURN_IF_ERROR(wal_->append(WalRecord::insert(id, vector, metadata)));
  }
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end())
    apply_insert_locked(id, vector.data(), std::move(metadata));
  else
    replace_record_locked(it->second, vector, std::move(metadata));
  return Status::success();
}

Status Database::update(const std::string& id, const std::vector<float>* vector, const JsonValue* metadata) {
  WriteLock ids(id_map_lock_);
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end()) return DbError::not_found(id);
  if (vector && vector->size() != dim_) return DbError::dimension_mismatch(dim_, vector->size());
  std::uint32_t slot = it->second;
  {
    std::lock_guard<std::mutex> w(wal_mutex_);
    HOVRA_RETURN_IF_ERROR(wal_->append(WalRecord::update(id, vector, metadata)));
  }
  if (vector) {
    WriteLock ix(index_lock_);
    index_->update_vector(slot, vector->data(), vector->size());
  }
  if (metadata) replace_metadata(slot, *metadata);
  return Status::success();
}

// A failed log append leaves the record fully present.
Result<bool> Database::remove(const std::string& id) {
  WriteLock ids(id_map_lock_);
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end()) return false;
  {
    std::lock_guard<std::mutex> w(wal_mutex_);
    Status st = wal_->append(WalRecord::remove(id));
    if (!st.ok()) return st.error();
  }
  std::uint32_t slot = it->second;
  id_to_slot_.erase(it);
  clear_slot(slot);
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

Status Database::add_many(std::vector<RecordInput> items) {
  for (const auto& item : items)
    if (item.vector.size() != dim_) return DbError::dimension_mismatch(dim_, item.vector.size());
  if (items.empty()) return Status::success();
  WriteLock ids(id_map_lock_);
  std::unordered_set<std::string_view> seen;
  for (const auto& item : items) {
    if (id_to_slot_.count(item.id) || !seen.insert(item.id).second) return DbError::duplicate_id(item.id);
  }
  {
    std::lock_guard<std::mutex> w(wal_mutex_);
    for (const auto& item : items)
      HOVRA_RETURN_IF_ERROR(wal_->append(WalRecord::insert(item.id, item.vector, item.metadata)));
  }
  std::vector<RecordInput*> all;
  for (auto& item : items) all.push_back(&item);
  insert_batch_locked(all);
  return Status::success();
}

Status Database::upsert_many(std::vector<RecordInput> items) {
  for (const auto& item : items)
    if (item.vector.size() != dim_) return DbError::dimension_mismatch(dim_, item.vector.size());
  if (items.empty()) return Status::success();
  WriteLock ids(id_map_lock_);
  {
    std::lock_guard<std::mutex> w(wal_mutex_);
    for (const auto& item : items)
      HOVRA_RETURN_IF_ERROR(wal_->append(WalRecord::insert(item.id, item.vector, item.metadata)));
  }
  // Items whose id exists (before or through an earlier item of this batch)
  // replace in batch order; the first occurrence of each new id is inserted.
  std::unordered_map<std::string_view, std::size_t> first_new;
  std::vector<RecordInput*> new_items;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (id_to_slot_.count(items[i].id) || first_new.count(items[i].id)) continue;
    first_new.emplace(items[i].id, i);
    new_items.push_back(&items[i]);
  }
  for (auto& item : items) {
    auto it = id_to_slot_.find(item.id);
    if (it != id_to_slot_.end()) replace_record_locked(it->second, item.vector, item.metadata);
  }
  if (!new_items.empty()) insert_batch_locked(new_items);
  // Later occurrences of a new id replace the record its first one made.
  for (std::size_t i = 0; i < items.size(); ++i) {
    auto f = first_new.find(items[i].id);
    if (f == first_new.end() || f->second == i) continue;
    replace_record_locked(id_to_slot_.at(items[i].id), items[i].vector, items[i].metadata);
  }
  return Status::success();
}

// Caller holds the index, slot-ids and metadata read locks.
std::vector<Hit> Database::run_search(const float* query, std::size_t k, std::size_t ef,
                                      const FilterScope& scope) const {
  if (!scope.filter) return index_->search(query, dim_, k, ef);
  const CandidateView& candidates = scope.candidates;
  auto predicate = [&](std::uint32_t slot) {
    if (candidates.answered() && !candidates.contains(slot)) return false;
    const auto& md = slot_metadata_.at(slot);
    return matches(*scope.filter, md ? &*md : nullptr);
  };
  return index_->search_filtered(query, dim_, k, ef, predicate, scope.scan ? &*scope.scan : nullptr);
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
// change under a search. With a candidate set on the exhaustive path, the
// scan visits the candidates in slot order instead of every slot.
Database::FilterScope Database::filter_scope(const Filter* filter) const {
  FilterScope scope;
  scope.filter = filter;
  if (!filter) return scope;
  scope.metadata_index_lock = ReadLock(metadata_index_lock_);
  scope.candidates = candidate_view(*filter, metadata_index_);
  if (scope.candidates.answered() && index_->uses_brute_force()) {
    const SlotSet& set = scope.candidates.slots();
    scope.scan.emplace(set.begin(), set.end());
    std::sort(scope.scan->begin(), scope.scan->end());
  }
  return scope;
}

// Takes the index, slot-ids and metadata read locks (and, briefly, the
// metadata-index read lock) in order.
Result<std::vector<SearchHit>> Database::search(const std::vector<float>& query, const SearchParams& params) const {
  std::size_t ef = params.ef_search ? *params.ef_search : default_ef(params.k);
  if (query.size() != dim_) return DbError::dimension_mismatch(dim_, query.size());
  ReadLock ix(index_lock_);
  ReadLock si(slot_ids_lock_);
  ReadLock md(metadata_lock_);
  FilterScope scope = filter_scope(params.filter);
  std::vector<Hit> hits = run_search(query.data(), params.k, ef, scope);
  return assemble(hits, params.max_distance);
}

Result<std::vector<std::vector<SearchHit>>> Database::search_many(const std::vector<std::vector<float>>& queries,
                                                                  const SearchParams& params) const {
  std::size_t ef = params.ef_search ? *params.ef_search : default_ef(params.k);
  for (const auto& q : queries)
    if (q.size() != dim_) return DbError::dimension_mismatch(dim_, q.size());
  std::vector<std::vector<SearchHit>> out;
  if (queries.empty()) return out;
  ReadLock ix(index_lock_);
  ReadLock si(slot_ids_lock_);
  ReadLock md(metadata_lock_);
  FilterScope scope = filter_scope(params.filter);
  std::vector<std::vector<Hit>> hits(queries.size());
  parallel_for(queries.size(), [&](std::size_t i) { hits[i] = run_search(queries[i].data(), params.k, ef, scope); });
  out.reserve(queries.size());
  for (const auto& h : hits) out.push_back(assemble(h, params.max_distance));
  return out;
}

std::size_t Database::count(const Filter* filter) const {
  if (!filter) return len();
  std::optional<SlotSet> candidates;
  {
    ReadLock mi(metadata_index_lock_);
    candidates = candidate_slots(*filter, metadata_index_);
  }
  ReadLock ix(index_lock_);
  ReadLock md(metadata_lock_);
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
void Database::compact() {
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
    if (!vectors.empty()) fresh->insert_batch(vectors, std::vector<std::size_t>(vectors.size(), old.dim()));
    if (old.quantizer()) fresh->enable_quantization();
  }
  WriteLock ix(index_lock_);
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
