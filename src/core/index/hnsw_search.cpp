// HnswIndex's searches: the planner that picks the graph walk or the
// exhaustive scan (per query, for a batch, under a filter), the cost model
// it compares them by, the walk's beam and the quantizer's exceptions. The
// rest of the index is in hnsw_index.cpp; the re-scoring of a walk's beam is
// in rescore.cpp.
#include <algorithm>
#include <limits>

#include "core/base/defaults.h"
#include "core/base/error.h"
#include "core/base/heap.h"
#include "core/base/thread_pool.h"
#include "core/index/exhaustive_scan.h"
#include "core/index/hnsw_index.h"
#include "core/index/walk.h"
#include "core/vectors/scan_kernels.h"

namespace hovra {

namespace {

// About how many nodes a layer-0 walk measures per beam slot when every node
// is admissible, weighted by the cost of a measured node against a scanned
// one.
constexpr double kWalkCostPerBeamSlot = 8.0;

// A row of the exact scan costs a fixed part plus one unit per so many
// components, in the units of kWalkNodeCost (see there): read from a copy
// of the passing rows, 11 ns at 128 dimensions and 30 at 384; gathered
// over a store larger than the caches, 55 and 69 ns.
constexpr std::size_t kCopiedRowCost = 4;
constexpr std::size_t kCopiedFloatsPerUnit = 16;
constexpr std::size_t kGatheredRowCost = 20;
constexpr std::size_t kGatheredFloatsPerUnit = 8;
// A filtered walk gives up once it has spent the scan it stands in for and
// a tenth more: a walk that would cost more ends in the scan anyway.
constexpr std::size_t kWalkBudgetTenths = 11;

std::size_t saturating_mul(std::size_t a, std::size_t b) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return std::numeric_limits<std::size_t>::max();
  return a * b;
}

}  // namespace

bool HnswIndex::uses_brute_force() const { return live_count() * dim_ < exact_threshold(); }

template <class Admit>
std::vector<Hit> HnswIndex::beam(const float* query, std::size_t ef, Admit& admit) const {
  WalkScratch& ws = walk_scratch();
  std::uint32_t ep = graph_.entry_point();
  auto walk = [&](const auto& dist) {
    for (std::size_t layer = graph_.max_level(); layer >= 1; --layer)
      ep = greedy_closest<false>(graph_, dist, ws, ep, layer);
    std::vector<Hit> w = search_layer<false>(graph_, dist, ws, ep, ef, 0, admit);
    if (!beam_has_tie_run(w, ef)) return w;
    return search_layer<false, std::decay_t<decltype(dist)>, Admit, true>(graph_, dist, ws, ep, ef, 0, admit);
  };
  const float* rows = store_.data();
  if (quantizer_) return walk(QuantizedDistance(*quantizer_, query, metric_));
  if (binary_) return walk(BinaryWalkDistance(*binary_, query));
  if (metric_ == Metric::Cosine)
    return walk(CosineWalkDistance(rows, dim_, norms_.data(), query, vector_norm(query, dim_)));
  if (metric_ == Metric::Euclidean) return walk(L2WalkDistance(rows, dim_, query));
  return walk(ExactDistance(rows, dim_, metric_, query));
}

// Adds the quantizer's exceptions that `admits` to the k nearest hits of an
// SQ8 walk, measured at full precision: the walk measured them by codes
// that misplace them, so it may have passed them by or ranked them wrongly.
// They are few (see Sq8Quantizer::needs_training).
template <class Admits>
void HnswIndex::add_exceptions(const float* query, std::vector<Hit>& hits, std::size_t k, Admits&& admits) const {
  if (!quantizer_ || quantizer_->exceptions().empty()) return;
  std::vector<std::uint32_t> found;
  std::vector<float> row(dim_);
  found.reserve(hits.size());
  for (const Hit& h : hits) found.push_back(h.slot);
  std::sort(found.begin(), found.end());
  bool added = false;
  for (std::uint32_t s : quantizer_->exceptions()) {
    if (std::binary_search(found.begin(), found.end(), s) || !admits(s)) continue;
    hits.push_back({s, distance(query, row_at(s, row.data()), dim_, metric_)});
    added = true;
  }
  if (!added) return;
  order_hits(hits);
  if (hits.size() > k) hits.resize(k);
}

// Whether a walk that fills a beam of width slots, of which `passing` of all
// nodes are admissible, costs less than measuring those `passing` exactly.
// The walk's cost grows as admissible nodes thin out.
bool HnswIndex::walk_is_cheaper(std::size_t passing, std::size_t width) const {
  double walk = kWalkCostPerBeamSlot * static_cast<double>(width) * static_cast<double>(graph_.node_count()) /
                static_cast<double>(passing);
  return walk < static_cast<double>(passing);
}

ScanRows HnswIndex::scan_rows() const {
  return ScanRows{store_.data(), dim_,    store_.near_slots(),
                  norms_.data(), metric_, norms_bound_rows_.load(std::memory_order_relaxed)};
}

// The exact scan: every slot without tombstones or a filter (the batch
// formula), else the slots that are not deleted and pass the predicate, in
// slot order (the pairwise distance).
std::vector<Hit> HnswIndex::exhaustive(const float* query, std::size_t k, SlotPredicate* predicate,
                                       const std::vector<std::uint32_t>* scan, const float* scan_rows_copy) const {
  if (k == 0) return {};
  std::size_t n = graph_.node_count();
  if (!scan && predicate == nullptr && deleted_.empty() && dim_ > 0) {
    bool norms_hold = false;
    std::vector<Hit> hits = scan_every_row(query, k, &norms_hold);
    if (norms_hold) norms_bound_rows_.store(true, std::memory_order_relaxed);
    return hits;
  }
  // A list that every slot passes, with no tombstones: its slots are the
  // rows to scan as they are.
  if (scan && predicate == nullptr && deleted_.empty() && (scan->empty() || scan->back() < n)) {
    if (scan_rows_copy && store_.outside_rows() == 0)
      return scan_copied_rows(scan_rows(), query, scan->data(), scan_rows_copy, scan->size(), k);
    return scan_listed(query, scan->data(), scan->size(), k);
  }
  std::vector<std::uint32_t> eligible;
  auto consider = [&](std::uint32_t s) {
    if (s >= n || is_deleted(s)) return;
    if (predicate && !(*predicate)(s)) return;
    eligible.push_back(s);
  };
  if (scan) {
    // Only these slots (ascending) can pass the predicate.
    for (std::uint32_t s : *scan) consider(s);
  } else {
    eligible.reserve(n - std::min(n, deleted_.size()));
    for (std::uint32_t s = 0; s < n; ++s) consider(s);
  }
  return scan_listed(query, eligible.data(), eligible.size(), k);
}

std::vector<std::vector<Hit>> HnswIndex::search_batch(const std::vector<const float*>& queries, std::size_t k,
                                                      std::size_t ef, Progress* progress) const {
  std::vector<std::vector<Hit>> out;
  if (graph_.entry_point() != kNoEntry && uses_brute_force() && deleted_.empty() && dim_ > 0 && k > 0) {
    scan_every_row_many(queries.data(), queries.size(), k, out, progress);
    return out;
  }
  out.resize(queries.size());
  parallel_for(queries.size(), [&](std::size_t i) {
    if (stop_requested(progress)) return;
    out[i] = search(queries[i], dim_, k, ef);
    advance(progress);
  });
  return out;
}

std::vector<Hit> HnswIndex::search(const float* query, std::size_t len, std::size_t k, std::size_t ef) const {
  assert_len(len, dim_, "query dimension mismatch");
  if (graph_.node_count() == 0) return {};
  if (uses_brute_force()) {
    return exhaustive(query, k, nullptr, nullptr);
  }
  if (k == 0) return {};
  std::size_t width = std::max(ef, k);
  std::vector<Hit> hits;
  bool walks = graph_.entry_point() != kNoEntry;
  if (walks && deleted_.empty()) {
    AdmitAll all;
    hits = best_of_beam(query, beam(query, width, all), k);
  } else if (walks) {
    Admissible live{dead_.data(), nullptr, live_count()};
    std::vector<Hit> w = beam(query, width, live);
    if (live.gave_up) return exhaustive(query, k, nullptr, nullptr);
    hits = best_of_beam(query, std::move(w), k);
  }
  if (!hits.empty()) add_exceptions(query, hits, k, [&](std::uint32_t s) { return dead_[s] == 0; });
  if (fresh_count() > 0) hits = merge_hits(std::move(hits), scan_fresh(query, k, nullptr), k);
  // A walk that gave up, or a graph that cannot reach k live nodes from the
  // entry point, is answered by the exact scan.
  if (hits.size() < std::min(k, live_count())) return exhaustive(query, k, nullptr, nullptr);
  return hits;
}

std::vector<Hit> HnswIndex::search_filtered(const float* query, std::size_t len, std::size_t k, std::size_t ef,
                                            const SlotFilter& filter) const {
  assert_len(len, dim_, "query dimension mismatch");
  if (graph_.node_count() == 0) return {};
  SlotPredicate predicate = filter.admits;
  auto scan = [&] {
    ScanList list = filter.scan_list();
    return exhaustive(query, k, list.slots && list.all_pass ? nullptr : &predicate, list.slots, list.rows);
  };
  if (uses_brute_force()) {
    return scan();
  }
  std::size_t passing = std::min(filter.bound, live_count());
  if (k == 0 || passing == 0) return {};
  if (filter.scan_first || !filtered_search_walks(passing, k, ef)) return scan();
  std::size_t width = std::max(ef, saturating_mul(k, 4));
  std::vector<Hit> hits;
  if (graph_.entry_point() != kNoEntry) {
    const std::size_t scan_spends = scan_cost(passing, filter);
    Admissible admit{deleted_.empty() ? nullptr : dead_.data(), &predicate,
                     saturating_mul(scan_spends / 10, kWalkBudgetTenths)};
    admit.node_cost = kWalkNodeCost;
    admit.test_cost = filter.test_cost;
    admit.share = static_cast<double>(passing) / static_cast<double>(std::max<std::size_t>(live_count(), 1));
    std::vector<Hit> w = beam(query, width, admit);
    if (filter.report) {
      filter.report->walked = true;
      filter.report->expensive = admit.gave_up || admit.spent > scan_spends;
    }
    if (admit.gave_up) return scan();
    hits = best_of_beam(query, std::move(w), k);
    add_exceptions(query, hits, k, [&](std::uint32_t s) { return dead_[s] == 0 && predicate(s); });
  }
  if (fresh_count() > 0) hits = merge_hits(std::move(hits), scan_fresh(query, k, &predicate), k);
  // Short of k while more slots may pass: the graph cannot reach them.
  if (hits.size() < std::min(k, passing)) return scan();
  return hits;
}

bool HnswIndex::filtered_search_walks(std::size_t passing, std::size_t k, std::size_t ef) const {
  if (uses_brute_force()) return false;
  return walk_is_cheaper(std::min(passing, live_count()), std::max(ef, saturating_mul(k, 4)));
}

std::size_t HnswIndex::scan_cost(std::size_t passing, const SlotFilter& filter) const {
  std::size_t row = filter.scan_reads_copy ? kCopiedRowCost + dim_ / kCopiedFloatsPerUnit
                                           : kGatheredRowCost + dim_ / kGatheredFloatsPerUnit;
  if (filter.scan_tests) row += filter.test_cost;
  return saturating_mul(passing, row);
}

}  // namespace hovra
