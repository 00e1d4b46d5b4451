// The graph file graph.hovra: the readers of its sections and deltas,
// which reject any file whose slots do not fit its graph (the writers are
// in graph_file_write.cpp).
#include "core/storage/graph_file.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <unordered_set>
#include <utility>

#include "core/base/bytes.h"
#include "core/storage/vector_files.h"

namespace hovra {

namespace {

DbError truncated() { return DbError::damaged_file("failed to fill whole buffer"); }

DbError out_of_range(const char* what, std::uint32_t slot, std::size_t node_count) {
  return DbError::damaged_file(std::string("graph file names ") + what + " slot " + std::to_string(slot) +
                               " but holds " + std::to_string(node_count) + " nodes");
}

// The least bytes of a delta's node entry: its slot, parts, one layer
// count and list length, and its norm.
constexpr std::size_t kDeltaEntryMin = 20;
// A node_at entry not read yet.
constexpr std::size_t kNoNode = ~std::size_t(0);

// ---- reading ----

// Whether `count` items of at least `min_size` bytes each can still follow;
// checked before anything is sized from a count read from the file.
bool can_hold(const ByteReader& in, std::uint32_t count, std::size_t min_size) {
  return count <= in.remaining() / min_size;
}

struct HeaderCounts {
  std::uint32_t node_count = 0;
  std::uint32_t deleted_count = 0;
  std::uint32_t flags = 0;
};

Status read_header(ByteReader& in, GraphLayout& layout, HeaderCounts& counts) {
  std::uint32_t magic, version, dim;
  if (!in.u32(magic)) return truncated();
  if (magic != kGraphMagic) return DbError::damaged_file("bad graph magic");
  if (!in.u32(version)) return truncated();
  if (version != kGraphVersion && version != kGraphVersionNoFlags)
    return DbError::damaged_file("unsupported graph version: " + std::to_string(version));
  std::uint8_t code;
  if (!in.u32(dim) || !in.u8(code)) return truncated();
  std::optional<Metric> metric = metric_from_code(code);
  if (!metric) return DbError::damaged_file("unknown metric: " + std::to_string(code));
  std::uint32_t m, ef, entry, max_level;
  if (!in.u32(m) || !in.u32(ef) || !in.u32(entry) || !in.u32(max_level) || !in.u32(counts.node_count) ||
      !in.u32(counts.deleted_count))
    return truncated();
  if (version == kGraphVersion) {
    if (!in.u32(counts.flags)) return truncated();
    if ((counts.flags & ~(kGraphSealed | kGraphUnlinked | kGraphRowsApart | kGraphDeltas)) != 0)
      return DbError::damaged_file("unsupported graph flags: " + std::to_string(counts.flags));
    std::string_view pad;
    if ((counts.flags & kGraphDeltas) && !in.bytes(3, pad)) return truncated();
  }
  if (m < 2) return DbError::damaged_file("graph file has m = " + std::to_string(m) + ", below the minimum of 2");
  layout.dim = dim;
  layout.metric = *metric;
  layout.m = m;
  layout.ef_construction = ef;
  layout.entry_point = entry;
  layout.max_level = max_level;
  layout.has_unlinked = (counts.flags & kGraphUnlinked) != 0;
  layout.rows_apart = (counts.flags & kGraphRowsApart) != 0;
  layout.has_deltas = (counts.flags & kGraphDeltas) != 0;
  return Status::success();
}

// The row section: a norm per node, then the replaced rows, each on its
// own slot below node_count, in ascending slot order.
Status read_row_section(ByteReader& in, std::size_t node_count, GraphLayout& layout) {
  std::uint32_t magic, replaced;
  if (!in.u32(magic)) return truncated();
  if (magic != kRowSectionMagic) return DbError::damaged_file("bad row section magic");
  if (!in.f32s(node_count, layout.norms) || !in.u32(replaced)) return truncated();
  const std::size_t row_bytes = 4 + 4 * layout.dim;
  if (!can_hold(in, replaced, row_bytes)) return truncated();
  layout.replaced_slots.reserve(replaced);
  layout.replaced_rows.reserve(replaced * layout.dim);
  for (std::uint32_t i = 0; i < replaced; ++i) {
    std::uint32_t slot = 0;
    in.u32(slot);
    if (slot >= node_count) return out_of_range("replaced row", slot, node_count);
    if (!layout.replaced_slots.empty() && slot <= layout.replaced_slots.back())
      return DbError::damaged_file("graph file lists replaced rows out of order at slot " + std::to_string(slot));
    layout.replaced_slots.push_back(slot);
    in.f32s(layout.dim, layout.replaced_rows);
  }
  return Status::success();
}

Status read_deleted(ByteReader& in, std::uint32_t count, std::uint32_t node_count, GraphLayout& layout) {
  if (!can_hold(in, count, 4)) return truncated();
  std::unordered_set<std::uint32_t> seen;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t slot = 0;
    in.u32(slot);
    if (slot >= node_count) return out_of_range("deleted", slot, node_count);
    if (seen.insert(slot).second) layout.deleted.push_back(slot);
  }
  return Status::success();
}

// The node table at the start of rest, copied word for word into
// layout.table while every count is checked against the bytes left and
// every slot against node_count; used is the table's size in bytes. In
// place (rest starting at word word_base of the file, which the layout
// reads where it lies), nothing is copied: node_at holds the file's word
// positions.
Status read_nodes(std::string_view rest, std::uint32_t node_count, GraphLayout& layout, std::size_t& used,
                  bool in_place, std::size_t word_base) {
  // Every node needs at least its layer count and one list length.
  if (node_count > rest.size() / 8) return truncated();
  const auto* p = reinterpret_cast<const unsigned char*>(rest.data());
  const std::size_t words = rest.size() / 4;
  std::size_t at = 0;
  auto take = [&](std::uint32_t& v) {
    if (at >= words) return false;
    v = load_u32(p + 4 * at++);
    return true;
  };
  layout.node_at.resize(node_count);
  if (!in_place) layout.table.reserve(words);
  std::vector<std::uint32_t> members;
  for (std::uint32_t slot = 0; slot < node_count; ++slot) {
    std::uint32_t layer_count;
    if (!take(layer_count)) return truncated();
    if (layer_count == 0) return DbError::damaged_file("graph node " + std::to_string(slot) + " has no layers");
    if (layer_count > words - at) return truncated();
    if (in_place) {
      layout.node_at[slot] = word_base + at - 1;
    } else {
      layout.node_at[slot] = layout.table.size();
      layout.table.push_back(layer_count);
    }
    for (std::uint32_t l = 0; l < layer_count; ++l) {
      std::uint32_t count;
      if (!take(count) || count > words - at) return truncated();
      std::vector<std::uint32_t>& into = in_place ? members : layout.table;
      if (in_place) members.clear();
      else into.push_back(count);
      std::size_t first = into.size();
      into.resize(first + count);
      std::uint32_t* out = into.data() + first;
      std::uint32_t highest = 0;
      for (std::uint32_t i = 0; i < count; ++i) {
        out[i] = load_u32(p + 4 * (at + i));
        highest = std::max(highest, out[i]);
      }
      if (highest >= node_count && count > 0) {
        for (std::uint32_t i = 0; i < count; ++i)
          if (out[i] >= node_count) return out_of_range("neighbour", out[i], node_count);
      }
      at += count;
    }
  }
  used = 4 * at;
  return Status::success();
}

// The entry point names a node exactly when there are nodes, and max_level
// is that node's level (0 for an empty graph).
Status check_entry_point(const GraphLayout& layout) {
  std::size_t n = layout.node_count();
  if (n == 0) {
    if (layout.entry_point != kNoEntry) return DbError::damaged_file("graph file has an entry point but no nodes");
    if (layout.max_level != 0) return DbError::damaged_file("graph file has no nodes but a max level above 0");
    return Status::success();
  }
  if (layout.entry_point >= n) return out_of_range("entry point", layout.entry_point, n);
  std::size_t level = layout.layer_count(layout.entry_point) - 1;
  if (layout.max_level != level)
    return DbError::damaged_file("graph file max level " + std::to_string(layout.max_level) +
                                 " differs from the entry point's level " + std::to_string(level));
  return Status::success();
}

// One row of the record table, where it lies in the file.
Status read_row(ByteReader& in, std::uint32_t& slot, std::string_view& id, std::string_view& text) {
  std::uint32_t id_len, meta_len;
  if (!in.u32(slot) || !in.u32(id_len) || !in.bytes(id_len, id)) return truncated();
  std::string bad = utf8_error(id);
  if (!bad.empty()) return DbError::damaged_file(bad);
  if (!in.u32(meta_len) || !in.bytes(meta_len, text)) return truncated();
  return Status::success();
}

// Each record sits on its own live slot of the graph. Marks slot taken;
// the first misplaced record's error.
class SlotCheck {
 public:
  // Section 4 is checked against the deleted slots of section 2 only.
  explicit SlotCheck(const GraphLayout& layout) : n_(layout.node_count()), state_(n_, kFree) {
    const std::size_t listed = layout.has_deltas ? layout.deleted_in_base : layout.deleted.size();
    for (std::size_t i = 0; i < listed; ++i)
      if (layout.deleted[i] < n_) state_[layout.deleted[i]] = kDeleted;
  }
  Status take(std::uint32_t slot) {
    if (slot >= n_) return out_of_range("record", slot, n_);
    std::uint8_t& s = state_[slot];
    if (s == kDeleted)
      return DbError::damaged_file("graph file has a record on deleted slot " + std::to_string(slot));
    if (s == kTaken) return DbError::damaged_file("graph file has two records on slot " + std::to_string(slot));
    s = kTaken;
    return Status::success();
  }

 private:
  enum : std::uint8_t { kFree, kDeleted, kTaken };
  std::size_t n_;
  std::vector<std::uint8_t> state_;
};

// The head of the record table (section 4) at offset: its magic and its
// row count; `in` is left at the first row.
Status read_record_head(std::string_view bytes, std::size_t offset, ByteReader& in, std::uint32_t& count) {
  if (offset > bytes.size()) return truncated();
  in = ByteReader(bytes.substr(offset));
  std::uint32_t magic;
  if (!in.u32(magic)) return truncated();
  if (magic != kRecordMagic) return DbError::damaged_file("bad metadata section magic");
  // Every record needs at least its slot, id length and metadata length.
  if (!in.u32(count) || !can_hold(in, count, 12)) return truncated();
  return Status::success();
}

// ---- delta sections ----

// Where section 4 starting at offset ends (its rows are read again, and
// checked, by read_record_rows).
Status record_table_end(std::string_view bytes, std::size_t offset, std::size_t& end) {
  ByteReader in(std::string_view{});
  std::uint32_t count = 0;
  HOVRA_RETURN_IF_ERROR(read_record_head(bytes, offset, in, count));
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t slot, len;
    std::string_view skipped;
    if (!in.u32(slot) || !in.u32(len) || !in.bytes(len, skipped) || !in.u32(len) || !in.bytes(len, skipped))
      return truncated();
  }
  end = offset + in.position();
  return Status::success();
}

// One node's entry (its layer count, then each list) appended to the
// layout's table, every member checked against node_count.
// In place (the layout reads the file where it lies; `in` starts at byte
// `base` of it), node_at gets the entry's word position in the file.
Status read_node_entry(ByteReader& in, std::size_t base, std::uint32_t slot, std::size_t node_count,
                       GraphLayout& layout, bool in_place) {
  const std::size_t entry_at = base + in.position();
  std::uint32_t layers;
  if (!in.u32(layers)) return truncated();
  if (layers == 0) return DbError::damaged_file("graph node " + std::to_string(slot) + " has no layers");
  if (!can_hold(in, layers, 4)) return truncated();
  if (in_place) {
    layout.node_at[slot] = entry_at / 4;
  } else {
    layout.node_at[slot] = layout.table.size();
    layout.table.push_back(layers);
  }
  for (std::uint32_t l = 0; l < layers; ++l) {
    std::uint32_t count;
    if (!in.u32(count) || !can_hold(in, count, 4)) return truncated();
    if (!in_place) layout.table.push_back(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t member = 0;
      in.u32(member);
      if (member >= node_count) return out_of_range("neighbour", member, node_count);
      if (!in_place) layout.table.push_back(member);
    }
  }
  return Status::success();
}

// The header fields of a delta and its deleted slots, marked in dead.
Status read_delta_head(ByteReader& in, GraphLayout& layout, std::vector<std::uint8_t>& dead) {
  std::uint32_t magic, entry, max_level, nodes, flags, deleted;
  if (!in.u32(magic)) return truncated();
  if (magic != kDeltaMagic) return DbError::damaged_file("bad graph delta magic");
  if (!in.u32(entry) || !in.u32(max_level) || !in.u32(nodes) || !in.u32(flags) || !in.u32(deleted))
    return truncated();
  if ((flags & ~kGraphUnlinked) != 0)
    return DbError::damaged_file("unsupported graph delta flags: " + std::to_string(flags));
  if (nodes < layout.node_count())
    return DbError::damaged_file("graph delta holds " + std::to_string(nodes) + " nodes, fewer than the " +
                                 std::to_string(layout.node_count()) + " before it");
  // Every node added needs an entry of at least kDeltaEntryMin bytes here.
  if (nodes - layout.node_count() > in.remaining() / kDeltaEntryMin) return truncated();
  layout.entry_point = entry;
  layout.max_level = max_level;
  layout.has_unlinked = (flags & kGraphUnlinked) != 0;
  layout.node_at.resize(nodes, kNoNode);
  layout.norms.resize(nodes, 0.0f);
  dead.resize(nodes, 0);
  if (!can_hold(in, deleted, 4)) return truncated();
  for (std::uint32_t i = 0; i < deleted; ++i) {
    std::uint32_t slot = 0;
    in.u32(slot);
    if (slot >= nodes) return out_of_range("deleted", slot, nodes);
    if (!dead[slot]) layout.deleted.push_back(slot);
    dead[slot] = 1;
  }
  return Status::success();
}

// One delta section at the start of `in` (offset `at` in the file): the
// header fields, deleted slots and changed nodes, each with its norm,
// replaced row and record as it says; records_at gets each record's offset.
Status read_delta(ByteReader& in, std::size_t at, GraphLayout& layout, std::vector<std::uint8_t>& dead,
                  std::vector<std::pair<std::uint32_t, std::size_t>>& records_at, bool in_place) {
  const std::size_t before = layout.node_count();
  HOVRA_RETURN_IF_ERROR(read_delta_head(in, layout, dead));
  const std::size_t n = layout.node_count();
  std::uint32_t changed;
  if (!in.u32(changed) || !can_hold(in, changed, kDeltaEntryMin)) return truncated();
  std::size_t last = 0;
  for (std::uint32_t i = 0; i < changed; ++i) {
    std::uint32_t slot, parts;
    if (!in.u32(slot) || !in.u32(parts)) return truncated();
    if (slot >= n) return out_of_range("changed", slot, n);
    if (i > 0 && slot <= last)
      return DbError::damaged_file("graph delta lists changed nodes out of order at slot " + std::to_string(slot));
    last = slot;
    if ((parts & ~(kDeltaPartRow | kDeltaPartRecord)) != 0)
      return DbError::damaged_file("graph delta has unknown parts " + std::to_string(parts) + " at slot " +
                                   std::to_string(slot));
    HOVRA_RETURN_IF_ERROR(read_node_entry(in, at, slot, n, layout, in_place));
    if (!in.f32(layout.norms[slot])) return truncated();
    if (parts & kDeltaPartRow) {
      layout.replaced_slots.push_back(slot);
      if (!in.f32s(layout.dim, layout.replaced_rows)) return truncated();
    }
    if (parts & kDeltaPartRecord) {
      if (dead[slot]) return DbError::damaged_file("graph file has a record on deleted slot " + std::to_string(slot));
      records_at.emplace_back(slot, at + in.position());
      std::uint32_t id_len, meta_len;
      std::string_view skipped;
      if (!in.u32(id_len) || !in.bytes(id_len, skipped) || !in.u32(meta_len) || !in.bytes(meta_len, skipped) ||
          !in.bytes((4 - (id_len + meta_len) % 4) % 4, skipped))
        return truncated();
    }
  }
  for (std::size_t s = before; s < n; ++s)
    if (layout.node_at[s] == kNoNode)
      return DbError::damaged_file("graph delta adds node " + std::to_string(s) + " without its lists");
  return check_entry_point(layout);
}

// Every delta section from `at` to the end of bytes; the latest record of
// each slot is kept in the layout.
Status read_deltas(std::string_view bytes, std::size_t at, GraphLayout& layout, bool in_place) {
  std::vector<std::uint8_t> dead(layout.node_count(), 0);
  for (std::uint32_t s : layout.deleted)
    if (s < dead.size()) dead[s] = 1;
  layout.deleted_in_base = layout.deleted.size();
  layout.deltas_at = at;
  std::vector<std::pair<std::uint32_t, std::size_t>> records_at;
  while (at < bytes.size()) {
    ByteReader in(bytes.substr(at));
    HOVRA_RETURN_IF_ERROR(read_delta(in, at, layout, dead, records_at, in_place));
    at += in.position();
  }
  // The latest record of each slot: stable order by slot, the last of each run.
  std::stable_sort(records_at.begin(), records_at.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < records_at.size(); ++i)
    if (i + 1 == records_at.size() || records_at[i + 1].first != records_at[i].first)
      layout.delta_records.push_back(records_at[i]);
  return Status::success();
}

}  // namespace

std::optional<std::uint32_t> read_graph_flags(std::string_view bytes) {
  ByteReader in(bytes);
  GraphLayout layout;
  HeaderCounts counts;
  if (!read_header(in, layout, counts).ok()) return std::nullopt;
  return counts.flags;
}

Result<GraphLayout> read_graph_layout(std::string_view bytes, std::size_t& rest_offset, bool in_place) {
  ByteReader in(bytes);
  GraphLayout layout;
  HeaderCounts counts;
  HOVRA_RETURN_IF_ERROR(read_header(in, layout, counts));
  HOVRA_RETURN_IF_ERROR(read_deleted(in, counts.deleted_count, counts.node_count, layout));
  std::size_t table_at = in.position(), table_bytes = 0;
  // Only a file whose words all sit at offsets divisible by 4, in memory
  // aligned alike, is read in place, and only where its words are the
  // machine's own.
  in_place = in_place && layout.has_deltas && std::endian::native == std::endian::little &&
             reinterpret_cast<std::uintptr_t>(bytes.data()) % 4 == 0 && table_at % 4 == 0;
  if (in_place) layout.mapped = reinterpret_cast<const std::uint32_t*>(bytes.data());
  HOVRA_RETURN_IF_ERROR(
      read_nodes(bytes.substr(table_at), counts.node_count, layout, table_bytes, in_place, table_at / 4));
  HOVRA_RETURN_IF_ERROR(check_entry_point(layout));
  rest_offset = table_at + table_bytes;
  if (layout.rows_apart) {
    ByteReader rows(bytes.substr(rest_offset));
    HOVRA_RETURN_IF_ERROR(read_row_section(rows, counts.node_count, layout));
    rest_offset += rows.position();
  }
  if (layout.has_deltas) {
    if (!layout.rows_apart) return DbError::damaged_file("graph file has deltas without its row section");
    std::size_t deltas_at = 0;
    HOVRA_RETURN_IF_ERROR(record_table_end(bytes, rest_offset, deltas_at));
    // The record table is followed by zero bytes up to a multiple of 4.
    deltas_at += (4 - deltas_at % 4) % 4;
    if (deltas_at > bytes.size()) return truncated();
    HOVRA_RETURN_IF_ERROR(read_deltas(bytes, deltas_at, layout, in_place));
  }
  return layout;
}

namespace {

// Each slot's latest delta record, unless a later delta deleted the slot
// (passed marks the slots deleted since section 4).
Status read_delta_records(std::string_view bytes, const GraphLayout& layout, std::vector<std::uint8_t>& passed,
                          RecordRowFn each) {
  if (!layout.has_deltas) return Status::success();
  for (const auto& [slot, at] : layout.delta_records) passed[slot] = 0;
  for (std::size_t i = layout.deleted_in_base; i < layout.deleted.size(); ++i) passed[layout.deleted[i]] = 1;
  for (const auto& [slot, at] : layout.delta_records) {
    if (passed[slot]) continue;
    ByteReader in(bytes.substr(at));
    std::uint32_t id_len, meta_len;
    std::string_view id, text;
    if (!in.u32(id_len) || !in.bytes(id_len, id) || !in.u32(meta_len) || !in.bytes(meta_len, text))
      return truncated();
    std::string bad = utf8_error(id);
    if (!bad.empty()) return DbError::damaged_file(bad);
    HOVRA_RETURN_IF_ERROR(each(slot, id, text));
  }
  return Status::success();
}

}  // namespace

// A misplaced record is reported only once the whole table has read, so
// that a table cut short reports the truncation, whatever it held before.
Status read_record_rows(std::string_view bytes, std::size_t offset, const GraphLayout& layout, RecordRowFn each) {
  ByteReader in(std::string_view{});
  std::uint32_t count = 0;
  HOVRA_RETURN_IF_ERROR(read_record_head(bytes, offset, in, count));
  SlotCheck slots(layout);
  // With deltas: the slots whose record section 4 no longer gives (deleted
  // since, or given again by a delta).
  std::vector<std::uint8_t> passed;
  if (layout.has_deltas) {
    passed.assign(layout.node_count(), 0);
    for (std::size_t i = layout.deleted_in_base; i < layout.deleted.size(); ++i) passed[layout.deleted[i]] = 1;
    for (const auto& [slot, at] : layout.delta_records) passed[slot] = 1;
  }
  Status misplaced = Status::success();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t slot = 0;
    std::string_view id, text;
    HOVRA_RETURN_IF_ERROR(read_row(in, slot, id, text));
    if (!misplaced.ok()) continue;
    misplaced = slots.take(slot);
    if (misplaced.ok() && (passed.empty() || !passed[slot])) HOVRA_RETURN_IF_ERROR(each(slot, id, text));
  }
  if (!misplaced.ok()) return misplaced;
  return read_delta_records(bytes, layout, passed, each);
}

Result<std::vector<GraphRecord>> read_record_table(std::string_view bytes, std::size_t offset,
                                                   const GraphLayout& layout) {
  std::vector<GraphRecord> records;
  Status st = read_record_rows(bytes, offset, layout,
                               [&](std::uint32_t slot, std::string_view id, std::string_view text) -> Status {
                                 GraphRecord record;
                                 record.slot = slot;
                                 record.id.assign(id);
                                 JsonValue value;
                                 std::string error;
                                 if (!text.empty() && parse_json(text, value, error))
                                   record.metadata = std::move(value);
                                 records.push_back(std::move(record));
                                 return Status::success();
                               });
  if (!st.ok()) return st.error();
  return records;
}

}  // namespace hovra
