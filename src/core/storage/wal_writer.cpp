// The appending writer of the write-ahead log: opening the file (with the
// log's header for a checkpoint generation), single frames flushed to the
// operating system, all-or-nothing batches and prepared batches, and
// cutting the file back after a failed write. The bytes it appends are
// encoded by wal.cpp.
#include "core/storage/wal_writer.h"

#include <utility>

#include "core/base/bytes.h"

namespace hovra {

Status Wal::open_writer() {
  if (writer_.is_open()) return Status::success();
  HOVRA_RETURN_IF_ERROR(writer_.open(path_, FileWriter::Mode::Append));
  // A log of a checkpoint generation begins with its header.
  if (size_ == 0 && generation_ > 0) {
    Status st = write_frame(encode_log_header(generation_));
    if (st.ok()) st = writer_.flush();
    if (!st.ok()) {
      cut_back(0, 0);
      (void)writer_.close();
      return st;
    }
  }
  Result<std::shared_ptr<FileHandle>> handle = writer_.share_handle();
  if (!handle.ok()) {
    (void)writer_.close();
    return handle.error();
  }
  sync_handle_ = std::move(handle.value());
  // The log file's name must be durable before any record in it is (the
  // file may be new, or left unsynced by an earlier run without syncing).
  if (!sync_dir_.empty()) {
    Status st = sync_dir(sync_dir_);
    if (!st.ok()) {
      close_writer();
      return st;
    }
  }
  return Status::success();
}

Status Wal::write_frame(const std::string& frame) {
  HOVRA_RETURN_IF_ERROR(writer_.write(frame));
  size_ += frame.size();
  crc_ = crc32_bytes(crc_, frame.data(), frame.size());
  return Status::success();
}

void Wal::cut_back(std::uint64_t size, std::uint32_t crc) {
  Status st = writer_.is_open() ? writer_.truncate(size) : Status::success();
  size_ = size;
  crc_ = crc;
  if (!st.ok())
    mark_broken(DbError::io("the log could not be cut back after a failed write (" + st.error().detail() +
                            "); reopen the database"));
}

void Wal::mark_broken(const DbError& why) {
  if (broken_) return;
  broken_ = true;
  broken_error_ = why;
}

Status Wal::append(const WalRecord& record) { return append_frame(encode_frame(record)); }

Status Wal::append_frame(const std::string& frame) {
  if (broken_) return *broken_error_;
  HOVRA_RETURN_IF_ERROR(open_writer());
  std::uint64_t size = size_;
  std::uint32_t crc = crc_;
  Status st = write_frame(frame);
  if (st.ok()) st = writer_.flush();
  if (!st.ok()) {
    cut_back(size, crc);
    return st;
  }
  appended_ += frame.size();
  return Status::success();
}

void Wal::close_writer() {
  (void)writer_.close();
  sync_handle_.reset();
}

WalBatch::WalBatch(Wal& wal, std::uint32_t count, const std::string* prepare_transaction)
    : wal_(wal),
      count_(count),
      prepare_transaction_(prepare_transaction),
      start_size_(wal.size_),
      start_crc_(wal.crc_) {}

WalBatch::~WalBatch() {
  if (begun_ && !committed_) wal_.cut_back(start_size_, start_crc_);
}

Status WalBatch::write(const std::string& frame) {
  if (failed_ || committed_) return DbError::io("log batch already ended");
  Status st = wal_.write_frame(frame);
  if (!st.ok()) failed_ = true;
  return st;
}

Status WalBatch::begin() {
  if (wal_.broken_) {
    failed_ = true;
    return *wal_.broken_error_;
  }
  Status st = wal_.open_writer();
  if (!st.ok()) {
    failed_ = true;
    return st;
  }
  begun_ = true;
  if (prepare_transaction_) return write(encode_prepare_marker(*prepare_transaction_, count_));
  return write(encode_marker(kBatchBeginKind, count_));
}

Status WalBatch::add(const WalRecord& record) { return write(encode_frame(record)); }

Status WalBatch::commit() {
  if (!prepare_transaction_) HOVRA_RETURN_IF_ERROR(write(encode_marker(kBatchCommitKind, count_)));
  if (failed_ || committed_) return DbError::io("log batch already ended");
  Status st = wal_.writer_.flush();
  if (!st.ok()) {
    failed_ = true;
    return st;
  }
  committed_ = true;
  wal_.appended_ += wal_.size_ - start_size_;
  return Status::success();
}

}  // namespace hovra
