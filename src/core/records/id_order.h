// IdOrder: the live slots in ascending order of their ids (by bytes), for
// reading records by the page. It is brought up to date when a page is
// read, not on every change: slots are handed out in increasing order, so
// the slots added since the last refresh are the ones at or past the
// covered count; they are sorted among themselves and merged in, and slots
// whose id has gone are dropped. A compaction renumbers every slot and
// asks for a rebuild.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/records/byte_table.h"

namespace hovra {

class IdOrder {
 public:
  using Slots = std::vector<std::uint32_t>;

  // The order of the slots of `ids` that hold an id. `changes` counts the
  // changes to the table (a refresh is skipped when it has not moved);
  // `generation` counts renumberings (a new one rebuilds). The returned
  // list is not changed afterwards, so it may be read after the caller
  // lets go of whatever serialises calls to this object.
  std::shared_ptr<const Slots> current(const ByteTable& ids, std::uint64_t changes, std::uint64_t generation);

  // The first position in `order` whose id is greater than `after`.
  static std::size_t first_after(const Slots& order, const ByteTable& ids, std::string_view after);

 private:
  std::shared_ptr<const Slots> order_ = std::make_shared<const Slots>();
  std::size_t covered_ = 0;  // slots below this are in order_ (when live)
  std::uint64_t changes_ = 0;
  std::uint64_t generation_ = 0;
  bool built_ = false;
};

}  // namespace hovra
