// Keeping the slots in id order: the refresh by merge and the search for
// the place after an id.
#include "core/records/id_order.h"

#include <algorithm>
#include <iterator>

namespace hovra {

std::shared_ptr<const IdOrder::Slots> IdOrder::current(const ByteTable& ids, std::uint64_t changes,
                                                       std::uint64_t generation) {
  if (built_ && changes == changes_ && generation == generation_) return order_;
  if (!built_ || generation != generation_) covered_ = 0;
  auto by_id = [&](std::uint32_t a, std::uint32_t b) { return ids.get(a) < ids.get(b); };
  Slots kept;
  if (covered_ > 0) {
    kept.reserve(order_->size());
    for (std::uint32_t slot : *order_)
      if (slot < ids.size() && ids.present(slot)) kept.push_back(slot);
  }
  Slots added;
  for (std::size_t slot = covered_; slot < ids.size(); ++slot)
    if (ids.present(slot)) added.push_back(static_cast<std::uint32_t>(slot));
  std::sort(added.begin(), added.end(), by_id);
  auto merged = std::make_shared<Slots>();
  merged->reserve(kept.size() + added.size());
  std::merge(kept.begin(), kept.end(), added.begin(), added.end(), std::back_inserter(*merged), by_id);
  order_ = std::move(merged);
  covered_ = ids.size();
  changes_ = changes;
  generation_ = generation;
  built_ = true;
  return order_;
}

std::size_t IdOrder::first_after(const Slots& order, const ByteTable& ids, std::string_view after) {
  auto it = std::upper_bound(order.begin(), order.end(), after,
                             [&](std::string_view id, std::uint32_t slot) { return id < ids.get(slot); });
  return static_cast<std::size_t>(it - order.begin());
}

}  // namespace hovra
