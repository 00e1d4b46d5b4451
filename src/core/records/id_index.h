// IdIndex: the map from a record's id to its slot, as an open-addressing
// table of slots whose ids are read from the slot-id table (a ByteTable
// by slot). Each id is stored once, in that table, and an entry costs
// eight bytes (the slot and its id's hash) where a node-based map would
// hold a second copy of the id and a node per entry.
//
// A general hash container would need the ids as its own keys; one whose
// keys may live elsewhere (abseil's flat sets with a stateful hash) is not
// something a pip install of the package can count on, so the table is
// kept here: linear probing, deletion by shifting back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/records/byte_table.h"

namespace hovra {

class IdIndex {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  std::size_t size() const { return size_; }
  // The slot whose id (in ids) is `id`, or kNone.
  std::uint32_t find(std::string_view id, const ByteTable& ids) const;
  // The slots of the ids in `wanted` (kNone where absent), and each id's
  // hash (for hash_of's callers). Looked up together: each id's home is
  // fetched a few ids before it is probed, so that the cache misses of a
  // batch's lookups overlap instead of following one another.
  void find_many(const ByteTable& wanted, const ByteTable& ids, std::uint32_t* slots, std::uint32_t* hashes) const;
  static std::uint32_t hash_of(std::string_view id);
  // Adds slot under its id in ids, which no entry holds yet.
  void insert(std::uint32_t slot, const ByteTable& ids);
  // Removes the entry of id; its slot, or kNone when there was none.
  std::uint32_t erase(std::string_view id, const ByteTable& ids);
  // Room for n entries without growing. A table that holds entries grows
  // by half at least, as inserts grow it, so that reserving a few more at
  // a time (small batches, a reader's looks at the log) does not rebuild
  // the whole table on each call.
  void reserve(std::size_t n);
  void clear();
  // Calls f(slot) for every entry, in table order.
  template <class F>
  void for_each(F&& f) const {
    for (const Entry& e : table_)
      if (e.slot != kNone) f(e.slot);
  }
  std::size_t memory_bytes() const;

 private:
  struct Entry {
    std::uint32_t slot = kNone;
    std::uint32_t hash = 0;
  };
  std::uint32_t find_hashed(std::string_view id, std::uint32_t h, const ByteTable& ids) const;
  std::size_t home(std::uint32_t hash) const {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(hash) * table_.size()) >> 32);
  }
  void rebuild(std::size_t capacity);

  std::vector<Entry> table_;
  std::size_t size_ = 0;
};

}  // namespace hovra
