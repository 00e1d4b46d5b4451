// The background linker: one thread per database that links the fresh rows
// (stored by the changes, searched exactly meanwhile) into the graph, in
// chunks under the index write lock, and the waits on it: backpressure for
// writers that outrun it, and wait_indexed. The same thread runs the
// automatic checkpoint (a save) once the log passes its bounds.
//
// A dedicated thread rather than a task on the worker pool: it waits most of
// the time, and a pool thread would run the chunk's parallel linking inline
// (a parallel_for from a pool thread does), while this thread hands it to
// the pool. A chunk is sized so that holding the index lock takes about
// kLinkHold: a search or a writer waits at most about one chunk.
#include <algorithm>
#include <chrono>

#include "core/base/defaults.h"
#include "core/base/file_io.h"
#include "core/db/database.h"

namespace hovra {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kLinkHold = std::chrono::milliseconds(10);
constexpr std::size_t kFirstChunk = 64;
constexpr std::size_t kMinChunk = 8;
constexpr std::size_t kMaxChunk = 8192;
// How often a waiter looks at its progress for a stop.
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

}  // namespace

void Database::start_linker() {
  fresh_rows_.store(0);
  {
    ReadLock ix(index_lock_);
    fresh_rows_.store(index_->fresh_count());
  }
  linker_ = std::thread([this] { run_linker(); });
}

// A forked child has no linker thread of its own: its copy is forgotten.
void Database::stop_linker() {
  if (!linker_.joinable()) return;
  if (current_process_id() != owner_pid_) {
    new std::thread(std::move(linker_));  // never joined: the thread is the parent's
    return;
  }
  {
    std::lock_guard<std::mutex> g(linker_mutex_);
    linker_stop_ = true;
  }
  linker_wake_.notify_all();
  linker_.join();
}

void Database::run_linker() {
  std::size_t chunk = kFirstChunk;
  for (;;) {
    {
      std::unique_lock<std::mutex> lk(linker_mutex_);
      linker_wake_.wait(lk, [&] { return linker_stop_ || fresh_rows_.load() > 0 || checkpoint_due(); });
      if (linker_stop_) return;
    }
    if (checkpoint_due()) {
      std::uint64_t at = log_bytes_.load();
      if (!save(nullptr).ok()) checkpoint_failed_at_.store(at);
      continue;
    }
    Clock::time_point start = Clock::now();
    std::size_t taken = 0;
    {
      WriteLock ix(index_lock_);
      taken = index_->link_fresh(chunk);
      note_fresh_locked();
      if (taken > 0) linked_unsaved_.store(true);
    }
    auto held = Clock::now() - start;
    if (taken >= chunk) {
      double scale = std::chrono::duration<double>(kLinkHold) /
                     std::max(std::chrono::duration<double>(held), std::chrono::duration<double>(1e-6));
      double next =
          std::clamp(static_cast<double>(chunk) * std::clamp(scale, 0.5, 2.0), double(kMinChunk), double(kMaxChunk));
      chunk = static_cast<std::size_t>(next);
    }
    {
      std::lock_guard<std::mutex> g(linker_mutex_);
    }
    linker_linked_.notify_all();
  }
}

bool Database::checkpoint_due() const {
  if (!autocheckpoint_) return false;
  std::uint64_t bytes = log_bytes_.load(std::memory_order_relaxed);
  std::uint64_t failed = checkpoint_failed_at_.load(std::memory_order_relaxed);
  if (failed != 0) return bytes >= failed + checkpoint_bytes_;
  return bytes >= checkpoint_bytes_ || log_records_.load(std::memory_order_relaxed) >= checkpoint_records_;
}

bool Database::has_unsaved_changes() const {
  if (read_only_ || current_process_id() != owner_pid_) return false;
  return log_bytes_.load() > 0 || compacted_unsaved_.load() || linked_unsaved_.load();
}

Status Database::finish_change(std::uint64_t ticket, Progress* progress) {
  {
    std::lock_guard<std::mutex> g(linker_mutex_);
  }
  linker_wake_.notify_one();
  wait_for_room(progress);
  return durable(ticket);
}

void Database::wait_for_room(Progress* progress) {
  const std::size_t bound = std::max<std::size_t>(1, kFreshScanComponents / std::max<std::size_t>(1, dim_));
  if (fresh_rows() <= bound || !linker_.joinable()) return;
  std::size_t at_start = fresh_rows(), reported = 0;
  start_phase(progress, "linking", "records", at_start - bound);
  std::unique_lock<std::mutex> lk(linker_mutex_);
  for (;;) {
    std::size_t left = fresh_rows();
    if (progress && at_start > left && at_start - left > reported) {
      progress->advance(at_start - left - reported);
      reported = at_start - left;
    }
    if (left <= bound || linker_stop_ || stop_requested(progress)) return;
    linker_linked_.wait_for(lk, kWaitSlice);
  }
}

// A forked child has no linker: it reports what it holds without waiting.
bool Database::wait_indexed(std::optional<double> timeout_seconds, Progress* progress) {
  if (current_process_id() != owner_pid_ || !linker_.joinable()) return fresh_rows() == 0;
  std::size_t at_start = fresh_rows();
  start_phase(progress, "linking", "records", at_start);
  std::optional<Clock::time_point> deadline;
  if (timeout_seconds) {
    auto span = std::chrono::duration<double>(std::max(0.0, *timeout_seconds));
    deadline = Clock::now() +
               std::chrono::duration_cast<Clock::duration>(std::min(span, std::chrono::duration<double>(1e9)));
  }
  std::unique_lock<std::mutex> lk(linker_mutex_);
  std::size_t reported = 0;
  for (;;) {
    std::size_t left = fresh_rows();
    if (progress && at_start > left && at_start - left > reported) {
      progress->advance(at_start - left - reported);
      reported = at_start - left;
    }
    if (left == 0) return true;
    if (!linker_.joinable() || linker_stop_ || stop_requested(progress)) return false;
    Clock::time_point now = Clock::now();
    if (deadline && now >= *deadline) return false;
    Clock::time_point until = now + kWaitSlice;
    if (deadline) until = std::min(until, *deadline);
    linker_linked_.wait_until(lk, until);
  }
}

}  // namespace hovra
