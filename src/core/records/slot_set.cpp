// SlotSet: linear probing over a power-of-two array, at most three quarters
// full; erase shifts the following run back instead of leaving tombstones,
// so lookups never pass over deleted cells.
#include "core/records/slot_set.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace hovra {

namespace {

constexpr std::size_t kMinCapacity = 4;

bool too_full(std::size_t members, std::size_t capacity) { return members * 4 > capacity * 3; }

}  // namespace

SlotSet::SlotSet(std::initializer_list<std::uint32_t> slots) {
  reserve(slots.size());
  for (std::uint32_t s : slots) insert(s);
}

SlotSet::SlotSet(const SlotSet& other) : capacity_(other.capacity_), size_(other.size_) {
  if (capacity_ == 0) return;
  cells_ = std::make_unique_for_overwrite<std::uint32_t[]>(capacity_);
  std::copy_n(other.cells_.get(), capacity_, cells_.get());
}

SlotSet& SlotSet::operator=(const SlotSet& other) {
  if (this != &other) *this = SlotSet(other);
  return *this;
}

SlotSet::SlotSet(SlotSet&& other) noexcept
    : cells_(std::move(other.cells_)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)) {}

SlotSet& SlotSet::operator=(SlotSet&& other) noexcept {
  cells_ = std::move(other.cells_);
  capacity_ = std::exchange(other.capacity_, 0);
  size_ = std::exchange(other.size_, 0);
  return *this;
}

// Fibonacci hashing: slots are mostly consecutive numbers, which the
// multiplication spreads over the whole array.
std::size_t SlotSet::home(std::uint32_t slot) const {
  return static_cast<std::size_t>((std::uint64_t{slot} * 0x9E3779B97F4A7C15ull) >> 32) & (capacity_ - 1);
}

const std::uint32_t* SlotSet::find(std::uint32_t slot) const {
  if (size_ == 0 || slot == kEmpty) return nullptr;
  std::size_t mask = capacity_ - 1;
  for (std::size_t i = home(slot);; i = (i + 1) & mask) {
    std::uint32_t cell = cells_[i];
    if (cell == slot) return &cells_[i];
    if (cell == kEmpty) return nullptr;
  }
}

bool SlotSet::insert(std::uint32_t slot) {
  if (slot == kEmpty) return false;
  if (capacity_ == 0 || too_full(size_ + 1, capacity_)) rehash(std::max(kMinCapacity, capacity_ * 2));
  std::size_t mask = capacity_ - 1;
  for (std::size_t i = home(slot);; i = (i + 1) & mask) {
    std::uint32_t cell = cells_[i];
    if (cell == slot) return false;
    if (cell == kEmpty) {
      cells_[i] = slot;
      ++size_;
      return true;
    }
  }
}

std::size_t SlotSet::erase(std::uint32_t slot) {
  const std::uint32_t* found = find(slot);
  if (found == nullptr) return 0;
  std::size_t mask = capacity_ - 1;
  std::size_t hole = static_cast<std::size_t>(found - cells_.get());
  // Move back every later member of the run whose home does not lie
  // strictly between the hole and its own cell.
  for (std::size_t i = (hole + 1) & mask; cells_[i] != kEmpty; i = (i + 1) & mask) {
    std::size_t h = home(cells_[i]);
    bool stays = hole <= i ? (hole < h && h <= i) : (hole < h || h <= i);
    if (stays) continue;
    cells_[hole] = cells_[i];
    hole = i;
  }
  cells_[hole] = kEmpty;
  --size_;
  if (size_ == 0) clear();  // an emptied set gives its array back
  return 1;
}

bool SlotSet::operator==(const SlotSet& other) const {
  if (size_ != other.size_) return false;
  for (std::uint32_t slot : *this)
    if (other.count(slot) == 0) return false;
  return true;
}

void SlotSet::clear() {
  cells_.reset();
  capacity_ = 0;
  size_ = 0;
}

void SlotSet::reserve(std::size_t members) {
  std::size_t capacity = std::max(kMinCapacity, capacity_);
  while (too_full(members, capacity)) capacity *= 2;
  if (capacity != capacity_) rehash(capacity);
}

void SlotSet::rehash(std::size_t capacity) {
  std::unique_ptr<std::uint32_t[]> old = std::move(cells_);
  std::size_t old_capacity = capacity_;
  cells_ = std::make_unique_for_overwrite<std::uint32_t[]>(capacity);
  std::fill_n(cells_.get(), capacity, kEmpty);
  capacity_ = capacity;
  size_ = 0;
  for (std::size_t i = 0; i < old_capacity; ++i)
    if (old[i] != kEmpty) insert(old[i]);
}

}  // namespace hovra
