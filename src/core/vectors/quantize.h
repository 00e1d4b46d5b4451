// The SQ8 scalar quantizer: per-dimension minimum and step, one code byte per
// component, training (a range that sets a few extreme rows aside),
// encoding and decoding, and the rows the codes do not stand for
// (exceptions). Quantized distances are declared in sq8_distance.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/base/heap.h"

namespace hovra {

// Code rows, on cache-line boundaries: the walk fetches a row of 64·n codes
// as n lines.
using Sq8Codes = std::vector<std::uint8_t, CacheLineAllocator<std::uint8_t>>;

class Sq8Quantizer {
 public:
  Sq8Quantizer() = default;
  // Learns mins and scales from a row-major array (float_count / dim rows);
  // codes start empty. dim must be positive. Each dimension's range is the
  // minimum and maximum of the rows left after setting aside those with a
  // component far outside the bulk of its dimension (between its 0.1 % and
  // 99.9 % quantiles, widened by their distance on each side), at most
  // sq8_exception_budget(rows) of them; when more rows lie that far out,
  // none is set aside.
  static Sq8Quantizer train(const float* rows, std::size_t float_count, std::size_t dim);
  // A quantizer with the given parameters and codes (as read from a file).
  static Sq8Quantizer from_parts(std::vector<float> mins, std::vector<float> scales, std::size_t dim,
                                 const std::uint8_t* codes, std::size_t code_count);
  // The same taking the codes' array as it is (read into place).
  static Sq8Quantizer with_codes(std::vector<float> mins, std::vector<float> scales, std::size_t dim, Sq8Codes codes);
  static Sq8Quantizer from_parts(std::vector<float> mins, std::vector<float> scales, std::size_t dim,
                                 const std::vector<std::uint8_t>& codes) {
    return from_parts(std::move(mins), std::move(scales), dim, codes.data(), codes.size());
  }

  // Writes dim codes for one vector.
  void encode(const float* v, std::uint8_t* out) const;
  // Encodes every row of the array into codes (replacing them).
  void encode_all(const float* rows, std::size_t float_count);
  void append(const float* v);
  void reencode(std::uint32_t slot, const float* v);
  // For codes read from a file without their exceptions: lists the
  // exceptions among `rows` (the rows the codes were made from). Only rows
  // with a code at either end of the range (0 or 255) can lie outside it, so
  // only those rows are read; every other row is within range.
  void find_exceptions(const float* rows, std::size_t float_count);
  // For codes read from a file that lists their exceptions (ascending slots,
  // as exceptions() gave them when the codes were made): the rows are known
  // to be within range but for those, and no row is read.
  void adopt_exceptions(std::vector<std::uint32_t> slots);
  // Writes dim decoded floats into buf; the row must exist (else Panic).
  void decode_into(std::uint32_t slot, float* buf) const;

  std::size_t dim() const { return dim_; }
  const std::vector<float>& mins() const { return mins_; }
  const std::vector<float>& scales() const { return scales_; }
  const Sq8Codes& codes() const { return codes_; }
  // dim x 8 plus the code bytes.
  std::size_t memory_bytes() const { return dim_ * 8 + codes_.size(); }
  // Whether every row but the exceptions was encoded here within half a
  // step of the trained range (so decodes within half a step of its value
  // in every component). False for codes read from a file until their
  // exceptions are found or adopted.
  bool rows_within_range() const { return within_range_; }
  // The rows encoded here that lie outside the range by more than half a
  // step in some component (ascending slots): their codes misplace them, so
  // searches measure them at full precision.
  const std::vector<std::uint32_t>& exceptions() const { return exceptions_; }
  // Whether the exceptions have outgrown twice what training sets aside
  // (rows added beyond the range, or a range the data has drifted from):
  // the range is due to be trained again.
  bool needs_training() const;

 private:
  std::vector<float> mins_;
  std::vector<float> scales_;
  std::size_t dim_ = 0;
  Sq8Codes codes_;
  bool within_range_ = false;
  std::vector<std::uint32_t> exceptions_;
  void note_row(std::uint32_t slot, bool within);
  // encode() that also reports whether the row lay within range.
  bool encode_checked(const float* v, std::uint8_t* out) const;
};

// At most this many rows of `rows` are set aside by training: max(16, one
// in a thousand).
std::size_t sq8_exception_budget(std::size_t rows);

// The one-component rule: t = (v - min) / scale, clamped, rounded half away
// from zero, clamped; NaN gives 0.
std::uint8_t sq8_encode_component(float v, float min, float scale);

}  // namespace hovra
