// Group commit of log appends: writers that need their records on stable
// storage before they return wait here, and one sync serves every record
// appended before it started.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "core/base/error.h"
#include "core/base/file_io.h"
#include "core/base/function_ref.h"

namespace hovra {

// Tickets are Wal::appended() values: a writer's ticket is the value right
// after its record. The first waiter that finds no sync running becomes the
// leader: it takes a snapshot (the log's sync handle and the current
// ticket, read under the WAL mutex), syncs without holding any lock, so
// other writers keep appending meanwhile, and then wakes every waiter the
// sync covered; the others elect a new leader.
//
// A failed sync leaves the log's state on stable storage unknown (the
// kernel may have dropped the unwritten pages), so it fails every waiter
// not yet covered and every later wait: the failure is sticky until the
// database is reopened.
class GroupCommit {
 public:
  struct Snapshot {
    std::shared_ptr<FileHandle> handle;  // null: no log file open
    std::uint64_t ticket = 0;            // everything up to here is in that file
  };

  // Returns once everything up to ticket is synced, or the sync error.
  Status wait(std::uint64_t ticket, FunctionRef<Snapshot()> snapshot);
  // Everything up to ticket is on stable storage by other means (a save
  // that wrote it into the synced database files).
  void mark_durable(std::uint64_t ticket);
  std::optional<DbError> failure() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable done_;
  std::uint64_t durable_ = 0;
  bool syncing_ = false;
  std::optional<DbError> failure_;
};

}  // namespace hovra
