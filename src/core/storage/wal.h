// The write-ahead log: WalRecord, the payload encoding and its mirror
// decoding, the frame with its CRC-32, batch markers, prepared batches and
// their resolutions (two-phase commit), the log header, and the appending
// writer (single records and all-or-nothing batches). What reads a log (the
// header's check, the scanner and repair) is declared in wal_scan.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"
#include "core/base/file_io.h"
#include "core/records/json.h"
#include "core/records/packed_json.h"
#include "core/text/sparse_index.h"

namespace hovra {

// The definition of a text index as the log and the text file hold it.
struct TextIndexSpec {
  std::string field;
  std::string language = "english";
  bool stemmer = true;
  bool stopwords = true;
  double k1 = 1.2;
  double b = 0.75;
  friend bool operator==(const TextIndexSpec&, const TextIndexSpec&) = default;
};

struct WalRecord {
  // TextIndex: a text index defined (text_index set) or dropped (unset).
  enum class Kind : std::uint8_t { Insert = 1, Delete = 2, Update = 3, TextIndex = 8 };
  Kind kind = Kind::Insert;
  std::string id;
  // Insert: the vector (has_vector is always true). Update: present when
  // has_vector. Delete: empty.
  std::vector<float> vector;
  bool has_vector = false;
  // Insert: the metadata (nullopt = none; has_metadata is always true).
  // Update: meaningful when has_metadata; nullopt then means "remove the
  // metadata". Delete: none.
  std::optional<JsonValue> metadata;
  bool has_metadata = false;
  // Insert: the record's sparse vector when has_sparse (else none). Update:
  // meaningful when has_sparse; an empty vector then removes it. A record
  // with has_sparse is framed under its own kind code (kInsertSparseKind,
  // kUpdateSparseKind), so logs without sparse vectors keep the codes that
  // earlier builds read.
  SparseVector sparse;
  bool has_sparse = false;
  std::optional<TextIndexSpec> text_index;

  static WalRecord insert(std::string id, std::vector<float> vector, std::optional<JsonValue> metadata);
  static WalRecord remove(std::string id);
  // vector/metadata nullptr = absent; metadata present = replace.
  static WalRecord update(std::string id, const std::vector<float>* vector, const JsonValue* metadata);
};

inline constexpr std::uint8_t kInsertSparseKind = 6;
inline constexpr std::uint8_t kUpdateSparseKind = 7;
// The frame kind code of a record.
std::uint8_t frame_kind(const WalRecord& record);

// Payload bytes of a record (without the frame).
std::string encode_payload(const WalRecord& record);
// Decodes a payload of the given kind code; false when it does not decode or
// the kind is unknown.
bool decode_payload(std::uint8_t kind, std::string_view payload, WalRecord& out);
// The complete frame: kind, length, payload, CRC-32 of kind and payload.
std::string encode_frame(const WalRecord& record);
// The frame of an insert record built from its parts where they lie: the
// same bytes as encode_frame of WalRecord::insert with the metadata
// unpacked. The frame is written into `frame` (its storage is reused).
// With a sparse vector (non-null), the frame of the insert with it.
void encode_insert_frame(std::string_view id, const float* vector, std::size_t len,
                         std::optional<PackedValue> metadata, std::string& frame,
                         const SparseVector* sparse = nullptr);

// Frame kinds that bracket a batch (payload: the number of records in the
// batch). The records between a begin marker and its commit marker replay
// only when the commit marker is there; records outside markers replay on
// their own.
inline constexpr std::uint8_t kBatchBeginKind = 4;
inline constexpr std::uint8_t kBatchCommitKind = 5;
std::string encode_marker(std::uint8_t kind, std::uint32_t count);

// The header of a log that belongs to a checkpoint generation: the magic
// "HWAL", a version, the generation (the checkpoint whose files the log
// continues) and a CRC-32 of the 16 bytes before it. Every checkpoint
// starts a new log file (a new inode, renamed into place) under the next
// generation, so a process that follows the log can tell a new log from
// one cut short. Logs of earlier builds have no header: they begin with a
// frame, whose kind byte is never the magic's first byte.
inline constexpr std::uint32_t kLogMagic = 0x4C415748;  // "HWAL"
inline constexpr std::uint32_t kLogVersion = 1;
inline constexpr std::size_t kLogHeaderSize = 20;
std::string encode_log_header(std::uint64_t generation);

// Frame kinds of a prepared batch (the first phase of a two-phase commit
// across databases): a prepare marker (string transaction id, u32 count)
// followed at once by exactly that many records, which replay only after a
// later resolution (string transaction id, u8 1 = commit, 0 = abort) of the
// same transaction commits them, at the resolution's place in the log.
inline constexpr std::uint8_t kPrepareKind = 9;
inline constexpr std::uint8_t kResolveKind = 10;
std::string encode_prepare_marker(std::string_view transaction, std::uint32_t count);
std::string encode_resolution(std::string_view transaction, bool commit);

// A prepared batch that the log holds without a resolution.
struct PreparedLog {
  std::string transaction;
  std::vector<WalRecord> records;
};

// The frames of prepared batches as they were logged (prepare marker, then
// the records): what a new log begins with to carry them.
std::string encode_prepared(const std::vector<PreparedLog>& batches);

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
