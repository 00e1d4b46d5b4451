// HnswIndex: graph layout, layered search (full precision and SQ8),
// exhaustive scans, insertion and neighbour selection, tombstones, vector
// updates and statistics.
#include "core/index/hnsw_index.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <queue>
#include <random>
#include <string>

#include "core/base/error.h"
#include "core/base/heap.h"
#include "core/base/thread_pool.h"
#include "core/index/exhaustive_scan.h"
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

// Kept out of line: inlined, the compiler would recompute the thread-local's
// address (a call into the dynamic loader in a loaded module) at every use of
// the reference inside the walks instead of holding it in a register.
[[gnu::noinline]] static WalkScratch& walk_scratch() {
  thread_local WalkScratch scratch;
  return scratch;
}

namespace {

// Max-heap on distance (farthest on top).
struct FartherOnTop {
  bool operator()(const Hit& a, const Hit& b) const { return a.distance < b.distance; }
};
// Min-heap on distance (closest on top).
struct CloserOnTop {
  bool operator()(const Hit& a, const Hit& b) const { return a.distance > b.distance; }
};

constexpr std::size_t kFlatRoomMax = 129;

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

// The full-precision rows a walk measures, and their prefetching: how many
// members ahead of the one being measured the walk prefetches, whole rows
// (their first lines, see prefetch_row) or only the first line.
struct FloatRows {
  const float* rows;
  std::size_t dim;
  explicit FloatRows(const HnswIndex& index) : rows(index.store().data()), dim(index.dim()) {}
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
  ExactDistance(const HnswIndex& index, const float* q)
      : FloatRows(index),
        kernel(detail::kMetricKernels[static_cast<std::uint8_t>(index.metric())]),
        query(q),
        negate(index.metric() == Metric::DotProduct) {}
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
// re-scored with that kernel (best_of_beam).
struct CosineWalkDistance : FloatRows {
  PairKernel dot_kernel;
  const float* norms;
  const float* query;
  float query_norm;
  CosineWalkDistance(const HnswIndex& index, const float* q, float qn)
      : FloatRows(index), dot_kernel(pair_dot_kernel()), norms(index.norms().data()), query(q), query_norm(qn) {}
  float operator()(std::uint32_t slot) const {
    float d = dot_kernel(query, row(slot), dim);
    float scale = query_norm * norms[slot];
    return scale > 0.0f ? 1.0f - d / scale : 1.0f;
  }
};

// The squared Euclidean distance a walk orders by: a pair kernel that sums
// in its own order, so it differs from the exact kernel in the last bits and
// what a walk returns is re-scored with that kernel (best_of_beam).
struct L2WalkDistance : FloatRows {
  PairKernel kernel;
  const float* query;
  L2WalkDistance(const HnswIndex& index, const float* q) : FloatRows(index), kernel(pair_l2sq_kernel()), query(q) {}
  float operator()(std::uint32_t slot) const { return kernel(query, row(slot), dim); }
};

// Quantized distance from a full-precision query to a slot's SQ8 codes, the
// decoding fused into the kernel. A code row is a quarter of a float row, so
// the walk prefetches whole rows, and as many rows ahead as keep about
// kQuantizedLinesAhead cache lines on their way (between one and four
// rows): measured on 128- and 768-dimensional walks, fewer leave the kernel
// waiting on memory and more crowd out the lines it needs next.
constexpr std::size_t kQuantizedLinesAhead = 24;

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

// Admission policies of the layer walk. AdmitAll lets every reached slot
// into the beam: the plain walk, compiled without any test. Admissible
// keeps deleted slots and slots failing the filter out of the beam while
// still expanding them (they keep the graph navigable), and gives up once
// the walk has measured more nodes than could ever pass, where an exact scan
// of those is cheaper.
struct AdmitAll {
  static constexpr bool kAll = true;
  bool operator()(std::uint32_t) const { return true; }
};

struct Admissible {
  static constexpr bool kAll = false;
  const std::uint8_t* dead;        // per slot, 1 when deleted; nullptr: none is
  const SlotPredicate* predicate;  // nullptr: every live slot passes
  std::size_t limit;               // most nodes the walk may measure
  bool gave_up = false;
  bool operator()(std::uint32_t slot) const {
    if (dead && dead[slot]) return false;
    return predicate == nullptr || (*predicate)(slot);
  }
};

// The most a cosine distance a walk measures through the stored norms can
// differ from the cosine kernel's (both are within a few units of 1e-7 of
// the true value); a beam's head is re-scored this far past its k-th.
constexpr float kCosineWalkSlack = 1e-3f;

// The relative slack of a Euclidean walk: its pair kernel and the exact
// kernel each lie within sum_error_factor of the exact sum of the same
// non-negative terms, so every slot whose exact distance can be at most the
// k-th's was measured within dk * (1 + 3 factor) by the walk.
float l2_walk_slack(std::size_t dim) { return static_cast<float>(3.0 * sum_error_factor(dim)); }

// About how many nodes a layer-0 walk measures per beam slot when every node
// is admissible, weighted by the cost of a measured node against a scanned
// one.
constexpr double kWalkCostPerBeamSlot = 8.0;

// Layer-0 lists keep a dropped member that would be left with fewer
// in-links than this: with two, a pair of nodes that only list each other
// cannot drift out of reach.
constexpr std::uint32_t kMinInLinks = 2;

// How many consecutive vectors of a batch one worker links in a row.
constexpr std::size_t kLinkRun = 64;

// The reachability of every live node is checked, and mended, once the
// insertions and updates since the last check reach 1/kAuditPeriod of the
// node count: a breadth-first walk costs about as much as a few insertions
// per node checked.
constexpr std::size_t kAuditPeriod = 32;

std::size_t saturating_mul(std::size_t a, std::size_t b) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return std::numeric_limits<std::size_t>::max();
  return a * b;
}

}  // namespace

HnswIndex::HnswIndex(std::size_t dim, Metric metric, std::size_t m, std::size_t ef_construction)
    : dim_(dim),
      metric_(metric),
      m_(m),
      m_max0_(2 * m),
      own_cap0_(m),
      ef_construction_(ef_construction),
      level_mult_(1.0 / std::log(static_cast<double>(m))),
      store_(dim),
      stride0_(1 + std::min<std::size_t>(2 * m + 1, kFlatRoomMax)) {}

std::unique_ptr<HnswIndex> HnswIndex::from_layout(GraphLayout layout, VectorStore store, std::vector<float> norms) {
  auto index = std::make_unique<HnswIndex>(layout.dim, layout.metric, layout.m, layout.ef_construction);
  std::size_t n = layout.node_count();
  const std::uint32_t* table = layout.table.data();
  index->levels_.resize(n);
  index->flat0_.assign(n * index->stride0_, 0);
  index->locks0_.assign(n, 0);
  bool long_lists = index->stride0_ < 2 * index->m_ + 2;
  for (std::size_t s = 0; s < n && !long_lists; ++s) {
    std::size_t at = layout.node_at[s];
    long_lists = table[at] > 0 && table[at + 1] >= index->stride0_;
  }
  if (long_lists) index->long0_.resize(n);
  index->upper_.resize(n);
  for (std::size_t s = 0; s < n; ++s) {
    std::size_t at = layout.node_at[s];
    std::size_t layers = table[at++];
    std::size_t level = layers == 0 ? 0 : layers - 1;
    index->levels_[s] = static_cast<std::uint32_t>(level);
    if (level > 0) {
      index->upper_[s].reset(new NeighbourList[level]);
      index->upper_nodes_.push_back(static_cast<std::uint32_t>(s));
    }
    for (std::size_t l = 0; l < layers; ++l) {
      std::size_t count = table[at];
      index->assign(static_cast<std::uint32_t>(s), l, table + at + 1, count);
      at += 1 + count;
    }
  }
  index->deleted_.insert(layout.deleted.begin(), layout.deleted.end());
  index->in0_.assign(n, 0);
  for (std::uint32_t s = 0; s < n; ++s)
    for (std::uint32_t x : index->items(s, 0))
      if (x < n) ++index->in0_[x];
  index->dead_.assign(n, 0);
  for (std::uint32_t s : index->deleted_)
    if (s < n) index->dead_[s] = 1;
  index->live_count_ = n - index->deleted_.size();
  index->entry_point_ = layout.entry_point;
  index->max_level_ = layout.max_level;
  index->store_ = std::move(store);
  index->norms_ = std::move(norms);
  index->norms_bound_rows_.store(false);
  return index;
}

inline std::uint8_t& HnswIndex::lock_byte(std::uint32_t slot, std::size_t layer) const {
  return layer == 0 ? locks0_[slot] : upper_[slot][layer - 1].lock_byte;
}

// Taking a free lock is one exchange, inlined at every use; only a lock
// another thread holds goes to the out-of-line spin.
inline HnswIndex::ListLock::ListLock(const HnswIndex& index, std::uint32_t slot, std::size_t layer)
    : lock_(index.lock_byte(slot, layer)) {
  if (lock_.exchange(1, std::memory_order_acquire)) spin();
}

[[gnu::noinline]] void HnswIndex::ListLock::spin() {
  do {
    while (lock_.load(std::memory_order_relaxed)) __builtin_ia32_pause();
  } while (lock_.exchange(1, std::memory_order_acquire));
}

inline HnswIndex::ListLock::~ListLock() { lock_.store(0, std::memory_order_release); }

void HnswIndex::assign(std::uint32_t slot, std::size_t layer, const std::uint32_t* data, std::size_t size) {
  if (layer > 0) {
    upper_[slot][layer - 1].slots.assign(data, data + size);
    return;
  }
  std::uint32_t* block = flat0_.data() + std::size_t(slot) * stride0_;
  if (block[0] == kLongList || size >= stride0_) {
    if (long0_.size() <= slot) panic("neighbour list over its capacity");
    long0_[slot].assign(data, data + size);
    block[0] = kLongList;
    return;
  }
  std::copy(data, data + size, block + 1);
  block[0] = static_cast<std::uint32_t>(size);
}

void HnswIndex::check_slot(std::uint32_t slot) const {
  if (slot >= levels_.size())
    panic("index out of bounds: the len is " + std::to_string(levels_.size()) + " but the index is " +
          std::to_string(slot));
}

void HnswIndex::copy_list(std::uint32_t slot, std::size_t layer, std::vector<std::uint32_t>& out) const {
  check_slot(slot);
  if (layer > levels_[slot]) panic("layer out of range for node " + std::to_string(slot));
  ListLock lock(*this, slot, layer);
  Items it = items(slot, layer);
  out.assign(it.begin(), it.end());
}

std::size_t HnswIndex::random_level() const {
  thread_local std::mt19937_64 rng{[] {
    std::random_device rd;
    return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  }()};
  double u = 0.0;
  while (u == 0.0) u = static_cast<double>(rng() >> 11) * 0x1.0p-53;  // a zero draw is redrawn
  double level = std::floor(-std::log(u) * level_mult_);
  if (!(level > 0.0)) return 0;
  return static_cast<std::size_t>(level);
}

template <bool kLocked, class Dist>
std::uint32_t HnswIndex::greedy_closest(const Dist& dist, WalkScratch& ws, std::uint32_t start, std::size_t layer,
                                        std::uint32_t skip) const {
  std::uint32_t cur = start;
  float best = dist(cur);
  std::vector<std::uint32_t>& list = ws.fresh;
  for (;;) {
    if (levels_[cur] < layer) return cur;
    list.clear();
    auto take = [&] {
      for (std::uint32_t n : items(cur, layer))
        if (n != skip) list.push_back(n);
    };
    if constexpr (kLocked) {
      ListLock lock(*this, cur, layer);
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

template <bool kLocked, class Dist, class Admit>
std::vector<Hit> HnswIndex::search_layer(const Dist& dist, WalkScratch& ws, std::uint32_t entry, std::size_t ef,
                                         std::size_t layer, Admit& admit, std::uint32_t skip) const {
  VisitedMarks& visited = ws.visited;
  visited.start(levels_.size());
  visited.test_and_set(entry);
  if (skip != kNoEntry) visited.test_and_set(skip);
  std::vector<Hit>& candidates = ws.candidates;  // heap, closest on top
  std::vector<Hit>& results = ws.results;        // heap, farthest on top
  std::vector<std::uint32_t>& fresh = ws.fresh;
  candidates.clear();
  results.clear();
  float d0 = dist(entry);
  candidates.push_back({entry, d0});
  if (Admit::kAll || admit(entry)) results.push_back({entry, d0});
  [[maybe_unused]] std::size_t measured = 1;
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
    if (layer != 0 && levels_[c.slot] < layer) continue;
    // The list's members not visited yet, marked now; their rows are
    // measured after the list is let go.
    fresh.clear();
    auto take = [&] {
      Items neighbours = items(c.slot, layer);
      for (std::uint32_t e : neighbours) visited.prefetch(e);
      for (std::uint32_t e : neighbours)
        if (!visited.test_and_set(e)) fresh.push_back(e);
    };
    if constexpr (kLocked) {
      ListLock lock(*this, c.slot, layer);
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
        if (++measured > admit.limit) {
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
        if (layer == 0)
          prefetch_span(flat0_.data() + std::size_t(e) * stride0_, std::min<std::size_t>(stride0_ * 4, 192));
        if (Admit::kAll || admit(e)) {
          results.push_back({e, d});
          std::push_heap(results.begin(), results.end(), FartherOnTop());
          if (results.size() > ef) {
            std::pop_heap(results.begin(), results.end(), FartherOnTop());
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

template <class Admit>
std::vector<Hit> HnswIndex::beam(const float* query, std::size_t ef, Admit& admit) const {
  WalkScratch& ws = walk_scratch();
  std::uint32_t ep = entry_point_;
  auto walk = [&](const auto& dist) {
    for (std::size_t layer = max_level_; layer >= 1; --layer) ep = greedy_closest<false>(dist, ws, ep, layer);
    return search_layer<false>(dist, ws, ep, ef, 0, admit);
  };
  if (quantizer_) return walk(QuantizedDistance(*quantizer_, query, metric_));
  if (metric_ == Metric::Cosine) return walk(CosineWalkDistance(*this, query, vector_norm(query, dim_)));
  if (metric_ == Metric::Euclidean) return walk(L2WalkDistance(*this, query));
  return walk(ExactDistance(*this, query));
}

namespace {

// The k nearest of a beam from an SQ8 walk, at full precision: the same
// hits in the same order as re-scoring every member and sorting them
// stably. Members are re-scored in beam order (ascending quantized
// distance), and where the quantizer bounds how far a full-precision
// distance can lie below the quantized one, the scoring stops at the first
// member whose bound exceeds the k-th smallest distance scored so far:
// neither it nor any later member could come before that one, and a later
// member that ties it would sort after it.
std::vector<Hit> rescore_quantized_beam(const HnswIndex& index, const float* query, std::vector<Hit> beam,
                                        std::size_t k) {
  const std::size_t n = beam.size(), dim = index.dim();
  const Sq8DistanceBound bound(*index.quantizer(), query, index.metric());
  // A NaN quantized distance sorts last and bounds nothing: score them all.
  const bool bounded = bound.usable() && k > 0 && n > k && !std::isnan(beam.back().distance);
  // The k-th smallest distance is at most the bound above the k-th member's,
  // so members whose bound below exceeds that are never scored; the rest
  // are all requested at once.
  std::size_t requested = n;
  if (bounded) {
    double limit = bound.upper(beam[k - 1].distance);
    requested = k;
    while (requested < n && !(bound.lower(beam[requested].distance) > limit)) ++requested;
  }
  for (std::size_t i = 0; i < requested; ++i) prefetch_row(index.vector(beam[i].slot), dim * sizeof(float));
  auto farther_on_top = [](float a, float b) { return closer(a, b); };
  std::vector<float> best;  // the k smallest scored distances, farthest on top
  std::size_t head = n;
  for (std::size_t i = 0; i < n; ++i) {
    if (bounded) {
      if (i >= k && bound.lower(beam[i].distance) > best.front()) {
        head = i;
        break;
      }
    }
    beam[i].distance = distance(query, index.vector(beam[i].slot), dim, index.metric());
    if (bounded) {
      best.push_back(beam[i].distance);
      std::push_heap(best.begin(), best.end(), farther_on_top);
      if (best.size() > k) {
        std::pop_heap(best.begin(), best.end(), farther_on_top);
        best.pop_back();
      }
    }
  }
  beam.resize(head);
  sort_hits(beam);
  if (beam.size() > k) beam.resize(k);
  return beam;
}

}  // namespace

// The k nearest of a beam of admissible slots, with the distances of the
// exact kernel: after an SQ8 walk the beam re-scored at full precision
// (rescore_quantized_beam); after a cosine or Euclidean walk its head, that
// is the first k and every later one the walk measured within the slack of
// its kernel of the k-th (kCosineWalkSlack, l2_walk_slack); under the dot
// product the first k as measured.
std::vector<Hit> HnswIndex::best_of_beam(const float* query, std::vector<Hit> beam, std::size_t k) const {
  if (quantizer_) return rescore_quantized_beam(*this, query, std::move(beam), k);
  if (metric_ != Metric::DotProduct) {
    std::size_t head = beam.size();
    if (beam.size() > k && k > 0) {
      float dk = beam[k - 1].distance;
      float edge = metric_ == Metric::Cosine ? dk + kCosineWalkSlack : dk + dk * l2_walk_slack(dim_);
      head = k;
      while (head < beam.size() && beam[head].distance <= edge) ++head;
    }
    beam.resize(head);
    for (Hit& h : beam) h.distance = distance(query, vector(h.slot), dim_, metric_);
    sort_hits(beam);
  }
  if (beam.size() > k) beam.resize(k);
  return beam;
}

// Whether a walk that fills a beam of width slots, of which `passing` of all
// nodes are admissible, costs less than measuring those `passing` exactly.
// The walk's cost grows as admissible nodes thin out.
bool HnswIndex::walk_is_cheaper(std::size_t passing, std::size_t width) const {
  double walk = kWalkCostPerBeamSlot * static_cast<double>(width) * static_cast<double>(levels_.size()) /
                static_cast<double>(passing);
  return walk < static_cast<double>(passing);
}

ScanRows HnswIndex::scan_rows() const {
  return ScanRows{store_.data(), dim_,    levels_.size(),
                  norms_.data(), metric_, norms_bound_rows_.load(std::memory_order_relaxed)};
}

// The exact scan: every slot without tombstones or a filter (the batch
// formula), else the slots that are not deleted and pass the predicate, in
// slot order (the pairwise distance). The brute-force path raises the scan
// hint before it; the graph path's scans of few candidates do not.
std::vector<Hit> HnswIndex::exhaustive(const float* query, std::size_t k, SlotPredicate* predicate,
                                       const std::vector<std::uint32_t>* scan) const {
  if (k == 0) return {};
  std::size_t n = levels_.size();
  if (!scan && predicate == nullptr && deleted_.empty() && dim_ > 0) {
    bool norms_hold = false;
    std::vector<Hit> hits = scan_all_rows(scan_rows(), query, k, &norms_hold);
    if (norms_hold) norms_bound_rows_.store(true, std::memory_order_relaxed);
    return hits;
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
  return scan_slots(scan_rows(), query, eligible.data(), eligible.size(), k);
}

std::vector<std::vector<Hit>> HnswIndex::search_batch(const std::vector<const float*>& queries, std::size_t k,
                                                      std::size_t ef, Progress* progress) const {
  std::vector<std::vector<Hit>> out;
  if (entry_point_ != kNoEntry && uses_brute_force() && deleted_.empty() && dim_ > 0 && k > 0) {
    raise_scan_hint();
    scan_all_rows_many(scan_rows(), queries.data(), queries.size(), k, out, progress);
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
  if (entry_point_ == kNoEntry) return {};
  if (uses_brute_force()) {
    raise_scan_hint();
    return exhaustive(query, k, nullptr, nullptr);
  }
  if (k == 0) return {};
  std::size_t width = std::max(ef, k);
  std::vector<Hit> hits;
  if (deleted_.empty()) {
    AdmitAll all;
    hits = best_of_beam(query, beam(query, width, all), k);
  } else {
    Admissible live{dead_.data(), nullptr, live_count()};
    std::vector<Hit> w = beam(query, width, live);
    if (!live.gave_up) hits = best_of_beam(query, std::move(w), k);
  }
  // A walk that gave up, or a graph that cannot reach k live nodes from the
  // entry point, is answered by the exact scan.
  if (hits.size() < std::min(k, live_count())) return exhaustive(query, k, nullptr, nullptr);
  return hits;
}

std::vector<Hit> HnswIndex::search_filtered(const float* query, std::size_t len, std::size_t k, std::size_t ef,
                                            const SlotFilter& filter) const {
  assert_len(len, dim_, "query dimension mismatch");
  if (entry_point_ == kNoEntry) return {};
  SlotPredicate predicate = filter.admits;
  auto scan = [&] {
    ScanList list = filter.scan_list();
    return exhaustive(query, k, list.slots && list.all_pass ? nullptr : &predicate, list.slots);
  };
  if (uses_brute_force()) {
    raise_scan_hint();
    return scan();
  }
  std::size_t passing = std::min(filter.bound, live_count());
  if (k == 0 || passing == 0) return {};
  std::size_t width = std::max(ef, saturating_mul(k, 4));
  if (!walk_is_cheaper(passing, width)) return scan();
  Admissible admit{deleted_.empty() ? nullptr : dead_.data(), &predicate, passing};
  std::vector<Hit> w = beam(query, width, admit);
  if (admit.gave_up) return scan();
  std::vector<Hit> hits = best_of_beam(query, std::move(w), k);
  // Short of k while more slots may pass: the graph cannot reach them.
  if (hits.size() < std::min(k, passing)) return scan();
  return hits;
}

// Room for `nodes` nodes in every per-node array, growing by half at
// least, so that a batch appends without reallocating and a run of small
// batches does not reallocate on each.
void HnswIndex::reserve_nodes(std::size_t nodes) {
  if (nodes <= levels_.capacity()) return;
  nodes = std::max(nodes, levels_.capacity() + levels_.capacity() / 2);
  norms_.reserve(nodes);
  levels_.reserve(nodes);
  flat0_.reserve(nodes * stride0_);
  locks0_.reserve(nodes);
  dead_.reserve(nodes);
  in0_.reserve(nodes);
  upper_.reserve(nodes);
}

void HnswIndex::append_node(const float* v, std::size_t level) {
  if (levels_.size() >= kNoEntry) panic("slot space exhausted");
  if (quantizer_) quantizer_->append(v);
  norms_.push_back(vector_norm(v, dim_));
  store_.append(v);
  levels_.push_back(static_cast<std::uint32_t>(level));
  flat0_.resize(flat0_.size() + stride0_, 0);
  locks0_.push_back(0);
  dead_.push_back(0);
  in0_.push_back(0);
  if (!long0_.empty() || stride0_ < m_max0_ + 2) long0_.resize(levels_.size());
  upper_.emplace_back(level > 0 ? new NeighbourList[level] : nullptr);
  if (level > 0) upper_nodes_.push_back(static_cast<std::uint32_t>(levels_.size() - 1));
}

std::uint32_t HnswIndex::insert(const float* v, std::size_t len) {
  assert_len(len, dim_, "vector dimension mismatch");
  auto slot = static_cast<std::uint32_t>(levels_.size());
  std::size_t level = random_level();
  store_.make_owned();
  append_node(v, level);
  live_count_.fetch_add(1, std::memory_order_relaxed);
  if (entry_point_ == kNoEntry) {
    entry_point_ = slot;
    max_level_ = level;
    return slot;
  }
  connect_node<false>(slot, level, entry_point_);
  if (level > max_level_) {
    entry_point_ = slot;
    max_level_ = level;
  }
  note_changes(1);
  return slot;
}

// Chooses at most cap neighbours from candidates sorted by ascending
// distance to the node: a candidate is kept when it is closer to the node
// than to every neighbour kept before it. Keeping only the nearest
// candidates would fill every list of a tight cluster with members of that
// cluster, cutting the graph into islands that searches cannot cross.
void HnswIndex::select_neighbours(const std::vector<Hit>& candidates, std::uint32_t self, std::size_t cap,
                                  std::vector<std::uint32_t>& out) const {
  out.clear();
  for (const Hit& c : candidates) {
    if (out.size() >= cap) break;
    if (c.slot != self && is_diverse(c, out)) out.push_back(c.slot);
  }
}

// Whether a candidate (with its distance to the node) is closer to the node
// than to every kept neighbour.
bool HnswIndex::is_diverse(const Hit& candidate, const std::vector<std::uint32_t>& kept) const {
  for (std::uint32_t k : kept)
    if (link_distance(candidate.slot, k) < candidate.distance) return false;
  return true;
}

// The distance between two stored nodes as the graph's construction measures
// it: as the walks do (the pair kernels, cosine through the stored norms),
// the exact kernel for the dot product.
float HnswIndex::link_distance(std::uint32_t a, std::uint32_t b) const {
  const float* rows = store_.data();
  const float* ra = rows + std::size_t(a) * dim_;
  const float* rb = rows + std::size_t(b) * dim_;
  if (metric_ == Metric::Euclidean) return pair_l2sq_kernel()(ra, rb, dim_);
  if (metric_ != Metric::Cosine) return distance(ra, rb, dim_, metric_);
  float d = pair_dot_kernel()(ra, rb, dim_);
  float scale = norms_[a] * norms_[b];
  return scale > 0.0f ? 1.0f - d / scale : 1.0f;
}

// Changes a layer-0 in-link count (delta 0 reads it); returns the new count.
std::uint32_t HnswIndex::count_in0(std::uint32_t slot, int delta) {
  std::atomic_ref<std::uint32_t> count(in0_[slot]);
  auto d = static_cast<std::uint32_t>(delta);
  return delta == 0 ? count.load(std::memory_order_relaxed) : count.fetch_add(d, std::memory_order_relaxed) + d;
}

// Appends slot to n's list unless it is there; an overfull list is cut back
// to cap by the neighbour selection over its members (stable order, so the
// newest entry loses ties).
void HnswIndex::link_back(std::uint32_t n, std::uint32_t slot, std::size_t layer, std::size_t cap, WalkScratch& ws) {
  std::vector<std::uint32_t>& grown = ws.grown;
  std::vector<Hit>& scored = ws.scored;
  ListLock lock(*this, n, layer);
  Items current = items(n, layer);
  if (std::find(current.begin(), current.end(), slot) != current.end()) return;
  grown.assign(current.begin(), current.end());
  grown.push_back(slot);
  if (grown.size() > cap) {
    scored.clear();
    for (std::uint32_t x : grown) scored.push_back({x, link_distance(n, x)});
    sort_hits(scored);
    select_neighbours(scored, n, cap, grown);
    if (layer == 0) keep_last_links(current, slot, grown);
  }
  if (layer == 0 && std::find(grown.begin(), grown.end(), slot) != grown.end()) count_in0(slot, 1);
  assign(n, layer, grown.data(), grown.size());
}

// A layer-0 list goes from `before` to kept: each member it drops (not the
// incoming one, which it never held) that would be left with fewer than
// kMinInLinks in-links stays, in the room left or in place of a member that
// enough other lists hold. Counts change atomically, so two lists dropping
// the same node at once cannot both go below the floor.
void HnswIndex::keep_last_links(Items before, std::uint32_t incoming, std::vector<std::uint32_t>& kept) {
  std::size_t chosen = kept.size();
  for (std::uint32_t x : before) {
    if (x == incoming || std::find(kept.begin(), kept.begin() + chosen, x) != kept.begin() + chosen) continue;
    if (count_in0(x, -1) >= kMinInLinks) continue;
    if (kept.size() >= m_max0_ && !evict_shared(kept, incoming)) continue;
    kept.push_back(x);
    count_in0(x, 1);
  }
}

// Removes from a layer-0 list, nearest first, the farthest member other than
// `keep` that at least kMinInLinks other lists hold; false when there is none.
bool HnswIndex::evict_shared(std::vector<std::uint32_t>& list, std::uint32_t keep) {
  for (std::size_t i = list.size(); i-- > 0;) {
    if (list[i] == keep) continue;
    if (count_in0(list[i], -1) >= kMinInLinks) {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
    count_in0(list[i], 1);
  }
  return false;
}

// Gives a node held by fewer than kMinInLinks layer-0 lists more in-links:
// hosts (nearest first) that lack it take it, in the room they have or in
// place of their farthest member that enough other lists also hold.
void HnswIndex::adopt(std::uint32_t orphan, const std::vector<std::uint32_t>& hosts) {
  std::vector<Hit> members;
  std::vector<std::uint32_t> list;
  for (std::uint32_t host : hosts) {
    if (count_in0(orphan, 0) >= kMinInLinks) return;
    if (host == orphan) continue;
    ListLock lock(*this, host, 0);
    Items current = items(host, 0);
    if (std::find(current.begin(), current.end(), orphan) != current.end()) continue;
    members.clear();
    for (std::uint32_t x : current) members.push_back({x, link_distance(host, x)});
    sort_hits(members);
    list.clear();
    for (const Hit& h : members) list.push_back(h.slot);
    if (list.size() >= m_max0_ && !evict_shared(list, orphan)) continue;
    list.push_back(orphan);
    count_in0(orphan, 1);
    assign(host, 0, list.data(), list.size());
  }
}

// Calls use(dist) with the distance the construction's walks measure from
// the stored node `slot`: through the stored norms for cosine, the pair
// kernel for Euclidean, the exact kernel for the dot product.
template <class Use>
void HnswIndex::with_node_distance(std::uint32_t slot, Use&& use) const {
  const float* v = vector(slot);
  if (metric_ == Metric::Cosine) use(CosineWalkDistance(*this, v, norms_[slot]));
  else if (metric_ == Metric::Euclidean) use(L2WalkDistance(*this, v));
  else use(ExactDistance(*this, v));
}

// Links a stored node into every layer up to its level, starting the
// descent at ep. The walks pass over the node itself: links other nodes
// already hold to it (an updated node, or one another thread has linked)
// would lead them into its own lists, still empty or stale. A node that its
// layer-0 neighbours cut from their lists again is adopted by the nearest.
//
// The node's neighbours are chosen on every layer first (top down, each
// layer's walk starting from the nearest node of the layer above) and
// linked afterwards from layer 0 up. Another thread linking at the same time
// can reach the node only through its links, so whatever layer it reaches the
// node on, the node's lists on that layer and below are already in place.
// Linked top down, a node reached on an upper layer before its layer-0 list
// exists would end that thread's descent in a dead end, and the nodes linked
// from there would form islands no search enters.
template <bool kLocked>
void HnswIndex::connect_node(std::uint32_t slot, std::size_t level, std::uint32_t ep) {
  WalkScratch& ws = walk_scratch();
  std::size_t top = max_level_;
  std::size_t low = std::min(level, top);
  std::vector<std::vector<std::uint32_t>> chosen(low + 1);
  auto choose = [&](const auto& dist) {
    for (std::size_t t = top; t > level; --t) ep = greedy_closest<kLocked>(dist, ws, ep, t, slot);
    for (std::size_t l = low + 1; l-- > 0;) {
      AdmitAll all;
      std::vector<Hit> w = search_layer<kLocked>(dist, ws, ep, ef_construction_, l, all, slot);
      select_neighbours(w, slot, l == 0 ? own_cap0_ : m_, chosen[l]);
      if (!w.empty()) ep = w.front().slot;
    }
  };
  with_node_distance(slot, choose);
  for (std::size_t l = 0; l <= low; ++l) {
    std::vector<std::uint32_t>& selected = chosen[l];
    {
      // Another thread may have linked into the list already.
      ListLock lock(*this, slot, l);
      if (l == 0) {
        Items before = items(slot, 0);
        for (std::uint32_t x : selected)
          if (std::find(before.begin(), before.end(), x) == before.end()) count_in0(x, 1);
        keep_last_links(before, kNoEntry, selected);
      }
      assign(slot, l, selected.data(), selected.size());
    }
    std::size_t cap = l == 0 ? m_max0_ : m_;
    for (std::uint32_t n : selected)
      if (levels_[n] >= l) link_back(n, slot, l, cap, ws);
    if (l == 0) adopt(slot, selected);
  }
}

std::vector<std::uint32_t> HnswIndex::insert_batch(const std::vector<const float*>& vectors,
                                                   const std::vector<std::size_t>& lens, Progress* progress,
                                                   bool stoppable) {
  for (std::size_t len : lens) assert_len(len, dim_, "vector dimension mismatch");
  return insert_batch(VectorRows::gathered(vectors.data(), vectors.size(), dim_), progress, stoppable);
}

std::vector<std::uint32_t> HnswIndex::insert_batch(const VectorRows& rows, Progress* progress, bool stoppable) {
  for (std::size_t i = 0; i < rows.size(); ++i) assert_len(rows.len(i), dim_, "vector dimension mismatch");
  std::size_t n = rows.size();
  std::vector<std::uint32_t> slots;
  if (n == 0) return slots;
  auto stopping = [&] { return stoppable && stop_requested(progress); };
  auto first = static_cast<std::uint32_t>(levels_.size());
  std::vector<std::size_t> levels(n);
  for (auto& lv : levels) lv = random_level();
  store_.make_owned();
  store_.reserve_slots(levels_.size() + n);
  reserve_nodes(levels_.size() + n);
  RowReader read(rows);
  for (std::size_t i = 0; i < n; ++i) append_node(read(i), levels[i]);
  std::size_t start = 0;
  if (entry_point_ == kNoEntry) {
    entry_point_ = first;
    max_level_ = levels[0];
    start = 1;
    advance(progress);
  }
  std::size_t sequential = std::min(n, kSequentialBatch);
  for (std::size_t i = start; i < sequential; ++i) {
    if (stopping()) return {};
    connect_node<false>(first + static_cast<std::uint32_t>(i), levels[i], entry_point_);
    if (levels[i] > max_level_) {
      entry_point_ = first + static_cast<std::uint32_t>(i);
      max_level_ = levels[i];
    }
    advance(progress);
  }
  if (n > kSequentialBatch) {
    // Nodes whose level is above the current top layer would get no links
    // on their upper layers in the parallel phase, and one of them would
    // become the entry point with empty top lists. They are linked after
    // it, one by one, like the sequential phase.
    std::uint32_t ep = entry_point_;
    std::size_t top = max_level_;
    std::vector<std::size_t> parallel, deferred;
    for (std::size_t i = kSequentialBatch; i < n; ++i) (levels[i] > top ? deferred : parallel).push_back(i);
    // The workers claim runs of kLinkRun consecutive vectors and link each
    // run in order. Neighbours in the input are often neighbours in space
    // (records loaded in sorted order); linked at the same time, neither
    // would see the other, and a pair or a small group near only each other
    // could end up unlinked. Within a run each sees the one before it, and
    // the vectors linked at the same time lie a run apart.
    std::size_t runs = (parallel.size() + kLinkRun - 1) / kLinkRun;
    parallel_for(runs, [&](std::size_t r) {
      std::size_t end = std::min(parallel.size(), (r + 1) * kLinkRun);
      for (std::size_t j = r * kLinkRun; j < end; ++j) {
        if (stopping()) return;
        std::size_t i = parallel[j];
        connect_node<true>(first + static_cast<std::uint32_t>(i), levels[i], ep);
        advance(progress);
      }
    });
    if (stopping()) return {};
    for (std::size_t i : deferred) {
      connect_node<false>(first + static_cast<std::uint32_t>(i), levels[i], entry_point_);
      if (levels[i] > max_level_) {
        entry_point_ = first + static_cast<std::uint32_t>(i);
        max_level_ = levels[i];
      }
      advance(progress);
    }
  }
  live_count_.fetch_add(n, std::memory_order_relaxed);
  note_changes(n);
  slots.reserve(n);
  for (std::size_t i = 0; i < n; ++i) slots.push_back(first + static_cast<std::uint32_t>(i));
  return slots;
}

void HnswIndex::mark_deleted(std::uint32_t slot) {
  if (slot >= levels_.size()) return;
  if (!deleted_.insert(slot).second) return;
  dead_[slot] = 1;
  live_count_.fetch_sub(1, std::memory_order_relaxed);
}

// Overwrites the slot's vector and relinks its node. Each node that listed
// the slot, on any layer, drops it and takes on instead the slot's former
// neighbours it could reach through the slot before (repair_unlinked); a
// former neighbour that too few lists hold any more is adopted by the
// nearest of its neighbours. So the update strands no node behind the moved
// one, and the region it leaves stays as reachable as before.
void HnswIndex::update_vector(std::uint32_t slot, const float* v, std::size_t len) {
  assert_len(len, dim_, "");
  check_slot(slot);
  store_.make_owned();
  store_.overwrite(slot, v);
  norms_[slot] = vector_norm(v, dim_);
  if (quantizer_) quantizer_->reencode(slot, v);
  if (levels_.size() == 1) return;
  if (slot == entry_point_) hand_over_entry(slot);
  std::size_t level = levels_[slot];
  std::vector<std::uint32_t> former, former0;
  for (std::size_t l = 0; l <= level; ++l) {
    {
      ListLock lock(*this, slot, l);
      Items own = items(slot, l);
      former.assign(own.begin(), own.end());
      assign(slot, l, nullptr, 0);
    }
    if (l == 0) {
      for (std::uint32_t x : former) count_in0(x, -1);
      former0 = former;
    }
    repair_unlinked(slot, l, former);
  }
  connect_node<false>(slot, level, entry_point_);
  std::vector<std::uint32_t> hosts;
  std::vector<Hit> near;
  for (std::uint32_t y : former0) {
    if (y == slot || count_in0(y, 0) >= kMinInLinks) continue;
    copy_list(y, 0, hosts);
    hosts.insert(hosts.end(), former0.begin(), former0.end());
    near.clear();
    for (std::uint32_t h : hosts)
      if (h != slot && h != y) near.push_back({h, link_distance(y, h)});
    sort_hits(near);
    hosts.clear();
    for (const Hit& h : near) hosts.push_back(h.slot);
    adopt(y, hosts);
  }
  note_changes(1);
}

// Every node that lists slot on the layer lets go of it: it keeps its other
// neighbours and adds slot's former neighbours, nearest to it first, by the
// neighbour selection's diversity rule until its list is full; a list that
// takes none of them still takes the nearest in slot's place. Each link so
// added is offered back, as an insertion offers its links. So the links
// into and out of the region the slot leaves keep leading there instead of
// to wherever the slot moves: a sparse region loses the nodes that linked it
// from afar, and its own nodes' links, redirected and returned, keep it in
// reach of searches that start elsewhere. Layer 0 asks slot's former
// neighbours and their neighbours, which hold nearly all its in-links; a
// higher layer, having few nodes, asks all of them.
void HnswIndex::repair_unlinked(std::uint32_t slot, std::size_t layer, const std::vector<std::uint32_t>& former) {
  std::size_t cap = layer == 0 ? m_max0_ : m_;
  std::vector<std::uint32_t> holders;
  if (layer == 0) {
    holders = former;
    for (std::uint32_t y : former) {
      ListLock lock(*this, y, 0);
      Items theirs = items(y, 0);
      holders.insert(holders.end(), theirs.begin(), theirs.end());
    }
    std::sort(holders.begin(), holders.end());
    holders.erase(std::unique(holders.begin(), holders.end()), holders.end());
  } else {
    for (std::uint32_t s : upper_nodes_)
      if (levels_[s] >= layer) holders.push_back(s);
  }
  std::vector<std::uint32_t> kept;
  std::vector<Hit> offered;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> added;  // (new neighbour, holder)
  for (std::uint32_t n : holders) {
    if (n == slot || levels_[n] < layer) continue;
    ListLock lock(*this, n, layer);
    Items theirs = items(n, layer);
    if (std::find(theirs.begin(), theirs.end(), slot) == theirs.end()) continue;
    kept.clear();
    for (std::uint32_t x : theirs)
      if (x != slot) kept.push_back(x);
    offered.clear();
    for (std::uint32_t y : former)
      if (y != slot && y != n && levels_[y] >= layer && std::find(kept.begin(), kept.end(), y) == kept.end())
        offered.push_back({y, link_distance(n, y)});
    sort_hits(offered);
    std::size_t before = kept.size();
    for (const Hit& c : offered) {
      if (kept.size() >= cap) break;
      if (is_diverse(c, kept)) kept.push_back(c.slot);
    }
    if (kept.size() == before && !offered.empty()) kept.push_back(offered.front().slot);
    if (layer == 0) {
      count_in0(slot, -static_cast<int>(theirs.size - before));
      for (std::size_t i = before; i < kept.size(); ++i) count_in0(kept[i], 1);
    }
    for (std::size_t i = before; i < kept.size(); ++i) added.push_back({kept[i], n});
    assign(n, layer, kept.data(), kept.size());
  }
  WalkScratch& ws = walk_scratch();
  for (auto [y, n] : added) link_back(y, n, layer, cap, ws);
}

// Before an update relinks the entry point, the role passes to the highest
// other node (live before deleted, lowest slot on ties), and the updated node
// drops the layers above that node's level, where it was alone and its lists
// were empty. Were the entry to move with its vector, a group of records
// moved far away together with it could, as more of them join, lose every
// link back to the others, and every search would start in that group.
void HnswIndex::hand_over_entry(std::uint32_t slot) {
  std::uint32_t best = slot;
  auto consider = [&](std::uint32_t s) {
    if (s == slot) return;
    if (best == slot || levels_[s] > levels_[best] || (levels_[s] == levels_[best] && !dead_[s] && dead_[best]))
      best = s;
  };
  for (std::uint32_t s : upper_nodes_) consider(s);  // ascending slots
  if (best == slot)
    for (std::uint32_t s = 0; s < levels_.size(); ++s) consider(s);
  if (best == slot) return;
  std::size_t keep = levels_[best];
  if (keep < levels_[slot]) {
    std::unique_ptr<NeighbourList[]> lists(keep > 0 ? new NeighbourList[keep] : nullptr);
    for (std::size_t l = 0; l < keep; ++l) lists[l].slots = std::move(upper_[slot][l].slots);
    upper_[slot] = std::move(lists);
    levels_[slot] = static_cast<std::uint32_t>(keep);
    if (keep == 0) upper_nodes_.erase(std::find(upper_nodes_.begin(), upper_nodes_.end(), slot));
  }
  entry_point_ = best;
  max_level_ = keep;
}

void HnswIndex::note_changes(std::size_t count) {
  changes_since_audit_ += count;
  if (saturating_mul(changes_since_audit_, kAuditPeriod) < levels_.size()) return;
  changes_since_audit_ = 0;
  link_unreachable();
}

// Makes every live node reachable from the entry point on layer 0. Pruned
// lists can cut a region off: a group of records inserted or moved far from
// the others keeps links among its own members, and the links that crossed
// over are the ones the diversity rule drops first; under the dot product,
// lists shrink towards a few nodes of large norm that few lists lead away
// from. A breadth-first walk from the entry point finds the live nodes it
// misses; each is linked from a reached node (link_from_reached), and the
// nodes it reaches in turn count as reached. No list lets go of a member
// here, so what has been reached stays reached.
void HnswIndex::link_unreachable() {
  std::size_t n = levels_.size();
  if (entry_point_ == kNoEntry || n < 2) return;
  std::vector<std::uint8_t> reached(n, 0);
  auto reach_from = [&](std::uint32_t start) {
    mark_reachable(start, reached, [&](std::uint32_t s) { return items(s, 0); });
  };
  reach_from(entry_point_);
  std::uint32_t spare = 0;
  for (std::uint32_t s = 0; s < n; ++s) {
    if (reached[s] || dead_[s]) continue;
    if (link_from_reached(s, reached, spare)) reach_from(s);
  }
}

// Links a node that the entry point cannot reach from a reached node with
// room in its list: the nearest such that a layer-0 walk for its vector from
// the entry point finds (all it measures is reached), else the first reached
// slot from `spare` on with room (lists only grow here, so slots before
// `spare` stay full). Only when no reached list has room does the nearest
// the walk found hold one member over its cap, until it is next pruned (false,
// the node left unlinked, if that list is over its cap already). The node
// links back where its own list has room.
bool HnswIndex::link_from_reached(std::uint32_t slot, const std::vector<std::uint8_t>& reached,
                                  std::uint32_t& spare) {
  WalkScratch& ws = walk_scratch();
  std::vector<Hit> near;
  with_node_distance(slot, [&](const auto& dist) {
    AdmitAll all;
    near = search_layer<false>(dist, ws, entry_point_, ef_construction_, 0, all, slot);
  });
  auto has_room = [&](std::uint32_t s) { return reached[s] && items(s, 0).size < m_max0_; };
  std::uint32_t host = kNoEntry;
  for (const Hit& h : near)
    if (has_room(h.slot)) {
      host = h.slot;
      break;
    }
  if (host == kNoEntry) {
    while (spare < reached.size() && !has_room(spare)) ++spare;
    if (spare < reached.size()) host = spare;
  }
  if (host == kNoEntry) {
    host = near.empty() ? entry_point_ : near.front().slot;
    if (items(host, 0).size > m_max0_) return false;  // already over its cap
  }
  Items theirs = items(host, 0);
  std::vector<std::uint32_t> list(theirs.begin(), theirs.end());
  list.push_back(slot);
  count_in0(slot, 1);
  assign(host, 0, list.data(), list.size());
  Items own = items(slot, 0);
  if (own.size < m_max0_ && std::find(own.begin(), own.end(), host) == own.end()) {
    std::vector<std::uint32_t> back(own.begin(), own.end());
    back.push_back(host);
    count_in0(host, 1);
    assign(slot, 0, back.data(), back.size());
  }
  return true;
}

void HnswIndex::enable_quantization() {
  // Training needs at least one row and one component; otherwise quantized
  // search stays off.
  if (levels_.empty() || dim_ == 0) return;
  Sq8Quantizer q = Sq8Quantizer::train(store_.data(), store_.float_count(), dim_);
  q.encode_all(store_.data(), store_.float_count());
  quantizer_ = std::move(q);
}

IndexMemory HnswIndex::memory_usage() const {
  IndexMemory m;
  m.vectors = store_.owned_bytes();
  if (store_.is_mapped()) m.vectors_mapped = store_.float_count() * sizeof(float);
  m.norms = heap_bytes(norms_);
  m.graph = heap_bytes(levels_) + heap_bytes(flat0_) + heap_bytes(locks0_) + heap_bytes(long0_) + heap_bytes(upper_) +
            heap_bytes(upper_nodes_) + heap_bytes(dead_) + heap_bytes(in0_);
  for (const auto& list : long0_) m.graph += heap_bytes(list);
  for (std::size_t s = 0; s < upper_.size(); ++s) {
    if (levels_[s] == 0) continue;
    m.graph += heap_chunk(levels_[s] * sizeof(NeighbourList) + sizeof(std::size_t));
    for (std::size_t l = 0; l < levels_[s]; ++l) m.graph += heap_bytes(upper_[s][l].slots);
  }
  // The tombstone set: a bucket array and one node per member.
  m.graph += heap_chunk(deleted_.bucket_count() * sizeof(void*)) + deleted_.size() * heap_chunk(16);
  if (quantizer_)
    m.quantizer = heap_bytes(quantizer_->codes()) + heap_bytes(quantizer_->mins()) + heap_bytes(quantizer_->scales());
  return m;
}

IndexStats HnswIndex::stats() const {
  IndexStats s;
  std::size_t n = levels_.size();
  s.num_vectors = live_count();
  s.num_deleted = deleted_.size();
  s.uses_quantized_search = quantizer_.has_value();
  s.uses_brute_force = n == 0 || uses_brute_force();
  if (n == 0) return s;
  s.num_layers = max_level_ + 1;
  std::uint64_t sum = 0, total = 0;
  bool any_live = false;
  for (std::uint32_t slot = 0; slot < n; ++slot) {
    for (std::size_t l = 0; l <= levels_[slot]; ++l) {
      std::size_t len;
      {
        ListLock lock(*this, slot, l);
        len = items(slot, l).size;
      }
      total += len;
      if (l == 0 && !is_deleted(slot)) {
        sum += len;
        s.max_degree_layer0 = std::max<std::uint64_t>(s.max_degree_layer0, len);
        s.min_degree_layer0 = any_live ? std::min<std::uint64_t>(s.min_degree_layer0, len) : len;
        any_live = true;
      }
    }
  }
  if (s.num_vectors > 0) s.avg_degree_layer0 = static_cast<double>(sum) / static_cast<double>(s.num_vectors);
  else s.min_degree_layer0 = 0;
  s.memory_vectors_bytes = 4 * store_.float_count();
  s.memory_graph_bytes = 4 * total;
  s.memory_quantized_bytes = quantizer_ ? quantizer_->memory_bytes() : 0;
  return s;
}

}  // namespace hovra
