// ByteTable: appending, replacing and removing entries, and shedding the
// bytes no entry uses.
#include "core/records/byte_table.h"

#include <algorithm>

#include "core/base/heap.h"

namespace hovra {

namespace {

std::size_t varint_size(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

}  // namespace

std::uint64_t ByteTable::append_bytes(std::string_view bytes) {
  std::uint64_t at = block_.size();
  std::size_t need = block_.size() + varint_size(bytes.size()) + bytes.size();
  // Grows by half at least, never to an exact fit that the next append
  // would outgrow at once.
  if (need > block_.capacity()) block_.reserve(std::max(need, block_.capacity() + block_.capacity() / 2));
  std::uint64_t v = bytes.size();
  while (v >= 0x80) {
    block_.push_back(static_cast<unsigned char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  block_.push_back(static_cast<unsigned char>(v));
  block_.insert(block_.end(), bytes.begin(), bytes.end());
  return at;
}

void ByteTable::push_back(std::string_view bytes) { at_.push_back(append_bytes(bytes)); }

void ByteTable::grow_to(std::size_t n) {
  if (n > at_.size()) at_.resize(n, kAbsent);
}

void ByteTable::set(std::size_t i, std::string_view bytes) {
  set_absent(i);
  at_[i] = append_bytes(bytes);
}

void ByteTable::set_absent(std::size_t i) {
  if (at_[i] == kAbsent) return;
  std::string_view old = get(i);
  dead_ += varint_size(old.size()) + old.size();
  at_[i] = kAbsent;
  shed_dead();
}

namespace {

// Room for `need` elements, growing by half at least: a run of small
// reservations (a reader applying a few records per look) then copies the
// table now and then, not on every call.
template <class V>
void grow_room(V& v, std::size_t need) {
  if (need > v.capacity()) v.reserve(std::max(need, v.capacity() + v.capacity() / 2));
}

}  // namespace

void ByteTable::reserve_more(std::size_t entries, std::size_t bytes) {
  grow_room(at_, at_.size() + entries);
  grow_room(block_, block_.size() + bytes);
}

// The block is rewritten without its dead bytes once they are at least
// kShedDeadBytes and half the block: small tables are not worth the copy,
// and copying only when half is dead keeps the cost per removed byte
// constant.
constexpr std::size_t kShedDeadBytes = 4096;

void ByteTable::shed_dead() {
  if (dead_ < kShedDeadBytes || dead_ * 2 < block_.size()) return;
  ByteTable fresh;
  fresh.block_.reserve(block_.size() - dead_);
  fresh.at_.reserve(at_.size());
  for (std::size_t i = 0; i < at_.size(); ++i) {
    if (at_[i] == kAbsent) fresh.push_absent();
    else fresh.push_back(get(i));
  }
  *this = std::move(fresh);
}

ByteTable ByteTable::select(const std::vector<std::uint32_t>& positions) const {
  ByteTable out;
  out.at_.reserve(positions.size());
  for (std::uint32_t i : positions) {
    if (at_[i] == kAbsent) out.push_absent();
    else out.push_back(get(i));
  }
  return out;
}

std::size_t ByteTable::memory_bytes() const { return heap_bytes(block_) + heap_bytes(at_); }

}  // namespace hovra
