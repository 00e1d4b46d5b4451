// SQ8 training, encoding and decoding.
#include "core/vectors/quantize.h"

#include <cmath>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <string>

#include "core/base/error.h"

namespace hovra {

static constexpr float kF32Max = 3.4028235e38f;

// Decoding is code x scale + min with two roundings (a multiply, then an
// add; never a fused multiply-add), eight components at a time where the
// processor has AVX2; both paths give the same bits.
#if defined(__x86_64__)
__attribute__((target("avx2"))) static void decode_row_avx2(const std::uint8_t* c, const float* scales,
                                                             const float* mins, std::size_t dim, float* out) {
  std::size_t j = 0;
  for (; j + 8 <= dim; j += 8) {
    __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(c + j));
    __m256 codes = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
    __m256 scaled = _mm256_mul_ps(codes, _mm256_loadu_ps(scales + j));
    _mm256_storeu_ps(out + j, _mm256_add_ps(scaled, _mm256_loadu_ps(mins + j)));
  }
  for (; j < dim; ++j) {
    float scaled = static_cast<float>(c[j]) * scales[j];
    out[j] = scaled + mins[j];
  }
}
#endif

static void decode_row_scalar(const std::uint8_t* c, const float* scales, const float* mins, std::size_t dim,
                              float* out) {
  for (std::size_t j = 0; j < dim; ++j) {
    float scaled = static_cast<float>(c[j]) * scales[j];
    out[j] = scaled + mins[j];
  }
}

static void decode_row(const std::uint8_t* c, const float* scales, const float* mins, std::size_t dim, float* out) {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return decode_row_avx2(c, scales, mins, dim, out);
#endif
  decode_row_scalar(c, scales, mins, dim, out);
}

Sq8Quantizer Sq8Quantizer::train(const float* rows, std::size_t float_count, std::size_t dim) {
  if (dim == 0) panic("attempt to divide by zero");
  Sq8Quantizer q;
  q.dim_ = dim;
  q.mins_.assign(dim, kF32Max);
  std::vector<float> maxs(dim, -kF32Max);
  std::size_t count = float_count / dim;
  for (std::size_t r = 0; r < count; ++r) {
    const float* row = rows + r * dim;
    for (std::size_t j = 0; j < dim; ++j) {
      float v = row[j];
      if (v < q.mins_[j]) q.mins_[j] = v;
      if (v > maxs[j]) maxs[j] = v;
    }
  }
  q.scales_.resize(dim);
  for (std::size_t j = 0; j < dim; ++j) {
    float range = maxs[j] - q.mins_[j];
    q.scales_[j] = range != 0.0f ? range / 255.0f : 1.0f;
  }
  return q;
}

Sq8Quantizer Sq8Quantizer::from_parts(std::vector<float> mins, std::vector<float> scales, std::size_t dim,
                                      std::vector<std::uint8_t> codes) {
  Sq8Quantizer q;
  q.mins_ = std::move(mins);
  q.scales_ = std::move(scales);
  q.dim_ = dim;
  q.codes_ = std::move(codes);
  return q;
}

std::uint8_t sq8_encode_component(float v, float min, float scale) {
  float t = (v - min) / scale;
  if (std::isnan(t)) return 0;
  if (t < 0.0f) t = 0.0f;
  if (t > 255.0f) t = 255.0f;
  t = std::round(t);  // halves away from zero
  if (t < 0.0f) t = 0.0f;
  if (t > 255.0f) t = 255.0f;
  return static_cast<std::uint8_t>(t);
}

void Sq8Quantizer::encode(const float* v, std::uint8_t* out) const {
  const float* mins = mins_.data();
  const float* scales = scales_.data();
  for (std::size_t j = 0; j < dim_; ++j) out[j] = sq8_encode_component(v[j], mins[j], scales[j]);
}

void Sq8Quantizer::encode_all(const float* rows, std::size_t float_count) {
  std::size_t count = dim_ == 0 ? 0 : float_count / dim_;
  codes_.assign(count * dim_, 0);
  for (std::size_t r = 0; r < count; ++r) encode(rows + r * dim_, codes_.data() + r * dim_);
}

void Sq8Quantizer::append(const float* v) {
  std::size_t at = codes_.size();
  codes_.resize(at + dim_);
  encode(v, codes_.data() + at);
}

void Sq8Quantizer::reencode(std::uint32_t slot, const float* v) {
  std::size_t at = static_cast<std::size_t>(slot) * dim_;
  if (at + dim_ > codes_.size()) panic("range end index out of range for slice of codes");
  encode(v, codes_.data() + at);
}

void Sq8Quantizer::decode_into(std::uint32_t slot, float* buf) const {
  std::size_t at = static_cast<std::size_t>(slot) * dim_;
  if (at + dim_ > codes_.size() || mins_.size() < dim_ || scales_.size() < dim_)
    panic("range end index " + std::to_string(at + dim_) + " out of range for slice of length " +
          std::to_string(codes_.size()));
  decode_row(codes_.data() + at, scales_.data(), mins_.data(), dim_, buf);
}

}  // namespace hovra
