// VectorStore: the full-precision vectors by slot, either an owned growable
// array or a map of the vector file. A map with room to grow (see
// MappedFile::map_extendable) is changed and continued in place, so that
// the file's rows stay shared page cache; other maps are copied into owned
// memory at the first change. The store also keeps which of its rows the
// vector file already holds as they are (a prefix of rows, less the rows
// replaced since), so that a checkpoint writes only the others.
//
// Rows past the contiguous ones may lie outside the store (a reader's rows
// read where they lie in the log it follows, whose pages the system's file
// cache holds once for every process): one address per slot, of floats
// that may be unaligned, read only by copying them (copy_row, read_row,
// gather_rows). make_owned brings them into the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/base/file_io.h"
#include "core/base/mapped_file.h"

namespace hovra {

class VectorStore {
 public:
  explicit VectorStore(std::size_t dim = 0) : dim_(dim) {}
  // The mapped form over the first float_count floats of a mapped file; the
  // caller has checked that the file holds them.
  static VectorStore mapped(std::size_t dim, std::shared_ptr<MappedFile> map, std::size_t float_count);

  std::size_t dim() const { return dim_; }
  const float* data() const { return data_; }
  std::size_t float_count() const { return count_; }
  bool is_mapped() const { return map_ != nullptr; }
  // Bytes of owned memory the store holds (its capacity; for a map changed
  // in place, the rows past the file).
  std::size_t owned_bytes() const;
  // Every slot, and the slots whose rows lie one after another from data()
  // (the others lie outside: see the class comment).
  std::size_t slots() const { return near_slots() + outside_.size(); }
  std::size_t near_slots() const { return dim_ == 0 ? 0 : count_ / dim_; }
  std::size_t outside_rows() const { return outside_.size(); }
  // The room reserved past the last row, where the next rows go: its first
  // byte and its length (none for a store read from a map it cannot grow).
  std::pair<const void*, std::size_t> room_ahead() const;
  // The dim floats of a slot; a slot beyond the contiguous rows (outside
  // rows included: read them with copy_row or read_row) is a Panic.
  const float* vector(std::uint32_t slot) const {
    std::size_t at = static_cast<std::size_t>(slot) * dim_;
    if (at + dim_ > count_) out_of_range(slot);
    return data_ + at;
  }

  // A mapped store reads the rows of slots [first, first + count) into
  // memory before it returns (an owned store has them already).
  void load_rows_now(std::size_t first, std::size_t count) const {
    if (map_) map_->load_now(first * dim_ * sizeof(float), count * dim_ * sizeof(float));
  }

  // A mapped store read all over: in huge pages where the system can, so
  // that the walks need far fewer address translations. Before the first
  // read. (Not for a store read here and there: the system may then read a
  // huge page's worth of the file for each row.)
  void prefer_huge_pages() const {
    if (map_ && count_) map_->prefer_huge_pages(0, count_ * sizeof(float));
  }
  // A mapped store: every row paged in ahead, in the background, for the
  // searches that read rows all over the file.
  void warm_in_background() const {
    if (map_) map_->warm_up(0, count_ * sizeof(float));
  }
  // A mapped store read only here and there (re-scoring a few candidates of
  // quantized search): no read-ahead around each row, and nothing read
  // ahead of the searches, so that neither resident memory nor the disk is
  // spent on rows no search reads.
  void expect_random_reads() const {
    if (map_) map_->advise_random(0, count_ * sizeof(float));
  }
  // The rows of count slots, for reads here and there: rows[i] is slot
  // slots[i]'s row, read into buf (count x dim floats) as read_row does, or
  // where it lies. The rows the file cache holds are read first without
  // waiting; the others are asked of the disk together, so that a cold
  // file is waited on about once, not once a row.
  void read_rows(const std::uint32_t* slots, std::size_t count, float* buf, const float** rows) const;
  // Whether read_row reads the file.
  bool reads_from_file() const { return map_ && !in_place_ && map_->can_read(); }
  // A slot's row for a read here and there: from a map that has not been
  // changed, copied into buf (dim floats) with a read of the file, so that
  // the row does not stay in this process's resident memory; otherwise (or
  // should the read fail) the row where it lies.
  const float* read_row(std::uint32_t slot, float* buf) const {
    if (slot >= near_slots() && dim_ > 0) {
      copy_row(slot, buf);
      return buf;
    }
    if (reads_from_file()) {
      std::size_t at = static_cast<std::size_t>(slot) * dim_;
      if (at + dim_ <= count_ && map_->read(at * sizeof(float), buf, dim_ * sizeof(float))) return buf;
    }
    return vector(slot);
  }

  // A slot's dim floats copied into out, wherever the row lies.
  void copy_row(std::uint32_t slot, float* out) const;
  // The rows of count slots, one after another into out (count x dim).
  void gather_rows(const std::uint32_t* slots, std::size_t count, float* out) const;

  // Makes the store changeable: a map with room to grow becomes writable in
  // place, any other map is copied into owned memory and released; rows
  // outside are copied in after the others.
  void make_owned();
  // Appends a row (copied) or replaces one. Neither brings rows outside in:
  // past them, a row appended or replaced is kept in a block of its own.
  void append(const float* v);
  void overwrite(std::uint32_t slot, const float* v);
  // Room for the contiguous rows (none while rows lie outside).
  void reserve_slots(std::size_t slots);
  // Appends a row that lies outside at `bytes` (dim little-endian floats,
  // perhaps unaligned) and stays there while `keep` is held.
  void append_outside(const unsigned char* bytes, const std::shared_ptr<const void>& keep);

  // What the vector file holds: the rows of the first rows_in_file() slots,
  // as they were when written, except the slots rows_replaced() lists
  // (in the order they were first replaced), whose rows overwrite() has
  // changed since.
  std::size_t rows_in_file() const { return file_rows_; }
  const std::vector<std::uint32_t>& rows_replaced() const { return replaced_; }
  // The file now holds the first `rows` rows; `whole` says that it holds
  // every one of them as the store does (a rewrite), else the replaced
  // rows stay listed (an append).
  void note_rows_in_file(std::size_t rows, bool whole);

 private:
  [[noreturn]] void out_of_range(std::uint32_t slot) const;
  // Copies the rows into owned memory and releases the map.
  void copy_into_owned();
  // make_owned for the contiguous rows alone.
  void make_changeable();
  void append_near(const float* v);
  // A row of its own for an outside slot (appended or replaced there).
  void put_outside(std::uint32_t slot, const float* v);
  // The rows, writable (after make_owned).
  float* rows() { return in_place_ ? reinterpret_cast<float*>(map_->writable_data()) : owned_.data(); }
  std::size_t dim_;
  std::vector<float, LargeAllocator<float>> owned_;
  std::shared_ptr<MappedFile> map_;
  const float* data_ = nullptr;
  std::size_t count_ = 0;
  // The map is writable and holds the rows (count_ floats) in place.
  bool in_place_ = false;
  std::size_t file_rows_ = 0;
  std::vector<std::uint32_t> replaced_;
  std::vector<bool> is_replaced_;  // by slot, below file_rows_
  // Per slot from near_slots() on: where its row lies, and what keeps the
  // bytes there (the maps they lie in; the rows of their own below).
  std::vector<const unsigned char*> outside_;
  std::vector<std::shared_ptr<const void>> outside_keep_;
  std::unordered_map<std::uint32_t, std::unique_ptr<float[]>> own_outside_;
};

}  // namespace hovra
