// Quantized distances: the fused SQ8 distance kernels (portable, AVX2 and
// AVX-512 forms, chosen once per query), and the bound and the common
// spread between quantized and full-precision distances. The codes they
// read are made in quantize.cpp.
#include "core/vectors/sq8_distance.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/base/cpu_features.h"
#include "core/base/error.h"
#include "core/vectors/x86_intrinsics.h"

namespace hovra {

namespace {

float finish_cosine(float qx, float xx, float qq) {
  if (qq == 0.0f && xx == 0.0f) return 0.0f;
  if (qx == 0.0f) return 1.0f;
  float d = 1.0f - qx / std::sqrt(qq * xx);
  return d > 0.0f ? d : 0.0f;
}

}  // namespace

struct Sq8Kernels {
  // Portable forms.
  static float dot(const Sq8Distance& d, const std::uint8_t* c) {
    const float* a = d.a_.data();
    float acc[4] = {0, 0, 0, 0};
    std::size_t j = 0, n = d.dim_;
    for (; j + 4 <= n; j += 4)
      for (int l = 0; l < 4; ++l) acc[l] += a[j + l] * static_cast<float>(c[j + l]);
    for (; j < n; ++j) acc[0] += a[j] * static_cast<float>(c[j]);
    return -(((acc[0] + acc[1]) + (acc[2] + acc[3])) + d.c_);
  }
  static float l2(const Sq8Distance& d, const std::uint8_t* c) {
    const float* a = d.a_.data();
    const float* s = d.q_.scales().data();
    float acc[4] = {0, 0, 0, 0};
    std::size_t j = 0, n = d.dim_;
    for (; j + 4 <= n; j += 4)
      for (int l = 0; l < 4; ++l) {
        float t = a[j + l] - static_cast<float>(c[j + l]) * s[j + l];
        acc[l] += t * t;
      }
    for (; j < n; ++j) {
      float t = a[j] - static_cast<float>(c[j]) * s[j];
      acc[0] += t * t;
    }
    return (acc[0] + acc[1]) + (acc[2] + acc[3]);
  }
  static float cosine(const Sq8Distance& d, const std::uint8_t* c) {
    const float* q = d.a_.data();
    const float* s = d.q_.scales().data();
    const float* m = d.q_.mins().data();
    float qx = 0.0f, xx = 0.0f;
    for (std::size_t j = 0; j < d.dim_; ++j) {
      float x = static_cast<float>(c[j]) * s[j] + m[j];
      qx += q[j] * x;
      xx += x * x;
    }
    return finish_cosine(qx, xx, d.c_);
  }

#if defined(__x86_64__)
  __attribute__((target("avx2,fma"))) static inline __m256 codes8(const std::uint8_t* c) {
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c))));
  }
  __attribute__((target("avx2,fma"))) static inline float hsum(__m256 v) {
    __m128 x = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    x = _mm_add_ps(x, _mm_movehl_ps(x, x));
    x = _mm_add_ss(x, _mm_movehdup_ps(x));
    return _mm_cvtss_f32(x);
  }
  __attribute__((target("avx2,fma"))) static float dot_avx2(const Sq8Distance& d, const std::uint8_t* c) {
    const float* a = d.a_.data();
    std::size_t j = 0, n = d.dim_;
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    for (; j + 16 <= n; j += 16) {
      acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + j), codes8(c + j), acc0);
      acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + j + 8), codes8(c + j + 8), acc1);
    }
    for (; j + 8 <= n; j += 8) acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + j), codes8(c + j), acc0);
    float r = hsum(_mm256_add_ps(acc0, acc1));
    for (; j < n; ++j) r += a[j] * static_cast<float>(c[j]);
    return -(r + d.c_);
  }
  __attribute__((target("avx2,fma"))) static float l2_avx2(const Sq8Distance& d, const std::uint8_t* c) {
    const float* a = d.a_.data();
    const float* s = d.q_.scales().data();
    std::size_t j = 0, n = d.dim_;
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    for (; j + 16 <= n; j += 16) {
      __m256 t0 = _mm256_fnmadd_ps(codes8(c + j), _mm256_loadu_ps(s + j), _mm256_loadu_ps(a + j));
      __m256 t1 = _mm256_fnmadd_ps(codes8(c + j + 8), _mm256_loadu_ps(s + j + 8), _mm256_loadu_ps(a + j + 8));
      acc0 = _mm256_fmadd_ps(t0, t0, acc0);
      acc1 = _mm256_fmadd_ps(t1, t1, acc1);
    }
    for (; j + 8 <= n; j += 8) {
      __m256 t0 = _mm256_fnmadd_ps(codes8(c + j), _mm256_loadu_ps(s + j), _mm256_loadu_ps(a + j));
      acc0 = _mm256_fmadd_ps(t0, t0, acc0);
    }
    float r = hsum(_mm256_add_ps(acc0, acc1));
    for (; j < n; ++j) {
      float t = a[j] - static_cast<float>(c[j]) * s[j];
      r += t * t;
    }
    return r;
  }
  __attribute__((target("avx2,fma"))) static float cosine_avx2(const Sq8Distance& d, const std::uint8_t* c) {
    const float* q = d.a_.data();
    const float* s = d.q_.scales().data();
    const float* m = d.q_.mins().data();
    std::size_t j = 0, n = d.dim_;
    __m256 qx = _mm256_setzero_ps(), xx = _mm256_setzero_ps();
    for (; j + 8 <= n; j += 8) {
      __m256 x = _mm256_fmadd_ps(codes8(c + j), _mm256_loadu_ps(s + j), _mm256_loadu_ps(m + j));
      qx = _mm256_fmadd_ps(_mm256_loadu_ps(q + j), x, qx);
      xx = _mm256_fmadd_ps(x, x, xx);
    }
    float rqx = hsum(qx), rxx = hsum(xx);
    for (; j < n; ++j) {
      float x = static_cast<float>(c[j]) * s[j] + m[j];
      rqx += q[j] * x;
      rxx += x * x;
    }
    return finish_cosine(rqx, rxx, d.c_);
  }

  __attribute__((target("avx512f"))) static inline __m512 codes16(const std::uint8_t* c) {
    return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c))));
  }
  __attribute__((target("avx512f"))) static inline __m512 codes_tail(const std::uint8_t* c, std::size_t left,
                                                                     __mmask16& mask) {
    mask = static_cast<__mmask16>((1u << left) - 1);
    alignas(16) std::uint8_t buf[16] = {0};
    for (std::size_t i = 0; i < left; ++i) buf[i] = c[i];
    return codes16(buf);
  }
  __attribute__((target("avx512f"))) static float dot_avx512(const Sq8Distance& d, const std::uint8_t* c) {
    const float* a = d.a_.data();
    std::size_t j = 0, n = d.dim_;
    __m512 acc0 = _mm512_setzero_ps(), acc1 = _mm512_setzero_ps();
    for (; j + 32 <= n; j += 32) {
      acc0 = _mm512_fmadd_ps(_mm512_loadu_ps(a + j), codes16(c + j), acc0);
      acc1 = _mm512_fmadd_ps(_mm512_loadu_ps(a + j + 16), codes16(c + j + 16), acc1);
    }
    for (; j + 16 <= n; j += 16) acc0 = _mm512_fmadd_ps(_mm512_loadu_ps(a + j), codes16(c + j), acc0);
    if (j < n) {
      __mmask16 k;
      __m512 x = codes_tail(c + j, n - j, k);
      acc1 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(k, a + j), x, acc1);
    }
    return -(_mm512_reduce_add_ps(_mm512_add_ps(acc0, acc1)) + d.c_);
  }
  __attribute__((target("avx512f"))) static float l2_avx512(const Sq8Distance& d, const std::uint8_t* c) {
    const float* a = d.a_.data();
    const float* s = d.q_.scales().data();
    std::size_t j = 0, n = d.dim_;
    __m512 acc0 = _mm512_setzero_ps(), acc1 = _mm512_setzero_ps();
    for (; j + 32 <= n; j += 32) {
      __m512 t0 = _mm512_fnmadd_ps(codes16(c + j), _mm512_loadu_ps(s + j), _mm512_loadu_ps(a + j));
      __m512 t1 = _mm512_fnmadd_ps(codes16(c + j + 16), _mm512_loadu_ps(s + j + 16), _mm512_loadu_ps(a + j + 16));
      acc0 = _mm512_fmadd_ps(t0, t0, acc0);
      acc1 = _mm512_fmadd_ps(t1, t1, acc1);
    }
    for (; j + 16 <= n; j += 16) {
      __m512 t0 = _mm512_fnmadd_ps(codes16(c + j), _mm512_loadu_ps(s + j), _mm512_loadu_ps(a + j));
      acc0 = _mm512_fmadd_ps(t0, t0, acc0);
    }
    if (j < n) {
      __mmask16 k;
      __m512 x = codes_tail(c + j, n - j, k);
      __m512 t = _mm512_fnmadd_ps(x, _mm512_maskz_loadu_ps(k, s + j), _mm512_maskz_loadu_ps(k, a + j));
      acc1 = _mm512_fmadd_ps(t, t, acc1);
    }
    return _mm512_reduce_add_ps(_mm512_add_ps(acc0, acc1));
  }
  __attribute__((target("avx512f"))) static float cosine_avx512(const Sq8Distance& d, const std::uint8_t* c) {
    const float* q = d.a_.data();
    const float* s = d.q_.scales().data();
    const float* m = d.q_.mins().data();
    std::size_t j = 0, n = d.dim_;
    __m512 qx = _mm512_setzero_ps(), xx = _mm512_setzero_ps();
    for (; j + 16 <= n; j += 16) {
      __m512 x = _mm512_fmadd_ps(codes16(c + j), _mm512_loadu_ps(s + j), _mm512_loadu_ps(m + j));
      qx = _mm512_fmadd_ps(_mm512_loadu_ps(q + j), x, qx);
      xx = _mm512_fmadd_ps(x, x, xx);
    }
    if (j < n) {
      __mmask16 k;
      __m512 cv = codes_tail(c + j, n - j, k);
      __m512 x = _mm512_maskz_mov_ps(
          k, _mm512_fmadd_ps(cv, _mm512_maskz_loadu_ps(k, s + j), _mm512_maskz_loadu_ps(k, m + j)));
      qx = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(k, q + j), x, qx);
      xx = _mm512_fmadd_ps(x, x, xx);
    }
    return finish_cosine(_mm512_reduce_add_ps(qx), _mm512_reduce_add_ps(xx), d.c_);
  }
#endif

  static Sq8Distance::Kernel pick(Metric metric) {
#if defined(__x86_64__)
    static const int isa = static_cast<int>(simd_level());
    if (isa == 2)
      return metric == Metric::Euclidean ? l2_avx512 : metric == Metric::DotProduct ? dot_avx512 : cosine_avx512;
    if (isa == 1)
      return metric == Metric::Euclidean ? l2_avx2 : metric == Metric::DotProduct ? dot_avx2 : cosine_avx2;
#endif
    return metric == Metric::Euclidean ? l2 : metric == Metric::DotProduct ? dot : cosine;
  }
};

Sq8Distance::Sq8Distance(const Sq8Quantizer& q, const float* query, Metric metric)
    : q_(q), metric_(metric), dim_(q.dim()), a_(q.dim()), kernel_(Sq8Kernels::pick(metric)) {
  if (q.mins().size() < dim_ || q.scales().size() < dim_) panic("quantizer parameters shorter than its dimension");
  const float* mins = q.mins().data();
  const float* scales = q.scales().data();
  for (std::size_t j = 0; j < dim_; ++j) {
    switch (metric) {
      case Metric::Euclidean:
        a_[j] = query[j] - mins[j];
        break;
      case Metric::DotProduct:
        a_[j] = query[j] * scales[j];
        c_ += query[j] * mins[j];
        break;
      case Metric::Cosine:
        a_[j] = query[j];
        c_ += query[j] * query[j];
        break;
    }
  }
}

float Sq8Distance::operator()(std::uint32_t slot) const {
  std::size_t at = static_cast<std::size_t>(slot) * dim_;
  if (at + dim_ > q_.codes().size())
    panic("range end index " + std::to_string(at + dim_) + " out of range for slice of length " +
          std::to_string(q_.codes().size()));
  return kernel_(*this, q_.codes().data() + at);
}

}  // namespace hovra

namespace hovra {

// Single-precision rounding. Euclidean: both kernels sum n non-negative
// terms, each rounded once or twice, so each result is within n + 2 units
// in the last place of its true value, relatively; the walk's query minus
// minimum is rounded once per component, which moves the root by at most
// 2^-24 of the norm of those differences. Dot product: both sums mix signs,
// so their error is bounded by n units in the last place of the sum of the
// products' magnitudes instead. relative_ is twice n + 2 units at least;
// every widening errs on the side of scoring more members.
Sq8DistanceBound::Sq8DistanceBound(const Sq8Quantizer& q, const float* query, Metric metric) : metric_(metric) {
  if (!q.rows_within_range() || metric == Metric::Cosine) return;
  const std::size_t n = q.dim();
  const float* mins = q.mins().data();
  const float* scales = q.scales().data();
  double steps = 0.0, shifted = 0.0, spread = 0.0, magnitude = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    double s = std::fabs(double(scales[j])), m = mins[j], x = query[j];
    steps += s * s;
    shifted += (x - m) * (x - m);
    spread += std::fabs(x) * s;
    magnitude += std::fabs(x) * (std::fabs(m) + 256.0 * s);  // |x| times the largest decoded magnitude
  }
  const double unit = 0x1.0p-24;  // half a unit in the last place of a float near 1
  relative_ = std::max(4.0 * double(n + 2) * unit, 1e-6);
  if (metric == Metric::Euclidean) {
    slack_ = 0.5 * std::sqrt(steps) * (1.0 + 1e-3) + 4.0 * unit * std::sqrt(shifted);
    absolute_ = 1e-30;  // products below the normal range
  } else {
    slack_ = 0.5 * spread * (1.0 + 1e-3);
    absolute_ = relative_ * magnitude + 1e-30;
  }
  usable_ = std::isfinite(slack_) && std::isfinite(absolute_) && std::isfinite(magnitude);
}

namespace {

// The largest float not above v.
float float_at_most(double v) {
  float f = static_cast<float>(v);
  return static_cast<double>(f) > v ? std::nextafter(f, -std::numeric_limits<float>::infinity()) : f;
}

}  // namespace

float Sq8DistanceBound::lower(float w) const {
  double v = w;
  if (metric_ == Metric::Euclidean) {
    double low = v - (relative_ * std::fabs(v) + absolute_);
    double root = std::sqrt(std::max(low, 0.0)) - slack_;
    if (!(root > 0.0)) return std::isnan(root) ? root : -std::numeric_limits<float>::infinity();
    return float_at_most(root * root * (1.0 - relative_) - absolute_);
  }
  double low = v - slack_ - (relative_ * std::fabs(v) + absolute_);
  return float_at_most(low - (relative_ * std::fabs(low) + absolute_));
}

double Sq8DistanceBound::upper(float w) const {
  double v = w;
  if (metric_ == Metric::Euclidean) {
    double root = std::sqrt(std::max(v + relative_ * std::fabs(v) + absolute_, 0.0)) + slack_;
    return root * root * (1.0 + relative_) + absolute_;
  }
  double high = v + slack_ + (relative_ * std::fabs(v) + absolute_);
  return high + relative_ * std::fabs(high) + absolute_;
}

namespace {

// The most Sq8Spread ever widens its margins.
constexpr double kWidest = 1e6;

}  // namespace

Sq8Spread::Sq8Spread(const Sq8Quantizer& q, const float* query, Metric metric) : metric_(metric) {
  if (!q.rows_within_range()) return;
  const std::size_t n = q.dim();
  const float* scales = q.scales().data();
  const float* mins = q.mins().data();
  double norm2 = 0.0, weighted = 0.0, widest = 0.0, steps = 0.0, magnitude = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    double s = std::fabs(double(scales[j])), x = query[j];
    norm2 += x * x;
    weighted += x * x * s * s;
    steps += s * s;
    magnitude += std::fabs(x) * (std::fabs(double(mins[j])) + 256.0 * s);
    if (scales[j] != 1.0f) widest = std::max(widest, s);  // a step of 1: a shared dimension
  }
  const double unit = 0x1.0p-24;
  relative_ = std::max(4.0 * double(n + 2) * unit, 1e-6);
  if (metric == Metric::Euclidean) {
    deviation_ = kSq8Sigmas * widest / std::sqrt(12.0);
    across_ = steps / 4.0;
    absolute_ = 1e-30;
  } else if (metric == Metric::DotProduct) {
    deviation_ = kSq8Sigmas * std::sqrt(weighted / 12.0);
    absolute_ = relative_ * magnitude + 1e-30;
  } else {
    if (!(norm2 > 0.0)) return;
    deviation_ = kSq8Sigmas * std::sqrt(2.0 * weighted / norm2 / 12.0);
  }
  usable_ = std::isfinite(deviation_) && std::isfinite(across_) && std::isfinite(norm2) && std::isfinite(magnitude);
}

double Sq8Spread::margin(float norm) const {
  if (metric_ != Metric::Cosine) return deviation_;
  if (!(norm > 0.0f)) return std::numeric_limits<double>::infinity();
  return deviation_ / double(norm);
}

double Sq8Spread::lower(float w, float norm, double widen) const {
  const double v = w, m = widen * margin(norm);
  if (metric_ == Metric::Euclidean) {
    double low = v - (relative_ * std::fabs(v) + absolute_) - across_;
    double root = std::sqrt(std::max(low, 0.0)) - m;
    if (!(root > 0.0)) return std::isnan(root) ? root : -std::numeric_limits<double>::infinity();
    return root * root * (1.0 - relative_) - absolute_;
  }
  double low = v - m - (relative_ * std::fabs(v) + absolute_);
  return low - (relative_ * std::fabs(low) + absolute_);
}

double Sq8Spread::upper(float w, float norm, double widen) const {
  const double v = w, m = widen * margin(norm);
  if (metric_ == Metric::Euclidean) {
    double root = std::sqrt(std::max(v + relative_ * std::fabs(v) + absolute_, 0.0)) + m;
    return root * root * (1.0 + relative_) + absolute_;
  }
  double high = v + m + (relative_ * std::fabs(v) + absolute_);
  return high + relative_ * std::fabs(high) + absolute_;
}

double Sq8Spread::widen_to_hold(float w, double exact, float norm) const {
  const double v = w, m = margin(norm);
  double off = 0.0;  // how far the row lies beyond the codes' place, in the margin's terms
  if (metric_ == Metric::Euclidean) {
    double root = std::sqrt(std::max(exact, 0.0));
    off = std::max(root - std::sqrt(std::max(v, 0.0)), std::sqrt(std::max(v - across_, 0.0)) - root);
  } else {
    off = std::fabs(exact - v);
  }
  if (!(off > 0.0)) return 0.0;
  if (!(m > 0.0)) return std::isinf(m) ? 0.0 : kWidest;
  return std::min(off / m, kWidest);
}

}  // namespace hovra
