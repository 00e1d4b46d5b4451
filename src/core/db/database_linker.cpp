// The database's side of the background linker (background_linker.h): the work it
// hands the linker (a chunk of fresh rows linked under the index write
// lock, with how long it held the lock and whether searches waited for it;
// the automatic checkpoint, a save), and the waits of the changes and of
// wait_indexed on it.
#include <algorithm>
#include <chrono>

#include "core/base/defaults.h"
#include "core/base/file_io.h"
#include "core/db/database.h"

namespace hovra {

void Database::start_linker() {
  {
    ReadLock ix(index_lock_);
    linker_.publish(index_->fresh_count());
  }
  linker_.start(BackgroundLinker::Work{
      [this](std::size_t chunk) { return link_chunk(chunk); },
      [this] { return index_lock_.readers_waiting(); },
      [this] { return checkpoints_.due(); },
      [this] { run_checkpoint(); },
  });
}

BackgroundLinker::Chunk Database::link_chunk(std::size_t chunk) {
  BackgroundLinker::Chunk done;
  WriteLock ix(index_lock_);
  auto start = std::chrono::steady_clock::now();
  done.taken = index_->link_fresh(chunk);
  note_fresh_locked();
  if (done.taken > 0) checkpoints_.note_linked();
  done.searches_waited = index_lock_.readers_waiting();
  done.held = std::chrono::steady_clock::now() - start;
  return done;
}

void Database::run_checkpoint() {
  std::uint64_t at = checkpoints_.growth().bytes;
  if (!save(nullptr).ok()) checkpoints_.failed_at(at);
}

bool Database::has_unsaved_changes() const {
  if (read_only_ || current_process_id() != owner_pid_) return false;
  return checkpoints_.unsaved();
}

// Writers wait while the fresh rows' exact scan would cost a search more
// than kFreshScanComponents.
Status Database::finish_change(std::uint64_t ticket, Progress* progress) {
  linker_.wake();
  linker_.wait_for_room(std::max<std::size_t>(1, kFreshScanComponents / std::max<std::size_t>(1, dim_)), progress);
  return durable(ticket);
}

// A forked child has no linker: it reports what it holds without waiting.
bool Database::wait_indexed(std::optional<double> timeout_seconds, Progress* progress) {
  return linker_.wait_indexed(timeout_seconds, progress);
}

}  // namespace hovra
