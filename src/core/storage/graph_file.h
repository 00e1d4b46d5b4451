// The graph file graph.hovra: header, deleted slots, node table, row
// section, record table and delta sections; the writers (from a live index
// and a record list: graph_file_write.cpp) and the readers (graph_file.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"
#include "core/base/file_io.h"
#include "core/base/bytes.h"
#include "core/base/function_ref.h"
#include "core/base/utf8.h"
#include "core/index/hnsw_index.h"
#include "core/records/json.h"
#include "core/storage/wal.h"

namespace hovra {

inline constexpr std::uint32_t kGraphMagic = 0x48535747;  // "GWSH"
// Version 3 adds a flags word to the header; version 2 files (written
// before it) are still read, as having no flags.
inline constexpr std::uint32_t kGraphVersion = 3;
inline constexpr std::uint32_t kGraphVersionNoFlags = 2;
// Header flag: a seal.hovra was written with this file (every save of this
// version writes one), so a missing one is damage.
inline constexpr std::uint32_t kGraphSealed = 1;
// Header flag: some live nodes other than the entry point were saved
// before the linker reached them; their lists are empty and a reader makes
// them fresh again (HnswIndex::adopt_unlinked). Builds that know only
// kGraphSealed refuse such a file ("unsupported graph flags: 3").
inline constexpr std::uint32_t kGraphUnlinked = 2;
// Header flag: vectors.bin holds the rows only (it grows at its end between
// rewrites), and the row section, between the node table and the record
// table, holds every slot's norm and the rows replaced since vectors.bin
// was written. Builds that do not know it refuse the file ("unsupported
// graph flags: 5").
inline constexpr std::uint32_t kGraphRowsApart = 4;
// Header flag: delta sections may follow the record table, each holding
// what changed since the section before it (see write_graph_delta); the
// file is read as far as seal.hovra's size. Builds that do not know it
// refuse the file ("unsupported graph flags: 13", or 15 with unlinked rows).
inline constexpr std::uint32_t kGraphDeltas = 8;
inline constexpr std::uint32_t kRowSectionMagic = 0x534D524E;  // "NRMS"
inline constexpr std::uint32_t kRecordMagic = 0x4D455441;      // "ATEM"
inline constexpr std::uint32_t kDeltaMagic = 0x41544C44;       // "DLTA"
// A delta's parts word for a changed node: its replaced row follows, its
// record follows (its node entry and norm always do).
inline constexpr std::uint32_t kDeltaPartRow = 2;
inline constexpr std::uint32_t kDeltaPartRecord = 4;

struct GraphRecord {
  std::uint32_t slot = 0;
  std::string id;
  std::optional<JsonValue> metadata;
};

// Sections 1 to 3 from the index, each list copied under its lock, then a
// flush of the sink. extra_flags are or-ed into the header's flags
// (kGraphRowsApart when the row section follows). Takes the index's change
// marks: every node written is unmarked, but for a fresh row written
// without its lists, which stays marked for the next delta.
Status write_graph(const HnswIndex& index, FileWriter& sink, std::uint32_t extra_flags = 0);
// The row section: the norm of every slot, then (with_replaced) the rows
// the store lists as replaced since vectors.bin was written, in slot
// order, or none (vectors.bin is being rewritten whole), then a flush.
Status write_row_section(const HnswIndex& index, FileWriter& sink, bool with_replaced);
// One record of a delta: the compact JSON text of its metadata (empty for
// none) is written to `text`, and the id returned points into the caller's
// tables.
using RecordOfFn = FunctionRef<std::string_view(std::uint32_t slot, std::string& text)>;

// What a delta section covers: the node count and the rows of vectors.bin
// that the file as written so far describes, and the slots whose records
// (metadata) changed since, ascending and unique.
struct DeltaScope {
  std::size_t file_nodes = 0;
  std::size_t rows_in_file = 0;
  const std::vector<std::uint32_t>* records_changed = nullptr;
};

// A delta section appended after the file written so far: the header's
// changing fields, the slots deleted since, and per changed node (new, or
// its lists, row or record changed) its lists and norm, its row when it
// replaces one vectors.bin holds, and its record when live and new or
// changed. Takes the index's change marks as write_graph does; then a flush.
Status write_graph_delta(const HnswIndex& index, const DeltaScope& scope, RecordOfFn record_of, FileWriter& sink);

// The zero bytes that end section 4 of a file that takes deltas: up to a
// multiple of 4 of the file's size (`written` so far).
Status pad_record_table(std::uint64_t written, FileWriter& sink);

// Section 4, then a flush.
Status write_record_table(const std::vector<GraphRecord>& records, FileWriter& sink);

// Section 4 written row by row from wherever the records lie: begin()
// with the number of rows, row() for each, finish() (the flush).
class RecordTableWriter {
 public:
  explicit RecordTableWriter(FileWriter& sink) : sink_(sink), w_(piece_) {}
  Status begin(std::size_t count);
  // metadata_text: the compact JSON text; empty for no metadata.
  Status row(std::uint32_t slot, std::string_view id, std::string_view metadata_text);
  Status finish() { return sink_.flush(); }

 private:
  Status write();
  FileWriter& sink_;
  std::string piece_;
  ByteWriter w_;
};

// The header's flags (0 for a version 2 file); nullopt when the header
// does not read.
std::optional<std::uint32_t> read_graph_flags(std::string_view bytes);

// Parses sections 1 to 3 and, with flag kGraphDeltas, every delta section
// to the end of bytes (the seal's size of the file): the layout is the
// graph as the last delta left it. On success rest_offset is the offset of
// section 4.
// Errors are DamagedFile (shown as io errors) with the exact texts ("failed to fill whole buffer",
// "bad graph magic", "unsupported graph version: N", "unknown metric: N"),
// or DamagedFile for a graph that does not hold together: m below 2, a deleted or
// neighbour slot outside the graph, a node without layers, an entry point
// that is not a node (or present in an empty graph), or a max_level other
// than the entry point's level.
// With in_place, a file that takes deltas (its words at offsets divisible
// by 4) is not copied: the layout's node table is the file's own words
// (layout.mapped; the caller keeps the bytes alive, in layout.keep).
Result<GraphLayout> read_graph_layout(std::string_view bytes, std::size_t& rest_offset, bool in_place = false);
// Parses section 4 starting at offset ("bad metadata section magic", the
// truncation error, UTF-8 errors). Metadata that is not JSON loads as none.
// Every record must sit on its own live slot of the layout (DamagedFile otherwise).
// With deltas, a record of section 4 that a delta replaced or whose slot a
// delta deleted is passed over, and each slot's latest delta record follows.
Result<std::vector<GraphRecord>> read_record_table(std::string_view bytes, std::size_t offset,
                                                   const GraphLayout& layout);
// The same checks, handing each row to `each` where it lies in bytes
// (metadata_text empty for none) instead of collecting them. Rows reach
// `each` before the slot checks of later rows have run: on an error the
// caller drops what it built.
using RecordRowFn = FunctionRef<Status(std::uint32_t slot, std::string_view id, std::string_view metadata_text)>;
Status read_record_rows(std::string_view bytes, std::size_t offset, const GraphLayout& layout, RecordRowFn each);

}  // namespace hovra
