// The write-ahead log's bytes: WalRecord, the payload encoding and its
// mirror decoding, the frame with its CRC-32, batch markers, prepared
// batches and their resolutions (two-phase commit) and the log header. The
// appending writer (single records and all-or-nothing batches) is declared
// in wal_writer.h; what reads a log (the header's check, the scanner and
// repair) in wal_scan.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  // kUpdateSparseKind), so logs without sparse vectors keep the kinds (1 to
  // 5) that builds knowing only directory layout 2 read.
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
// A record's frame, checked but not decoded: its kind code and its payload
// where it lies.
struct LoggedFrame {
  std::uint8_t kind = 0;
  std::string_view payload;
};

// The fields of a plain insert's payload (kind code 1) where they lie: the
// id, the vector's floats (little-endian, perhaps unaligned) and the
// metadata's JSON text (empty: none). False where decode_payload fails on
// the id or the vector; the text is not read here (a caller that applies the
// record reads it, and drops the record where it does not read, as
// decode_payload would).
struct InsertFields {
  std::string_view id;
  std::uint32_t dim = 0;
  const unsigned char* vector = nullptr;
  std::string_view metadata;
};
inline constexpr std::uint8_t kInsertKind = 1;
bool insert_fields(std::string_view payload, InsertFields& out);
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
// one cut short. Logs of directory layouts 1 to 3 have no header: they
// begin with a frame, whose kind byte is never the magic's first byte.
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

}  // namespace hovra
