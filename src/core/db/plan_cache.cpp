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

// A kept plan with the filter it owns (the plan points into it).
struct PlanCache::Entry {
  std::size_t hash = 0;
  std::uint64_t generation = 0;
  std::size_t slot_count = 0;
  Filter filter;
  std::optional<QueryPlan> plan;
};

std::shared_ptr<const QueryPlan> PlanCache::plan(const Filter& filter, const MetadataIndex& index,
                                                 std::size_t slot_count) {
  const std::size_t hash = filter_hash(filter);
  const std::uint64_t generation = index.generation();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    std::erase_if(entries_, [&](const std::shared_ptr<Entry>& e) { return e->generation != generation; });
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = *entries_[i];
      if (e.hash != hash || e.slot_count != slot_count || !same_filter(e.filter, filter)) continue;
      std::rotate(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(i),
                  entries_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      std::shared_ptr<Entry> hit = entries_.front();
      return std::shared_ptr<const QueryPlan>(hit, &*hit->plan);
    }
  }
  auto entry = std::make_shared<Entry>();
  entry->hash = hash;
  entry->generation = generation;
  entry->slot_count = slot_count;
  entry->filter = filter;
  entry->plan.emplace(entry->filter, index, slot_count);
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
    bytes += sizeof(Entry) - sizeof(Filter) - sizeof(QueryPlan) + filter_bytes(e->filter) + e->plan->memory_bytes();
  return bytes;
}

}  // namespace hovra
