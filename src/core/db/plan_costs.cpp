// The cost model of a filter's plan: the cost of testing one record, the
// worth of copying a candidate list's rows, what a walk with the filter is
// expected to cost before one ran, and the memory of what walks with the
// filter cost.
#include "core/db/plan_costs.h"

#include <algorithm>

namespace hovra {

namespace {

// What evaluating `filter`'s conditions costs once the metadata is read.
std::size_t evaluation_cost(const Filter& filter) {
  std::size_t cost = TestCosts::kConditionCost + filter.values.size() * TestCosts::kListedValueCost;
  for (const Filter& child : filter.children) cost += evaluation_cost(child);
  return cost;
}

}  // namespace

std::size_t filter_test_cost(std::size_t sets_probed, bool probes_decide, const Filter& filter) {
  std::size_t cost = sets_probed * TestCosts::kProbeCost;
  if (!probes_decide) cost += TestCosts::kEvaluateCost + evaluation_cost(filter);
  return cost;
}

bool worth_copying(std::size_t count, std::size_t span, std::size_t store_rows, std::size_t dim) {
  if (count < kMinCopiedRows || count > store_rows / 8) return false;
  if (count > kMaxCopiedBytes / sizeof(float) / std::max<std::size_t>(dim, 1)) return false;
  return 2 * count < span;
}

std::size_t expected_walk_cost(std::size_t passing, std::size_t live, std::size_t width, std::size_t links,
                               std::size_t test_cost, std::size_t node_cost) {
  if (passing == 0) return 0;
  const double share = static_cast<double>(passing) / static_cast<double>(std::max(live, passing));
  const double tested = static_cast<double>(width) / share + static_cast<double>(width);
  const double measured = tested + static_cast<double>(kListsAround * links);
  const double cost = tested * static_cast<double>(test_cost) + measured * static_cast<double>(node_cost);
  constexpr double kMost = 1e18;  // well inside std::size_t
  return static_cast<std::size_t>(std::min(cost, kMost));
}

bool WalkMemory::ran_expensive() const {
  const std::uint32_t state = walks_.load(std::memory_order_relaxed);
  const std::uint32_t walks = state & 0xffffu, expensive = state >> 16;
  return walks > 0 && 2 * expensive > walks;
}

bool WalkMemory::expects_expensive(bool estimated) const {
  if ((walks_.load(std::memory_order_relaxed) & 0xffffu) == 0) return estimated;
  return ran_expensive();
}

bool WalkMemory::scan_first(bool estimated) {
  if (!expects_expensive(estimated)) return false;
  return scans_first_.fetch_add(1, std::memory_order_relaxed) % kRetryEvery != kRetryEvery - 1;
}

void WalkMemory::note(bool expensive) {
  std::uint32_t state = walks_.load(std::memory_order_relaxed);
  std::uint32_t next = 0;
  do {
    std::uint32_t walks = (state & 0xffffu) + 1, costly = (state >> 16) + (expensive ? 1 : 0);
    if (walks > kRecentWalks) {
      walks = (walks + 1) / 2;
      costly /= 2;
    }
    next = costly << 16 | walks;
  } while (!walks_.compare_exchange_weak(state, next, std::memory_order_relaxed));
}

}  // namespace hovra
