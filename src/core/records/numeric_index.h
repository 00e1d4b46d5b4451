// NumericIndex: the numbers of top-level metadata fields in value order, so
// that a range condition knows how many slots it holds, and which, before a
// search reads any record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hovra {

// An interval of numbers, each end open or closed; an end at an infinity
// holds every finite number on that side.
struct NumberRange {
  double lo;
  bool lo_open = false;
  double hi;
  bool hi_open = false;
  bool none = false;  // holds nothing (a NaN threshold)

  static NumberRange all();
  // Narrows the range by one comparison "value OP threshold".
  void above(double threshold, bool open);
  void below(double threshold, bool open);
};

class NumericIndex {
 public:
  NumericIndex();
  ~NumericIndex();
  NumericIndex(NumericIndex&&) noexcept;
  NumericIndex& operator=(NumericIndex&&) noexcept;

  void add(const std::string& field, double value, std::uint32_t slot);
  void remove(const std::string& field, double value, std::uint32_t slot);
  void clear();
  // How many slots hold a number inside the range at the field: O(log n).
  std::size_t count(const std::string& field, const NumberRange& range) const;
  // Appends those slots, in no particular order.
  void collect(const std::string& field, const NumberRange& range, std::vector<std::uint32_t>& out) const;
  // Bytes held, estimated from the containers' sizes.
  std::size_t memory_bytes() const;

 private:
  struct Fields;
  std::unique_ptr<Fields> fields_;
};

}  // namespace hovra
