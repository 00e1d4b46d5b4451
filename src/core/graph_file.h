// The graph file graph.hovra: header, deleted slots, node table and record
// table; the writer (from a live index and a record list) and the reader.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/file_io.h"
#include "core/hnsw_index.h"
#include "core/json.h"

namespace hovra {

inline constexpr std::uint32_t kGraphMagic = 0x48535747;   // "GWSH"
inline constexpr std::uint32_t kGraphVersion = 2;
inline constexpr std::uint32_t kRecordMagic = 0x4D455441;  // "ATEM"

struct GraphRecord {
  std::uint32_t slot = 0;
  std::string id;
  std::optional<JsonValue> metadata;
};

// Sections 1 to 3 from the index, each list copied under its lock, then a
// flush of the sink.
Status write_graph(const HnswIndex& index, FileWriter& sink);
// Section 4, then a flush.
Status write_record_table(const std::vector<GraphRecord>& records, FileWriter& sink);

// Parses sections 1 to 3. On success `rest` is positioned at section 4.
// Errors are Io with the exact texts ("failed to fill whole buffer",
// "bad graph magic", "unsupported graph version: N", "unknown metric: N").
Result<GraphLayout> read_graph_layout(std::string_view bytes, std::size_t& rest_offset);
// Parses section 4 starting at offset ("bad metadata section magic", the
// truncation error, UTF-8 errors). Metadata that is not JSON loads as none.
Result<std::vector<GraphRecord>> read_record_table(std::string_view bytes, std::size_t offset);

// The standard UTF-8 validation: empty when valid, else the error text
// "invalid utf-8 sequence of N bytes from index I" or
// "incomplete utf-8 byte sequence from index I".
std::string utf8_error(std::string_view bytes);

}  // namespace hovra
