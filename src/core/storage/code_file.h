// vectors.b1: the one-bit codes of a saved state, written by a save while
// searches walk on them, so that the next open with one-bit search reads
// them instead of coding every row again. The file stands for the saved
// rows only: open uses it when it names the saved state in place, and
// codes the rows itself otherwise.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/base/error.h"
#include "core/base/file_io.h"
#include "core/index/hnsw_index.h"
#include "core/vectors/binary_codes.h"

namespace hovra {

// The file begins with this magic (the bytes "HB1C") and version.
inline constexpr std::uint32_t kCodeFileMagic = 0x43314248;
inline constexpr std::uint32_t kCodeFileVersion = 1;
inline constexpr std::size_t kCodeFileHeadBytes = 56;

// The saved state a code file belongs to: the seal's generation and the
// size and CRC-32 of the graph file that seal records.
struct CodeFileStamp {
  std::uint64_t generation = 0;
  std::uint64_t graph_size = 0;
  std::uint32_t graph_crc = 0;
  bool operator==(const CodeFileStamp&) const = default;
};

// The index's one-bit codes (it has them) into the sink: the header, the
// mean, every row, then a flush. Codes whose mean was taken over fewer than
// half of today's rows (those of a collection that was empty or small when
// one-bit search began) are made afresh about the mean of every row for the
// file, so that the opens that read it walk on codes centred on the rows.
Status write_code_file(const HnswIndex& index, const CodeFileStamp& stamp, FileWriter& sink);

// The codes of the file at `path` when it is a code file of this version
// for `stamp` holding node_count rows of dimension dim under this metric;
// nullopt when it is missing, unreadable, of another state or shape, or
// of a length other than its rows' (the caller then codes the rows).
std::optional<BinaryCodes> load_code_file(const std::string& path, const CodeFileStamp& stamp, std::size_t node_count,
                                          std::size_t dim, Metric metric);

}  // namespace hovra
