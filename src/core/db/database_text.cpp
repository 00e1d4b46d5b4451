// Text and sparse retrieval on a Database: the text index's definition
// (logged), its building (a background thread over the existing slots, or
// at once while opening), its upkeep as records change, the text, sparse
// and hybrid searches, and the statistics that shards share.
//
// The text index and the sparse vectors live under the text lock, last in
// the lock order. A change updates them for the slots it touches while it
// holds the metadata write lock; the builder indexes a chunk of slots at a
// time holding the index and metadata read locks and the text write lock,
// so it always reads a slot's current metadata and never undoes a change.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <unordered_map>

#include "core/db/database.h"

namespace hovra {

namespace {

// Slots the builder indexes per hold of its locks.
constexpr std::uint32_t kBuildChunk = 1024;

std::optional<std::string_view> field_text(std::optional<PackedValue> metadata, const std::string& field) {
  if (!metadata || !metadata->is_object()) return std::nullopt;
  std::optional<PackedValue> v = metadata->find(field);
  if (!v || v->kind() != JsonValue::Kind::String) return std::nullopt;
  return v->as_string();
}

DbError no_text_index() {
  return DbError::invalid_argument("the database has no text index: create one with create_text_index()");
}

Result<Analyzer> analyzer_for(const TextIndexSpec& spec) {
  if (spec.field.empty()) return DbError::invalid_argument("the text field must be a non-empty string");
  if (!std::isfinite(spec.k1) || spec.k1 < 0) return DbError::invalid_argument("k1 must be a finite number >= 0");
  if (!std::isfinite(spec.b) || spec.b < 0 || spec.b > 1) return DbError::invalid_argument("b must be in [0, 1]");
  return Analyzer::make(AnalyzerConfig{spec.language, spec.stemmer, spec.stopwords});
}

}  // namespace

// Caller holds the text write lock and the metadata lock.
void Database::text_index_slot_locked(std::uint32_t slot, std::optional<PackedValue> metadata) {
  if (std::optional<std::string_view> text = field_text(metadata, text_->spec.field)) {
    text_->index->set(slot, *text);
  } else {
    text_->index->remove(slot);
  }
}

// Callers hold the metadata write lock.
void Database::text_set(std::uint32_t slot, std::optional<PackedValue> metadata) {
  WriteLock tx(text_lock_);
  if (text_) text_index_slot_locked(slot, metadata);
}

void Database::sparse_set(std::uint32_t slot, const SparseVector* sparse) {
  WriteLock tx(text_lock_);
  if (sparse && !sparse->empty()) {
    sparse_.set(slot, *sparse);
  } else {
    sparse_.remove(slot);
  }
}

void Database::text_clear(std::uint32_t slot) {
  WriteLock tx(text_lock_);
  if (text_) text_->index->remove(slot);
  sparse_.remove(slot);
}

// `live` lists the old slots in new slot order. Caller holds every write
// lock before the text lock. A build under way starts over.
void Database::text_renumber(const std::vector<std::uint32_t>& live) {
  WriteLock tx(text_lock_);
  std::uint32_t limit = 0;
  for (std::uint32_t s : live) limit = std::max(limit, s + 1);
  std::vector<std::uint32_t> new_slot(limit, TextIndex::kDropped);
  for (std::uint32_t i = 0; i < live.size(); ++i) new_slot[live[i]] = i;
  if (text_) {
    *text_->index = text_->index->renumbered(new_slot);
    if (!text_->complete) text_->built_below = 0;
  }
  sparse_ = sparse_.renumbered(new_slot);
}

// Replaces the text state by the definition (a build to do) or drops it.
// Takes the builder's mutex (holding nothing) and then the text write lock.
void Database::define_text_index(const std::optional<TextIndexSpec>& spec) {
  text_builder_.stop();
  WriteLock tx(text_lock_);
  text_.reset();
  if (!spec) return;
  Result<Analyzer> analyzer = analyzer_for(*spec);
  if (!analyzer.ok()) return;  // a logged definition this build cannot analyse
  auto state = std::make_unique<TextState>();
  state->spec = *spec;
  state->index = std::make_unique<TextIndex>(std::move(analyzer.value()), Bm25Params{spec->k1, spec->b});
  state->generation = ++text_generation_;
  text_ = std::move(state);
}

// The next kBuildChunk slots not yet covered go into the text index; the
// index is complete once the last slot is in. Returns how many were indexed.
std::uint32_t Database::text_index_chunk_locked() {
  std::uint32_t n = static_cast<std::uint32_t>(index_->node_count());
  std::uint32_t begin = text_->built_below;
  std::uint32_t end = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(begin) + kBuildChunk);
  for (std::uint32_t s = begin; s < end; ++s)
    text_index_slot_locked(s, index_->is_deleted(s) ? std::nullopt : metadata_at(s));
  text_->built_below = end;
  if (end >= n) text_->complete = true;
  return end - begin;
}

// Indexes every slot not yet covered, chunk by chunk. Takes the index and
// metadata read locks and the text write lock for each chunk.
Status Database::build_text_index_now(Progress* progress) {
  std::uint64_t generation;
  {
    ReadLock ix(index_lock_);
    ReadLock tx(text_lock_);
    if (!text_ || text_->complete) return Status::success();
    generation = text_->generation;
    start_phase(progress, "indexing text", "records", index_->node_count() - text_->built_below);
  }
  while (true) {
    if (stop_requested(progress)) return DbError::cancelled();
    ReadLock ix(index_lock_);
    ReadLock md(metadata_lock_);
    WriteLock tx(text_lock_);
    if (!text_ || text_->generation != generation || text_->complete) return Status::success();
    advance(progress, text_index_chunk_locked());
    if (text_->complete) return Status::success();
  }
}

void Database::run_text_builder(std::uint64_t generation, const std::atomic<bool>& stop) {
  while (!stop.load(std::memory_order_relaxed)) {
    ReadLock ix(index_lock_);
    ReadLock md(metadata_lock_);
    WriteLock tx(text_lock_);
    if (!text_ || text_->generation != generation || text_->complete) return;
    text_index_chunk_locked();
  }
}

// Takes the text read lock, then (holding nothing) the builder's mutex.
void Database::start_text_builder() {
  std::uint64_t generation;
  {
    ReadLock tx(text_lock_);
    if (!text_ || text_->complete) return;
    generation = text_->generation;
  }
  text_builder_.start([this, generation](const std::atomic<bool>& stop) { run_text_builder(generation, stop); });
}

// Logs the definition under the id-map write lock (so it has its place
// among the record changes), then builds on the background thread. A
// caller that does not want the background waits for the build; stopping
// the wait through progress leaves the build running.
Status Database::create_text_index(const TextIndexSpec& spec, bool background, Progress* progress) {
  Result<Analyzer> analyzer = analyzer_for(spec);
  if (!analyzer.ok()) return analyzer.error();
  HOVRA_RETURN_IF_ERROR(check_owner());
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    {
      ReadLock tx(text_lock_);
      if (text_)
        return DbError::invalid_argument("the database already has a text index on field '" + text_->spec.field +
                                         "': drop it with drop_text_index() first");
    }
    WalRecord record;
    record.kind = WalRecord::Kind::TextIndex;
    record.text_index = spec;
    HOVRA_RETURN_IF_ERROR(log_one(record, ticket));
    WriteLock tx(text_lock_);
    auto state = std::make_unique<TextState>();
    state->spec = spec;
    state->index = std::make_unique<TextIndex>(std::move(analyzer.value()), Bm25Params{spec.k1, spec.b});
    state->generation = ++text_generation_;
    text_ = std::move(state);
  }
  HOVRA_RETURN_IF_ERROR(durable(ticket));
  start_text_builder();
  if (!background) return wait_text_index(progress);
  return Status::success();
}

Status Database::drop_text_index() {
  HOVRA_RETURN_IF_ERROR(check_owner());
  text_builder_.stop();
  std::uint64_t ticket = 0;
  {
    WriteLock ids(id_map_lock_);
    {
      ReadLock tx(text_lock_);
      if (!text_) return no_text_index();
    }
    WalRecord record;
    record.kind = WalRecord::Kind::TextIndex;
    HOVRA_RETURN_IF_ERROR(log_one(record, ticket));
    WriteLock tx(text_lock_);
    text_.reset();
  }
  return durable(ticket);
}

std::optional<TextIndexInfo> Database::text_index_info() const {
  ReadLock ix(index_lock_);
  ReadLock tx(text_lock_);
  if (!text_) return std::nullopt;
  TextIndexInfo info;
  info.spec = text_->spec;
  info.building = !text_->complete;
  info.total_slots = index_->node_count();
  info.indexed_slots = text_->complete ? info.total_slots : text_->built_below;
  info.documents = text_->index->documents();
  info.terms = text_->index->terms();
  info.total_length = text_->index->total_length();
  return info;
}

// Polls the build's state every few milliseconds; takes the index and text
// read locks for each look.
Status Database::wait_text_index(Progress* progress) const {
  bool started = false;
  std::uint64_t reported = 0;
  while (true) {
    {
      ReadLock ix(index_lock_);
      ReadLock tx(text_lock_);
      if (!text_) return no_text_index();
      std::uint64_t done = text_->complete ? index_->node_count() : text_->built_below;
      if (!started) {
        start_phase(progress, "indexing text", "records", index_->node_count());
        started = true;
      }
      if (done > reported) advance(progress, done - reported);
      reported = std::max(reported, done);
      if (text_->complete) return Status::success();
    }
    if (stop_requested(progress)) return DbError::cancelled();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// A small candidate set is scored slot by slot instead of walking the
// postings past slots the filter refuses: below an eighth of the indexed
// documents. Caller holds the metadata read lock; the scope holds the
// metadata-index read lock.
std::optional<std::vector<std::uint32_t>> Database::few_candidates(const FilterScope& scope,
                                                                   std::size_t documents) const {
  const QueryPlan& plan = *scope.plan;
  if (!plan.answered() || plan.bound() * 8 >= documents) return std::nullopt;
  QueryPlan::Candidates c = plan.candidates();
  if (c.slots == nullptr) return std::nullopt;
  std::vector<std::uint32_t> slots;
  if (c.exact) return *c.slots;
  auto metadata = [&](std::uint32_t slot) {
    metadata_lock_.assert_held_shared();
    return metadata_at(slot);
  };
  for (std::uint32_t s : *c.slots)
    if (plan.admits(s, metadata)) slots.push_back(s);
  return slots;
}

// Caller holds the index, slot-ids, metadata and text read locks; the scope
// holds the metadata-index read lock.
std::vector<ScoredSlot> Database::text_hits(const std::string& text, std::size_t k, const FilterScope& scope,
                                            const CorpusStats* stats) const {
  const TextIndex& index = *text_->index;
  auto terms = index.query_terms(text);
  auto search = [&](const SlotPredicate* allow, const std::vector<std::uint32_t>* candidates) {
    return index.search(terms, k, allow, candidates, stats);
  };
  return scored_under_filter(scope, index.documents(), search);
}

std::vector<ScoredSlot> Database::sparse_hits(const SparseVector& query, std::size_t k,
                                              const FilterScope& scope) const {
  auto search = [&](const SlotPredicate* allow, const std::vector<std::uint32_t>* candidates) {
    text_lock_.assert_held_shared();
    return sparse_.search(query, k, allow, candidates);
  };
  return scored_under_filter(scope, sparse_.vectors(), search);
}

// Caller holds the metadata read lock; the scope holds the metadata-index
// read lock.
std::vector<ScoredSlot> Database::scored_under_filter(const FilterScope& scope, std::size_t documents,
                                                      ScoredSearch search) const {
  if (!scope.filter) return search(nullptr, nullptr);
  if (auto few = few_candidates(scope, documents)) return search(nullptr, &*few);
  const QueryPlan& plan = *scope.plan;
  auto metadata = [&](std::uint32_t slot) {
    metadata_lock_.assert_held_shared();
    return metadata_at(slot);
  };
  auto allowed = [&](std::uint32_t slot) { return plan.admits(slot, metadata); };
  SlotPredicate predicate(allowed);
  return search(&predicate, nullptr);
}

// Caller holds the slot-ids and metadata read locks.
std::vector<SearchHit> Database::assemble_scored(const std::vector<ScoredSlot>& hits) const {
  std::vector<SearchHit> out;
  out.reserve(hits.size());
  for (const ScoredSlot& h : hits) {
    out.push_back(hit_of(h.slot, -h.score));
    out.back().score = h.score;
  }
  return out;
}

// Takes the index, slot-ids and metadata read locks, the metadata-index
// read lock (with a filter) and the text read lock, in order. stats:
// nullptr scores with this index's own statistics.
Result<std::vector<SearchHit>> Database::scored_text_search(const std::string& text, std::size_t k,
                                                            const Filter* filter, const CorpusStats* stats) const {
  ReadLock ix(index_lock_);
  ReadLock si(slot_ids_lock_);
  ReadLock md(metadata_lock_);
  FilterScope scope = filter_scope(filter);
  ReadLock tx(text_lock_);
  if (!text_) return no_text_index();
  return assemble_scored(text_hits(text, k, scope, stats));
}

Result<std::vector<SearchHit>> Database::text_search(const std::string& text, std::size_t k,
                                                     const Filter* filter) const {
  return scored_text_search(text, k, filter, nullptr);
}

Result<std::vector<SearchHit>> Database::text_search_with(const std::string& text, std::size_t k,
                                                          const Filter* filter, const CorpusStats& stats) const {
  return scored_text_search(text, k, filter, &stats);
}

Result<CorpusStats> Database::text_stats(const std::string& text) const {
  ReadLock tx(text_lock_);
  if (!text_) return no_text_index();
  return text_->index->stats_for(text_->index->query_terms(text));
}

Result<std::vector<SearchHit>> Database::sparse_search(const SparseVector& query, std::size_t k,
                                                       const Filter* filter) const {
  ReadLock ix(index_lock_);
  ReadLock si(slot_ids_lock_);
  ReadLock md(metadata_lock_);
  FilterScope scope = filter_scope(filter);
  ReadLock tx(text_lock_);
  return assemble_scored(sparse_hits(query, k, scope));
}

std::size_t Database::sparse_count() const {
  ReadLock tx(text_lock_);
  return sparse_.vectors();
}

Result<SparseVector> Database::get_sparse(const std::string& id) const {
  ReadLock ids(id_map_lock_);
  std::uint32_t slot = slot_of(id);
  if (slot == IdIndex::kNone) return DbError::not_found(id);
  ReadLock tx(text_lock_);
  const SparseVector* v = sparse_.vector_at(slot);
  return v ? *v : SparseVector();
}

namespace {

// One retriever's candidates: slot and score (larger is better), best first.
using Ranked = std::vector<std::pair<std::uint32_t, double>>;

struct Fused {
  double score = 0.0;
  std::array<std::uint32_t, 3> ranks{0, 0, 0};
};

void fuse(const Ranked& list, std::size_t which, const HybridQuery& q,
          std::unordered_map<std::uint32_t, Fused>& out) {
  double lo = 0, hi = 0;
  if (!list.empty()) {
    lo = hi = list[0].second;
    for (const auto& [slot, s] : list) {
      lo = std::min(lo, s);
      hi = std::max(hi, s);
    }
  }
  for (std::size_t i = 0; i < list.size(); ++i) {
    Fused& f = out[list[i].first];
    f.ranks[which] = static_cast<std::uint32_t>(i + 1);
    if (q.fusion == HybridQuery::Fusion::Rrf) {
      f.score += q.weights[which] / (q.rrf_k + static_cast<double>(i + 1));
    } else {
      double norm = hi > lo ? (list[i].second - lo) / (hi - lo) : 1.0;
      f.score += q.weights[which] * norm;
    }
  }
}

}  // namespace

// Every retriever runs on one hold of the locks (index, slot-ids, metadata,
// metadata-index with a filter, text), so all of them see one state.
Result<std::vector<SearchHit>> Database::hybrid_search(const HybridQuery& q) const {
  if (!q.vector && !q.text && !q.sparse)
    return DbError::invalid_argument("hybrid_search needs at least one of vector, text and sparse");
  if (q.vector) {
    if (q.vector->size() != dim_) return DbError::dimension_mismatch(dim_, q.vector->size());
    for (float x : *q.vector)
      if (!std::isfinite(x)) return DbError::non_finite_query();
  }
  for (double w : q.weights)
    if (!std::isfinite(w) || w < 0) return DbError::invalid_argument("fusion weights must be finite and >= 0");
  if (!std::isfinite(q.rrf_k) || q.rrf_k <= 0) return DbError::invalid_argument("rrf_k must be a finite number > 0");
  std::size_t n = q.candidates ? *q.candidates : std::max<std::size_t>(50, 4 * q.k);
  n = std::max(n, q.k);
  std::vector<SearchHit> out;
  if (q.k == 0) return out;

  ReadLock ix(index_lock_);
  ReadLock si(slot_ids_lock_);
  ReadLock md(metadata_lock_);
  FilterScope scope = filter_scope(q.filter);
  ReadLock tx(text_lock_);
  if (q.text && !text_) return no_text_index();

  std::unordered_map<std::uint32_t, Fused> fused;
  if (q.vector) {
    std::size_t ef = q.ef_search ? *q.ef_search : default_ef(n);
    Ranked list;
    for (const Hit& h : run_search(q.vector->data(), n, ef, scope)) list.emplace_back(h.slot, -h.distance);
    fuse(list, 0, q, fused);
  }
  if (q.text) {
    Ranked list;
    for (const ScoredSlot& h : text_hits(*q.text, n, scope, nullptr)) list.emplace_back(h.slot, h.score);
    fuse(list, 1, q, fused);
  }
  if (q.sparse) {
    Ranked list;
    for (const ScoredSlot& h : sparse_hits(*q.sparse, n, scope)) list.emplace_back(h.slot, h.score);
    fuse(list, 2, q, fused);
  }
  std::vector<std::pair<std::uint32_t, Fused>> ranked(fused.begin(), fused.end());
  std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
    return a.second.score != b.second.score ? a.second.score > b.second.score : a.first < b.first;
  });
  if (ranked.size() > q.k) ranked.resize(q.k);
  out.reserve(ranked.size());
  for (const auto& [slot, f] : ranked) {
    out.push_back(hit_of(slot, static_cast<float>(-f.score)));
    out.back().score = f.score;
    out.back().ranks = f.ranks;
  }
  return out;
}

}  // namespace hovra
