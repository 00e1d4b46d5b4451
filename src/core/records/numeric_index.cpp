// NumericIndex: per field, the (value, slot) pairs in one sorted array,
// plus the pairs added and removed since it was last rebuilt, each in an
// order-statistics tree (libstdc++'s policy-based tree keeps subtree sizes,
// which the standard containers do not). A range's size is then three pairs
// of rank queries; its slots come from one contiguous run of the array. The
// array is rebuilt by a merge once the trees hold an eighth of its size, so
// a bulk load costs a few linear merges instead of a tree insert per pair.
#include "core/records/numeric_index.h"

#include <algorithm>
#include <cmath>
#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>
#include <functional>
#include <limits>
#include <unordered_map>
#include <utility>

#include "core/base/heap.h"

namespace hovra {

namespace {

using Key = std::pair<double, std::uint32_t>;
using Tree = __gnu_pbds::tree<Key, __gnu_pbds::null_type, std::less<Key>, __gnu_pbds::rb_tree_tag,
                              __gnu_pbds::tree_order_statistics_node_update>;

constexpr double kInf = std::numeric_limits<double>::infinity();
// The added and removed trees are merged into the sorted array once they
// hold kMinRebuild pairs or an eighth (1 / kRebuildShare) of the array: small
// trees keep single changes cheap, and the merge's cost, linear in the
// array, is then spread over at least that many changes.
constexpr std::size_t kMinRebuild = 1024;
constexpr std::size_t kRebuildShare = 8;

// The first key past every value below x (past_x false) or at most x (past_x
// true). Stored values are finite; at x = +inf nextafter stays +inf, which
// is past every finite value either way.
Key start_key(double x, bool past_x) { return {past_x ? std::nextafter(x, kInf) : x, 0}; }

// The keys of one field.
struct Keys {
  std::vector<Key> base;  // sorted
  Tree added;             // not in base
  Tree removed;           // in base

  void add(const Key& key) {
    if (removed.erase(key) == 0) added.insert(key);
    rebuild_if_due();
  }
  void remove(const Key& key) {
    if (added.erase(key) == 0) removed.insert(key);
    rebuild_if_due();
  }
  bool empty() const { return base.size() + added.size() == removed.size(); }
  std::size_t count(const Key& from, const Key& to) const {
    if (!(from < to)) return 0;
    auto lo = std::lower_bound(base.begin(), base.end(), from);
    auto hi = std::lower_bound(lo, base.end(), to);
    std::size_t n = static_cast<std::size_t>(hi - lo) + (added.order_of_key(to) - added.order_of_key(from));
    std::size_t gone = removed.order_of_key(to) - removed.order_of_key(from);
    return n > gone ? n - gone : 0;
  }
  void collect(const Key& from, const Key& to, std::vector<std::uint32_t>& out) const {
    auto gone = removed.lower_bound(from);
    for (auto it = std::lower_bound(base.begin(), base.end(), from); it != base.end() && *it < to; ++it) {
      while (gone != removed.end() && *gone < *it) ++gone;
      if (gone != removed.end() && *gone == *it) continue;
      out.push_back(it->second);
    }
    for (auto it = added.lower_bound(from); it != added.end() && *it < to; ++it) out.push_back(it->second);
  }

 private:
  void rebuild_if_due() {
    if (added.size() + removed.size() < std::max(kMinRebuild, base.size() / kRebuildShare)) return;
    std::vector<Key> merged;
    merged.reserve(base.size() + added.size() - std::min(base.size(), removed.size()));
    auto gone = removed.begin();
    auto extra = added.begin();
    for (const Key& key : base) {
      while (gone != removed.end() && *gone < key) ++gone;
      if (gone != removed.end() && *gone == key) continue;
      for (; extra != added.end() && *extra < key; ++extra) merged.push_back(*extra);
      merged.push_back(key);
    }
    for (; extra != added.end(); ++extra) merged.push_back(*extra);
    base = std::move(merged);
    added.clear();
    removed.clear();
  }
};

}  // namespace

NumberRange NumberRange::all() {
  NumberRange r;
  r.lo = -kInf;
  r.hi = kInf;
  return r;
}

void NumberRange::above(double threshold, bool open) {
  if (std::isnan(threshold)) none = true;
  if (threshold > lo) {
    lo = threshold;
    lo_open = open;
  } else if (threshold == lo) {
    lo_open = lo_open || open;
  }
}

void NumberRange::below(double threshold, bool open) {
  if (std::isnan(threshold)) none = true;
  if (threshold < hi) {
    hi = threshold;
    hi_open = open;
  } else if (threshold == hi) {
    hi_open = hi_open || open;
  }
}

struct NumericIndex::Fields {
  std::unordered_map<std::string, Keys> keys;
};

NumericIndex::NumericIndex() : fields_(std::make_unique<Fields>()) {}
NumericIndex::~NumericIndex() = default;
NumericIndex::NumericIndex(NumericIndex&&) noexcept = default;
NumericIndex& NumericIndex::operator=(NumericIndex&&) noexcept = default;

void NumericIndex::add(const std::string& field, double value, std::uint32_t slot) {
  fields_->keys[field].add({value, slot});
}

void NumericIndex::remove(const std::string& field, double value, std::uint32_t slot) {
  auto it = fields_->keys.find(field);
  if (it == fields_->keys.end()) return;
  it->second.remove({value, slot});
  if (it->second.empty()) fields_->keys.erase(it);
}

void NumericIndex::clear() { fields_->keys.clear(); }

std::size_t NumericIndex::count(const std::string& field, const NumberRange& range) const {
  auto it = fields_->keys.find(field);
  if (range.none || it == fields_->keys.end()) return 0;
  return it->second.count(start_key(range.lo, range.lo_open), start_key(range.hi, !range.hi_open));
}

void NumericIndex::collect(const std::string& field, const NumberRange& range,
                           std::vector<std::uint32_t>& out) const {
  auto it = fields_->keys.find(field);
  if (range.none || it == fields_->keys.end()) return;
  it->second.collect(start_key(range.lo, range.lo_open), start_key(range.hi, !range.hi_open), out);
}

std::size_t NumericIndex::memory_bytes() const {
  // A map node holds a next pointer, the field, its keys and the cached
  // hash; a tree node three pointers, a colour, the key and a subtree size.
  constexpr std::size_t kTreeNode = 3 * sizeof(void*) + sizeof(void*) + sizeof(Key) + sizeof(std::size_t);
  std::size_t n = heap_chunk(fields_->keys.bucket_count() * sizeof(void*));
  for (const auto& [field, keys] : fields_->keys) {
    n += heap_chunk(sizeof(void*) + sizeof(field) + sizeof(keys) + sizeof(std::size_t));
    if (field.capacity() > 15) n += heap_chunk(field.capacity() + 1);
    n += heap_bytes(keys.base) + (keys.added.size() + keys.removed.size()) * heap_chunk(kTreeNode);
  }
  return n;
}

}  // namespace hovra
