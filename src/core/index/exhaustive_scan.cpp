// The exhaustive scan: block scoring and the preselection's proven margin
// (the rows are offered in groups by index/block_offer.h, the candidates
// kept and re-scored by index/preselect.h).
//
// Why the preselection is exact. For every row the block kernel (or the
// matrix product) gives an approximate score s' and a bound e with
// |s - s'| <= e, s being the exact score. T, the k-th smallest s' + e, is
// the upper end of k rows' intervals, so at least k rows score at most T; a
// row with s' - e > T scores more than T and cannot be among the k nearest.
// Every other row is re-scored exactly. Rows whose bound is not finite
// (overflow, NaN, zero norms where the kernels have special cases) are always
// re-scored.
//
// The bounds: a single-precision sum of n products lies within
// gamma_n * sum |a_j b_j| of the exact sum, whatever the order of summation
// and whether or not multiply-adds are fused; sum |a_j b_j| is at most
// |a| |b| (Cauchy-Schwarz). |b|, the row's norm, comes from the row's own
// sum of squares computed beside the dot product, or from its stored norm
// widened by norm_widening once the stored norms are known to bound the
// rows (the index vouches for norms it computed; norms read from a file are
// checked by the first scan that computes the sums anyway). sum_error_factor
// covers the scan's sum and the exact kernel's sum together; the rounding of
// the few operations of each score formula is added per metric below.
// A computed norm below kRootFloor may have lost squares to underflow and
// bounds nothing: such rows, and queries, are always scored exactly.
#include "core/index/exhaustive_scan.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "core/base/cpu_features.h"
#include "core/base/thread_pool.h"
#include "core/index/block_offer.h"
#include "core/index/hit.h"
#include "core/index/preselect.h"
#include "core/vectors/blas.h"
#include "core/vectors/scan_kernels.h"

namespace hovra {

namespace {

constexpr double kU = 0x1p-24;            // unit roundoff of single precision
constexpr double kTiny = 0x1p-120;        // covers underflow in products and sums
constexpr double kSlack = 1.0 + 0x1p-20;  // covers the double-precision bound arithmetic
// Relative slack on each score for its own rounding in double precision (a
// few units of 2^-53), with a wide margin.
constexpr double kScoreSlack = 0x1p-40;
// The rounding bounds below are first order; these factors widen them over
// the second-order terms they leave out: 1 % on the batch formula's cosine
// steps, 10 % on the pairwise kernels' sums (summed in SimSIMD's order).
constexpr double kFormulaMargin = 1.01;
constexpr double kPairwiseMargin = 1.1;
constexpr double kRootFloor = 0x1p-30;
// Pairwise cosine: SimSIMD refines an approximate reciprocal square root
// with one Newton step (relative error about 2e-7 on x86-64 from its 12-bit
// start, far less from AVX-512's 14-bit one); elsewhere a wider margin.
#if defined(__x86_64__)
constexpr double kRsqrtError = 0x1p-18;
#else
constexpr double kRsqrtError = 0x1p-10;
#endif
// Splitting a single scan pays off above about a millisecond of work.
constexpr std::size_t kSplitFloats = std::size_t(1) << 20;

// ---- the batch formula (no tombstones, no filter) ----

// Per-query constants of the batch formula and of its error bound.
struct FormulaQuery {
  Metric metric;
  float q2;        // the formula's own sum of squares of the query
  float qn;        // sqrt(q2), cosine
  double dot_err;  // bound on |dot' - dot| per unit of sqrt(row . row)
  double tiny;
  FormulaQuery(const float* query, std::size_t dim, Metric m) : metric(m) {
    q2 = query_sum_squares(query, dim);
    qn = std::sqrt(q2);
    double f = sum_error_factor(dim);
    dot_err = f * (1.0 + f) * std::sqrt(static_cast<double>(q2));
    tiny = static_cast<double>(dim) * kTiny;
  }
  // The exact score of a row from SimSIMD's dot product.
  float exact(const float* query, const float* row, std::size_t dim, float norm) const {
    return batch_score(dot(query, row, dim), norm, q2, qn, metric);
  }
  // lo and hi of the approximate scores of n rows from their dot' values,
  // bounds on their norms (roots, or when roots is null each stored norm
  // times widen) and their stored norms.
  void block_bounds(const float* dots, const double* roots, const float* norms, double widen, std::size_t n,
                    double* lo, double* hi) const;
};

// Runs F::run compiled for the best instruction set this processor has:
// the same double-precision operations in the same order (no contraction
// into fused multiply-adds), the wider forms only do eight or four rows at
// once. F::run is always inlined into each form.
template <class F, class... A>
void run_portable(A... a) {
  F::run(a...);
}
#if defined(__x86_64__)
template <class F, class... A>
[[gnu::target("avx2")]] void run_avx2(A... a) {
  F::run(a...);
}
template <class F, class... A>
[[gnu::target("avx512f")]] void run_avx512(A... a) {
  F::run(a...);
}
#endif
template <class F, class... A>
auto for_this_processor() -> void (*)(A...) {
#if defined(__x86_64__)
  switch (simd_level()) {
    case SimdLevel::Avx512:
      return &run_avx512<F, A...>;
    case SimdLevel::Avx2:
      return &run_avx2<F, A...>;
    default:
      break;
  }
#endif
  return &run_portable<F, A...>;
}

// The bound arithmetic of the batch formula over one block.
template <Metric M>
struct FormulaBounds {
  [[gnu::always_inline]] static inline void run(const FormulaQuery* fq, const float* dots, const double* roots,
                                                const float* norms, double widen, std::size_t n, double* lo,
                                                double* hi) {
    if (roots == nullptr) {
      each_row(fq, dots, n, lo, hi, norms, [&](std::size_t i) { return static_cast<double>(norms[i]) * widen; });
    } else {
      each_row(fq, dots, n, lo, hi, norms, [&](std::size_t i) { return roots[i]; });
    }
  }
  template <class Root>
  [[gnu::always_inline]] static inline void each_row(const FormulaQuery* fq, const float* dots, std::size_t n,
                                                     double* lo, double* hi, const float* norms, Root root_of) {
    const double dot_err = fq->dot_err, tiny = fq->tiny;
    const float q2 = fq->q2, qn = fq->qn;
    for (std::size_t i = 0; i < n; ++i) {
      double d = dots[i];
      double root = root_of(i);
      double ed = root >= kRootFloor ? dot_err * root + tiny : std::numeric_limits<double>::infinity();
      double s, e;
      if constexpr (M == Metric::DotProduct) {
        s = -d;
        e = ed;
      } else if constexpr (M == Metric::Euclidean) {
        float nn = norms[i] * norms[i];
        double a = static_cast<float>(q2 + nn);
        s = a - 2.0 * d;
        e = 2.0 * ed + 2.0 * kU * (std::fabs(a) + 2.0 * std::fabs(d) + ed);
      } else {
        // A zero stored norm scores exactly 1 by the formula's own rule. The
        // divisions run for every row (by 1 for those) so the loop vectorizes.
        bool zero = norms[i] == 0.0f;
        double den = zero ? 1.0 : static_cast<double>(static_cast<float>(qn * norms[i]));
        double quotient = d / den, reciprocal = 1.0 / std::fabs(den);
        double r = zero ? 0.0 : quotient;
        double inv = zero ? 0.0 : reciprocal;
        s = 1.0 - r;
        double err = (ed * inv) * (1.0 + 3.0 * kU) + kU * (std::fabs(1.0 - r) + 2.0 * std::fabs(r)) * kFormulaMargin;
        e = zero ? 0.0 : err;
      }
      e = (e + std::fabs(s) * kScoreSlack + kTiny) * kSlack;
      lo[i] = s - e;
      hi[i] = s + e;
    }
  }
};

using FormulaBoundsFn = void (*)(const FormulaQuery*, const float*, const double*, const float*, double, std::size_t,
                                 double*, double*);
template <Metric M>
FormulaBoundsFn formula_bounds_for() {
  return for_this_processor<FormulaBounds<M>, const FormulaQuery*, const float*, const double*, const float*, double,
                            std::size_t, double*, double*>();
}
// By metric: cosine, Euclidean, dot product.
static_assert(int(Metric::Cosine) == 0 && int(Metric::Euclidean) == 1 && int(Metric::DotProduct) == 2);
const FormulaBoundsFn kFormulaBounds[] = {formula_bounds_for<Metric::Cosine>(),
                                          formula_bounds_for<Metric::Euclidean>(),
                                          formula_bounds_for<Metric::DotProduct>()};

void FormulaQuery::block_bounds(const float* dots, const double* roots, const float* norms, double widen,
                                std::size_t n, double* lo, double* hi) const {
  kFormulaBounds[static_cast<int>(metric)](this, dots, roots, norms, widen, n, lo, hi);
}

// The factor that turns a stored norm into a bound on the row's computed
// norm: both lie within sum_error_factor of the exact norm.
double norm_widening(std::size_t dim) { return 1.0 + 2.0 * sum_error_factor(dim); }

// Rows [begin, end) of one query into pre. When the stored norms bound the
// rows, one dot product per row; otherwise each row's own sum of squares
// too, and *norms_hold is cleared if any stored norm fails to bound its row.
void preselect_range(const ScanRows& rows, const float* query, const FormulaQuery& fq, std::size_t begin,
                     std::size_t end, Preselect& pre, bool* norms_hold) {
  float dots[kBlockRows], sq[kBlockRows];
  double roots[kBlockRows], lo[kBlockRows], hi[kBlockRows];
  const double widen = norm_widening(rows.dim);
  for (std::size_t at = begin; at < end; at += kBlockRows) {
    std::size_t n = std::min(kBlockRows, end - at);
    const float* norms = rows.norms + at;
    if (rows.norms_bound_rows) {
      // The bounds on the norms are the stored norms widened, taken in the
      // bounds' own loop.
      block_dot(query, rows.data + at * rows.dim, n, rows.dim, dots);
      fq.block_bounds(dots, nullptr, norms, widen, n, lo, hi);
    } else {
      block_dot_sq(query, rows.data + at * rows.dim, n, rows.dim, dots, sq);
      bool hold = true;
      for (std::size_t i = 0; i < n; ++i) {
        roots[i] = std::sqrt(static_cast<double>(sq[i]));
        hold &= roots[i] <= static_cast<double>(norms[i]) * widen;
      }
      if (!hold) *norms_hold = false;
      fq.block_bounds(dots, roots, norms, widen, n, lo, hi);
    }
    offer_block(pre, n, lo, hi, [at](std::size_t i) { return static_cast<std::uint32_t>(at + i); });
  }
}

// Every row scored exactly: dimensions too large to bound, or none.
std::vector<Hit> exact_all_rows(const ScanRows& rows, const float* query, std::size_t k) {
  std::vector<float> scores =
      batch_scores(query, rows.data, rows.count * rows.dim, rows.dim, rows.norms, rows.metric);
  Preselect pre(k);
  for (std::size_t i = 0; i < scores.size(); ++i) pre.offer(static_cast<std::uint32_t>(i), scores[i], scores[i]);
  return pre.finish([&](std::uint32_t s) { return scores[s]; });
}

bool boundable(const ScanRows& rows) { return rows.dim > 0 && rows.dim <= kMaxBoundedDim; }

// A zero query under cosine scores 1 against every row.
std::vector<Hit> first_rows_at_one(std::size_t count, std::size_t k) {
  std::vector<Hit> hits;
  for (std::size_t i = 0; i < std::min(count, k); ++i) hits.push_back({static_cast<std::uint32_t>(i), 1.0f});
  return hits;
}

// ---- pairwise distances (tombstones or a filter) ----

// Per-query constants of the pairwise distances' error bounds.
struct PairwiseQuery {
  Metric metric;
  double q2;
  double f;
  double dot_err;
  double tiny;
  bool q_bounds;  // the query's norm is above kRootFloor
  PairwiseQuery(const float* query, std::size_t dim, Metric m) : metric(m) {
    q2 = sum_squares_any_order(query, dim);
    f = sum_error_factor(dim);
    dot_err = f * (1.0 + f) * std::sqrt(q2);
    tiny = static_cast<double>(dim) * kTiny;
    q_bounds = std::sqrt(q2) >= kRootFloor;
  }
  // lo and hi of n rows' pairwise distances from their values (dot' for
  // cosine and dot product, the squared distance for Euclidean) and their
  // own sums of squares (not read for Euclidean).
  void block_bounds(const float* values, const float* row_sq, std::size_t n, double* lo, double* hi) const;
};

template <Metric M>
struct PairwiseBounds {
  [[gnu::always_inline]] static inline void run(const PairwiseQuery* pq, const float* values, const float* row_sq,
                                                std::size_t n, double* lo, double* hi) {
    const double q2 = pq->q2, f = pq->f, dot_err = pq->dot_err, tiny = pq->tiny;
    const bool q_bounds = pq->q_bounds;
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < n; ++i) {
      double v = values[i], s, e;
      if constexpr (M == Metric::DotProduct) {
        double root = std::sqrt(static_cast<double>(row_sq[i]));
        s = -v;
        e = root >= kRootFloor && q_bounds ? dot_err * root + tiny : std::numeric_limits<double>::infinity();
      } else if constexpr (M == Metric::Euclidean) {
        // Each of the two sums rounds the differences, their squares and the
        // additions: within (gamma_n + 3u) of the exact sum of squares.
        double g = f + 8.0 * kU;
        s = v;
        e = g * (1.0 + g) * std::fabs(v) * kPairwiseMargin + tiny;
      } else {
        // Zero or vanishing norms meet SimSIMD's special cases: no bound.
        double rs = static_cast<double>(row_sq[i]);
        bool special = !(q2 > 0x1p-100) || !(rs > 0x1p-100);
        double score = 1.0 - v / std::sqrt(special ? 1.0 : q2 * rs);
        s = special ? kNaN : score;
        e = (4.0 * f + 2.0 * kRsqrtError) * kPairwiseMargin + 4.0 * kU;
      }
      e = (e + std::fabs(s) * kScoreSlack + kTiny) * kSlack;
      lo[i] = s - e;
      hi[i] = s + e;
    }
  }
};

using PairwiseBoundsFn = void (*)(const PairwiseQuery*, const float*, const float*, std::size_t, double*, double*);
template <Metric M>
PairwiseBoundsFn pairwise_bounds_for() {
  return for_this_processor<PairwiseBounds<M>, const PairwiseQuery*, const float*, const float*, std::size_t, double*,
                            double*>();
}
const PairwiseBoundsFn kPairwiseBounds[] = {pairwise_bounds_for<Metric::Cosine>(),
                                            pairwise_bounds_for<Metric::Euclidean>(),
                                            pairwise_bounds_for<Metric::DotProduct>()};

void PairwiseQuery::block_bounds(const float* values, const float* row_sq, std::size_t n, double* lo,
                                 double* hi) const {
  kPairwiseBounds[static_cast<int>(metric)](this, values, row_sq, n, lo, hi);
}

// The values and sums of squares of n slots for the pairwise bounds: one
// block kernel call when the slots are consecutive rows (a scan with few
// tombstones), a gathering one otherwise. Both score each row alike.
void score_slots(const ScanRows& rows, const float* query, const std::uint32_t* slots, std::size_t n, float* values,
                 float* row_sq) {
  bool consecutive = slots[n - 1] - slots[0] == n - 1;
  const float* first = rows.data + std::size_t(slots[0]) * rows.dim;
  if (rows.metric == Metric::Euclidean) {
    if (consecutive) block_l2sq(query, first, n, rows.dim, values);
    else gather_l2sq(query, rows.data, slots, n, rows.dim, values);
    std::fill(row_sq, row_sq + n, 0.0f);
  } else if (consecutive) {
    block_dot_sq(query, first, n, rows.dim, values, row_sq);
  } else {
    gather_dot_sq(query, rows.data, slots, n, rows.dim, values, row_sq);
  }
}

// The same values for n rows stored one after another (a copy of
// scattered slots' rows): the block kernels that score consecutive slots.
void score_rows(const ScanRows& rows, const float* query, const float* first, std::size_t n, float* values,
                float* row_sq) {
  if (rows.metric == Metric::Euclidean) {
    block_l2sq(query, first, n, rows.dim, values);
    std::fill(row_sq, row_sq + n, 0.0f);
  } else {
    block_dot_sq(query, first, n, rows.dim, values, row_sq);
  }
}

// Preselects rows [0, count) of dim floats with part(begin, end, pre, p) for
// each part p: in one part, or split over the worker pool (`pool` threads,
// read once by the caller: the pool can be resized meanwhile) into at most
// 2 * pool parts when the scan is large enough to pay for it. Returns the
// parts' preselections merged.
template <class Part>
Preselect preselect_parts(std::size_t count, std::size_t dim, std::size_t k, std::size_t pool, std::size_t& parts,
                          Part part) {
  std::size_t floats = count * dim;
  std::size_t workers = floats >= kSplitFloats ? pool : 1;
  parts = workers <= 1 ? 1 : std::min(workers * 2, std::max<std::size_t>(1, floats / (kSplitFloats / 2)));
  if (parts == 1) {
    Preselect pre(k);
    part(0, count, pre, 0);
    return pre;
  }
  std::vector<Preselect> pres;  // each made in place, keeping its reserved room
  pres.reserve(parts);
  for (std::size_t p = 0; p < parts; ++p) pres.emplace_back(k);
  parallel_for(parts, [&](std::size_t p) { part(count * p / parts, count * (p + 1) / parts, pres[p], p); });
  for (std::size_t p = 1; p < parts; ++p) pres[0].merge(pres[p]);
  return std::move(pres[0]);
}

// scan_all_rows; hold is cleared when the scan did not check every stored
// norm or found one that does not bound its row.
std::vector<Hit> scan_all_rows_checked(const ScanRows& rows, const float* query, std::size_t k, bool& hold) {
  hold = false;
  if (k == 0 || rows.count == 0) return {};
  if (!boundable(rows)) return exact_all_rows(rows, query, k);
  FormulaQuery fq(query, rows.dim, rows.metric);
  if (rows.metric == Metric::Cosine && fq.q2 == 0.0f) return first_rows_at_one(rows.count, k);
  if (!(std::sqrt(static_cast<double>(fq.q2)) >= kRootFloor)) return exact_all_rows(rows, query, k);
  auto exact = [&](std::uint32_t s) {
    return fq.exact(query, rows.data + std::size_t(s) * rows.dim, rows.dim, rows.norms[s]);
  };
  // One flag per part (at most 2 per worker); plain bools, each written by
  // one part. A scan too small to split does not ask the pool its size (a
  // lock and a process-id check), a fixed cost that shows on small
  // collections.
  const std::size_t pool =
      rows.count * rows.dim >= kSplitFloats ? std::max<std::size_t>(1, pool_size()) : std::size_t(1);
  bool one_hold = true;
  std::unique_ptr<bool[]> many_holds(pool > 1 ? new bool[2 * pool] : nullptr);
  bool* holds = pool > 1 ? many_holds.get() : &one_hold;
  std::size_t parts = 0;
  Preselect pre = preselect_parts(rows.count, rows.dim, k, pool, parts,
                                  [&](std::size_t begin, std::size_t end, Preselect& part, std::size_t p) {
                                    holds[p] = true;
                                    preselect_range(rows, query, fq, begin, end, part, &holds[p]);
                                  });
  hold = std::all_of(holds, holds + parts, [](bool h) { return h; });
  return pre.finish(exact);
}

// The k nearest of the listed slots by the pairwise distance, the values
// of entries [at, at + n) of the list coming from score(at, n, values, sq).
template <class Score>
std::vector<Hit> scan_listed(const ScanRows& rows, const float* query, const std::uint32_t* slots,
                             std::size_t slot_count, std::size_t k, Score score) {
  if (k == 0 || slot_count == 0) return {};
  const std::size_t dim = rows.dim;
  auto exact = [&](std::uint32_t s) { return distance(query, rows.data + std::size_t(s) * dim, dim, rows.metric); };
  if (!boundable(rows)) {
    Preselect pre(k);
    for (std::size_t i = 0; i < slot_count; ++i) pre.offer(slots[i], std::numeric_limits<double>::quiet_NaN(), 0.0);
    return pre.finish(exact);
  }
  PairwiseQuery pq(query, dim, rows.metric);
  std::size_t parts = 0;
  const std::size_t pool = slot_count * dim >= kSplitFloats ? pool_size() : 1;  // (see scan_all_rows_checked)
  Preselect pre = preselect_parts(slot_count, dim, k, pool, parts,
                                  [&](std::size_t begin, std::size_t end, Preselect& part, std::size_t) {
                                    float values[kBlockRows], sq[kBlockRows];
                                    double lo[kBlockRows], hi[kBlockRows];
                                    for (std::size_t at = begin; at < end; at += kBlockRows) {
                                      std::size_t n = std::min(kBlockRows, end - at);
                                      score(at, n, values, sq);
                                      pq.block_bounds(values, sq, n, lo, hi);
                                      offer_block(part, n, lo, hi, [&](std::size_t i) { return slots[at + i]; });
                                    }
                                  });
  return pre.finish(exact);
}

}  // namespace

bool scan_uses_matrix_product() { return kBlasAvailable; }

std::vector<Hit> scan_all_rows(const ScanRows& rows, const float* query, std::size_t k, bool* norms_hold) {
  bool hold = true;
  std::vector<Hit> hits = scan_all_rows_checked(rows, query, k, hold);
  if (norms_hold) *norms_hold = hold && !rows.norms_bound_rows;
  return hits;
}

void scan_all_rows_many(const ScanRows& rows, const float* const* queries, std::size_t query_count, std::size_t k,
                        std::vector<std::vector<Hit>>& out, Progress* progress) {
  out.assign(query_count, {});
  if (query_count == 0) return;
  if (!kBlasAvailable || !boundable(rows) || k == 0 || rows.count == 0 || query_count < 4) {
    parallel_for(query_count, [&](std::size_t i) {
      if (stop_requested(progress)) return;
      out[i] = scan_all_rows(rows, queries[i], k);
      advance(progress);
    });
    return;
  }
  const std::size_t dim = rows.dim;
  // A bound on each row's norm, for the bounds: the stored norm when the
  // norms are known to bound the rows, else the square root of the row's own
  // sum of squares.
  std::vector<double> row_root(rows.count);
  if (rows.norms_bound_rows) {
    const double widen = norm_widening(dim);
    for (std::size_t i = 0; i < rows.count; ++i) row_root[i] = static_cast<double>(rows.norms[i]) * widen;
  } else {
    std::size_t parts = std::max<std::size_t>(1, std::min(pool_size() * 2, rows.count / 4096));
    parallel_for(parts, [&](std::size_t p) {
      std::size_t begin = rows.count * p / parts, end = rows.count * (p + 1) / parts;
      float scratch[kBlockRows], sq[kBlockRows];
      for (std::size_t at = begin; at < end; at += kBlockRows) {
        std::size_t n = std::min(kBlockRows, end - at);
        block_dot_sq(rows.data + at * dim, rows.data + at * dim, n, dim, scratch, sq);
        for (std::size_t i = 0; i < n; ++i) row_root[at + i] = std::sqrt(static_cast<double>(sq[i]));
      }
    });
  }
  // Query blocks go to the pool; each scores every row block by one matrix
  // product.
  constexpr std::size_t kQueryBlock = 64, kRowBlock = 1024;
  const std::size_t pool = pool_size();  // once: the pool can be resized meanwhile
  std::size_t per_block = std::min(kQueryBlock, (query_count + pool - 1) / pool);
  per_block = std::max<std::size_t>(per_block, 1);
  std::size_t blocks = (query_count + per_block - 1) / per_block;
  parallel_for(blocks, [&](std::size_t b) {
    if (stop_requested(progress)) return;
    std::size_t q0 = b * per_block, qn = std::min(per_block, query_count - q0);
    std::vector<float> qmat(qn * dim), products(qn * kRowBlock);
    std::vector<double> lo(kRowBlock), hi(kRowBlock);
    std::vector<FormulaQuery> fqs;
    std::vector<Preselect> pres;
    std::vector<bool> zero(qn, false);
    fqs.reserve(qn);
    for (std::size_t j = 0; j < qn; ++j) {
      std::copy(queries[q0 + j], queries[q0 + j] + dim, qmat.begin() + j * dim);
      fqs.emplace_back(queries[q0 + j], dim, rows.metric);
      pres.emplace_back(k);
      // A zero cosine query has its own answer and a vanishing one is
      // scored exactly; neither needs the product.
      zero[j] = (rows.metric == Metric::Cosine && fqs[j].q2 == 0.0f) ||
                !(std::sqrt(static_cast<double>(fqs[j].q2)) >= kRootFloor);
    }
    for (std::size_t at = 0; at < rows.count; at += kRowBlock) {
      if (stop_requested(progress)) return;  // the whole result is thrown away
      std::size_t n = std::min(kRowBlock, rows.count - at);
      gemm_abt(qn, n, dim, qmat.data(), dim, rows.data + at * dim, dim, products.data(), kRowBlock);
      for (std::size_t j = 0; j < qn; ++j) {
        if (zero[j]) continue;
        const float* p = products.data() + j * kRowBlock;
        fqs[j].block_bounds(p, row_root.data() + at, rows.norms + at, 1.0, n, lo.data(), hi.data());
        for (std::size_t i = 0; i < n; ++i) pres[j].offer(static_cast<std::uint32_t>(at + i), lo[i], hi[i]);
      }
    }
    for (std::size_t j = 0; j < qn; ++j) {
      const float* query = queries[q0 + j];
      if (zero[j]) {
        out[q0 + j] = scan_all_rows(rows, query, k);
        continue;
      }
      const FormulaQuery& fq = fqs[j];
      out[q0 + j] = pres[j].finish(
          [&](std::uint32_t s) { return fq.exact(query, rows.data + std::size_t(s) * dim, dim, rows.norms[s]); });
    }
    advance(progress, qn);
  });
}

std::vector<Hit> scan_slots(const ScanRows& rows, const float* query, const std::uint32_t* slots,
                            std::size_t slot_count, std::size_t k) {
  return scan_listed(rows, query, slots, slot_count, k, [&](std::size_t at, std::size_t n, float* values, float* sq) {
    score_slots(rows, query, slots + at, n, values, sq);
  });
}

std::vector<Hit> scan_copied_rows(const ScanRows& rows, const float* query, const std::uint32_t* slots,
                                  const float* copy, std::size_t slot_count, std::size_t k) {
  return scan_listed(rows, query, slots, slot_count, k, [&](std::size_t at, std::size_t n, float* values, float* sq) {
    score_rows(rows, query, copy + at * rows.dim, n, values, sq);
  });
}

}  // namespace hovra
