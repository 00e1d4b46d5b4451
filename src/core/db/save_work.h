// SaveWork: a save's state between its steps; the steps are the
// Database's own (database_save.cpp). VectorsInFile and GraphInFile: what
// the last save left in the files, for the next save to append to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/base/error.h"
#include "core/base/file_io.h"
#include "core/db/checkpoint_policy.h"

namespace hovra {

// The size and CRC-32 of the rows vectors.bin holds for the last save
// (the store's rows_in_file()), when the file holds rows only and a
// checkpoint may append to it; empty when the next save rewrites it.
struct VectorsInFile {
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
};

// graph.hovra as the last save left it, when a save may append a delta
// to it: its size and CRC-32, the size of its first sections (the file
// as last written whole) and the node count it describes; empty when
// the next save writes it whole.
struct GraphInFile {
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  std::uint64_t base_size = 0;
  std::size_t nodes = 0;
};

// What a save carries from the step that collects its data under the locks
// to the steps that sync and commit it outside them (database_save.cpp).
struct SaveWork {
  bool append_vectors = false;
  bool append_graph = false;
  // vectors.b1 written beside the other files (one-bit codes were on).
  bool write_codes = false;
  // The node count the files describe (set once they are written).
  std::optional<std::size_t> saved_nodes;
  // The log's record bytes and records counted at that point, and the
  // prepared batches unresolved then (the frames the new log begins with).
  LogGrowth log_taken;
  std::string kept;
  // The files written but not yet forced to stable storage.
  std::vector<std::shared_ptr<FileHandle>> unsynced;

  // Flushes the writer and keeps a handle on its file for sync_all.
  Status sync_later(FileWriter& w);
  Status sync_all();
};

}  // namespace hovra
