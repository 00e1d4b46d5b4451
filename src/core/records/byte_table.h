// ByteTable: optional byte strings by position, all in one block: the
// database's id of each slot and its packed metadata. An entry costs its
// bytes, a length prefix and one offset, where separate strings would cost
// a string object and an allocation each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace hovra {

class ByteTable {
 public:
  std::size_t size() const { return at_.size(); }
  bool present(std::size_t i) const { return at_[i] != kAbsent; }
  // The bytes of entry i (empty when absent). Valid until the next change.
  std::string_view get(std::size_t i) const {
    if (at_[i] == kAbsent) return {};
    const unsigned char* p = block_.data() + at_[i];
    std::size_t len = 0;
    for (int shift = 0;; shift += 7) {
      unsigned char b = *p++;
      len |= static_cast<std::size_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) break;
    }
    return {reinterpret_cast<const char*>(p), len};
  }

  void push_back(std::string_view bytes);
  void push_absent() { at_.push_back(kAbsent); }
  // Grows to n entries, the new ones absent.
  void grow_to(std::size_t n);
  void set(std::size_t i, std::string_view bytes);
  void set_absent(std::size_t i);
  // Room for this many more entries and bytes; a table that must grow
  // grows by half at least.
  void reserve_more(std::size_t entries, std::size_t bytes);
  // The entries at the given positions, in that order, as a new table.
  ByteTable select(const std::vector<std::uint32_t>& positions) const;
  std::size_t memory_bytes() const;

 private:
  static constexpr std::uint64_t kAbsent = ~std::uint64_t(0);
  std::uint64_t append_bytes(std::string_view bytes);
  // Rewrites the block without the bytes of replaced and removed entries
  // once they are half of it.
  void shed_dead();

  std::vector<unsigned char> block_;
  std::vector<std::uint64_t> at_;  // per entry: its offset in block_, or kAbsent
  std::uint64_t dead_ = 0;         // bytes of block_ no entry uses
};

}  // namespace hovra
