// The graph file graph.hovra: the writer of the header, deleted slots and
// node table from a live index, the writer of the record table, and the
// readers of both, which reject any file whose slots do not fit its graph.
#include "core/storage/graph_file.h"

#include <algorithm>
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

std::uint32_t low32(std::size_t v) { return static_cast<std::uint32_t>(v); }

// ---- writing ----

void put_header(const HnswIndex& index, std::uint32_t extra_flags, ByteWriter& w) {
  w.u32(kGraphMagic);
  w.u32(kGraphVersion);
  w.u32(low32(index.dim()));
  w.u8(static_cast<std::uint8_t>(index.metric()));
  w.u32(low32(index.m()));
  w.u32(low32(index.ef_construction()));
  w.u32(index.entry_point());
  w.u32(low32(index.max_level()));
  w.u32(low32(index.node_count()));
  w.u32(low32(index.deleted().size()));
  bool unlinked = false;
  for (std::uint32_t s = index.linked_end(); s < index.node_count() && !unlinked; ++s)
    unlinked = s != index.entry_point();
  unlinked = unlinked || index.fresh_count() > index.node_count() - index.linked_end();
  // A save writes seal.hovra beside every graph file.
  w.u32(kGraphSealed | (unlinked ? kGraphUnlinked : 0) | extra_flags);
}

// A fresh row (stored, not linked yet) is written with empty lists, which
// is how a reader finds it again (HnswIndex::adopt_unlinked).
void put_node(const HnswIndex& index, std::uint32_t slot, ByteWriter& w, std::vector<std::uint32_t>& list) {
  std::size_t layers = index.level(slot) + 1;
  w.u32(low32(layers));
  // The entry point keeps its lists, so that searches still start there.
  bool unlinked = index.is_unlinked(slot) && slot != index.entry_point();
  for (std::size_t layer = 0; layer < layers; ++layer) {
    list.clear();
    if (!unlinked) index.copy_list(slot, layer, list);
    w.u32(low32(list.size()));
    for (std::uint32_t n : list) w.u32(n);
  }
}

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
    if ((counts.flags & ~(kGraphSealed | kGraphUnlinked | kGraphRowsApart)) != 0)
      return DbError::damaged_file("unsupported graph flags: " + std::to_string(counts.flags));
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
// every slot against node_count; used is the table's size in bytes.
Status read_nodes(std::string_view rest, std::uint32_t node_count, GraphLayout& layout, std::size_t& used) {
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
  layout.table.reserve(words);
  for (std::uint32_t slot = 0; slot < node_count; ++slot) {
    std::uint32_t layer_count;
    if (!take(layer_count)) return truncated();
    if (layer_count == 0) return DbError::damaged_file("graph node " + std::to_string(slot) + " has no layers");
    if (layer_count > words - at) return truncated();
    layout.node_at[slot] = layout.table.size();
    layout.table.push_back(layer_count);
    for (std::uint32_t l = 0; l < layer_count; ++l) {
      std::uint32_t count;
      if (!take(count) || count > words - at) return truncated();
      layout.table.push_back(count);
      std::size_t first = layout.table.size();
      layout.table.resize(first + count);
      std::uint32_t* out = layout.table.data() + first;
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
  explicit SlotCheck(const GraphLayout& layout) : n_(layout.node_count()), state_(n_, kFree) {
    for (std::uint32_t slot : layout.deleted)
      if (slot < n_) state_[slot] = kDeleted;
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

}  // namespace

Status write_graph(const HnswIndex& index, FileWriter& sink, std::uint32_t extra_flags) {
  std::string piece;
  ByteWriter w(piece);
  put_header(index, extra_flags, w);
  for (std::uint32_t slot : index.deleted()) w.u32(slot);
  HOVRA_RETURN_IF_ERROR(sink.write(piece));
  std::vector<std::uint32_t> list;
  std::size_t n = index.node_count();
  for (std::size_t slot = 0; slot < n; ++slot) {
    piece.clear();
    put_node(index, static_cast<std::uint32_t>(slot), w, list);
    HOVRA_RETURN_IF_ERROR(sink.write(piece));
  }
  return sink.flush();
}

Status write_row_section(const HnswIndex& index, FileWriter& sink, bool with_replaced) {
  std::string head;
  ByteWriter w(head);
  w.u32(kRowSectionMagic);
  HOVRA_RETURN_IF_ERROR(sink.write(head));
  const std::vector<float>& norms = index.norms();
  HOVRA_RETURN_IF_ERROR(write_f32s(norms.data(), index.node_count(), sink));
  std::vector<std::uint32_t> replaced;
  if (with_replaced) replaced = index.store().rows_replaced();
  std::sort(replaced.begin(), replaced.end());
  head.clear();
  w.u32(low32(replaced.size()));
  HOVRA_RETURN_IF_ERROR(sink.write(head));
  for (std::uint32_t slot : replaced) {
    head.clear();
    w.u32(slot);
    HOVRA_RETURN_IF_ERROR(sink.write(head));
    HOVRA_RETURN_IF_ERROR(write_f32s(index.store().vector(slot), index.dim(), sink));
  }
  return sink.flush();
}

Status RecordTableWriter::write() {
  Status st = sink_.write(piece_);
  piece_.clear();
  return st;
}

Status RecordTableWriter::begin(std::size_t count) {
  w_.u32(kRecordMagic);
  w_.u32(low32(count));
  return write();
}

Status RecordTableWriter::row(std::uint32_t slot, std::string_view id, std::string_view metadata_text) {
  w_.u32(slot);
  w_.sized(id);
  w_.sized(metadata_text);
  return write();
}

Status write_record_table(const std::vector<GraphRecord>& records, FileWriter& sink) {
  RecordTableWriter table(sink);
  HOVRA_RETURN_IF_ERROR(table.begin(records.size()));
  std::string text;
  for (const GraphRecord& record : records) {
    text.clear();
    if (record.metadata) write_json(*record.metadata, text);
    HOVRA_RETURN_IF_ERROR(table.row(record.slot, record.id, text));
  }
  return table.finish();
}

std::optional<std::uint32_t> read_graph_flags(std::string_view bytes) {
  ByteReader in(bytes);
  GraphLayout layout;
  HeaderCounts counts;
  if (!read_header(in, layout, counts).ok()) return std::nullopt;
  return counts.flags;
}

Result<GraphLayout> read_graph_layout(std::string_view bytes, std::size_t& rest_offset) {
  ByteReader in(bytes);
  GraphLayout layout;
  HeaderCounts counts;
  HOVRA_RETURN_IF_ERROR(read_header(in, layout, counts));
  HOVRA_RETURN_IF_ERROR(read_deleted(in, counts.deleted_count, counts.node_count, layout));
  std::size_t table_at = in.position(), table_bytes = 0;
  HOVRA_RETURN_IF_ERROR(read_nodes(bytes.substr(table_at), counts.node_count, layout, table_bytes));
  HOVRA_RETURN_IF_ERROR(check_entry_point(layout));
  rest_offset = table_at + table_bytes;
  if (layout.rows_apart) {
    ByteReader rows(bytes.substr(rest_offset));
    HOVRA_RETURN_IF_ERROR(read_row_section(rows, counts.node_count, layout));
    rest_offset += rows.position();
  }
  return layout;
}

// A misplaced record is reported only once the whole table has read, so
// that a table cut short reports the truncation, whatever it held before.
Status read_record_rows(std::string_view bytes, std::size_t offset, const GraphLayout& layout, RecordRowFn each) {
  if (offset > bytes.size()) return truncated();
  ByteReader in(bytes.substr(offset));
  std::uint32_t magic, count;
  if (!in.u32(magic)) return truncated();
  if (magic != kRecordMagic) return DbError::damaged_file("bad metadata section magic");
  // Every record needs at least its slot, id length and metadata length.
  if (!in.u32(count) || !can_hold(in, count, 12)) return truncated();
  SlotCheck slots(layout);
  Status misplaced = Status::success();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t slot;
    std::string_view id, text;
    HOVRA_RETURN_IF_ERROR(read_row(in, slot, id, text));
    if (!misplaced.ok()) continue;
    misplaced = slots.take(slot);
    if (misplaced.ok()) HOVRA_RETURN_IF_ERROR(each(slot, id, text));
  }
  return misplaced;
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
