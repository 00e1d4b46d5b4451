// The layer walks over a Graph: greedy descent and the beam search, as
// templates over the distance they measure and the rule that admits reached
// slots to the beam; their per-thread scratch (visited marks, heaps); the
// walk distances (full precision, SQ8 and one-bit codes) and their prefetching.
//
// A distance is a callable dist(slot) -> float with prefetch(slot) (the
// row's lines it reads first), prefetch_first(slot) (its first line) and
// ahead() (how many members ahead of the one measured the walk prefetches).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/base/function_ref.h"
#include "core/index/graph.h"
#include "core/index/hit.h"
#include "core/vectors/binary_codes.h"
#include "core/vectors/distance.h"
#include "core/vectors/sq8_distance.h"
#include "core/vectors/scan_kernels.h"

namespace hovra {

// Visited marks of a layer walk. A generation counter replaces zero-filling
// a mark per node on every walk; the marks mean the same.
class VisitedMarks {
 public:
  void start(std::size_t nodes) {
    if (marks_.size() < nodes) marks_.resize(nodes, 0);
    if (++epoch_ == 0) {
      std::fill(marks_.begin(), marks_.end(), 0);
      epoch_ = 1;
    }
  }
  void prefetch(std::uint32_t slot) const { __builtin_prefetch(marks_.data() + slot); }
  // Marks the slot; true when it was already marked in this generation.
  bool test_and_set(std::uint32_t slot) {
    if (marks_[slot] == epoch_) return true;
    marks_[slot] = epoch_;
    return false;
  }

 private:
  std::vector<std::uint16_t> marks_;
  std::uint16_t epoch_ = 0;
};

// Scratch memory of the layer walks on one thread: visited marks, the
// storage of the two heaps and of the list being expanded, and the buffers
// of list pruning. A search or an insertion fetches it once (walk_scratch)
// and hands it down, so the walks look up no thread-local.
struct WalkScratch {
  VisitedMarks visited;
  std::vector<Hit> candidates;       // min-heap on distance
  std::vector<Hit> results;          // max-heap on distance
  std::vector<std::uint32_t> fresh;  // unvisited members of the expanded list
  std::vector<std::uint32_t> grown;  // a list with its new member (link_back)
  std::vector<Hit> scored;           // that list's members with distances
};

// The calling thread's scratch.
WalkScratch& walk_scratch();

// Prefetches the first lines of a row, at most max_lines (by default four:
// the hardware streams the rest once the kernel reads them in order).
// Always inlined: a function that only prefetches counts as free of side
// effects to the optimiser, which then drops calls to it that were not
// inlined, and with them every prefetch of the walks.
[[gnu::always_inline]] inline void prefetch_row(const void* row, std::size_t bytes, std::size_t max_lines = 4) {
  const char* p = static_cast<const char*>(row);
  std::size_t lines = std::min<std::size_t>((bytes + 63) / 64, max_lines);
  for (std::size_t i = 0; i < lines; ++i) __builtin_prefetch(p + 64 * i);
}

// Prefetches every cache line of [p, p + bytes). Always inlined, as
// prefetch_row.
[[gnu::always_inline]] inline void prefetch_span(const void* p, std::size_t bytes) {
  auto at = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t(63);
  auto end = reinterpret_cast<std::uintptr_t>(p) + bytes;
  for (; at < end; at += 64) __builtin_prefetch(reinterpret_cast<const void*>(at));
}

// The full-precision rows a walk measures (row s at rows + s * dim), and
// their prefetching: one member ahead of the one being measured, whole rows
// (their first lines, see prefetch_row) or only the first line.
struct FloatRows {
  const float* rows;
  std::size_t dim;
  FloatRows(const float* r, std::size_t d) : rows(r), dim(d) {}
  [[gnu::always_inline]] const float* row(std::uint32_t slot) const { return rows + std::size_t(slot) * dim; }
  std::size_t ahead() const { return 1; }
  [[gnu::always_inline]] void prefetch(std::uint32_t slot) const { prefetch_row(row(slot), dim * sizeof(float)); }
  [[gnu::always_inline]] void prefetch_first(std::uint32_t slot) const { __builtin_prefetch(row(slot)); }
};

// Full-precision distance from a fixed query to stored slots, through the
// metric's kernel picked once: the dot product's walks. Slots are in range
// (every list member is).
struct ExactDistance : FloatRows {
  detail::Kernel kernel;
  const float* query;
  bool negate;  // dot product: the sign flipped after narrowing
  ExactDistance(const float* rows, std::size_t dim, Metric metric, const float* q)
      : FloatRows(rows, dim),
        kernel(detail::kMetricKernels[static_cast<std::uint8_t>(metric)]),
        query(q),
        negate(metric == Metric::DotProduct) {}
  float operator()(std::uint32_t slot) const {
    double r = 0.0;
    kernel(query, row(slot), dim, &r);
    float d = static_cast<float>(r);
    return negate ? -d : d;
  }
};

// The cosine distance a walk orders by: one minus the dot product (a pair
// kernel's) over the product of the stored norms (1 when either is zero). It
// differs from the cosine kernel in the last bits, so what a walk returns is
// re-scored with that kernel.
struct CosineWalkDistance : FloatRows {
  PairKernel dot_kernel;
  const float* norms;
  const float* query;
  float query_norm;
  CosineWalkDistance(const float* rows, std::size_t dim, const float* row_norms, const float* q, float qn)
      : FloatRows(rows, dim), dot_kernel(pair_dot_kernel()), norms(row_norms), query(q), query_norm(qn) {}
  float operator()(std::uint32_t slot) const {
    float d = dot_kernel(query, row(slot), dim);
    float scale = query_norm * norms[slot];
    return scale > 0.0f ? 1.0f - d / scale : 1.0f;
  }
};

// The squared Euclidean distance a walk orders by: a pair kernel that sums
// in its own order, so it differs from the exact kernel in the last bits and
// what a walk returns is re-scored with that kernel.
struct L2WalkDistance : FloatRows {
  PairKernel kernel;
  const float* query;
  L2WalkDistance(const float* rows, std::size_t dim, const float* q)
      : FloatRows(rows, dim), kernel(pair_l2sq_kernel()), query(q) {}
  float operator()(std::uint32_t slot) const { return kernel(query, row(slot), dim); }
};

// Quantized distance from a full-precision query to a slot's SQ8 codes, the
// decoding fused into the kernel. A code row is a quarter of a float row, so
// the walk prefetches whole rows, and as many rows ahead as keep about
// kQuantizedLinesAhead cache lines on their way (between one and four
// rows): measured on 128- and 768-dimensional walks, fewer leave the kernel
// waiting on memory and more crowd out the lines it needs next.
inline constexpr std::size_t kQuantizedLinesAhead = 24;

struct QuantizedDistance {
  Sq8Distance kernel;
  std::size_t lines;  // cache lines prefetched per row
  std::size_t rows_ahead;
  QuantizedDistance(const Sq8Quantizer& q, const float* query, Metric metric)
      : kernel(q, query, metric),
        lines(std::min<std::size_t>((q.dim() + 63) / 64, kQuantizedLinesAhead)),
        rows_ahead(std::clamp<std::size_t>(kQuantizedLinesAhead / std::max<std::size_t>(lines, 1), 1, 4)) {}
  float operator()(std::uint32_t slot) const { return kernel(slot); }
  std::size_t ahead() const { return rows_ahead; }
  [[gnu::always_inline]] void prefetch(std::uint32_t slot) const {
    prefetch_row(kernel.row(slot), kernel.dim(), lines);
  }
  [[gnu::always_inline]] void prefetch_first(std::uint32_t slot) const { __builtin_prefetch(kernel.row(slot)); }
};

// Estimated distance from a query to a slot's one-bit code. A packed row
// (64 bytes at 384 dimensions) is a line or two: whole rows are prefetched,
// two ahead.
struct BinaryWalkDistance {
  BinaryDistance kernel;
  BinaryWalkDistance(const BinaryCodes& codes, const float* query) : kernel(codes, query) {}
  float operator()(std::uint32_t slot) const { return kernel(slot); }
  std::size_t ahead() const { return 2; }
  [[gnu::always_inline]] void prefetch(std::uint32_t slot) const {
    prefetch_row(kernel.row(slot), kernel.row_bytes(), 2);
  }
  [[gnu::always_inline]] void prefetch_first(std::uint32_t slot) const { __builtin_prefetch(kernel.row(slot)); }
};

// Admission rules of the beam search. AdmitAll lets every reached slot
// into the beam: the plain walk, compiled without any test. Admissible
// keeps deleted slots and slots failing the filter out of the beam while
// still expanding them (they keep the graph navigable), and gives up once
// the walk has spent more than its budget: each node it measures costs
// node_cost, each slot it tests test_cost (a filter read from the
// records' metadata costs more to test than a row costs to measure). The
// caller sets the budget where an exact scan of the slots that can pass
// costs about as much; by default the budget counts measured nodes.
//
// With a share set (the fraction of live slots that pass), it also gives up
// on a walk whose slots pass far more rarely than that share: the query
// lies where the filter holds for few records (a filter anti-correlated
// with the query's neighbourhood, such as one excluding the query's own
// cluster). Such a walk spends its beam on inadmissible nodes and fills it
// from whichever admissible region it reaches first, not the nearest, so
// the exact scan answers instead. A walk over a filter that holds as often
// near the query as elsewhere admits about `share` of the slots it tests;
// the test waits for enough of them that chance alone does not trip it.
struct AdmitAll {
  static constexpr bool kAll = true;
  bool operator()(std::uint32_t) const { return true; }
  void start() {}
  bool depleted(bool) { return false; }
};

struct Admissible {
  static constexpr bool kAll = false;
  // Give up once admitted / tested falls below share / kDepletion, ...
  static constexpr double kDepletion = 4.0;
  // ... after at least this many admitted slots are expected at the share.
  static constexpr double kExpectedBeforeTest = 16.0;

  const std::uint8_t* dead;                           // per slot, 1 when deleted; nullptr: none is
  const FunctionRef<bool(std::uint32_t)>* predicate;  // nullptr: every live slot passes
  std::size_t budget;                                 // the most the walk may spend
  std::size_t node_cost = 1;                          // spent per node measured
  std::size_t test_cost = 0;                          // spent per slot tested
  double share = 0.0;                                 // passing / live slots; 0: no depletion test
  bool gave_up = false;
  std::size_t spent = 0;     // by the walk on layer 0 so far
  std::size_t measured = 0;  // nodes the walk on layer 0 measured so far
  std::size_t tested = 0;    // slots tested by the walk so far
  std::size_t admitted = 0;  // ... and admitted
  bool operator()(std::uint32_t slot) const {
    if (dead && dead[slot]) return false;
    return predicate == nullptr || (*predicate)(slot);
  }
  void start() { spent = measured = tested = admitted = 0; }
  // Counts one measured node; true when the walk is over its budget.
  bool over_budget() {
    ++measured;
    spent += node_cost;
    return spent > budget;
  }
  // Counts one tested slot; true when the walk should give up (over its
  // budget, or depleted: see above).
  bool depleted(bool admit) {
    ++tested;
    spent += test_cost;
    admitted += admit ? 1 : 0;
    if (spent > budget) return true;
    if (share <= 0.0) return false;
    double t = static_cast<double>(tested);
    if (t * share < kExpectedBeforeTest) return false;
    return static_cast<double>(admitted) * kDepletion < t * share;
  }
};

// How much of a layer-0 block the beam search prefetches for a node it may
// expand next: three cache lines, the whole block at m = 16 (136 bytes,
// wherever it starts); of a larger block only its start, where the walk
// begins reading.
inline constexpr std::size_t kListPrefetchBytes = 192;

// Max-heap on distance (farthest on top).
struct FartherOnTop {
  bool operator()(const Hit& a, const Hit& b) const { return a.distance < b.distance; }
};
// Min-heap on distance (closest on top).
struct CloserOnTop {
  bool operator()(const Hit& a, const Hit& b) const { return a.distance > b.distance; }
};

// Both walks pass over `skip` (a node being relinked) as if it were absent,
// and use the calling thread's scratch ws. kLocked: each list is read under
// its lock, for walks while other threads link; otherwise the caller knows
// that no list changes.

// From start, moves to the closest member of the current node's list on the
// layer while that is closer; returns where it stops (at once on a node
// without the layer).
template <bool kLocked, class Dist>
std::uint32_t greedy_closest(const Graph& graph, const Dist& dist, WalkScratch& ws, std::uint32_t start,
                             std::size_t layer, std::uint32_t skip = kNoEntry) {
  std::uint32_t cur = start;
  float best = dist(cur);
  std::vector<std::uint32_t>& list = ws.fresh;
  for (;;) {
    if (graph.level(cur) < layer) return cur;
    list.clear();
    auto take = [&] {
      for (std::uint32_t n : graph.items(cur, layer))
        if (n != skip) list.push_back(n);
    };
    if constexpr (kLocked) {
      ListLock lock(graph, cur, layer);
      take();
    } else {
      take();
    }
    for (std::uint32_t n : list) dist.prefetch(n);
    bool changed = false;
    for (std::uint32_t n : list) {
      float d = dist(n);
      if (d < best) {
        cur = n;
        best = d;
        changed = true;
      }
    }
    if (!changed) return cur;
  }
}

// The beam search on one layer from entry: the (at most) ef closest
// admitted slots it reaches, in ascending distance (NaN last). Admit decides
// which reached slots may enter the beam; every reached slot is still
// expanded. An Admissible that gives up leaves the result empty. Kept out
// of line: inlined into a caller that walks with one of several distances
// (a search picks one per metric), it measured 6 % more instructions per
// walk.
//
// kCapTies: at most tie_cap(ef) hits at any one distance enter the beam;
// nodes beyond that are still walked through. A group of equal records
// (all at one distance from the query) would otherwise fill the beam, and
// no node farther than the group could enter it: the walk would end inside
// the group. Walks run with it only when a plain walk ended with such a
// group in its beam (beam_has_tie_run), since it costs a lookup per hit.
inline constexpr std::size_t kMaxTiedHits = 4;
// Half the beam: the rest stays open to nodes beyond a group, and a tie a
// search cuts with k (at most the beam's width) keeps its lowest slots
// while it fills at most half the beam.
inline std::size_t tie_cap(std::size_t ef) { return std::max(kMaxTiedHits, ef / 2); }

template <bool kLocked, class Dist, class Admit, bool kCapTies = false>
[[gnu::noinline]] std::vector<Hit> search_layer(const Graph& graph, const Dist& dist, WalkScratch& ws,
                                                std::uint32_t entry, std::size_t ef, std::size_t layer, Admit& admit,
                                                std::uint32_t skip = kNoEntry) {
  [[maybe_unused]] std::unordered_map<float, std::size_t> tied;  // kCapTies: hits in the beam per distance
  VisitedMarks& visited = ws.visited;
  visited.start(graph.node_count());
  visited.test_and_set(entry);
  if (skip != kNoEntry) visited.test_and_set(skip);
  std::vector<Hit>& candidates = ws.candidates;  // heap, closest on top
  std::vector<Hit>& results = ws.results;        // heap, farthest on top
  std::vector<std::uint32_t>& fresh = ws.fresh;
  candidates.clear();
  results.clear();
  float d0 = dist(entry);
  candidates.push_back({entry, d0});
  admit.start();
  if constexpr (Admit::kAll) {
    results.push_back({entry, d0});
  } else {
    admit.over_budget();  // the entry is walked whatever the budget
    bool in = admit(entry);
    admit.depleted(in);
    if (in) results.push_back({entry, d0});
  }
  constexpr float kMax = 3.4028235e38f;
  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), CloserOnTop());
    Hit c = candidates.back();
    candidates.pop_back();
    if constexpr (Admit::kAll) {
      float f = results.empty() ? kMax : results.front().distance;
      if (c.distance > f) break;
    } else {
      // Until the beam holds ef admissible slots, every reachable node is
      // worth expanding.
      if (results.size() >= ef && c.distance > results.front().distance) break;
    }
    if (layer != 0 && graph.level(c.slot) < layer) continue;
    // The list's members not visited yet, marked now; their rows are
    // measured after the list is let go.
    fresh.clear();
    auto take = [&] {
      Graph::Items neighbours = graph.items(c.slot, layer);
      for (std::uint32_t e : neighbours) visited.prefetch(e);
      for (std::uint32_t e : neighbours)
        if (!visited.test_and_set(e)) fresh.push_back(e);
    };
    if constexpr (kLocked) {
      ListLock lock(graph, c.slot, layer);
      take();
    } else {
      take();
    }
    // Every fresh row's first line is requested at once, so their misses
    // overlap; the next rows (as many as the distance asks for) are
    // requested in full just before they are measured.
    for (std::uint32_t e : fresh) dist.prefetch_first(e);
    const std::size_t ahead = dist.ahead();
    for (std::size_t i = 0; i < fresh.size() && i < ahead; ++i) dist.prefetch(fresh[i]);
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      std::uint32_t e = fresh[i];
      if (i + ahead < fresh.size()) dist.prefetch(fresh[i + ahead]);
      if constexpr (!Admit::kAll) {
        if (admit.over_budget()) {
          admit.gave_up = true;
          return {};
        }
      }
      float d = dist(e);
      float far = results.empty() ? kMax : results.front().distance;
      if (d < far || results.size() < ef) {
        candidates.push_back({e, d});
        std::push_heap(candidates.begin(), candidates.end(), CloserOnTop());
        // The whole list block (it spans up to three lines), in case the
        // candidate is expanded.
        if (layer == 0) prefetch_span(graph.block0(e), std::min(graph.block0_bytes(), kListPrefetchBytes));
        bool room = true;
        if constexpr (kCapTies) room = tied[d] < tie_cap(ef);
        bool in = true;
        if constexpr (!Admit::kAll) {
          in = room && admit(e);
          if (room && admit.depleted(in)) {
            admit.gave_up = true;
            return {};
          }
        }
        if (room && in) {
          if constexpr (kCapTies) ++tied[d];
          results.push_back({e, d});
          std::push_heap(results.begin(), results.end(), FartherOnTop());
          if (results.size() > ef) {
            std::pop_heap(results.begin(), results.end(), FartherOnTop());
            if constexpr (kCapTies) --tied[results.back().distance];
            results.pop_back();
          }
        }
      }
    }
  }
  std::vector<Hit> out(results.size());
  for (std::size_t i = out.size(); i-- > 0;) {
    std::pop_heap(results.begin(), results.end(), FartherOnTop());
    out[i] = results.back();
    results.pop_back();
  }
  // Popping the max-heap already yields ascending distances unless NaNs
  // are involved; only then is a sort needed.
  if (!std::is_sorted(out.begin(), out.end(), HitCloser())) sort_hits(out);
  return out;
}

// Whether a beam of width ef (ascending distances) holds more than
// tie_cap(ef) hits at one distance: a group of equal records may have kept
// the walk from leaving it (see search_layer's kCapTies).
inline bool beam_has_tie_run(const std::vector<Hit>& beam, std::size_t ef) {
  const std::size_t cap = tie_cap(ef);
  std::size_t run = 1;
  for (std::size_t i = 1; i < beam.size(); ++i) {
    run = beam[i].distance == beam[i - 1].distance ? run + 1 : 1;
    if (run > cap) return true;
  }
  return false;
}

}  // namespace hovra
