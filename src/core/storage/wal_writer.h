// The appending writer of the write-ahead log (wal_writer.cpp): Wal, the log
// file of one database directory, and WalBatch, the records of one batch
// written all or nothing. The records and frames it writes are in wal.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/base/error.h"
#include "core/base/file_io.h"
#include "core/storage/wal.h"

namespace hovra {

// The log file of one database directory. Not thread-safe: callers hold the
// database's WAL mutex.
//
// A write that fails part-way cuts the file back to where it was, so the
// next record never lands after a torn one; when even that fails the log
// is broken and refuses every later append (the database must be reopened,
// which repairs the file).
class Wal {
 public:
  explicit Wal(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  // The checkpoint generation of the log: when above 0, a writer that
  // finds the file empty (or missing) writes the log's header first.
  void set_generation(std::uint64_t generation) { generation_ = generation; }
  std::uint64_t generation() const { return generation_; }
  // Appends one record and flushes it to the operating system, opening the
  // file (append mode, created when missing) on first use.
  Status append(const WalRecord& record);
  // The same for a frame of any kind (a resolution).
  Status append_frame(const std::string& frame);
  // Flushes and closes the writer, ignoring errors; the writer becomes absent.
  void close_writer();
  bool writer_open() const { return writer_.is_open(); }

  // The size and CRC-32 of the whole log file: set when open has read and
  // repaired the file (or found none), advanced by every append. Unknown
  // once the log is broken.
  void set_contents(std::uint64_t size, std::uint32_t crc) {
    size_ = size;
    crc_ = crc;
  }
  bool contents_known() const { return !broken_; }
  std::uint64_t contents_size() const { return size_; }
  std::uint32_t contents_crc() const { return crc_; }

  // Grows with every byte appended over this object's life and never goes
  // back (not when save deletes the file, nor when a batch is cut back):
  // the ticket a writer waits on until its record is synced.
  std::uint64_t appended() const { return appended_; }
  // A handle on the open log file for syncing it without this object's
  // mutex; null when no writer is open.
  std::shared_ptr<FileHandle> sync_handle() const { return sync_handle_; }
  // When set, opening the writer also syncs the log's directory, so that
  // the file itself survives a power loss once a record in it is synced.
  void sync_directory_on_create(std::string dir) { sync_dir_ = std::move(dir); }
  // Refuses every later append with this error.
  void mark_broken(const DbError& why);
  bool broken() const { return broken_; }

 private:
  friend class WalBatch;
  Status open_writer();
  Status write_frame(const std::string& frame);
  // Cuts the file back to (size, crc) after a failed or abandoned write.
  void cut_back(std::uint64_t size, std::uint32_t crc);

  std::string path_;
  FileWriter writer_;
  std::shared_ptr<FileHandle> sync_handle_;
  std::string sync_dir_;
  std::uint64_t size_ = 0;
  std::uint32_t crc_ = 0;
  std::uint64_t appended_ = 0;
  std::uint64_t generation_ = 0;
  bool broken_ = false;
  std::optional<DbError> broken_error_;
};

// The records of one batch: a begin marker, the records through the write
// buffer, and a commit marker with the flush. Until commit() succeeds
// nothing of the batch replays; a batch that is destroyed without a
// successful commit (a failed write, or a caller that gives up between its
// records and the commit) cuts the log back to where the batch began.
// Callers hold the WAL mutex for the batch's whole life.
//
// With a transaction id the batch is prepared instead: a prepare marker
// begins it and commit() only flushes it (no commit marker); it replays once
// a resolution that commits the transaction follows.
class WalBatch {
 public:
  WalBatch(Wal& wal, std::uint32_t count, const std::string* prepare_transaction = nullptr);
  ~WalBatch();
  WalBatch(const WalBatch&) = delete;
  WalBatch& operator=(const WalBatch&) = delete;
  // The begin marker's outcome; add() and commit() fail after a failure.
  Status begin();
  Status add(const WalRecord& record);
  // A frame of encode_frame or encode_insert_frame.
  Status add_frame(const std::string& frame) { return write(frame); }
  Status commit();

 private:
  Status write(const std::string& frame);
  Wal& wal_;
  std::uint32_t count_;
  const std::string* prepare_transaction_;
  std::uint64_t start_size_;
  std::uint32_t start_crc_;
  bool begun_ = false;
  bool failed_ = false;
  bool committed_ = false;
};

}  // namespace hovra
