// Metrics and distance kernels: the pairwise distance every comparison uses
// and the batch scorer of the exhaustive scan. Smaller is always closer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace hovra {

enum class Metric : std::uint8_t { Cosine = 0, Euclidean = 1, DotProduct = 2 };

// "cosine"; "euclidean" or "l2"; "dot", "dot_product", "ip" or
// "inner_product" (case-sensitive).
std::optional<Metric> parse_metric(std::string_view name);
// The stored code 0..2, or nullopt.
std::optional<Metric> metric_from_code(std::uint8_t code);
// "cosine", "euclidean" or "dot_product".
const char* metric_name(Metric metric);

namespace detail {
// SimSIMD's f32 kernels, indexed by metric code: the implementation its
// run-time dispatch picks for this processor, looked up once when the module
// loads, so a call goes straight to it (the same code, the same results).
using Kernel = void (*)(const float*, const float*, unsigned long long, double*);
extern const Kernel kMetricKernels[3];
// The dot-product kernel, looked up the same way.
extern const Kernel kDotKernel;
}  // namespace detail

// Cosine: 1 - cos; Euclidean: squared L2; DotProduct: negated dot product
// (the sign flipped after narrowing to f32).
inline float distance(const float* a, const float* b, std::size_t n, Metric metric) {
  double r = 0.0;
  detail::kMetricKernels[static_cast<std::uint8_t>(metric)](a, b, n, &r);
  float d = static_cast<float>(r);
  return metric == Metric::DotProduct ? -d : d;
}
// The same distance summed in double precision (cosine with zero norm: 1):
// what a distance bound is compared against, so that rounding never lets a
// row beyond the bound pass. The kernels above may sum in single precision.
double distance_exact(const float* a, const float* b, std::size_t n, Metric metric);
// Dot product through the kernel, narrowed to f32, not negated.
inline float dot(const float* a, const float* b, std::size_t n) {
  double r = 0.0;
  detail::kDotKernel(a, b, n, &r);
  return static_cast<float>(r);
}
// Square root of the single-precision sum of squares.
float vector_norm(const float* v, std::size_t n);
// The batch scorer's sum of squares of a query (single precision, in 16
// lanes).
float query_sum_squares(const float* query, std::size_t n);
// The batch scorer's score of one row from its dot product with the query
// (dot through the kernel, narrowed, not negated), the row's stored norm, the
// query's q2 = query_sum_squares and qn = sqrt(q2), in single precision.
inline float batch_score(float dot, float norm, float q2, float qn, Metric metric) {
  switch (metric) {
    case Metric::Euclidean:
      return (q2 + norm * norm) - 2.0f * dot;
    case Metric::DotProduct:
      return -dot;
    case Metric::Cosine:
    default:
      if (q2 == 0.0f || norm == 0.0f) return 1.0f;
      return 1.0f - dot / (qn * norm);
  }
}
// One score per row of the row-major array (float_count / dim rows).
std::vector<float> batch_scores(const float* query, const float* rows, std::size_t float_count, std::size_t dim,
                                const float* norms, Metric metric);

}  // namespace hovra
