// The graph file graph.hovra: header, deleted slots, node table and record
// table; the writer (from a live index and a record list) and the reader.
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
inline constexpr std::uint32_t kRowSectionMagic = 0x534D524E;  // "NRMS"
inline constexpr std::uint32_t kRecordMagic = 0x4D455441;      // "ATEM"

struct GraphRecord {
  std::uint32_t slot = 0;
  std::string id;
  std::optional<JsonValue> metadata;
};

// Sections 1 to 3 from the index, each list copied under its lock, then a
// flush of the sink. extra_flags are or-ed into the header's flags
// (kGraphRowsApart when the row section follows).
Status write_graph(const HnswIndex& index, FileWriter& sink, std::uint32_t extra_flags = 0);
// The row section: the norm of every slot, then (with_replaced) the rows
// the store lists as replaced since vectors.bin was written, in slot
// order, or none (vectors.bin is being rewritten whole), then a flush.
Status write_row_section(const HnswIndex& index, FileWriter& sink, bool with_replaced);
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

// Parses sections 1 to 3. On success rest_offset is the offset of section 4.
// Errors are DamagedFile (shown as io errors) with the exact texts ("failed to fill whole buffer",
// "bad graph magic", "unsupported graph version: N", "unknown metric: N"),
// or DamagedFile for a graph that does not hold together: m below 2, a deleted or
// neighbour slot outside the graph, a node without layers, an entry point
// that is not a node (or present in an empty graph), or a max_level other
// than the entry point's level.
Result<GraphLayout> read_graph_layout(std::string_view bytes, std::size_t& rest_offset);
// Parses section 4 starting at offset ("bad metadata section magic", the
// truncation error, UTF-8 errors). Metadata that is not JSON loads as none.
// Every record must sit on its own live slot of the layout (DamagedFile otherwise).
Result<std::vector<GraphRecord>> read_record_table(std::string_view bytes, std::size_t offset,
                                                   const GraphLayout& layout);
// The same checks, handing each row to `each` where it lies in bytes
// (metadata_text empty for none) instead of collecting them. Rows reach
// `each` before the slot checks of later rows have run: on an error the
// caller drops what it built.
using RecordRowFn = FunctionRef<Status(std::uint32_t slot, std::string_view id, std::string_view metadata_text)>;
Status read_record_rows(std::string_view bytes, std::size_t offset, const GraphLayout& layout, RecordRowFn each);

}  // namespace hovra
