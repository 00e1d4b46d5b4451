// Database searches: one query or many, with or without a filter (through
// the query plan), assembled into hits by id, and counting by filter.
#include "core/base/thread_pool.h"
#include "core/db/database.h"

namespace hovra {

// Caller holds the index, slot-ids and metadata read locks.
std::vector<Hit> Database::run_search(const float* query, std::size_t k, std::size_t ef,
                                      const FilterScope& scope) const {
  if (!scope.filter) return index_->search(query, dim_, k, ef);
  const QueryPlan& plan = *scope.plan;
  // The walk calls these on this thread or on pool threads this one waits
  // for, under the locks this function holds.
  auto metadata = [&](std::uint32_t slot) {
    metadata_lock_.assert_held_shared();
    return metadata_at(slot);
  };
  auto predicate = [&](std::uint32_t slot) { return plan.admits(slot, metadata); };
  // The scan reads a copy of the candidates' rows only when it neither
  // tests them nor meets tombstones.
  auto list = [&] {
    index_lock_.assert_held_shared();
    QueryPlan::Candidates c = plan.candidates();
    ScanList out{c.slots, c.exact};
    if (c.slots && c.exact && index_->deleted().empty()) {
      std::vector<float> row;
      out.rows = plan.copied_rows(index_->rows_version(), dim_, index_->node_count(), [&](std::uint32_t slot) {
        index_lock_.assert_held_shared();
        row.resize(dim_);
        return index_->row_at(slot, row.data());
      });
    }
    return out;
  };
  WalkReport report;
  SlotFilter filter{predicate, std::min(plan.bound(), index_->live_count()), list, false, &report};
  price_filter(plan, filter);
  filter.scan_first = plan.scan_first(walk_looks_dear(filter, k, ef));
  std::vector<Hit> hits = index_->search_filtered(query, dim_, k, ef, filter);
  if (report.walked) plan.note_walk(report.expensive);
  return hits;
}

// Caller holds the index read lock.
void Database::price_filter(const QueryPlan& plan, SlotFilter& filter) const {
  filter.test_cost = plan.test_cost();
  filter.scan_tests = plan.scan_tests();
  filter.scan_reads_copy = index_->deleted().empty() && plan.copies_rows(dim_, index_->node_count());
}

// Caller holds the index read lock. The walk's beam is as wide as the
// index makes it for k hits at ef (HnswIndex::search_filtered).
bool Database::walk_looks_dear(const SlotFilter& filter, std::size_t k, std::size_t ef) const {
  const std::size_t width = std::max(ef, k > SIZE_MAX / 4 ? SIZE_MAX : 4 * k);
  const std::size_t walk = expected_walk_cost(filter.bound, index_->live_count(), width, index_->m_max0(),
                                              filter.test_cost, HnswIndex::kWalkNodeCost);
  return walk > index_->scan_cost(filter.bound, filter);
}

// Caller holds the index, slot-ids and metadata read locks. The distance
// cut compares each hit's distance summed in double precision with the
// bound as given, so no hit beyond the bound passes through rounding and a
// hit exactly at it stays.
std::vector<SearchHit> Database::assemble(const std::vector<Hit>& hits, const float* query,
                                          std::optional<double> max_distance) const {
  std::vector<SearchHit> out;
  out.reserve(hits.size());
  std::vector<float> row(max_distance ? dim_ : 0);
  for (const Hit& h : hits) {
    if (max_distance &&
        !(distance_exact(query, index_->row_at(h.slot, row.data()), dim_, index_->metric()) <= *max_distance))
      continue;
    out.push_back(hit_of(h.slot, h.distance));
  }
  return out;
}

// Caller holds the slot-ids and metadata read locks.
SearchHit Database::hit_of(std::uint32_t slot, float distance) const {
  SearchHit hit;
  hit.id = slot_ids_.get(slot);
  hit.distance = distance;
  if (std::optional<PackedValue> m = metadata_at(slot)) {
    hit.metadata.emplace();
    write_packed_json(*m, *hit.metadata);
  }
  return hit;
}

// Caller holds the index, slot-ids and metadata read locks; the scope holds
// the metadata-index read lock (last in the lock order) while its plan is in
// use. Every change to the metadata index also needs the metadata write
// lock, so the lists the plan borrows from the index cannot change under a
// search. A filter searched before over the same index takes its kept plan
// (and the candidate list that plan built).
Database::FilterScope Database::filter_scope(const Filter* filter, std::shared_ptr<const Filter> shared) const {
  FilterScope scope;
  scope.filter = filter;
  if (!filter) return scope;
  scope.metadata_index_lock = SharedHold(metadata_index_lock_);
  metadata_index_lock_.assert_held_shared();
  scope.plan = plan_of(*filter, std::move(shared));
  return scope;
}

// Searches, counts, explain, pages and deletes by filter share the kept
// plans.
std::shared_ptr<const QueryPlan> Database::plan_of(const Filter& filter, std::shared_ptr<const Filter> shared) const {
  return plan_cache_.plan(filter, metadata_index_, index_->node_count(), std::move(shared));
}

// Takes the index, slot-ids and metadata read locks (and, briefly, the
// metadata-index read lock) in order.
Result<std::vector<SearchHit>> Database::search(const std::vector<float>& query, const SearchParams& params) const {
  std::size_t ef = params.ef_search ? *params.ef_search : default_ef(params.k);
  if (query.size() != dim_) return DbError::dimension_mismatch(dim_, query.size());
  if (std::optional<DbError> fault = query_fault(query)) return *fault;
  ReadLock ix(index_lock_);
  ReadLock si(slot_ids_lock_);
  ReadLock md(metadata_lock_);
  FilterScope scope = filter_scope(params.filter, params.shared_filter);
  std::vector<Hit> hits = run_search(query.data(), params.k, ef, scope);
  return assemble(hits, query.data(), params.max_distance);
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
    if (std::optional<DbError> fault = query_fault(q)) return *fault;
  std::vector<std::vector<SearchHit>> out;
  if (queries.empty()) return out;
  ReadLock ix(index_lock_);
  ReadLock si(slot_ids_lock_);
  ReadLock md(metadata_lock_);
  FilterScope scope = filter_scope(params.filter, params.shared_filter);
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
      // On pool threads, under the locks this thread holds while it waits.
      index_lock_.assert_held_shared();
      slot_ids_lock_.assert_held_shared();
      metadata_lock_.assert_held_shared();
      if (stop_requested(progress)) return;
      hits[i] = run_search(queries[i].data(), params.k, ef, scope);
      advance(progress);
    });
  }
  if (stop_requested(progress)) return DbError::cancelled();
  out.reserve(queries.size());
  for (std::size_t i = 0; i < hits.size(); ++i)
    out.push_back(assemble(hits[i], queries[i].data(), params.max_distance));
  return out;
}

// Takes the index, metadata and metadata-index read locks in order and
// holds them together, so the candidates are used in the state they were
// read from (a compaction renumbers slots under all write locks).
std::size_t Database::count(const Filter* filter, std::shared_ptr<const Filter> shared) const {
  if (!filter) return len();
  ReadLock ix(index_lock_);
  ReadLock md(metadata_lock_);
  ReadLock mi(metadata_index_lock_);
  std::shared_ptr<const QueryPlan> kept = plan_of(*filter, std::move(shared));
  const QueryPlan& plan = *kept;
  auto metadata = [&](std::uint32_t slot) {
    metadata_lock_.assert_held_shared();
    return metadata_at(slot);
  };
  // A record being deleted is tombstoned before it leaves the metadata
  // index: every candidate is checked.
  std::size_t n = 0;
  if (plan.bound() == 0) return 0;
  QueryPlan::Candidates candidates = plan.candidates();
  if (candidates.slots) {
    for (std::uint32_t slot : *candidates.slots)
      n += !index_->is_deleted(slot) && (candidates.exact || plan.admits(slot, metadata));
  } else {
    for (std::uint32_t slot = 0; slot < index_->node_count(); ++slot)
      n += !index_->is_deleted(slot) && plan.admits(slot, metadata);
  }
  return n;
}

}  // namespace hovra
