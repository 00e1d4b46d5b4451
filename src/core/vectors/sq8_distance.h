// Quantized distances over the codes of an Sq8Quantizer (sq8_distance.cpp):
// Sq8Distance, a query prepared for distances with the decoding fused in,
// Sq8DistanceBound, how far a full-precision distance can lie from a
// quantized one, and Sq8Spread, how far it commonly lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/vectors/distance.h"
#include "core/vectors/quantize.h"

namespace hovra {

// How far below its quantized distance a row's full-precision distance can
// lie, for the rows of a quantizer whose rows are within range (all but its
// exceptions, which searches measure at full precision): lower(w) is
// at most the full-precision distance (as the exact kernel computes it) of
// any row whose quantized distance (as Sq8Distance computes it) is w, and
// upper(w) at least that distance.
// Squared Euclidean: the decoded row lies within half a step of the row in
// every component, so the distances' square roots differ by at most half the
// norm of the steps; dot product: the products differ by at most half the
// sum of |query| times the steps. Both widened for single-precision
// rounding. Cosine has no such bound here (a decoded row's own norm moves
// with its rounding; usable() is false), nor has a
// quantizer whose rows are not known to be within range, or a query or
// codebook that is not finite.
class Sq8DistanceBound {
 public:
  Sq8DistanceBound(const Sq8Quantizer& q, const float* query, Metric metric);
  bool usable() const { return usable_; }
  // Only meaningful while usable(); a NaN w gives NaN.
  float lower(float w) const;
  // Likewise at least the full-precision distance of such a row.
  double upper(float w) const;

 private:
  Metric metric_;
  bool usable_ = false;
  double slack_ = 0.0;     // Euclidean: on the root; dot: on the value
  double relative_ = 0.0;  // rounding of either kernel, relative
  double absolute_ = 0.0;  // rounding of either kernel, absolute
};

// How far a row's full-precision distance commonly lies from its quantized
// one (Sq8Distance), for the rows within range: a spread, not a bound (a row
// may lie further off, about one in 30,000 of those at the edge of a
// result), and far narrower than Sq8DistanceBound, which assumes every
// component rounded the worst way at once. Each component of a decoded row
// lies within half a step s_j of its value, as if uniformly and
// independently of the others (variance s_j^2 / 12), so the rounding moves
// a distance by a sum over the dimensions whose spread is known:
// - squared Euclidean: the decoded row's distance from the query differs
//   from the row's by the rounding along the unit direction between them,
//   of variance at most max s_j^2 / 12 whatever that direction is (a
//   dimension every row shares, whose step is 1 by convention, rounds
//   nothing and is left out), plus the part across it, which only
//   lengthens the decoded distance (at most sum s_j^2 / 4); the margin is on
//   the distance's square root;
// - dot product: the products differ by <q, e>, of variance
//   sum q_j^2 s_j^2 / 12;
// - cosine: to first order the cosine of the decoded row with the unit
//   query q moves by <q - c x, e> / |x| (c the cosine, x the unit row);
//   for the rows that decide a result, those near the query, q - c x is
//   the part of the query away from the row, spread over the dimensions as
//   the query is; its variance is taken as twice the query's own,
//   2 sum q_j^2 s_j^2 / 12 / |x|^2 (a shared dimension counts only where the
//   query differs from 0 there).
// The margins are kSq8Sigmas standard deviations times `widen` (at least
// 1), which a caller raises when the rows it measured lay further off than
// the spread expects (as where the rows crowd into a few steps and their
// rounding is not spread at all), and widened for single-precision
// rounding.
class Sq8Spread {
 public:
  Sq8Spread(const Sq8Quantizer& q, const float* query, Metric metric);
  bool usable() const { return usable_; }
  // At most the full-precision distance of a row of quantized distance w
  // and full-precision norm `norm` (read under cosine only), but for the
  // rare row beyond the spread. Only meaningful while usable(); a NaN w
  // gives NaN.
  double lower(float w, float norm, double widen) const;
  // Likewise at least that distance.
  double upper(float w, float norm, double widen) const;
  // The least widen under which [lower, upper] holds a row measured at w
  // quantized and `exact` at full precision (0 when it lies where the
  // codes put it).
  double widen_to_hold(float w, double exact, float norm) const;

 private:
  // The margin at widen 1 for a row of this norm: on the root of the
  // distance (Euclidean) or on the distance.
  double margin(float norm) const;
  Metric metric_;
  bool usable_ = false;
  double deviation_ = 0.0;  // kSq8Sigmas standard deviations (cosine: for |x| = 1)
  double across_ = 0.0;     // Euclidean: the most the part across lengthens the decoded distance
  double relative_ = 0.0;   // rounding of either kernel, relative
  double absolute_ = 0.0;   // rounding of either kernel, absolute
};

// Standard deviations of the rounding Sq8Spread's margins allow for.
inline constexpr double kSq8Sigmas = 4.0;

// A full-precision query prepared for quantized distances to code rows:
// decoding (code x scale + min) is fused into the distance kernel, so no row
// is decoded into memory. The metric is the index's own, on the decoded
// values: squared distance, negated dot product, or one minus the cosine with
// the decoded row's own norm (both zero: 0; zero dot product: 1; never below
// 0). The sums are ordered differently from decoding followed by the
// pairwise kernel, so results may differ from that in the last bits; a
// search that walks with them re-scores its final candidates at full
// precision.
class Sq8Distance {
 public:
  Sq8Distance(const Sq8Quantizer& q, const float* query, Metric metric);
  // The quantized distance to a slot; the row must exist (else Panic).
  float operator()(std::uint32_t slot) const;
  const std::uint8_t* row(std::uint32_t slot) const { return q_.codes().data() + std::size_t(slot) * dim_; }
  std::size_t dim() const { return dim_; }

  using Kernel = float (*)(const Sq8Distance&, const std::uint8_t* codes);

 private:
  friend struct Sq8Kernels;
  const Sq8Quantizer& q_;
  Metric metric_;
  std::size_t dim_;
  // Euclidean: query - min; dot: query x scale; cosine: the query.
  std::vector<float> a_;
  // Dot: query . min; cosine: query . query.
  float c_ = 0.0f;
  Kernel kernel_;
};

}  // namespace hovra
