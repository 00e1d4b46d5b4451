// One-bit codes: each row's offset from the rows' mean as one sign bit per
// component, with three per-row factors that turn a bit count into an
// estimate of the row's distance to a query; the query's side (its offset
// from the mean quantized to four bits, as four bit planes) and the
// popcount kernels that compare the two.
//
// The estimate (for a row x, the rows' mean c, r = x - c, a query q and
// q~ = q - c): <r, q~> ~ |r|^2 / |r|_1 * sum_i sign(r_i) q~_i, the inner
// product of q~ with the row's direction as the sign vector sees it, scaled
// by how well the sign vector matches that direction. From it:
//   squared Euclidean  |r|^2 + |q~|^2 - 2 <r, q~>
//   dot product        -(<r, q~> + <r, c> + <c, q>)
//   cosine             1 - (<r, q~> + <r, c> + <c, q>) / (|x| |q|)
// A walk on these orders rows roughly; its beam is re-scored at full
// precision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/base/function_ref.h"
#include "core/base/heap.h"
#include "core/vectors/distance.h"

namespace hovra {

class BinaryCodes {
 public:
  BinaryCodes() = default;
  // The mean of a row-major array (float_count / dim rows, dim positive)
  // and every row's code.
  static BinaryCodes train(const float* rows, std::size_t float_count, std::size_t dim, Metric metric);
  // Codes read from a file: the mean, the number of rows it was taken over,
  // and row_count packed rows (row_bytes() each, as row() lays them out)
  // that `fill` writes straight into place; nullopt when fill fails.
  static std::optional<BinaryCodes> read(std::size_t dim, Metric metric, std::vector<float> center,
                                         std::uint64_t centred_on, std::size_t row_count,
                                         FunctionRef<bool(void* rows, std::size_t bytes)> fill);

  void append(const float* v);
  void reencode(std::uint32_t slot, const float* v);

  std::size_t dim() const { return dim_; }
  Metric metric() const { return metric_; }
  std::size_t words() const { return words_; }
  // Bytes of one packed row: the sign words, then the factors (f, extra,
  // inverse norm) and four bytes of padding.
  std::size_t row_bytes() const { return words_ * 8 + 16; }
  std::size_t rows() const { return words_ == 0 ? 0 : data_.size() / row_words(); }
  const std::vector<float>& center() const { return center_; }
  // The number of rows the mean was taken over (rows added later are coded
  // about it too).
  std::uint64_t centred_on() const { return centred_on_; }
  const std::uint64_t* row(std::uint32_t slot) const { return data_.data() + std::size_t(slot) * row_words(); }
  std::size_t memory_bytes() const { return data_.size() * 8 + center_.size() * sizeof(float); }

 private:
  std::size_t row_words() const { return words_ + 2; }
  void encode(const float* v, std::uint64_t* out) const;

  std::size_t dim_ = 0;
  std::size_t words_ = 0;
  Metric metric_ = Metric::Euclidean;
  std::vector<float> center_;
  double center_sq_ = 0.0;  // |c|^2
  std::uint64_t centred_on_ = 0;
  std::vector<std::uint64_t, CacheLineAllocator<std::uint64_t>> data_;
};

// A query prepared for estimated distances to the rows of BinaryCodes.
class BinaryDistance {
 public:
  BinaryDistance(const BinaryCodes& codes, const float* query);
  float operator()(std::uint32_t slot) const { return estimate(codes_.row(slot)); }
  const std::uint64_t* row(std::uint32_t slot) const { return codes_.row(slot); }
  std::size_t row_bytes() const { return codes_.row_bytes(); }

  using Kernel = std::int64_t (*)(const std::uint64_t* planes, const std::uint64_t* code, std::size_t words);

 private:
  float estimate(const std::uint64_t* code) const;

  const BinaryCodes& codes_;
  std::size_t words_;
  // Four bit planes of the quantized q~ (plane j: bit j of every
  // component's four-bit value), words_ each, then the words of ones.
  std::vector<std::uint64_t> planes_;
  float low_ = 0.0f;  // q~ ~ low + step * u, u in 0..15
  float step_ = 0.0f;
  float total_ = 0.0f;           // sum of the quantized q~ over the components
  float query_sq_ = 0.0f;        // Euclidean: |q~|^2
  float center_dot_ = 0.0f;      // dot, cosine: <c, q>
  float inv_query_norm_ = 0.0f;  // cosine: 1 / |q| (0 for a zero query)
  Kernel kernel_;
};

}  // namespace hovra
