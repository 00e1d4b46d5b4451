// IdIndex: probing, growth and deletion by shifting entries back.
#include "core/records/id_index.h"

#include <algorithm>
#include <functional>

#include "core/base/heap.h"

namespace hovra {

namespace {
// Entries per slot of the table at most, as a fraction: 4/5.
constexpr std::size_t kLoadNum = 4, kLoadDen = 5;
}  // namespace

std::uint32_t IdIndex::hash_of(std::string_view id) {
  std::uint64_t h = std::hash<std::string_view>{}(id);
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

std::uint32_t IdIndex::find(std::string_view id, const ByteTable& ids) const {
  if (size_ == 0) return kNone;
  return find_hashed(id, hash_of(id), ids);
}

void IdIndex::find_many(const ByteTable& wanted, const ByteTable& ids, std::uint32_t* slots,
                        std::uint32_t* hashes) const {
  // How many ids ahead of its probe an id's home is fetched.
  constexpr std::size_t kAhead = 8;
  const std::size_t n = wanted.size();
  for (std::size_t i = 0; i < n; ++i) {
    hashes[i] = hash_of(wanted.get(i));
    if (size_ > 0) __builtin_prefetch(&table_[home(hashes[i])]);
    if (i >= kAhead)
      slots[i - kAhead] = size_ == 0 ? kNone : find_hashed(wanted.get(i - kAhead), hashes[i - kAhead], ids);
  }
  for (std::size_t i = n > kAhead ? n - kAhead : 0; i < n; ++i)
    slots[i] = size_ == 0 ? kNone : find_hashed(wanted.get(i), hashes[i], ids);
}

std::uint32_t IdIndex::find_hashed(std::string_view id, std::uint32_t h, const ByteTable& ids) const {
  std::size_t cap = table_.size();
  for (std::size_t i = home(h);; i = i + 1 == cap ? 0 : i + 1) {
    const Entry& e = table_[i];
    if (e.slot == kNone) return kNone;
    if (e.hash == h && ids.get(e.slot) == id) return e.slot;
  }
}

void IdIndex::insert(std::uint32_t slot, const ByteTable& ids) {
  if ((size_ + 1) * kLoadDen > table_.size() * kLoadNum) rebuild(std::max<std::size_t>(16, table_.size() * 3 / 2));
  std::uint32_t h = hash_of(ids.get(slot));
  std::size_t cap = table_.size();
  std::size_t i = home(h);
  while (table_[i].slot != kNone) i = i + 1 == cap ? 0 : i + 1;
  table_[i] = Entry{slot, h};
  ++size_;
}

std::uint32_t IdIndex::erase(std::string_view id, const ByteTable& ids) {
  if (size_ == 0) return kNone;
  std::uint32_t h = hash_of(id);
  std::size_t cap = table_.size();
  std::size_t i = home(h);
  for (;; i = i + 1 == cap ? 0 : i + 1) {
    const Entry& e = table_[i];
    if (e.slot == kNone) return kNone;
    if (e.hash == h && ids.get(e.slot) == id) break;
  }
  std::uint32_t slot = table_[i].slot;
  // Shift back every later entry of the run that may sit at the hole:
  // those whose home is not between the hole and themselves.
  auto distance = [cap](std::size_t from, std::size_t to) { return to >= from ? to - from : to + cap - from; };
  std::size_t hole = i;
  for (std::size_t j = hole + 1 == cap ? 0 : hole + 1; table_[j].slot != kNone; j = j + 1 == cap ? 0 : j + 1) {
    if (distance(home(table_[j].hash), j) >= distance(hole, j)) {
      table_[hole] = table_[j];
      hole = j;
    }
  }
  table_[hole] = Entry{};
  --size_;
  return slot;
}

void IdIndex::reserve(std::size_t n) {
  std::size_t cap = n * kLoadDen / kLoadNum + 1;
  if (cap <= table_.size()) return;
  if (size_ > 0) cap = std::max(cap, table_.size() * 3 / 2);
  rebuild(cap);
}

void IdIndex::clear() {
  table_.clear();
  table_.shrink_to_fit();
  size_ = 0;
}

void IdIndex::rebuild(std::size_t capacity) {
  std::vector<Entry> old = std::move(table_);
  table_.assign(capacity, Entry{});
  for (const Entry& e : old) {
    if (e.slot == kNone) continue;
    std::size_t i = home(e.hash);
    while (table_[i].slot != kNone) i = i + 1 == capacity ? 0 : i + 1;
    table_[i] = e;
  }
}

std::size_t IdIndex::memory_bytes() const { return heap_bytes(table_); }

}  // namespace hovra
