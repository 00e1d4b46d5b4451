// Ascending slot lists and the sets they are built from: sorting and
// uniting slots in slot order (a comparison sort for a few, one bit per slot
// for many), and the intersections, unions and complements the planner
// combines its candidate lists with.
#include "core/db/slot_lists.h"

#include <algorithm>
#include <bit>
#include <iterator>

namespace hovra {

namespace {

// Whether sorting n slots costs less than a pass over one bit per slot below
// `total`.
bool sort_is_cheaper(std::size_t n, std::size_t total) {
  return n * static_cast<std::size_t>(std::bit_width(n)) * 16 < total;
}

// The slots whose bits are set, ascending, into `out` (cleared first).
void slots_of_bits(const std::vector<std::uint64_t>& bits, std::vector<std::uint32_t>& out) {
  out.clear();
  for (std::size_t w = 0; w < bits.size(); ++w)
    for (std::uint64_t word = bits[w]; word != 0; word &= word - 1)
      out.push_back(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(word))));
}

using Slots = std::vector<std::uint32_t>;

Slots intersection(const Slots& a, const Slots& b) {
  Slots out;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

Slots difference(const Slots& a, const Slots& b) {
  Slots out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

Slots union_of(const Slots& a, const Slots& b) {
  Slots out;
  std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

}  // namespace

void put_in_slot_order(std::vector<std::uint32_t>& slots, std::size_t total) {
  if (sort_is_cheaper(slots.size(), total)) {
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    return;
  }
  std::vector<std::uint64_t> bits((total + 63) / 64, 0);
  for (std::uint32_t s : slots)
    if (s < total) bits[s >> 6] |= std::uint64_t{1} << (s & 63);
  slots_of_bits(bits, slots);
}

void union_in_slot_order(const std::vector<const SlotSet*>& sets, std::size_t total,
                         std::vector<std::uint32_t>& out) {
  std::size_t members = 0;
  for (const SlotSet* s : sets) members += s->size();
  if (sort_is_cheaper(members, total)) {
    out.clear();
    out.reserve(members);
    for (const SlotSet* s : sets) s->for_each([&](std::uint32_t slot) { out.push_back(slot); });
    put_in_slot_order(out, total);
    return;
  }
  // Many members (a long $in, say): each list's cells mark their bits
  // directly, in one pass per list, with no list of them in between.
  std::vector<std::uint64_t> bits((total + 63) / 64, 0);
  for (const SlotSet* s : sets)
    s->for_each([&](std::uint32_t slot) {
      if (slot < total) bits[slot >> 6] |= std::uint64_t{1} << (slot & 63);
    });
  out.reserve(members);
  slots_of_bits(bits, out);
}

// Complements are taken within the records that have metadata, so
// A and not B is A minus B, and (not A) and (not B) is not (A or B).
SlotList intersect(const SlotList& a, const SlotList& b) {
  if (!a.complement && !b.complement) return {intersection(a.slots, b.slots), false};
  if (!a.complement) return {difference(a.slots, b.slots), false};
  if (!b.complement) return {difference(b.slots, a.slots), false};
  return {union_of(a.slots, b.slots), true};
}

SlotList unite(const SlotList& a, const SlotList& b) {
  if (!a.complement && !b.complement) return {union_of(a.slots, b.slots), false};
  if (!a.complement) return {difference(b.slots, a.slots), true};
  if (!b.complement) return {difference(a.slots, b.slots), true};
  return {intersection(a.slots, b.slots), true};
}

std::size_t list_size(const SlotList& list, std::size_t objects) {
  return list.complement ? objects - std::min(objects, list.slots.size()) : list.slots.size();
}

}  // namespace hovra
