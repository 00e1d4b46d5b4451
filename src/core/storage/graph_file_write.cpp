// The graph file graph.hovra: the writers of its sections from a live
// index (and of the record table from wherever the records lie), and of
// the delta sections a save appends to it.
#include "core/storage/graph_file.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/base/bytes.h"
#include "core/storage/vector_files.h"

namespace hovra {

namespace {

std::uint32_t low32(std::size_t v) { return static_cast<std::uint32_t>(v); }

// The writer's own mark of a slot the delta holds (beside kDeltaPartRow
// and kDeltaPartRecord).
constexpr std::uint32_t kDeltaNode = 1;

// Zero bytes after `length` bytes of strings, up to a multiple of 4.
void pad_to_word(ByteWriter& w, std::size_t length) {
  if (length % 4 != 0) w.bytes(std::string_view("\0\0\0", 4 - length % 4));
}

// The writers hand their pieces to the sink once they pass this size.
constexpr std::size_t kPieceBytes = std::size_t(1) << 16;

// The nodes linked apart from the others whose findability check still
// waits (HnswIndex::apart_pending), ascending; the entry point and deleted
// nodes keep their lists. They are written as fresh rows, so that an open
// relinks them and makes the check again once the fresh rows are linked.
std::vector<std::uint32_t> apart_waiting(const HnswIndex& index) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t s : index.apart_pending())
    if (s != index.entry_point() && !index.is_deleted(s)) out.push_back(s);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// Whether some live node other than the entry point waits to be linked (or
// is written as waiting: `apart_waits`).
bool has_unlinked_nodes(const HnswIndex& index, bool apart_waits) {
  bool unlinked = false;
  for (std::uint32_t s = index.linked_end(); s < index.node_count() && !unlinked; ++s)
    unlinked = s != index.entry_point();
  return unlinked || index.fresh_count() > index.node_count() - index.linked_end() || apart_waits;
}

void put_header(const HnswIndex& index, bool apart_waits, std::uint32_t extra_flags, ByteWriter& w) {
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
  // A save writes seal.hovra beside every graph file.
  w.u32(kGraphSealed | (has_unlinked_nodes(index, apart_waits) ? kGraphUnlinked : 0) | extra_flags);
  // A file that takes deltas keeps every word at an offset divisible by 4.
  if (extra_flags & kGraphDeltas) w.bytes(std::string_view("\0\0\0", 3));
}

// A fresh row (stored, not linked yet) is written with empty lists, which
// is how a reader finds it again (HnswIndex::adopt_unlinked); so is a node
// apart whose check waits (`waits`, from apart_waiting).
// The node's change mark is cleared before its lists are copied, and set
// again when they are left out.
void put_node(const HnswIndex& index, std::uint32_t slot, bool waits, ByteWriter& w,
              std::vector<std::uint32_t>& list) {
  std::size_t layers = index.level(slot) + 1;
  w.u32(low32(layers));
  index.clear_lists_changed(slot);
  // The entry point keeps its lists, so that searches still start there.
  bool unlinked = (waits || index.is_unlinked(slot)) && slot != index.entry_point();
  if (unlinked) index.mark_lists_changed(slot);
  for (std::size_t layer = 0; layer < layers; ++layer) {
    list.clear();
    if (!unlinked) index.copy_list(slot, layer, list);
    w.u32(low32(list.size()));
    for (std::uint32_t n : list) w.u32(n);
  }
}

// Hands the piece to the sink once it has grown to kPieceBytes, so that a
// large graph is never held whole in memory.
Status pass_full_piece(std::string& piece, FileWriter& sink) {
  if (piece.size() < kPieceBytes) return Status::success();
  HOVRA_RETURN_IF_ERROR(sink.write(piece));
  piece.clear();
  return Status::success();
}

// The last piece written and the sink flushed; the changes the index noted
// since the last save are in the file now.
Status finish_graph(const HnswIndex& index, const std::string& piece, FileWriter& sink) {
  HOVRA_RETURN_IF_ERROR(sink.write(piece));
  index.forget_noted_changes();
  return sink.flush();
}

}  // namespace

Status write_graph(const HnswIndex& index, FileWriter& sink, std::uint32_t extra_flags) {
  std::string piece;
  ByteWriter w(piece);
  const std::vector<std::uint32_t> apart = apart_waiting(index);
  put_header(index, !apart.empty(), extra_flags, w);
  for (std::uint32_t slot : index.deleted()) w.u32(slot);
  std::vector<std::uint32_t> list;
  std::size_t n = index.node_count();
  auto next_apart = apart.begin();
  for (std::size_t slot = 0; slot < n; ++slot) {
    bool waits = next_apart != apart.end() && *next_apart == slot;
    if (waits) ++next_apart;
    put_node(index, static_cast<std::uint32_t>(slot), waits, w, list);
    HOVRA_RETURN_IF_ERROR(pass_full_piece(piece, sink));
  }
  return finish_graph(index, piece, sink);
}

namespace {

// Per slot, what the delta holds of it (see write_graph_delta).
std::vector<std::uint8_t> delta_parts(const HnswIndex& index, const DeltaScope& scope) {
  const std::size_t n = index.node_count();
  std::vector<std::uint8_t> parts(n, 0);
  for (std::size_t s = scope.file_nodes; s < n; ++s) parts[s] = kDeltaNode | kDeltaPartRecord;
  for (std::size_t s = 0; s < scope.file_nodes; ++s)
    if (index.lists_changed(static_cast<std::uint32_t>(s))) parts[s] |= kDeltaNode;
  for (std::uint32_t s : index.rows_changed())
    if (s < n) parts[s] |= kDeltaNode | (s < scope.rows_in_file ? kDeltaPartRow : 0);
  if (scope.records_changed)
    for (std::uint32_t s : *scope.records_changed)
      if (s < n) parts[s] |= kDeltaNode | kDeltaPartRecord;
  for (std::size_t s = 0; s < n; ++s)
    if ((parts[s] & kDeltaPartRecord) && index.is_deleted(static_cast<std::uint32_t>(s)))
      parts[s] &= ~kDeltaPartRecord;
  return parts;
}

}  // namespace

Status write_graph_delta(const HnswIndex& index, const DeltaScope& scope, RecordOfFn record_of, FileWriter& sink) {
  const std::size_t n = index.node_count();
  if (n < scope.file_nodes)
    return DbError::io("graph delta over " + std::to_string(n) + " nodes for a file of " +
                       std::to_string(scope.file_nodes));
  std::vector<std::uint8_t> parts = delta_parts(index, scope);
  // A node apart whose check waits is written (as a fresh row) whether or
  // not its lists changed since the last save.
  const std::vector<std::uint32_t> apart = apart_waiting(index);
  for (std::uint32_t s : apart)
    if (s < n) parts[s] |= kDeltaNode;
  std::vector<std::uint32_t> deleted;
  for (std::uint32_t s : index.deleted_since())
    if (s < n) deleted.push_back(s);
  std::sort(deleted.begin(), deleted.end());
  deleted.erase(std::unique(deleted.begin(), deleted.end()), deleted.end());
  std::size_t written = 0;
  for (std::uint8_t p : parts) written += p != 0;
  // Nothing changed (the header's fields change only with a node or a
  // deletion): no section at all, and the file stays as it was.
  if (written == 0 && deleted.empty()) {
    index.forget_noted_changes();
    return sink.flush();
  }

  std::string piece;
  ByteWriter w(piece);
  w.u32(kDeltaMagic);
  w.u32(index.entry_point());
  w.u32(low32(index.max_level()));
  w.u32(low32(n));
  w.u32(has_unlinked_nodes(index, !apart.empty()) ? kGraphUnlinked : 0);
  w.u32(low32(deleted.size()));
  for (std::uint32_t s : deleted) w.u32(s);
  w.u32(low32(written));
  std::vector<std::uint32_t> list;
  std::string text;
  for (std::size_t at = 0; at < n; ++at) {
    if (parts[at] == 0) continue;
    auto slot = static_cast<std::uint32_t>(at);
    w.u32(slot);
    w.u32(parts[at] & (kDeltaPartRow | kDeltaPartRecord));
    put_node(index, slot, std::binary_search(apart.begin(), apart.end(), slot), w, list);
    w.f32(index.norms()[slot]);
    if (parts[at] & kDeltaPartRow) w.f32s(index.store().vector(slot), index.dim());
    if (parts[at] & kDeltaPartRecord) {
      text.clear();
      std::string_view id = record_of(slot, text);
      w.sized(id);
      w.sized(text);
      pad_to_word(w, id.size() + text.size());
    }
    HOVRA_RETURN_IF_ERROR(pass_full_piece(piece, sink));
  }
  return finish_graph(index, piece, sink);
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

Status pad_record_table(std::uint64_t written, FileWriter& sink) {
  if (written % 4 == 0) return sink.flush();
  HOVRA_RETURN_IF_ERROR(sink.write(std::string_view("\0\0\0", 4 - written % 4)));
  return sink.flush();
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

}  // namespace hovra
