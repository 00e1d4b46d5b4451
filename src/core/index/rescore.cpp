// HnswIndex's re-scoring of a walk's beam: the k nearest of the beam with
// the distances of the exact kernel, in the order of a search's answer
// (after an SQ8 walk every member re-scored until the spread of the codes'
// rounding rules the rest out, the rows read from the vector file where it
// is read on demand; after a one-bit walk
// every member; after a cosine or Euclidean walk the head within its
// kernel's slack of the k-th).
#include <algorithm>
#include <cmath>
#include <limits>

#include "core/base/error.h"
#include "core/index/hnsw_index.h"
#include "core/index/walk.h"
#include "core/vectors/scan_kernels.h"
#include "core/vectors/sq8_distance.h"

namespace hovra {

namespace {

// The most a cosine distance a walk measures through the stored norms can
// differ from the cosine kernel's (both are within a few units of 1e-7 of
// the true value); a beam's head is re-scored this far past its k-th.
constexpr float kCosineWalkSlack = 1e-3f;

// The relative slack of a Euclidean walk: its pair kernel and the exact
// kernel each lie within sum_error_factor of the exact sum of the same
// non-negative terms, so every slot whose exact distance can be at most the
// k-th's was measured within dk * (1 + 3 factor) by the walk.
float l2_walk_slack(std::size_t dim) { return static_cast<float>(3.0 * sum_error_factor(dim)); }

// Where a member of an SQ8 walk's beam can lie at full precision, from its
// quantized distance: within the margins of the rounding's spread
// (Sq8Spread), and never beyond the quantizer's bound where it has one
// (squared Euclidean, dot product). The margins widen as the members
// re-scored show the rounding to lie further off than the spread expects:
// to kWidenAfterSeen times the widest any of them needed.
class RescoreLimits {
 public:
  RescoreLimits(const HnswIndex& index, const float* query)
      : index_(index),
        cosine_(index.metric() == Metric::Cosine),
        bound_(*index.quantizer(), query, index.metric()),
        spread_(*index.quantizer(), query, index.metric()) {}
  bool usable() const { return spread_.usable(); }
  // At most the member's full-precision distance.
  double lower(const Hit& h) const {
    double low = spread_.lower(h.distance, norm(h), widen_);
    return bound_.usable() ? std::max(low, double(bound_.lower(h.distance))) : low;
  }
  // At least the member's full-precision distance.
  double upper(const Hit& h) const {
    double high = spread_.upper(h.distance, norm(h), widen_);
    return bound_.usable() ? std::min(high, bound_.upper(h.distance)) : high;
  }
  // Whether lower() ascends with the quantized distance (at a given
  // widening): not under cosine, whose margins depend on each row's norm.
  bool ascending() const { return !cosine_; }
  // A member's full-precision distance was measured: exact.
  void seen(const Hit& quantized, double exact) {
    widen_ = std::max(widen_, kWidenAfterSeen * spread_.widen_to_hold(quantized.distance, exact, norm(quantized)));
  }

 private:
  static constexpr double kWidenAfterSeen = 1.5;
  float norm(const Hit& h) const { return cosine_ ? index_.norms()[h.slot] : 1.0f; }
  const HnswIndex& index_;
  bool cosine_;
  Sq8DistanceBound bound_;
  Sq8Spread spread_;
  double widen_ = 1.0;
};

// The k nearest of a beam from an SQ8 walk, at full precision: the same
// hits in the same order as re-scoring every member and ordering them
// (order_hits), ties included, but for a member beyond the rounding's
// spread. Members are re-scored in beam order (ascending quantized
// distance); a member whose lower limit exceeds the k-th smallest distance
// scored so far is passed over (that k-th only falls, so it stays out of
// the first k, and a tie with the k-th is scored). Under the squared
// Euclidean distance and the dot product the limits ascend with the beam
// (RescoreLimits::ascending), so the first member passed over ends the
// scoring; under cosine a later member of a smaller norm may have the lower
// limit and is still looked at. So a query reads about k full-precision
// rows, not its whole beam: with the rows left on disk (mapped, read where
// touched) each is a read of the file.
std::vector<Hit> rescore_quantized_beam(const HnswIndex& index, const float* query, std::vector<Hit> beam,
                                        std::size_t k) {
  const std::size_t n = beam.size(), dim = index.dim();
  RescoreLimits limits(index, query);
  // A NaN quantized distance sorts last and limits nothing: score them all.
  const bool bounded = limits.usable() && k > 0 && n > k && !std::isnan(beam.back().distance);
  // The k-th smallest distance is at most the upper limit of the first k
  // members, so members whose lower limit exceeds that are not expected to
  // be scored; the rest are requested at once: rows read from the file are
  // read together (a cold file is waited on about once), rows in memory
  // are prefetched.
  double limit = -std::numeric_limits<double>::infinity();
  if (bounded)
    for (std::size_t i = 0; i < k; ++i) limit = std::max(limit, limits.upper(beam[i]));
  const bool on_demand = index.rows_read_on_demand();
  std::vector<std::uint32_t> wanted;  // positions in the beam, read from the file
  for (std::size_t i = 0; i < n; ++i) {
    if (bounded && i >= k && limits.lower(beam[i]) > limit) {
      if (limits.ascending()) break;
      continue;
    }
    if (on_demand) {
      wanted.push_back(static_cast<std::uint32_t>(i));
    } else {
      prefetch_row(index.vector(beam[i].slot), dim * sizeof(float));
    }
  }
  std::vector<float> buf;
  std::vector<const float*> rows;  // by position in the beam, where read
  if (on_demand) {
    std::vector<std::uint32_t> slots(wanted.size());
    std::vector<const float*> read(wanted.size());
    for (std::size_t j = 0; j < wanted.size(); ++j) slots[j] = beam[wanted[j]].slot;
    buf.resize((wanted.size() + 1) * dim);
    index.read_rows(slots.data(), slots.size(), buf.data(), read.data());
    rows.assign(n, nullptr);
    for (std::size_t j = 0; j < wanted.size(); ++j) rows[wanted[j]] = read[j];
  }
  float* spare = buf.empty() ? nullptr : buf.data() + wanted.size() * dim;
  auto farther_on_top = [](float a, float b) { return closer(a, b); };
  std::vector<float> best;  // the k smallest scored distances, farthest on top
  std::size_t kept = 0;     // the members scored, moved to the front
  for (std::size_t i = 0; i < n; ++i) {
    if (bounded && i >= k && limits.lower(beam[i]) > best.front()) {
      if (limits.ascending()) break;
      continue;
    }
    const float* row = !rows.empty() && rows[i] ? rows[i]
                       : spare                  ? index.read_row(beam[i].slot, spare)
                                                : index.vector(beam[i].slot);
    const float exact = distance(query, row, dim, index.metric());
    if (bounded) {
      limits.seen(beam[i], exact);
      best.push_back(exact);
      std::push_heap(best.begin(), best.end(), farther_on_top);
      if (best.size() > k) {
        std::pop_heap(best.begin(), best.end(), farther_on_top);
        best.pop_back();
      }
    }
    beam[kept] = {beam[i].slot, exact};
    ++kept;
  }
  beam.resize(kept);
  order_hits(beam);
  if (beam.size() > k) beam.resize(k);
  return beam;
}

// The first k of a beam whose distances are exact and ascending, in the
// order of a search's answer: members at the k-th's distance beyond the
// first k take part, so that the lowest slots of a tie are kept.
void keep_first_in_order(std::vector<Hit>& beam, std::size_t k) {
  std::size_t end = std::min(k, beam.size());
  while (end > 0 && end < beam.size() && !closer(beam[end - 1].distance, beam[end].distance)) ++end;
  std::sort(beam.begin(), beam.begin() + static_cast<std::ptrdiff_t>(end), hit_before);
  if (beam.size() > k) beam.resize(k);
}

}  // namespace

// The k nearest of a beam of admissible slots, with the distances of the
// exact kernel, in the order of a search's answer: after an SQ8 walk the
// beam re-scored at full precision (rescore_quantized_beam); after a one-bit
// walk every member re-scored; after a cosine
// or Euclidean walk its head, that is the first k and every later one the
// walk measured within the slack of its kernel of the k-th
// (kCosineWalkSlack, l2_walk_slack); under the dot product the first k as
// measured.
std::vector<Hit> HnswIndex::best_of_beam(const float* query, std::vector<Hit> beam, std::size_t k) const {
  if (quantizer_) return rescore_quantized_beam(*this, query, std::move(beam), k);
  if (binary_) {
    // The one-bit estimates order the beam only roughly: every member is
    // re-scored.
    for (const Hit& h : beam) prefetch_row(vector(h.slot), dim_ * sizeof(float));
    for (Hit& h : beam) h.distance = distance(query, vector(h.slot), dim_, metric_);
    order_hits(beam);
    if (beam.size() > k) beam.resize(k);
    return beam;
  }
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
    order_hits(beam);
    if (beam.size() > k) beam.resize(k);
    return beam;
  }
  keep_first_in_order(beam, k);
  return beam;
}

}  // namespace hovra
