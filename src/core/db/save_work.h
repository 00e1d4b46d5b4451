// SaveWork: a save's state between its steps; the steps are the
// Database's own (database_save.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/base/error.h"
#include "core/base/file_io.h"

namespace hovra {

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
  std::uint64_t log_bytes = 0;
  std::uint64_t log_records = 0;
  std::string kept;
  // The files written but not yet forced to stable storage.
  std::vector<std::shared_ptr<FileHandle>> unsynced;

  // Flushes the writer and keeps a handle on its file for sync_all.
  Status sync_later(FileWriter& w);
  Status sync_all();
};

}  // namespace hovra
