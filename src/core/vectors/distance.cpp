// Distance kernels over SimSIMD's run-time dispatched f32 kernels.
#include "core/vectors/distance.h"

#include <simsimd/simsimd.h>

#include <cmath>

namespace hovra {

std::optional<Metric> parse_metric(std::string_view name) {
  if (name == "cosine") return Metric::Cosine;
  if (name == "euclidean" || name == "l2") return Metric::Euclidean;
  if (name == "dot" || name == "dot_product" || name == "ip" || name == "inner_product") return Metric::DotProduct;
  return std::nullopt;
}

std::optional<Metric> metric_from_code(std::uint8_t code) {
  if (code > 2) return std::nullopt;
  return static_cast<Metric>(code);
}

const char* metric_name(Metric metric) {
  switch (metric) {
    case Metric::Cosine:
      return "cosine";
    case Metric::Euclidean:
      return "euclidean";
    case Metric::DotProduct:
      return "dot_product";
  }
  return "cosine";
}

namespace detail {

namespace {

// The kernel SimSIMD's dispatching entry point (the fallback) would call on
// this processor: the same query of the same capabilities it makes itself.
Kernel resolve(simsimd_metric_kind_t kind, Kernel fallback) {
  simsimd_kernel_punned_t found = nullptr;
  simsimd_capability_t used = simsimd_cap_serial_k;
  simsimd_find_kernel_punned(kind, simsimd_datatype_f32_k, simsimd_capabilities(), simsimd_cap_any_k, &found, &used);
  // (through void(*)(), the generic function pointer type)
  return found ? reinterpret_cast<Kernel>(reinterpret_cast<void (*)()>(found)) : fallback;
}

}  // namespace

const Kernel kMetricKernels[3] = {resolve(simsimd_metric_cos_k, &simsimd_cos_f32),
                                  resolve(simsimd_metric_l2sq_k, &simsimd_l2sq_f32),
                                  resolve(simsimd_metric_dot_k, &simsimd_dot_f32)};
const Kernel kDotKernel = kMetricKernels[2];

}  // namespace detail

// Sixteen running sums, one per lane, added up at the end: the compiler
// turns the lanes into vector registers (one running sum would make each
// addition wait for the last), and the rounding error is bounded as the
// one-sum loop's is (by n units of the last place), only smaller.
float query_sum_squares(const float* v, std::size_t n) {
  constexpr std::size_t kLanes = 16;
  float lanes[kLanes] = {};
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (std::size_t j = 0; j < kLanes; ++j) lanes[j] += v[i + j] * v[i + j];
  float s = 0.0f;
  for (float lane : lanes) s += lane;
  for (; i < n; ++i) s += v[i] * v[i];
  return s;
}

float vector_norm(const float* v, std::size_t n) { return std::sqrt(query_sum_squares(v, n)); }

// A plain loop: SimSIMD's f64 kernels take f64 rows, and this runs on the
// few hits of a search only.
double distance_exact(const float* a, const float* b, std::size_t n, Metric metric) {
  double ab = 0.0, aa = 0.0, bb = 0.0, sq = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    double x = a[i], y = b[i];
    ab += x * y;
    aa += x * x;
    bb += y * y;
    sq += (x - y) * (x - y);
  }
  switch (metric) {
    case Metric::Euclidean:
      return sq;
    case Metric::DotProduct:
      return -ab;
    case Metric::Cosine:
      break;
  }
  if (aa == 0.0 || bb == 0.0) return 1.0;
  return 1.0 - ab / std::sqrt(aa * bb);
}

std::vector<float> batch_scores(const float* query, const float* rows, std::size_t float_count, std::size_t dim,
                                const float* norms, Metric metric) {
  std::size_t count = dim == 0 ? 0 : float_count / dim;
  std::vector<float> scores(count);
  float q2 = query_sum_squares(query, dim);
  float qn = std::sqrt(q2);
  for (std::size_t i = 0; i < count; ++i)
    scores[i] = batch_score(dot(query, rows + i * dim, dim), norms[i], q2, qn, metric);
  return scores;
}

}  // namespace hovra
