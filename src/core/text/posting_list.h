// PostingList: the slots that hold one term (or one sparse dimension), in
// ascending slot order, with a value per slot (a term frequency, or a
// sparse weight), and bounds over every value ever added that make the
// upper bounds of the top-k search.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace hovra {

struct PostingList {
  std::vector<std::uint32_t> slots;  // ascending
  std::vector<float> values;
  // Bounds over every posting added since the list was built: removals do
  // not tighten them, so they stay valid (if loose) bounds of what is left.
  float max_value = -std::numeric_limits<float>::infinity();
  float min_value = std::numeric_limits<float>::infinity();
  std::uint32_t min_length = std::numeric_limits<std::uint32_t>::max();  // text: shortest document

  std::size_t size() const { return slots.size(); }

  // Adds (slot, value); a slot already present has its value replaced.
  void add(std::uint32_t slot, float value, std::uint32_t length = 0) {
    max_value = std::max(max_value, value);
    min_value = std::min(min_value, value);
    min_length = std::min(min_length, length);
    if (slots.empty() || slots.back() < slot) {
      slots.push_back(slot);
      values.push_back(value);
      return;
    }
    auto it = std::lower_bound(slots.begin(), slots.end(), slot);
    std::size_t at = static_cast<std::size_t>(it - slots.begin());
    if (it != slots.end() && *it == slot) {
      values[at] = value;
      return;
    }
    slots.insert(it, slot);
    values.insert(values.begin() + static_cast<std::ptrdiff_t>(at), value);
  }

  // Removes slot's posting; false when it has none.
  bool remove(std::uint32_t slot) {
    auto it = std::lower_bound(slots.begin(), slots.end(), slot);
    if (it == slots.end() || *it != slot) return false;
    std::size_t at = static_cast<std::size_t>(it - slots.begin());
    slots.erase(it);
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
  }

  // The value at slot, or nullptr.
  const float* find(std::uint32_t slot) const {
    auto it = std::lower_bound(slots.begin(), slots.end(), slot);
    if (it == slots.end() || *it != slot) return nullptr;
    return &values[static_cast<std::size_t>(it - slots.begin())];
  }

  std::size_t bytes() const { return slots.capacity() * 4 + values.capacity() * 4 + sizeof(PostingList); }
};

}  // namespace hovra
