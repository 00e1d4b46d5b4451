// VectorRows: a batch of input vectors read where they lie (a caller's
// array, rows of an index, a list of converted rows), so that a batch is
// never copied whole before it is logged and inserted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace hovra {

// Bytes that stay where they lie while `keep` is held (a map of a log that
// is only ever appended to): rows read from them may be kept by address.
struct LastingBytes {
  const unsigned char* begin = nullptr;
  const unsigned char* end = nullptr;
  std::shared_ptr<const void> keep;
};

class VectorRows {
 public:
  enum class Element : std::uint8_t { F32, F64 };

  VectorRows() = default;
  // n rows of `cols` components each: row i starts `row_step` bytes after
  // row i - 1 and its components lie `col_step` bytes apart. Doubles are
  // narrowed to floats as rows are read.
  static VectorRows strided(const void* base, std::size_t n, std::size_t cols, std::ptrdiff_t row_step,
                            std::ptrdiff_t col_step, Element element);
  // n contiguous float rows of `cols` components.
  static VectorRows contiguous(const float* base, std::size_t n, std::size_t cols);
  // Rows that may differ in length: row i is floats[ends[i-1], ends[i]).
  static VectorRows ragged(const float* floats, const std::size_t* ends, std::size_t n);
  // Rows given by address, each `cols` floats.
  static VectorRows gathered(const float* const* rows, std::size_t n, std::size_t cols);
  // Rows given by the address of their `cols` little-endian floats, which
  // may be unaligned (a log's records): read into scratch. The rows that
  // lie within `lasting` (when given; it must outlive this) stay there.
  static VectorRows logged(const unsigned char* const* rows, std::size_t n, std::size_t cols,
                           const LastingBytes* lasting);
  // Rows index[0], index[1], ... of another VectorRows, which must outlive
  // this one.
  static VectorRows selected(const VectorRows& from, const std::uint32_t* index, std::size_t n);

  std::size_t size() const { return n_; }
  std::size_t len(std::size_t i) const {
    if (from_ != nullptr) return from_->len(index_[i]);
    if (ends_ == nullptr) return cols_;
    return ends_[i] - (i == 0 ? 0 : ends_[i - 1]);
  }
  // Row i as len(i) contiguous floats: in place when it lies so, otherwise
  // converted into scratch, which must hold len(i) floats.
  const float* row(std::size_t i, float* scratch) const;
  // Whether row() ever needs scratch.
  bool needs_scratch() const { return !in_place_; }
  // Row i's bytes when they lie within the lasting bytes (see logged),
  // else nullptr; and those bytes.
  const unsigned char* lasting_row(std::size_t i) const;
  const LastingBytes* lasting() const { return from_ ? from_->lasting() : lasting_; }

 private:
  const VectorRows* from_ = nullptr;
  const std::uint32_t* index_ = nullptr;
  const unsigned char* base_ = nullptr;
  const float* const* rows_ = nullptr;
  const unsigned char* const* bytes_ = nullptr;  // logged rows
  const LastingBytes* lasting_ = nullptr;
  const std::size_t* ends_ = nullptr;
  std::size_t n_ = 0;
  std::size_t cols_ = 0;
  std::ptrdiff_t row_step_ = 0;
  std::ptrdiff_t col_step_ = 0;
  Element element_ = Element::F32;
  bool in_place_ = true;
};

// Floats of one row at a time, for readers of a VectorRows.
class RowReader {
 public:
  explicit RowReader(const VectorRows& rows) : rows_(rows) {}
  const float* operator()(std::size_t i) {
    if (!rows_.needs_scratch()) return rows_.row(i, nullptr);
    if (scratch_.size() < rows_.len(i)) scratch_.resize(rows_.len(i));
    return rows_.row(i, scratch_.data());
  }

 private:
  const VectorRows& rows_;
  std::vector<float> scratch_;
};

}  // namespace hovra
