// The write-ahead log: WalRecord, the payload encoding and its mirror
// decoding, the frame with its CRC-32, the appending writer and the reader.
// Also the strict UTF-8 check that both the log and the graph file apply to
// stored ids.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"
#include "core/base/file_io.h"
#include "core/records/json.h"

namespace hovra {

struct WalRecord {
  enum class Kind : std::uint8_t { Insert = 1, Delete = 2, Update = 3 };
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

  static WalRecord insert(std::string id, std::vector<float> vector, std::optional<JsonValue> metadata);
  static WalRecord remove(std::string id);
  // vector/metadata nullptr = absent; metadata present = replace.
  static WalRecord update(std::string id, const std::vector<float>* vector, const JsonValue* metadata);
};

// Payload bytes of a record (without the frame).
std::string encode_payload(const WalRecord& record);
// Decodes a payload of the given kind code; false when it does not decode or
// the kind is unknown.
bool decode_payload(std::uint8_t kind, std::string_view payload, WalRecord& out);
// The complete frame: kind, length, payload, CRC-32 of kind and payload.
std::string encode_frame(const WalRecord& record);

// The log file of one database directory. Not thread-safe: callers hold the
// database's WAL mutex.
class Wal {
 public:
  explicit Wal(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  // Appends one record and flushes it to the operating system, opening the
  // file (append mode, created when missing) on first use.
  Status append(const WalRecord& record);
  // Flushes and closes the writer, ignoring errors; the writer becomes absent.
  void close_writer();
  bool writer_open() const { return writer_.is_open(); }

  // The size and CRC-32 of the whole log file as this object knows it:
  // set from the file when it is read, advanced by every append. Unknown
  // after a failed append (the file may hold part of a record) or when the
  // file's earlier contents were never read.
  void set_contents(std::uint64_t size, std::uint32_t crc) {
    size_ = size;
    crc_ = crc;
    known_ = true;
  }
  void forget_contents() { known_ = false; }
  bool contents_known() const { return known_; }
  std::uint64_t contents_size() const { return size_; }
  std::uint32_t contents_crc() const { return crc_; }

 private:
  std::string path_;
  FileWriter writer_;
  std::uint64_t size_ = 0;
  std::uint32_t crc_ = 0;
  bool known_ = true;  // no file yet: empty
};

// Reads the log at path: records in order, stopping quietly at a torn tail
// or a checksum mismatch, skipping records that do not decode. A missing
// file is an empty log. Io only when the file cannot be opened or read.
Result<std::vector<WalRecord>> read_log(const std::string& path);
// The same over bytes already in memory (the parsing core of read_log).
std::vector<WalRecord> parse_log(std::string_view bytes);

// The standard strict UTF-8 validation (overlong forms, surrogates and code
// points above U+10FFFF are invalid): empty when valid, else the error text
// "invalid utf-8 sequence of N bytes from index I" or, when the input ends
// inside an otherwise valid sequence, "incomplete utf-8 byte sequence from
// index I".
std::string utf8_error(std::string_view bytes);

}  // namespace hovra
