// SlotList: an ascending list of slots or its complement, and the few
// operations the planner builds candidate lists with (slot_lists.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/records/slot_set.h"

namespace hovra {

// A set of slots as the planner combines them: ascending slot numbers, or
// (complement) every record with object metadata except those listed.
struct SlotList {
  std::vector<std::uint32_t> slots;
  bool complement = false;
};

// Sorts distinct slots below `total` ascending: a comparison sort for a
// few, one bit per slot for many (no log factor).
void put_in_slot_order(std::vector<std::uint32_t>& slots, std::size_t total);
// The members below `total` of any of the sets, ascending and distinct,
// into `out`: the same as put_in_slot_order over all their members.
void union_in_slot_order(const std::vector<const SlotSet*>& sets, std::size_t total, std::vector<std::uint32_t>& out);

// A and B, A or B, where either may be a complement: complements are taken
// within the records that have metadata.
SlotList intersect(const SlotList& a, const SlotList& b);
SlotList unite(const SlotList& a, const SlotList& b);
// The records a list stands for, among `objects` with metadata.
std::size_t list_size(const SlotList& list, std::size_t objects);

}  // namespace hovra
