// SlotBits: a set of slots as one bit per slot. Slots are handed out
// densely, so a set that holds a large share of them (the records with
// object metadata, a candidate set being combined) is smaller as bits than
// as a hash set, and is tested and walked in slot order without hashing.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace hovra {

class SlotBits {
 public:
  bool test(std::uint32_t slot) const {
    std::size_t w = slot >> 6;
    return w < words_.size() && ((words_[w] >> (slot & 63)) & 1) != 0;
  }
  void insert(std::uint32_t slot) {
    std::size_t w = slot >> 6;
    if (w >= words_.size()) words_.resize(w + 1 + words_.size() / 2, 0);
    std::uint64_t bit = std::uint64_t{1} << (slot & 63);
    count_ += (words_[w] & bit) == 0;
    words_[w] |= bit;
  }
  void erase(std::uint32_t slot) {
    std::size_t w = slot >> 6;
    if (w >= words_.size()) return;
    std::uint64_t bit = std::uint64_t{1} << (slot & 63);
    count_ -= (words_[w] & bit) != 0;
    words_[w] &= ~bit;
  }
  void clear() {
    words_.clear();
    count_ = 0;
  }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // Calls f(slot) for every member, ascending.
  template <class F>
  void for_each(F&& f) const {
    for (std::size_t w = 0; w < words_.size(); ++w)
      for (std::uint64_t word = words_[w]; word != 0; word &= word - 1)
        f(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(word))));
  }
  std::size_t memory_bytes() const { return words_.capacity() * sizeof(std::uint64_t); }

 private:
  std::vector<std::uint64_t> words_;
  std::size_t count_ = 0;
};

}  // namespace hovra
