// Reader: a database opened for reading beside a writer in another process
// (or beside other readers), without the directory's lock. It loads the
// last checkpoint and the log's committed records, then follows the writer:
// each refresh reads the log bytes appended since the last look and hands
// their whole records (a batch all or nothing) to the engine's replay, and
// a new checkpoint (a log of a later generation) is loaded afresh while
// searches still running finish on the engine they began on. Nothing in
// the directory is ever written. The log is also mapped as it grows, and
// the vectors of the records applied are read where they lie in that map
// (the system's file cache holds them once for every process) instead of
// being copied into the reader's memory. In a process that already has the
// directory open for writing, the reader uses that engine, which is always
// current.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/base/error.h"
#include "core/base/file_io.h"
#include "core/base/mapped_file.h"
#include "core/base/thread_annotations.h"
#include "core/storage/wal_scan.h"
#include "core/vectors/vector_rows.h"

namespace hovra {

class Database;

class Reader {
 public:
  ~Reader();
  // path as the opener gave it (messages name it). refresh_interval: the
  // longest time, in seconds, that engine() serves without looking at the
  // log again (0: look before every use). exact_threshold: the exact-scan
  // threshold of every engine the reader loads (none: the default); a
  // reader that shares this process's writer uses the writer's.
  // binary_search: every engine the reader loads walks on one-bit codes,
  // made at each load (they are not saved); one that shares this process's
  // writer searches as the writer does.
  static Result<std::shared_ptr<Reader>> open(const std::string& path, double refresh_interval,
                                              std::optional<std::size_t> exact_threshold = std::nullopt,
                                              bool binary_search = false);

  // The codes a search walks on: as the checkpoint loads them (SQ8 codes
  // saved by a writer created with quantization), none, SQ8 codes trained
  // at the load, or one-bit codes made at the load.
  enum class Codes { AsLoaded, Off, Sq8, Binary };
  // Walks on `codes` from now on: the engine now, and every engine a later
  // checkpoint loads. A reader that shares this process's writer changes
  // the writer's engine, which it reads.
  void use_codes(Codes codes);

  // The engine to read from now, after a look at the log when the interval
  // has passed. A look that fails, or that another thread is taking, leaves
  // the engine as it was (refresh() reports failures), with one exception:
  // a log damaged in its middle (intact records after a damaged one, which
  // no crash of the writer leaves) stops the reader from following, and
  // every use reports that CorruptData until a look finds a log it can
  // follow again (the writer's next checkpoint puts a new one in place).
  // The records before the damage are applied.
  Result<std::shared_ptr<Database>> engine();
  // Looks at the log now; CorruptData or Io when the directory no longer
  // loads (the engine stays as it was).
  Status refresh();
  // Whether the engine is this process's writer's.
  bool shares_writer() const { return shares_writer_; }
  double refresh_interval() const { return interval_seconds_; }
  // How many times the reader has loaded a new checkpoint.
  std::uint64_t reloads() const { return reloads_.load(std::memory_order_relaxed); }

 private:
  Reader() = default;
  std::shared_ptr<Database> current() const;
  Status look() REQUIRES(refresh_mutex_);
  Status reload() REQUIRES(refresh_mutex_);
  // The log file `id` mapped up to `end` bytes (the map of the last look
  // when it is the same file, grown); nullptr when it cannot be.
  std::shared_ptr<MappedFile> map_log(const FileId& id, std::uint64_t end) REQUIRES(refresh_mutex_);
  // Points the frames that lie in `bytes` (the log from `offset` on, read
  // by the look) at the same bytes in the log's map, and says where those
  // lie; false (nothing changed) when the log cannot be mapped.
  bool frames_in_map(LogFrames& scan, const FilePiece& piece, std::uint64_t offset, LastingBytes& lasting)
      REQUIRES(refresh_mutex_);
  static void apply_codes(Database& db, Codes codes);
  bool due() const;
  // Around fork(): every live reader's locks are taken before (waiting for
  // a look in progress to finish, ahead of the engines' own fork handlers,
  // which a look's replay waits for) and let go after, in parent and
  // child, so that a child finds them free and the reader's state whole.
  void track_for_fork();
  static void before_fork() NO_THREAD_SAFETY_ANALYSIS;
  static void after_fork() NO_THREAD_SAFETY_ANALYSIS;
  // The damage the reader is stuck at, if any (see engine()).
  void set_stuck(std::optional<DbError> damage);
  Status stuck();

  std::string root_;     // the directory made absolute
  std::string display_;  // as the opener gave it
  double interval_seconds_ = 0;
  std::int64_t interval_ns_ = 0;
  bool shares_writer_ = false;
  std::optional<std::size_t> exact_threshold_;
  Codes codes_ GUARDED_BY(refresh_mutex_) = Codes::AsLoaded;
  // Lock order: refresh_mutex_, then state_mutex_; the engine's own locks
  // are taken holding refresh_mutex_ only (replay), never state_mutex_.
  Mutex refresh_mutex_;  // one look at a time
  mutable Mutex state_mutex_ ACQUIRED_AFTER(refresh_mutex_);
  std::shared_ptr<Database> engine_ GUARDED_BY(state_mutex_);
  // Set while the followed log is damaged in its middle (see engine()).
  std::optional<DbError> stuck_ GUARDED_BY(state_mutex_);
  // For a log without a header (layouts 1 to 3): graph.hovra as
  // it was at the load, whose replacement means a checkpoint.
  FileStamp graph_stamp_ GUARDED_BY(refresh_mutex_);
  // The log followed, mapped as far as its records were applied.
  std::shared_ptr<MappedFile> log_map_ GUARDED_BY(refresh_mutex_);
  std::atomic<std::int64_t> last_look_ns_{0};
  // When a look last gave freed memory back to the system.
  std::int64_t last_trim_ns_ GUARDED_BY(refresh_mutex_) = 0;
  std::atomic<std::uint64_t> reloads_{0};
};

}  // namespace hovra
