// VectorStore: the full-precision vectors by slot, either an owned growable
// array or a map of the vector file. A map with room to grow (see
// MappedFile::map_extendable) is changed and continued in place, so that
// the file's rows stay shared page cache; other maps are copied into owned
// memory at the first change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/base/file_io.h"

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
  std::size_t slots() const { return dim_ == 0 ? 0 : count_ / dim_; }
  // The dim floats of a slot; a slot beyond the store is a Panic.
  const float* vector(std::uint32_t slot) const {
    std::size_t at = static_cast<std::size_t>(slot) * dim_;
    if (at + dim_ > count_) out_of_range(slot);
    return data_ + at;
  }

  // Makes the store changeable: a map with room to grow becomes writable in
  // place, any other map is copied into owned memory and released.
  void make_owned();
  // Both require the owned form (callers run make_owned first).
  void append(const float* v);
  void overwrite(std::uint32_t slot, const float* v);
  void reserve_slots(std::size_t slots);

 private:
  [[noreturn]] void out_of_range(std::uint32_t slot) const;
  // Copies the rows into owned memory and releases the map.
  void copy_into_owned();
  // The rows, writable (after make_owned).
  float* rows() { return in_place_ ? reinterpret_cast<float*>(map_->writable_data()) : owned_.data(); }
  std::size_t dim_;
  std::vector<float, LargeAllocator<float>> owned_;
  std::shared_ptr<MappedFile> map_;
  const float* data_ = nullptr;
  std::size_t count_ = 0;
  // The map is writable and holds the rows (count_ floats) in place.
  bool in_place_ = false;
};

}  // namespace hovra
