// Reading rows of a VectorRows in each of its layouts.
#include "core/vectors/vector_rows.h"

#include <bit>
#include <cstring>

namespace hovra {

namespace {

// n little-endian floats from bytes that may be unaligned.
void load_le_floats(const unsigned char* bytes, std::size_t n, float* out) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, bytes, n * sizeof(float));
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      std::uint32_t u = std::uint32_t(bytes[4 * i]) | std::uint32_t(bytes[4 * i + 1]) << 8 |
                        std::uint32_t(bytes[4 * i + 2]) << 16 | std::uint32_t(bytes[4 * i + 3]) << 24;
      out[i] = std::bit_cast<float>(u);
    }
  }
}

}  // namespace

VectorRows VectorRows::strided(const void* base, std::size_t n, std::size_t cols, std::ptrdiff_t row_step,
                               std::ptrdiff_t col_step, Element element) {
  VectorRows r;
  r.base_ = static_cast<const unsigned char*>(base);
  r.n_ = n;
  r.cols_ = cols;
  r.row_step_ = row_step;
  r.col_step_ = col_step;
  r.element_ = element;
  bool aligned = reinterpret_cast<std::uintptr_t>(base) % alignof(float) == 0 &&
                 row_step % static_cast<std::ptrdiff_t>(alignof(float)) == 0;
  r.in_place_ =
      element == Element::F32 && aligned && (cols <= 1 || col_step == static_cast<std::ptrdiff_t>(sizeof(float)));
  return r;
}

VectorRows VectorRows::contiguous(const float* base, std::size_t n, std::size_t cols) {
  auto step = static_cast<std::ptrdiff_t>(sizeof(float));
  return strided(base, n, cols, static_cast<std::ptrdiff_t>(cols) * step, step, Element::F32);
}

VectorRows VectorRows::ragged(const float* floats, const std::size_t* ends, std::size_t n) {
  VectorRows r;
  r.base_ = reinterpret_cast<const unsigned char*>(floats);
  r.ends_ = ends;
  r.n_ = n;
  return r;
}

VectorRows VectorRows::gathered(const float* const* rows, std::size_t n, std::size_t cols) {
  VectorRows r;
  r.rows_ = rows;
  r.n_ = n;
  r.cols_ = cols;
  return r;
}

VectorRows VectorRows::logged(const unsigned char* const* rows, std::size_t n, std::size_t cols,
                              const LastingBytes* lasting) {
  VectorRows r;
  r.bytes_ = rows;
  r.n_ = n;
  r.cols_ = cols;
  r.lasting_ = lasting;
  r.in_place_ = false;
  return r;
}

const unsigned char* VectorRows::lasting_row(std::size_t i) const {
  if (from_ != nullptr) return from_->lasting_row(index_[i]);
  if (bytes_ == nullptr || lasting_ == nullptr) return nullptr;
  const unsigned char* at = bytes_[i];
  const std::size_t bytes = cols_ * sizeof(float);
  if (at < lasting_->begin || at > lasting_->end || std::size_t(lasting_->end - at) < bytes) return nullptr;
  return at;
}

VectorRows VectorRows::selected(const VectorRows& from, const std::uint32_t* index, std::size_t n) {
  VectorRows r;
  r.from_ = &from;
  r.index_ = index;
  r.n_ = n;
  r.in_place_ = from.in_place_;
  return r;
}

const float* VectorRows::row(std::size_t i, float* scratch) const {
  if (from_ != nullptr) return from_->row(index_[i], scratch);
  if (rows_ != nullptr) return rows_[i];
  if (bytes_ != nullptr) {
    load_le_floats(bytes_[i], cols_, scratch);
    return scratch;
  }
  if (ends_ != nullptr) return reinterpret_cast<const float*>(base_) + (i == 0 ? 0 : ends_[i - 1]);
  const unsigned char* at = base_ + static_cast<std::ptrdiff_t>(i) * row_step_;
  if (in_place_) return reinterpret_cast<const float*>(at);
  for (std::size_t j = 0; j < cols_; ++j, at += col_step_) {
    if (element_ == Element::F32) {
      std::memcpy(scratch + j, at, sizeof(float));
    } else {
      double d;
      std::memcpy(&d, at, sizeof(double));
      scratch[j] = static_cast<float>(d);
    }
  }
  return scratch;
}

}  // namespace hovra
