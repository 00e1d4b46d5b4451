// Owned and mapped vector storage.
#include "core/vectors/vector_store.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/base/error.h"

namespace hovra {

VectorStore VectorStore::mapped(std::size_t dim, std::shared_ptr<MappedFile> map, std::size_t float_count) {
  VectorStore s(dim);
  s.count_ = float_count;
  s.data_ = float_count ? reinterpret_cast<const float*>(map->data()) : nullptr;
  // The owner of the index decides how the rows are read (prefer_huge_pages,
  // warm_in_background, load_rows_now, expect_random_reads).
  s.map_ = std::move(map);
  return s;
}

void VectorStore::read_rows(const std::uint32_t* slots, std::size_t count, float* buf, const float** rows) const {
  const std::size_t row_bytes = dim_ * sizeof(float);
  std::vector<std::size_t> missing;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t at = static_cast<std::size_t>(slots[i]) * dim_;
    rows[i] = nullptr;
    if (at + dim_ > count_ && slots[i] < near_slots() + outside_.size()) {
      copy_row(slots[i], buf + i * dim_);
      rows[i] = buf + i * dim_;
    } else if (!reads_from_file() || at + dim_ > count_) {
      rows[i] = vector(slots[i]);
    } else if (map_->read_cached(at * sizeof(float), buf + i * dim_, row_bytes)) {
      rows[i] = buf + i * dim_;
    } else {
      missing.push_back(i);
    }
  }
  for (std::size_t i : missing) map_->start_reading(std::size_t(slots[i]) * row_bytes, row_bytes);
  for (std::size_t i : missing) rows[i] = read_row(slots[i], buf + i * dim_);
}

void VectorStore::out_of_range(std::uint32_t slot) const {
  std::size_t end = (static_cast<std::size_t>(slot) + 1) * dim_;
  panic("range end index " + std::to_string(end) + " out of range for slice of length " + std::to_string(count_));
}

std::size_t VectorStore::owned_bytes() const {
  const std::size_t outside =
      own_outside_.size() * dim_ * sizeof(float) + outside_.capacity() * sizeof(const unsigned char*);
  if (in_place_) return outside + (count_ * sizeof(float) > map_->size() ? count_ * sizeof(float) - map_->size() : 0);
  return outside + owned_.capacity() * sizeof(float);
}

void VectorStore::copy_row(std::uint32_t slot, float* out) const {
  const std::size_t near = near_slots();
  if (slot < near) {
    std::memcpy(out, vector(slot), dim_ * sizeof(float));
    return;
  }
  if (slot - near >= outside_.size()) out_of_range(slot);
  std::memcpy(out, outside_[slot - near], dim_ * sizeof(float));
}

void VectorStore::gather_rows(const std::uint32_t* slots, std::size_t count, float* out) const {
  for (std::size_t i = 0; i < count; ++i) copy_row(slots[i], out + i * dim_);
}

void VectorStore::append_outside(const unsigned char* bytes, const std::shared_ptr<const void>& keep) {
  if (outside_keep_.empty() || outside_keep_.back() != keep) outside_keep_.push_back(keep);
  outside_.push_back(bytes);
}

void VectorStore::put_outside(std::uint32_t slot, const float* v) {
  std::unique_ptr<float[]>& own = own_outside_[slot];
  if (!own) own.reset(new float[dim_]);
  std::memcpy(own.get(), v, dim_ * sizeof(float));
  outside_[slot - near_slots()] = reinterpret_cast<const unsigned char*>(own.get());
}

std::pair<const void*, std::size_t> VectorStore::room_ahead() const {
  if (!outside_.empty()) return {nullptr, 0};  // rows go outside the contiguous ones
  if (in_place_) {
    std::size_t used = count_ * sizeof(float);
    std::size_t writable = map_->writable_size();
    return {map_->writable_data() + used, writable > used ? writable - used : 0};
  }
  if (map_) return {nullptr, 0};
  return {owned_.data() + owned_.size(), (owned_.capacity() - owned_.size()) * sizeof(float)};
}

void VectorStore::copy_into_owned() {
  owned_.assign(data_, data_ + count_);
  map_.reset();
  in_place_ = false;
  data_ = owned_.data();
}

// The rows outside go after the contiguous ones, in slot order; the maps
// they lay in are let go.
void VectorStore::make_owned() {
  make_changeable();
  if (outside_.empty()) return;
  std::vector<const unsigned char*> outside = std::move(outside_);
  std::vector<std::shared_ptr<const void>> keep = std::move(outside_keep_);
  std::unordered_map<std::uint32_t, std::unique_ptr<float[]>> own = std::move(own_outside_);
  outside_.clear();
  outside_keep_.clear();
  own_outside_.clear();
  reserve_slots(near_slots() + outside.size());
  std::vector<float> row(dim_);
  for (const unsigned char* bytes : outside) {
    std::memcpy(row.data(), bytes, dim_ * sizeof(float));
    append_near(row.data());
  }
}

void VectorStore::make_changeable() {
  if (!map_ || in_place_) return;
  if (map_->reserved() > 0 && map_->make_writable(count_ * sizeof(float))) {
    in_place_ = true;
    data_ = reinterpret_cast<const float*>(map_->writable_data());
    return;
  }
  copy_into_owned();
}

void VectorStore::append(const float* v) {
  if (outside_.empty()) {
    append_near(v);
    return;
  }
  outside_.push_back(nullptr);
  put_outside(static_cast<std::uint32_t>(slots() - 1), v);
}

void VectorStore::append_near(const float* v) {
  make_changeable();
  if (in_place_) {
    if (map_->make_writable((count_ + dim_) * sizeof(float))) {
      std::memcpy(rows() + count_, v, dim_ * sizeof(float));
      count_ += dim_;
      return;
    }
    copy_into_owned();  // the reserved room is used up
  }
  owned_.insert(owned_.end(), v, v + dim_);
  count_ = owned_.size();
  data_ = owned_.data();
}

void VectorStore::overwrite(std::uint32_t slot, const float* v) {
  if (slot >= near_slots() && slot < slots()) {
    put_outside(slot, v);
    return;
  }
  make_changeable();
  std::size_t at = static_cast<std::size_t>(slot) * dim_;
  if (at + dim_ > count_) panic("slot out of range in vector overwrite");
  std::memcpy(rows() + at, v, dim_ * sizeof(float));
  if (slot < file_rows_ && !is_replaced_[slot]) {
    is_replaced_[slot] = true;
    replaced_.push_back(slot);
  }
}

void VectorStore::note_rows_in_file(std::size_t rows, bool whole) {
  if (whole) {
    replaced_.clear();
    is_replaced_.assign(rows, false);
  } else {
    is_replaced_.resize(rows, false);
  }
  file_rows_ = rows;
}

// Grows by half at least, so that a run of small batches does not copy
// the whole store on each.
void VectorStore::reserve_slots(std::size_t slots) {
  if (!outside_.empty()) return;
  make_changeable();
  std::size_t floats = slots * dim_;
  if (in_place_) {
    if (map_->make_writable(floats * sizeof(float))) return;
    copy_into_owned();
  }
  if (floats > owned_.capacity()) owned_.reserve(std::max(floats, owned_.capacity() + owned_.capacity() / 2));
  data_ = owned_.data();
}

}  // namespace hovra
