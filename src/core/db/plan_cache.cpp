// The plan cache: filter equality and hashing, and the few kept plans,
// matched by filter, metadata-index generation and slot count.
#include "core/db/plan_cache.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <optional>
#include <string>

namespace hovra {

bool same_filter(const Filter& a, const Filter& b) {
  if (a.op != b.op || a.field != b.field || a.exists != b.exists) return false;
  if (std::bit_cast<std::uint64_t>(a.threshold) != std::bit_cast<std::uint64_t>(b.threshold)) return false;
  if (!(a.value == b.value) || a.values.size() != b.values.size() || a.children.size() != b.children.size())
    return false;
  for (std::size_t i = 0; i < a.values.size(); ++i)
    if (!(a.values[i] == b.values[i])) return false;
  for (std::size_t i = 0; i < a.children.size(); ++i)
    if (!same_filter(a.children[i], b.children[i])) return false;
  return true;
}

namespace {

std::size_t combine(std::size_t seed, std::size_t h) {
  return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

}  // namespace

std::size_t filter_hash(const Filter& filter) {
  std::size_t h = static_cast<std::size_t>(filter.op);
  h = combine(h, std::hash<std::string>{}(filter.field));
  h = combine(h, filter.value.hash());
  for (const JsonValue& v : filter.values) h = combine(h, v.hash());
  h = combine(h, static_cast<std::size_t>(std::bit_cast<std::uint64_t>(filter.threshold)));
  h = combine(h, filter.exists ? 1 : 0);
  for (const Filter& c : filter.children) h = combine(h, filter_hash(c));
  return h;
}

namespace {

// Estimated: the tree, its strings and its values by their own size.
std::size_t filter_bytes(const Filter& filter) {
  std::size_t bytes = sizeof(Filter) + filter.field.capacity() + filter.values.capacity() * sizeof(JsonValue) +
                      filter.children.capacity() * sizeof(Filter);
  for (const Filter& c : filter.children) bytes += filter_bytes(c) - sizeof(Filter);
  return bytes;
}

}  // namespace

// A kept plan with the filter it holds (the plan points into it): its own
// copy, or the caller's shared filter; and the last shared filter found
// equal to it, so that the next look-up with that one finds it by identity.
// While the entry holds a filter, no other filter can be at its address.
struct PlanCache::Entry {
  std::size_t hash = 0;
  std::uint64_t generation = 0;
  std::size_t slot_count = 0;
  std::shared_ptr<const Filter> filter;
  std::shared_ptr<const Filter> equal;
  std::optional<QueryPlan> plan;
  bool holds(const Filter& f) const { return filter.get() == &f || equal.get() == &f; }
};

std::shared_ptr<const QueryPlan> PlanCache::plan(const Filter& filter, const MetadataIndex& index,
                                                 std::size_t slot_count, std::shared_ptr<const Filter> shared) {
  const std::uint64_t generation = index.generation();
  auto take = [&](std::size_t i) {
    std::rotate(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(i),
                entries_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    std::shared_ptr<Entry> hit = entries_.front();
    return std::shared_ptr<const QueryPlan>(hit, &*hit->plan);
  };
  if (shared) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::erase_if(entries_, [&](const std::shared_ptr<Entry>& e) { return e->generation != generation; });
    for (std::size_t i = 0; i < entries_.size(); ++i)
      if (entries_[i]->holds(filter) && entries_[i]->slot_count == slot_count) return take(i);
  }
  const std::size_t hash = filter_hash(filter);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    std::erase_if(entries_, [&](const std::shared_ptr<Entry>& e) { return e->generation != generation; });
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      Entry& e = *entries_[i];
      if (e.hash != hash || e.slot_count != slot_count || !same_filter(*e.filter, filter)) continue;
      if (shared) e.equal = std::move(shared);
      return take(i);
    }
  }
  auto entry = std::make_shared<Entry>();
  entry->hash = hash;
  entry->generation = generation;
  entry->slot_count = slot_count;
  entry->filter = shared ? std::move(shared) : std::make_shared<const Filter>(filter);
  entry->plan.emplace(*entry->filter, index, slot_count);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.insert(entries_.begin(), entry);
    if (entries_.size() > kCapacity) entries_.resize(kCapacity);
  }
  return std::shared_ptr<const QueryPlan>(entry, &*entry->plan);
}

std::size_t PlanCache::memory_bytes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::size_t bytes = entries_.capacity() * sizeof(std::shared_ptr<Entry>);
  for (const auto& e : entries_)
    bytes += sizeof(Entry) - sizeof(QueryPlan) + filter_bytes(*e->filter) + e->plan->memory_bytes() +
             (e->equal && e->equal != e->filter ? filter_bytes(*e->equal) : 0);
  return bytes;
}

}  // namespace hovra
