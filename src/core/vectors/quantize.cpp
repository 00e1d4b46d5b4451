// SQ8 training, encoding and decoding, and the rows the codes do not stand
// for (exceptions). The quantized distances are in sq8_distance.cpp.
#include "core/vectors/quantize.h"

#include <cmath>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <string>
#include <algorithm>
#include <limits>

#include "core/base/cpu_features.h"
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
  static const bool avx2 = simd_level() >= SimdLevel::Avx2;
  if (avx2) return decode_row_avx2(c, scales, mins, dim, out);
#endif
  decode_row_scalar(c, scales, mins, dim, out);
}

namespace {

// Training's bulk of a dimension: the span between these quantiles.
constexpr double kTailShare = 0.001;
// Quantiles are read from at most this many rows, evenly spaced.
constexpr std::size_t kQuantileSample = 65'536;

// The interval outside which a component is far from the bulk of its
// dimension: the bulk widened by its own width on each side (unbounded
// where the bulk is one value, so that a dimension holding mostly one value
// sets nothing aside), from a sample of the rows; NaNs are skipped.
void far_limits(const float* rows, std::size_t count, std::size_t dim, std::vector<float>& low,
                std::vector<float>& high) {
  low.assign(dim, -std::numeric_limits<float>::infinity());
  high.assign(dim, std::numeric_limits<float>::infinity());
  const std::size_t sample = std::min(count, kQuantileSample);
  std::vector<float> column;
  column.reserve(sample);
  for (std::size_t j = 0; j < dim; ++j) {
    column.clear();
    for (std::size_t i = 0; i < sample; ++i) {
      float v = rows[(i * count / sample) * dim + j];
      if (!std::isnan(v)) column.push_back(v);
    }
    if (column.empty()) continue;
    const std::size_t last = column.size() - 1;
    const auto at = [&](double share) {
      auto nth = column.begin() + static_cast<std::ptrdiff_t>(std::llround(share * static_cast<double>(last)));
      std::nth_element(column.begin(), nth, column.end());
      return static_cast<double>(*nth);
    };
    const double lo = at(kTailShare), hi = at(1.0 - kTailShare), width = hi - lo;
    if (!(width > 0.0) || !std::isfinite(width)) continue;
    low[j] = static_cast<float>(std::max(lo - width, -double(kF32Max)));
    high[j] = static_cast<float>(std::min(hi + width, double(kF32Max)));
  }
}

// The rows with a component outside [low, high], if there are at most
// `budget` of them; none otherwise.
std::vector<bool> rows_set_aside(const float* rows, std::size_t count, std::size_t dim, const std::vector<float>& low,
                                 const std::vector<float>& high, std::size_t budget) {
  std::vector<bool> aside(count, false);
  std::size_t n = 0;
  for (std::size_t r = 0; r < count; ++r) {
    const float* row = rows + r * dim;
    for (std::size_t j = 0; j < dim; ++j)
      if (row[j] < low[j] || row[j] > high[j]) {
        aside[r] = true;
        if (++n > budget) return std::vector<bool>(count, false);
        break;
      }
  }
  return aside;
}

}  // namespace

std::size_t sq8_exception_budget(std::size_t rows) { return std::max<std::size_t>(16, rows / 1000); }

// A few extreme rows would stretch the range of every dimension they touch,
// leaving the other rows few distinct codes (20 rows in 100,000 at +-500
// took recall at ef 50 from 0.97 to 0.49); set aside, they become
// exceptions, measured at full precision by every search.
Sq8Quantizer Sq8Quantizer::train(const float* rows, std::size_t float_count, std::size_t dim) {
  if (dim == 0) panic("attempt to divide by zero");
  Sq8Quantizer q;
  q.dim_ = dim;
  q.mins_.assign(dim, kF32Max);
  std::vector<float> maxs(dim, -kF32Max);
  std::size_t count = float_count / dim;
  std::vector<float> low, high;
  far_limits(rows, count, dim, low, high);
  const std::vector<bool> aside = rows_set_aside(rows, count, dim, low, high, sq8_exception_budget(count));
  for (std::size_t r = 0; r < count; ++r) {
    if (aside[r]) continue;
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
                                      const std::uint8_t* codes, std::size_t code_count) {
  Sq8Quantizer q;
  q.mins_ = std::move(mins);
  q.scales_ = std::move(scales);
  q.dim_ = dim;
  q.codes_.assign(codes, codes + code_count);
  return q;
}

Sq8Quantizer Sq8Quantizer::with_codes(std::vector<float> mins, std::vector<float> scales, std::size_t dim,
                                      Sq8Codes codes) {
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

// A component whose t = (v - min) / scale lies in [-0.5, 255.5] rounds to a
// code whose decoding is within half a step of v; anything else (beyond the
// range, not a number) is out of range.
bool Sq8Quantizer::encode_checked(const float* v, std::uint8_t* out) const {
  const float* mins = mins_.data();
  const float* scales = scales_.data();
  bool within = true;
  for (std::size_t j = 0; j < dim_; ++j) {
    float t = (v[j] - mins[j]) / scales[j];
    within &= t >= -0.5f && t <= 255.5f;
    out[j] = sq8_encode_component(v[j], mins[j], scales[j]);
  }
  return within;
}

void Sq8Quantizer::encode_all(const float* rows, std::size_t float_count) {
  std::size_t count = dim_ == 0 ? 0 : float_count / dim_;
  codes_.assign(count * dim_, 0);
  exceptions_.clear();
  within_range_ = dim_ > 0;
  for (std::size_t r = 0; r < count; ++r)
    note_row(static_cast<std::uint32_t>(r), encode_checked(rows + r * dim_, codes_.data() + r * dim_));
}

void Sq8Quantizer::append(const float* v) {
  std::size_t at = codes_.size();
  codes_.resize(at + dim_);
  note_row(static_cast<std::uint32_t>(at / dim_), encode_checked(v, codes_.data() + at));
}

void Sq8Quantizer::reencode(std::uint32_t slot, const float* v) {
  std::size_t at = static_cast<std::size_t>(slot) * dim_;
  if (at + dim_ > codes_.size()) panic("range end index out of range for slice of codes");
  note_row(slot, encode_checked(v, codes_.data() + at));
}

// Keeps the exceptions (ascending) in step with a row just encoded.
void Sq8Quantizer::note_row(std::uint32_t slot, bool within) {
  auto at = std::lower_bound(exceptions_.begin(), exceptions_.end(), slot);
  const bool listed = at != exceptions_.end() && *at == slot;
  if (within && listed) exceptions_.erase(at);
  if (!within && !listed) exceptions_.insert(at, slot);
}

void Sq8Quantizer::find_exceptions(const float* rows, std::size_t float_count) {
  exceptions_.clear();
  if (dim_ == 0) return;
  const std::size_t count = std::min(float_count / dim_, codes_.size() / dim_);
  std::vector<std::uint8_t> scratch(dim_);
  for (std::size_t r = 0; r < count; ++r) {
    const std::uint8_t* c = codes_.data() + r * dim_;
    bool at_end = false;
    for (std::size_t j = 0; j < dim_ && !at_end; ++j) at_end = c[j] == 0 || c[j] == 255;
    if (at_end && !encode_checked(rows + r * dim_, scratch.data()))
      exceptions_.push_back(static_cast<std::uint32_t>(r));
  }
  within_range_ = true;
}

void Sq8Quantizer::adopt_exceptions(std::vector<std::uint32_t> slots) {
  exceptions_ = std::move(slots);
  within_range_ = dim_ > 0;
}

bool Sq8Quantizer::needs_training() const {
  return dim_ > 0 && exceptions_.size() > 2 * sq8_exception_budget(codes_.size() / dim_);
}

void Sq8Quantizer::decode_into(std::uint32_t slot, float* buf) const {
  std::size_t at = static_cast<std::size_t>(slot) * dim_;
  if (at + dim_ > codes_.size() || mins_.size() < dim_ || scales_.size() < dim_)
    panic("range end index " + std::to_string(at + dim_) + " out of range for slice of length " +
          std::to_string(codes_.size()));
  decode_row(codes_.data() + at, scales_.data(), mins_.data(), dim_, buf);
}

}  // namespace hovra
