// HnswIndex's re-scoring of a walk's beam: the k nearest of the beam with
// the distances of the exact kernel, in the order of a search's answer
// (after an SQ8 walk every member re-scored until the quantizer's bound
// rules the rest out; after a cosine or Euclidean walk the head within its
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

// The k nearest of a beam from an SQ8 walk, at full precision: the same
// hits in the same order as re-scoring every member and ordering them
// (order_hits). Members are re-scored in beam order (ascending quantized
// distance), and where the quantizer bounds how far a full-precision
// distance can lie below the quantized one, the scoring stops at the first
// member whose bound exceeds the k-th smallest distance scored so far:
// neither it nor any later member lies as close as that one.
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
