// One-bit codes: training, encoding, the query's bit planes and the popcount
// kernels (AVX-512 VPOPCNTDQ where the processor has it, the POPCNT
// instruction, or plain C++).
#include "core/vectors/binary_codes.h"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "core/base/cpu_features.h"

namespace hovra {

namespace {

struct Factors {
  float f;         // |r|^2 / |r|_1
  float extra;     // Euclidean: |r|^2; dot, cosine: <r, c>
  float inv_norm;  // cosine: 1 / |x| (0 for a zero row)
  float unused;
};

std::size_t words_for(std::size_t dim) { return (dim + 63) / 64; }

}  // namespace

BinaryCodes BinaryCodes::train(const float* rows, std::size_t float_count, std::size_t dim, Metric metric) {
  BinaryCodes b;
  b.dim_ = dim;
  b.words_ = words_for(dim);
  b.metric_ = metric;
  const std::size_t n = dim == 0 ? 0 : float_count / dim;
  std::vector<double> sum(dim, 0.0);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t d = 0; d < dim; ++d) sum[d] += rows[i * dim + d];
  b.center_.resize(dim);
  for (std::size_t d = 0; d < dim; ++d) {
    b.center_[d] = n ? static_cast<float>(sum[d] / static_cast<double>(n)) : 0.0f;
    b.center_sq_ += double(b.center_[d]) * b.center_[d];
  }
  b.centred_on_ = n;
  b.data_.resize(n * b.row_words());
  for (std::size_t i = 0; i < n; ++i) b.encode(rows + i * dim, b.data_.data() + i * b.row_words());
  return b;
}

std::optional<BinaryCodes> BinaryCodes::read(std::size_t dim, Metric metric, std::vector<float> center,
                                             std::uint64_t centred_on, std::size_t row_count,
                                             FunctionRef<bool(void* rows, std::size_t bytes)> fill) {
  BinaryCodes b;
  b.dim_ = dim;
  b.words_ = words_for(dim);
  b.metric_ = metric;
  b.center_ = std::move(center);
  b.centred_on_ = centred_on;
  for (float c : b.center_) b.center_sq_ += double(c) * c;
  b.data_.resize(row_count * b.row_words());
  if (row_count && !fill(b.data_.data(), row_count * b.row_bytes())) return std::nullopt;
  return b;
}

void BinaryCodes::encode(const float* v, std::uint64_t* out) const {
  std::fill(out, out + row_words(), 0);
  double l1 = 0.0, l2 = 0.0, rc = 0.0, vv = 0.0;
  // The sign bits are gathered without a branch: a branch on the sign is
  // mispredicted every other component and cost most of an open's coding.
  for (std::size_t w = 0; w * 64 < dim_; ++w) {
    std::uint64_t bits = 0;
    const std::size_t end = std::min(dim_, w * 64 + 64);
    for (std::size_t d = w * 64; d < end; ++d) {
      double r = double(v[d]) - center_[d];
      bits |= std::uint64_t(r > 0.0) << (d - w * 64);
      l1 += std::fabs(r);
      l2 += r * r;
      rc += r * center_[d];
      vv += double(v[d]) * v[d];
    }
    out[w] = bits;
  }
  Factors f{};
  f.f = l1 > 0.0 ? static_cast<float>(l2 / l1) : 0.0f;
  f.extra = static_cast<float>(metric_ == Metric::Euclidean ? l2 : rc);
  f.inv_norm = vv > 0.0 ? static_cast<float>(1.0 / std::sqrt(vv)) : 0.0f;
  std::memcpy(out + words_, &f, sizeof f);
}

void BinaryCodes::append(const float* v) {
  std::size_t at = data_.size();
  data_.resize(at + row_words());
  encode(v, data_.data() + at);
}

void BinaryCodes::reencode(std::uint32_t slot, const float* v) {
  if (std::size_t(slot) >= rows()) return;
  encode(v, data_.data() + std::size_t(slot) * row_words());
}

// ---------------------------------------------------------------------------
// Kernels: the count of a code's ones and the weighted count of its ones
// under the query's four bit planes, packed as weighted << 32 | ones.
// ---------------------------------------------------------------------------

namespace {

template <int (*Pop)(std::uint64_t)>
inline std::int64_t count_words(const std::uint64_t* planes, const std::uint64_t* code, std::size_t words) {
  std::int64_t ones = 0, weighted = 0;
  for (std::size_t w = 0; w < words; ++w) {
    std::uint64_t b = code[w];
    ones += Pop(b);
    weighted += Pop(b & planes[w]) + 2 * Pop(b & planes[words + w]) + 4 * Pop(b & planes[2 * words + w]) +
                8 * Pop(b & planes[3 * words + w]);
  }
  return weighted << 32 | ones;
}

int pop_plain(std::uint64_t x) { return std::popcount(x); }
std::int64_t count_plain(const std::uint64_t* planes, const std::uint64_t* code, std::size_t words) {
  return count_words<pop_plain>(planes, code, words);
}

#if defined(__x86_64__)
__attribute__((target("popcnt"))) inline int pop_insn(std::uint64_t x) { return static_cast<int>(_mm_popcnt_u64(x)); }
__attribute__((target("popcnt"))) std::int64_t count_popcnt(const std::uint64_t* planes, const std::uint64_t* code,
                                                            std::size_t words) {
  std::int64_t ones = 0, weighted = 0;
  for (std::size_t w = 0; w < words; ++w) {
    std::uint64_t b = code[w];
    ones += pop_insn(b);
    weighted += pop_insn(b & planes[w]) + 2 * pop_insn(b & planes[words + w]) +
                4 * pop_insn(b & planes[2 * words + w]) + 8 * pop_insn(b & planes[3 * words + w]);
  }
  return weighted << 32 | ones;
}

// Eight words a step, the last step masked; a count per plane, weighted
// after the loop.
__attribute__((target("avx512f,avx512vpopcntdq"))) std::int64_t count_avx512(const std::uint64_t* planes,
                                                                             const std::uint64_t* code,
                                                                             std::size_t words) {
  __m512i ones = _mm512_setzero_si512(), c0 = ones, c1 = ones, c2 = ones, c3 = ones;
  for (std::size_t w = 0; w < words; w += 8) {
    const __mmask8 m = words - w >= 8 ? __mmask8(0xFF) : __mmask8((1u << (words - w)) - 1);
    __m512i b = _mm512_maskz_loadu_epi64(m, code + w);
    ones = _mm512_add_epi64(ones, _mm512_popcnt_epi64(b));
    c0 = _mm512_add_epi64(c0, _mm512_popcnt_epi64(_mm512_and_si512(b, _mm512_maskz_loadu_epi64(m, planes + w))));
    c1 = _mm512_add_epi64(c1,
                          _mm512_popcnt_epi64(_mm512_and_si512(b, _mm512_maskz_loadu_epi64(m, planes + words + w))));
    c2 = _mm512_add_epi64(
        c2, _mm512_popcnt_epi64(_mm512_and_si512(b, _mm512_maskz_loadu_epi64(m, planes + 2 * words + w))));
    c3 = _mm512_add_epi64(
        c3, _mm512_popcnt_epi64(_mm512_and_si512(b, _mm512_maskz_loadu_epi64(m, planes + 3 * words + w))));
  }
  // The weights and the sum by hand: GCC 12 warns inside its own shift and
  // reduction intrinsics.
  __m512i weighted = _mm512_add_epi64(c2, _mm512_add_epi64(c3, c3));
  weighted = _mm512_add_epi64(c1, _mm512_add_epi64(weighted, weighted));
  weighted = _mm512_add_epi64(c0, _mm512_add_epi64(weighted, weighted));
  alignas(64) std::int64_t w8[8], o8[8];
  _mm512_store_si512(w8, weighted);
  _mm512_store_si512(o8, ones);
  std::int64_t w = 0, o = 0;
  for (int i = 0; i < 8; ++i) {
    w += w8[i];
    o += o8[i];
  }
  return w << 32 | o;
}
#endif

BinaryDistance::Kernel pick_kernel() {
#if defined(__x86_64__)
  static const BinaryDistance::Kernel k = [] {
    SimdLevel level = simd_level();
    if (level == SimdLevel::Avx512 && __builtin_cpu_supports("avx512vpopcntdq")) return &count_avx512;
    if (level != SimdLevel::Portable && __builtin_cpu_supports("popcnt")) return &count_popcnt;
    return &count_plain;
  }();
  return k;
#else
  return &count_plain;
#endif
}

}  // namespace

BinaryDistance::BinaryDistance(const BinaryCodes& codes, const float* query)
    : codes_(codes), words_(codes.words()), planes_(4 * codes.words(), 0), kernel_(pick_kernel()) {
  const std::size_t dim = codes.dim();
  const std::vector<float>& c = codes.center();
  std::vector<float> t(dim);
  double qsq = 0.0, cq = 0.0, qq = 0.0;
  float lo = 0.0f, hi = 0.0f;
  for (std::size_t d = 0; d < dim; ++d) {
    t[d] = query[d] - c[d];
    qsq += double(t[d]) * t[d];
    cq += double(c[d]) * query[d];
    qq += double(query[d]) * query[d];
    lo = d == 0 ? t[d] : std::min(lo, t[d]);
    hi = d == 0 ? t[d] : std::max(hi, t[d]);
  }
  low_ = lo;
  step_ = hi > lo ? (hi - lo) / 15.0f : 0.0f;
  std::int64_t sum_u = 0;
  for (std::size_t d = 0; d < dim; ++d) {
    int u = 0;
    if (step_ > 0.0f) u = std::clamp(static_cast<int>(std::lround((t[d] - lo) / step_)), 0, 15);
    sum_u += u;
    for (int j = 0; j < 4; ++j)
      if (u >> j & 1) planes_[std::size_t(j) * words_ + d / 64] |= std::uint64_t(1) << (d % 64);
  }
  total_ = static_cast<float>(double(low_) * double(dim) + double(step_) * double(sum_u));
  query_sq_ = static_cast<float>(qsq);
  center_dot_ = static_cast<float>(cq);
  inv_query_norm_ = qq > 0.0 ? static_cast<float>(1.0 / std::sqrt(qq)) : 0.0f;
}

float BinaryDistance::estimate(const std::uint64_t* code) const {
  std::int64_t counts = kernel_(planes_.data(), code, words_);
  float ones = static_cast<float>(counts & 0xFFFFFFFF), weighted = static_cast<float>(counts >> 32);
  Factors f{};
  std::memcpy(&f, code + words_, sizeof f);
  // sum_i sign(r_i) q~_i, from the sum over the ones and the total.
  float signed_sum = 2.0f * (low_ * ones + step_ * weighted) - total_;
  float ip = f.f * signed_sum;
  switch (codes_.metric()) {
    case Metric::Euclidean:
      return f.extra + query_sq_ - 2.0f * ip;
    case Metric::DotProduct:
      return -(ip + f.extra + center_dot_);
    default:
      return 1.0f - (ip + f.extra + center_dot_) * f.inv_norm * inv_query_norm_;
  }
}

}  // namespace hovra
