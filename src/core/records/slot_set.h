// SlotSet: a set of slot numbers in one flat array (open addressing with
// linear probing), for the metadata index's per-value slot sets. Against a
// node-based hash set it holds 4 to 11 bytes per member instead of about 40,
// and walking its members reads one array instead of chasing one pointer per
// member, which is what an exact scan of a filter's candidates does first.
// Written here because none of the flat hash sets this project may depend
// on is packaged for its build (a 32-bit key with a reserved empty value
// needs nothing more than this).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>

namespace hovra {

class SlotSet {
 public:
  // 0xFFFFFFFF marks an empty cell; it is never a slot (the index refuses
  // to grow that far).
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::uint32_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::uint32_t*;
    using reference = const std::uint32_t&;

    const_iterator() = default;
    reference operator*() const { return *cell_; }
    const_iterator& operator++() {
      ++cell_;
      skip_empty();
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const const_iterator& other) const { return cell_ == other.cell_; }

   private:
    friend class SlotSet;
    const_iterator(const std::uint32_t* cell, const std::uint32_t* end) : cell_(cell), end_(end) { skip_empty(); }
    void skip_empty() {
      while (cell_ != end_ && *cell_ == kEmpty) ++cell_;
    }
    const std::uint32_t* cell_ = nullptr;
    const std::uint32_t* end_ = nullptr;
  };
  using iterator = const_iterator;

  SlotSet() = default;
  SlotSet(std::initializer_list<std::uint32_t> slots);
  template <class It>
  SlotSet(It first, It last) {
    insert(first, last);
  }
  SlotSet(const SlotSet& other);
  SlotSet& operator=(const SlotSet& other);
  SlotSet(SlotSet&& other) noexcept;
  SlotSet& operator=(SlotSet&& other) noexcept;
  ~SlotSet() = default;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t count(std::uint32_t slot) const { return find(slot) != nullptr ? 1 : 0; }
  // Whether the slot was added (false: already there).
  bool insert(std::uint32_t slot);
  template <class It>
  void insert(It first, It last) {
    for (; first != last; ++first) insert(*first);
  }
  // How many were removed (0 or 1).
  std::size_t erase(std::uint32_t slot);
  void clear();
  void reserve(std::size_t members);

  // Calls f(slot) for every member in cell order (the order begin() walks),
  // reading the cell array in one pass.
  template <class F>
  void for_each(F&& f) const {
    const std::uint32_t* cells = cells_.get();
    for (std::size_t i = 0; i < capacity_; ++i)
      if (cells[i] != kEmpty) f(cells[i]);
  }

  const_iterator begin() const { return {cells_.get(), cells_.get() + capacity_}; }
  const_iterator end() const { return {cells_.get() + capacity_, cells_.get() + capacity_}; }

  // Same members, whatever their cells.
  bool operator==(const SlotSet& other) const;

  // Bytes of the cell array.
  std::size_t memory_bytes() const { return capacity_ * sizeof(std::uint32_t); }

 private:
  std::size_t home(std::uint32_t slot) const;
  const std::uint32_t* find(std::uint32_t slot) const;
  void rehash(std::size_t capacity);

  std::unique_ptr<std::uint32_t[]> cells_;
  std::size_t capacity_ = 0;  // zero or a power of two
  std::size_t size_ = 0;
};

}  // namespace hovra
