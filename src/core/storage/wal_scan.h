// Reading the write-ahead log (wal_scan.cpp): the header's check, the
// tolerant scanner that replays records, committed batches and resolved
// prepared batches, repair of a log damaged in its middle, and reading a
// log file whole, and how far a reader has read a log (LogPosition). The
// records and the writer are in wal.h.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"
#include "core/base/file_io.h"
#include "core/base/mapped_file.h"
#include "core/storage/wal.h"
#include "core/vectors/vector_rows.h"

namespace hovra {

// The header at the start of a log (see kLogMagic).
struct LogHeader {
  // None: no header (a log of layouts 1 to 3, or an empty file); Valid:
  // the header below; Unreadable: the file begins like a header that is
  // cut off, damaged or of an unknown version.
  enum class State { None, Valid, Unreadable } state = State::None;
  std::uint64_t generation = 0;
  // Where the frames begin.
  std::size_t frames_at() const { return state == State::Valid ? kLogHeaderSize : 0; }
};
LogHeader read_log_header(std::string_view bytes);

// How far a read-only load has read the log: the log's checkpoint
// generation (0: a log without a header), the end of the last whole
// record or committed batch taken, and the log file's identity once it
// was read (a log that does not exist yet has none).
struct LogPosition {
  std::uint64_t generation = 0;
  std::uint64_t offset = 0;
  bool id_known = false;
  FileId id;
};

// What reading log bytes found, apart from the records themselves.
struct LogScanSummary {
  // The end of the last intact record outside a batch or of the last commit
  // marker: everything after it is a torn tail, damage, or a batch that
  // never committed.
  std::uint64_t intact_end = 0;
  std::uint64_t skipped = 0;      // intact frames that did not decode
  std::uint64_t uncommitted = 0;  // records of batches that never committed
  // Prepared batches without a resolution, in log order (complete ones:
  // their intact end counts), and the records of aborted ones.
  std::vector<PreparedLog> prepared;
  std::uint64_t aborted = 0;
  // Where reading stopped at a torn or damaged frame (nullopt: the log
  // ended cleanly), and how many intact frames lie after that point. None
  // after it: a torn tail (what a crash leaves). Some: damage in the middle
  // of the log, which no crash leaves; the log must not be cut there.
  std::optional<std::uint64_t> damage_at;
  std::uint64_t intact_after = 0;
  bool damaged_middle() const { return damage_at.has_value() && intact_after > 0; }
};

// The records to replay, in log order (those outside batches and those of
// committed batches), decoded.
struct LogScan : LogScanSummary {
  std::vector<WalRecord> records;
};

// The records to replay, in log order, as frames: what an open decodes as
// it applies them, so that a run of inserts goes into the tables straight
// from the log's bytes. The payloads lie in the scanned bytes, which must
// outlive this, or in `encoded` (the records of prepared batches committed
// in the scanned bytes, encoded again). `skipped` counts only the records
// of prepared batches here: the others are decoded by the caller.
struct LogFrames : LogScanSummary {
  std::vector<LoggedFrame> frames;
  std::deque<std::string> encoded;
};

// Reads frames front to back, stopping at a torn frame or a checksum
// mismatch; frames that do not decode (unknown kind, bad payload) are
// skipped. After a stop it looks on for intact frames (see LogScan).
// `pending`: prepared batches that earlier bytes of the same log left
// without a resolution (a reader going on from where it stopped), which a
// resolution in `bytes` commits or aborts.
LogScan scan_log(std::string_view bytes, std::vector<PreparedLog> pending = {});
// The same reading with the records left as frames.
LogFrames scan_log_frames(std::string_view bytes, std::vector<PreparedLog> pending = {});
// Points the frames of `scan` that lie in `bytes` (the log's bytes from
// `offset` on, as read) at the same bytes in `map`, a map of that very file
// holding at least offset + scan.intact_end bytes, and gives where those
// lie: what a reader took from a log, which no writer rewrites or cuts back,
// read there for as long as the map lives. Frames encoded again (prepared
// batches) stay where they are.
// Address space set aside for a reader's map of a log (only what the log
// holds is mapped); the rows of a log past it are copied, as before.
inline constexpr std::size_t kLogMapReserve = std::size_t(16) << 30;
LastingBytes frames_in_map(LogFrames& scan, std::string_view bytes, std::uint64_t offset,
                           std::shared_ptr<MappedFile> map);
// The prepared batches that `bytes` (a log's frames) leaves unresolved.
std::vector<PreparedLog> pending_batches(std::string_view bytes);

// What repair_log kept of a log with damage in its middle.
struct RepairedLog {
  std::string bytes;                // the intact frames kept, in order
  std::uint64_t kept_records = 0;   // records that replay from `bytes`
  std::uint64_t damaged_spans = 0;  // stretches of bytes that are no intact frame
  std::uint64_t damaged_bytes = 0;
  // Records of batches that lost a frame to damage: dropped whole, so that
  // a batch stays all or nothing.
  std::uint64_t dropped_batch_records = 0;
  std::uint64_t uncommitted = 0;  // records of a batch never committed
};
// Keeps every intact frame of the log, resynchronising after each damaged
// stretch at the next intact frame, except the frames of a batch or a
// prepared batch that lost one of its own (marker, records or commit
// marker).
RepairedLog repair_log(std::string_view bytes);
// The records of scan_log.
std::vector<WalRecord> parse_log(std::string_view bytes);

// Reads the log at path: the records of scan_log after its header. A
// missing file is an empty log. Io only when the file cannot be opened or read.
Result<std::vector<WalRecord>> read_log(const std::string& path);

}  // namespace hovra
