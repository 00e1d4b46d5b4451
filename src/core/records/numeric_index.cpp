// NumericIndex: per field, an order-statistics tree of (value, slot) pairs.
// libstdc++'s policy-based tree keeps subtree sizes, which turns the size of
// any value range into two rank queries; the standard containers offer no
// ranked tree.
#include "core/records/numeric_index.h"

#include <cmath>
#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>
#include <functional>
#include <limits>
#include <unordered_map>
#include <utility>

namespace hovra {

namespace {

using Key = std::pair<double, std::uint32_t>;
using Tree = __gnu_pbds::tree<Key, __gnu_pbds::null_type, std::less<Key>, __gnu_pbds::rb_tree_tag,
                              __gnu_pbds::tree_order_statistics_node_update>;

constexpr double kInf = std::numeric_limits<double>::infinity();

// The first key past every value below x (open) or at most x (closed).
// Stored values are finite, so nextafter needs no care at the infinities.
Key start_key(double x, bool past_x) { return {past_x ? std::nextafter(x, kInf) : x, 0}; }

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
  std::unordered_map<std::string, Tree> trees;
};

NumericIndex::NumericIndex() : fields_(std::make_unique<Fields>()) {}
NumericIndex::~NumericIndex() = default;
NumericIndex::NumericIndex(NumericIndex&&) noexcept = default;
NumericIndex& NumericIndex::operator=(NumericIndex&&) noexcept = default;

void NumericIndex::add(const std::string& field, double value, std::uint32_t slot) {
  fields_->trees[field].insert({value, slot});
}

void NumericIndex::remove(const std::string& field, double value, std::uint32_t slot) {
  auto it = fields_->trees.find(field);
  if (it == fields_->trees.end()) return;
  it->second.erase({value, slot});
  if (it->second.empty()) fields_->trees.erase(it);
}

void NumericIndex::clear() { fields_->trees.clear(); }

std::size_t NumericIndex::count(const std::string& field, const NumberRange& range) const {
  auto it = fields_->trees.find(field);
  if (range.none || it == fields_->trees.end()) return 0;
  const Tree& tree = it->second;
  std::size_t from = tree.order_of_key(start_key(range.lo, range.lo_open));
  std::size_t to = tree.order_of_key(start_key(range.hi, !range.hi_open));
  return to > from ? to - from : 0;
}

void NumericIndex::collect(const std::string& field, const NumberRange& range,
                           std::vector<std::uint32_t>& out) const {
  auto it = fields_->trees.find(field);
  if (range.none || it == fields_->trees.end()) return;
  const Tree& tree = it->second;
  Key end = start_key(range.hi, !range.hi_open);
  for (auto k = tree.lower_bound(start_key(range.lo, range.lo_open)); k != tree.end() && *k < end; ++k)
    out.push_back(k->second);
}

}  // namespace hovra
