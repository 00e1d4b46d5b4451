// Database reads of records, one by id (get, contains, len, ids) and many
// at once by a list of ids and by the page in id order; and the operations
// on many records at once: deleting by a list of ids and by a filter, and
// updating a batch, each change logged as one batch, all or nothing.
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "core/base/thread_annotations.h"
#include "core/db/database.h"

namespace hovra {

namespace {

// Whether no component is NaN or infinite (exponent bits all ones).
bool finite_row(const float* v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, v + i, 4);
    if ((bits & 0x7F800000u) == 0x7F800000u) return false;
  }
  return true;
}

// A candidate list this much smaller than the ids still to walk is sorted
// by id instead of walking the ids in order.
constexpr std::size_t kSortCandidatesFactor = 16;
}  // namespace

// Caller holds the id-map write lock.
std::uint32_t Database::forget_id_locked(std::string_view id) {
  std::uint32_t slot = id_to_slot_.erase(id, ids_by_slot());
  if (slot != IdIndex::kNone) id_changes_.fetch_add(1, std::memory_order_relaxed);
  return slot;
}

// Takes the index, slot-ids, metadata and metadata-index write locks one
// group after another, in order, each once for all the slots.
void Database::clear_slots(const std::vector<std::uint32_t>& slots) {
  {
    WriteLock ix(index_lock_);
    for (std::uint32_t slot : slots) index_->mark_deleted(slot);
  }
  {
    WriteLock si(slot_ids_lock_);
    for (std::uint32_t slot : slots)
      if (slot < slot_ids_.size()) slot_ids_.set_absent(slot);
  }
  WriteLock md(metadata_lock_);
  WriteLock mi(metadata_index_lock_);
  for (std::uint32_t slot : slots) {
    if (slot >= slot_metadata_.size()) continue;
    metadata_index_.remove(slot, metadata_at(slot));
    slot_metadata_.set_absent(slot);
  }
  mi.unlock();
  // As clear_slot: the text index and the sparse vectors forget the slots
  // too (a save would otherwise write documents of deleted slots).
  for (std::uint32_t slot : slots) text_clear(slot);
}

// Caller holds the id-map write lock; takes the WAL mutex. The records
// replay all or nothing.
Status Database::log_records(std::size_t count, FunctionRef<WalRecord(std::size_t)> make, std::uint64_t& ticket) {
  MutexLock w(wal_mutex_);
  WalBatch batch(*wal_, static_cast<std::uint32_t>(count));
  HOVRA_RETURN_IF_ERROR(batch.begin());
  for (std::size_t i = 0; i < count; ++i) HOVRA_RETURN_IF_ERROR(batch.add(make(i)));
  HOVRA_RETURN_IF_ERROR(batch.commit());
  ticket = wal_->appended();
  count_logged(count);
  return Status::success();
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
    view.vector.resize(dim_);
    index_->copy_row(slot, view.vector.data());
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

// Takes the id-map, index and metadata read locks in order, once.
std::vector<std::optional<RecordView>> Database::get_many(const ByteTable& ids, bool include_vectors) const {
  std::vector<std::optional<RecordView>> out(ids.size());
  ReadLock id_lock(id_map_lock_);
  ReadLock ix(index_lock_);
  ReadLock md(metadata_lock_);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    std::uint32_t slot = slot_of(ids.get(i));
    if (slot == IdIndex::kNone || slot >= index_->node_count()) continue;
    RecordView& view = out[i].emplace();
    if (include_vectors) {
      view.vector.resize(dim_);
      index_->copy_row(slot, view.vector.data());
    }
    if (std::optional<PackedValue> m = metadata_at(slot)) {
      view.metadata.emplace();
      write_packed_json(*m, *view.metadata);
    }
  }
  return out;
}

// Takes the id-map read lock (and under it, briefly, the id-order mutex),
// then the index, metadata and metadata-index read locks in order. The
// id-map lock keeps the ids by slot and the order still for the whole page.
std::vector<RecordRow> Database::records_page(const PageRequest& request) const {
  std::vector<RecordRow> rows;
  if (request.limit == 0) return rows;
  ReadLock id_lock(id_map_lock_);
  const ByteTable& ids = ids_by_slot();
  std::shared_ptr<const IdOrder::Slots> order;
  {
    MutexLock guard(id_order_mutex_);
    order = id_order_.current(ids, id_changes_.load(std::memory_order_relaxed),
                              id_generation_.load(std::memory_order_relaxed));
  }
  ReadLock ix(index_lock_);
  ReadLock md(metadata_lock_);
  ReadLock mi(metadata_index_lock_);
  std::shared_ptr<const QueryPlan> plan;
  if (request.filter) {
    plan = plan_of(*request.filter);
    if (plan->bound() == 0) return rows;
  }
  const std::size_t start = request.after ? IdOrder::first_after(*order, ids, *request.after) : 0;
  auto metadata = [&](std::uint32_t slot) {
    metadata_lock_.assert_held_shared();
    return metadata_at(slot);
  };
  auto add_row = [&](std::uint32_t slot) {
    index_lock_.assert_held_shared();
    RecordRow& row = rows.emplace_back();
    row.id = ids.get(slot);
    if (request.include_vectors) {
      row.vector.resize(dim_);
      index_->copy_row(slot, row.vector.data());
    }
    if (std::optional<PackedValue> m = metadata(slot)) {
      row.metadata.emplace();
      write_packed_json(*m, *row.metadata);
    }
  };
  auto live = [&](std::uint32_t slot) {
    index_lock_.assert_held_shared();
    return slot < ids.size() && ids.present(slot) && !index_->is_deleted(slot);
  };

  // Few candidates: sort them by id rather than walk every id.
  if (plan && plan->answered() && plan->bound() * kSortCandidatesFactor < order->size() - start) {
    QueryPlan::Candidates c = plan->candidates();
    std::vector<std::uint32_t> chosen;
    for (std::uint32_t slot : *c.slots) {
      if (!live(slot)) continue;
      if (request.after && !(ids.get(slot) > std::string_view(*request.after))) continue;
      if (c.exact || plan->admits(slot, metadata)) chosen.push_back(slot);
    }
    auto by_id = [&](std::uint32_t a, std::uint32_t b) { return ids.get(a) < ids.get(b); };
    std::size_t n = std::min(chosen.size(), request.limit);
    std::partial_sort(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(n), chosen.end(), by_id);
    for (std::size_t i = 0; i < n; ++i) add_row(chosen[i]);
    return rows;
  }
  for (std::size_t i = start; i < order->size() && rows.size() < request.limit; ++i) {
    std::uint32_t slot = (*order)[i];
    if (!live(slot)) continue;
    if (plan && !plan->admits(slot, metadata)) continue;
    add_row(slot);
  }
  return rows;
}

// Logs the removal of each named record (names[i] is on slots[i]), then
// forgets the names and tombstones the slots; the caller has made every
// check.
Status Database::remove_named_locked(const std::vector<std::string_view>& names,
                                     const std::vector<std::uint32_t>& slots, std::uint64_t& ticket) {
  HOVRA_RETURN_IF_ERROR(
      log_records(names.size(), [&](std::size_t i) { return WalRecord::remove(std::string(names[i])); }, ticket));
  for (std::string_view name : names) forget_id_locked(name);
  clear_slots(slots);
  return Status::success();
}

// Once the id-map lock is released: the freed memory handed back, then the
// count once the log holds the removals as durably as the settings ask.
Result<std::size_t> Database::finish_removal(std::size_t deleted, std::uint64_t ticket) {
  release_freed(deleted);
  Status st = durable(ticket);
  if (!st.ok()) return st.error();
  return deleted;
}

// Holds the id-map write lock from the look-up to the last change.
Result<std::size_t> Database::delete_many(const ByteTable& ids) {
  std::uint64_t ticket = 0;
  std::size_t deleted = 0;
  {
    WriteLock id_lock(id_map_lock_);
    std::vector<std::uint32_t> slots;
    std::vector<std::string_view> names;
    std::unordered_set<std::uint32_t> seen;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      std::uint32_t slot = slot_of(ids.get(i));
      if (slot == IdIndex::kNone || !seen.insert(slot).second) continue;
      slots.push_back(slot);
      names.push_back(ids.get(i));
    }
    if (slots.empty()) return std::size_t{0};
    for (std::string_view name : names) HOVRA_RETURN_IF_ERROR(check_not_held(name));
    HOVRA_RETURN_IF_ERROR(check_owner());
    HOVRA_RETURN_IF_ERROR(remove_named_locked(names, slots, ticket));
    deleted = slots.size();
  }
  return finish_removal(deleted, ticket);
}

// Caller holds the id-map lock. The live slots that satisfy the filter,
// chosen under the index, metadata and metadata-index read locks.
std::vector<std::uint32_t> Database::matching_slots(const Filter& filter) const {
  std::vector<std::uint32_t> slots;
  ReadLock ix(index_lock_);
  ReadLock md(metadata_lock_);
  ReadLock mi(metadata_index_lock_);
  std::shared_ptr<const QueryPlan> kept = plan_of(filter);
  const QueryPlan& plan = *kept;
  auto metadata = [&](std::uint32_t slot) {
    metadata_lock_.assert_held_shared();
    return metadata_at(slot);
  };
  const ByteTable& ids = ids_by_slot();
  if (plan.bound() != 0) {
    QueryPlan::Candidates c = plan.candidates();
    auto consider = [&](std::uint32_t slot, bool exact) {
      index_lock_.assert_held_shared();
      if (index_->is_deleted(slot) || slot >= ids.size() || !ids.present(slot)) return;
      if (exact || plan.admits(slot, metadata)) slots.push_back(slot);
    };
    if (c.slots) {
      for (std::uint32_t slot : *c.slots) consider(slot, c.exact);
    } else {
      for (std::uint32_t slot = 0; slot < index_->node_count(); ++slot) consider(slot, false);
    }
  }
  return slots;
}

// Holds the id-map write lock from choosing the records to the last
// change, so no write lands in between; chooses them under the index,
// metadata and metadata-index read locks.
Result<std::size_t> Database::delete_where(const Filter& filter) {
  std::uint64_t ticket = 0;
  std::size_t deleted = 0;
  {
    WriteLock id_lock(id_map_lock_);
    std::vector<std::uint32_t> slots = matching_slots(filter);
    if (slots.empty()) return std::size_t{0};
    HOVRA_RETURN_IF_ERROR(check_owner());
    std::vector<std::string> names;
    names.reserve(slots.size());
    for (std::uint32_t slot : slots) names.emplace_back(ids_by_slot().get(slot));
    for (const std::string& name : names) HOVRA_RETURN_IF_ERROR(check_not_held(name));
    HOVRA_RETURN_IF_ERROR(
        remove_named_locked(std::vector<std::string_view>(names.begin(), names.end()), slots, ticket));
    deleted = slots.size();
  }
  return finish_removal(deleted, ticket);
}

// Every check before the log: the rows' lengths and values, then (under the
// id-map write lock) that every id exists. Then the index write lock once
// for the vectors, and the metadata and metadata-index write locks once for
// the metadata.
Status Database::update_many(const UpdateBatch& batch) {
  if (batch.vectors && batch.vectors->size() != batch.size()) panic("update batch: rows and ids differ in number");
  if (batch.vectors) {
    const VectorRows& rows = *batch.vectors;
    for (std::size_t i = 0; i < rows.size(); ++i)
      if (rows.len(i) != dim_) return DbError::dimension_mismatch(dim_, rows.len(i));
  }
  if (batch.size() == 0) return Status::success();
  std::uint64_t ticket = 0;
  {
    WriteLock id_lock(id_map_lock_);
    std::vector<std::uint32_t> slots(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
      slots[i] = slot_of(batch.ids.get(i));
      if (slots[i] == IdIndex::kNone) return DbError::not_found(std::string(batch.ids.get(i)));
    }
    HOVRA_RETURN_IF_ERROR(check_batch_not_held(batch.ids));
    std::optional<RowReader> read;
    if (batch.vectors) {
      read.emplace(*batch.vectors);
      for (std::size_t i = 0; i < batch.size(); ++i)
        if (!finite_row((*read)(i), dim_)) return DbError::non_finite_vector(std::string(batch.ids.get(i)));
    }
    HOVRA_RETURN_IF_ERROR(check_owner());
    auto make = [&](std::size_t i) {
      std::vector<float> vector;
      if (read) {
        const float* row = (*read)(i);
        vector.assign(row, row + dim_);
      }
      std::optional<PackedValue> m = batch.metadata_of(i);
      JsonValue metadata = m ? m->to_json() : JsonValue();
      return WalRecord::update(std::string(batch.ids.get(i)), read ? &vector : nullptr, m ? &metadata : nullptr);
    };
    HOVRA_RETURN_IF_ERROR(log_records(batch.size(), make, ticket));
    if (read) {
      WriteLock ix(index_lock_);
      for (std::size_t i = 0; i < batch.size(); ++i) index_->replace_vector(slots[i], (*read)(i), dim_);
      note_fresh_locked();
    }
    WriteLock md(metadata_lock_);
    WriteLock mi(metadata_index_lock_);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      std::optional<PackedValue> m = batch.metadata_of(i);
      if (!m) continue;
      metadata_index_.remove(slots[i], metadata_at(slots[i]));
      metadata_index_.add(slots[i], m);
      slot_metadata_.set(slots[i], m->bytes());
      note_record_changed(slots[i]);
    }
  }
  release_freed(batch.size());
  return finish_change(ticket);
}

// Takes the index, metadata and metadata-index read locks in order, as
// search() does; takes the filter's plan as search() would (kept for the
// searches that follow) but does not build its candidate list. A plan
// whose walks ran expensive, or whose walk is expected to (before any
// walk with its filter ran), is reported as the scan its searches take.
SearchExplanation Database::explain(const Filter* filter, std::size_t k, std::optional<std::size_t> ef) const {
  SearchExplanation out;
  ReadLock ix(index_lock_);
  ReadLock md(metadata_lock_);
  ReadLock mi(metadata_index_lock_);
  out.live = index_->live_count();
  std::size_t width = ef ? *ef : default_ef(k);
  if (!filter) {
    out.candidates = out.live;
    out.index_decides = true;
    out.plan = "every record";
    if (k != 0 && out.live != 0) out.path = index_->uses_brute_force() ? "whole scan" : "walk";
    return out;
  }
  std::shared_ptr<const QueryPlan> kept = plan_of(*filter);
  const QueryPlan& plan = *kept;
  out.candidates = std::min(plan.bound(), out.live);
  out.index_decides = plan.answered() && plan.probes_decide();
  out.plan = plan.describe();
  if (k == 0 || out.candidates == 0) return out;
  auto never = [](std::uint32_t) { return false; };
  auto no_list = [] { return ScanList{}; };
  SlotFilter priced{never, out.candidates, no_list};
  price_filter(plan, priced);
  const bool dear = plan.walks_expensive(walk_looks_dear(priced, k, width));
  if (index_->filtered_search_walks(out.candidates, k, width) && !dear) out.path = "walk";
  else out.path = plan.answered() ? "candidate scan" : "whole scan";
  return out;
}

}  // namespace hovra
