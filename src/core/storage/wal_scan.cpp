// The write-ahead log wal.hovra, its reading side: the log header's check
// (magic, version, checkpoint generation), the tolerant frame scanner that replays
// records, whole batches and resolved prepared batches and tells a torn tail
// from damage followed by intact frames, and repair, which keeps what can be
// kept. The writing side is in wal.cpp.
#include "core/storage/wal_scan.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/base/bytes.h"
#include "core/base/file_io.h"
#include "core/storage/wal_frame.h"

namespace hovra {

LogHeader read_log_header(std::string_view bytes) {
  LogHeader h;
  std::string magic;
  ByteWriter(magic).u32(kLogMagic);
  std::size_t common = std::min(bytes.size(), magic.size());
  if (common == 0 || bytes.substr(0, common) != std::string_view(magic).substr(0, common)) return h;
  h.state = LogHeader::State::Unreadable;
  ByteReader r(bytes);
  std::uint32_t m, version, crc;
  std::uint64_t generation;
  if (!r.u32(m) || !r.u32(version) || !r.u64(generation) || !r.u32(crc)) return h;
  if (version != kLogVersion || crc != crc32_bytes(0, bytes.data(), kLogHeaderSize - 4)) return h;
  h.state = LogHeader::State::Valid;
  h.generation = generation;
  return h;
}

namespace {

// One frame at the reader's position: its kind and payload when whole and
// its checksum matches; the reader is then past it.
bool intact_frame(ByteReader& r, std::uint8_t& kind, std::string_view& payload) {
  std::uint32_t length, checksum;
  if (!r.u8(kind) || !r.u32(length) || !r.bytes(length, payload) || !r.u32(checksum)) return false;
  return checksum == frame_checksum(kind, payload);
}

bool known_frame_kind(std::uint8_t kind) {
  WalRecord::Kind record_kind;
  bool has_sparse;
  return kind_of_code(kind, record_kind, has_sparse) || kind == kBatchBeginKind || kind == kBatchCommitKind ||
         kind == kPrepareKind || kind == kResolveKind;
}

// The first offset after `from` where an intact frame of a known kind
// starts; nullopt when none does. A damaged frame's length cannot be
// trusted, so every offset is tried; the CRC-32 makes a false match
// vanishingly rare.
std::optional<std::size_t> next_intact_frame(std::string_view bytes, std::size_t from) {
  for (std::size_t at = from + 1; at + 9 <= bytes.size(); ++at) {
    if (!known_frame_kind(static_cast<std::uint8_t>(bytes[at]))) continue;
    ByteReader r(bytes.substr(at));
    std::uint8_t kind;
    std::string_view payload;
    if (intact_frame(r, kind, payload)) return at;
  }
  return std::nullopt;
}

// Intact frames from `from` to the end, resynchronising after damage.
std::uint64_t count_intact_frames(std::string_view bytes, std::size_t from) {
  std::uint64_t count = 0;
  std::optional<std::size_t> at = next_intact_frame(bytes, from);
  while (at && *at < bytes.size()) {
    ByteReader r(bytes.substr(*at));
    std::uint8_t kind;
    std::string_view payload;
    if (intact_frame(r, kind, payload)) {
      ++count;
      *at += r.position();
    } else {
      at = next_intact_frame(bytes, *at);
    }
  }
  return count;
}

// The state of a scan: the open batch or prepared batch, and the prepared
// batches waiting for their resolution. A batch's frames are kept as they
// lie; a prepared batch's records are decoded, as they are held until their
// resolution (perhaps beyond these bytes).
class LogScanner {
 public:
  LogScanner(LogFrames& scan, std::vector<PreparedLog> pending) : scan_(scan) { scan_.prepared = std::move(pending); }

  // An intact record frame, ending at `end`.
  void record(const LoggedFrame& frame, std::uint64_t end) {
    if (preparing_) {
      ++frames_;
      WalRecord r;
      if (decode_payload(frame.kind, frame.payload, r)) prepared_records_.push_back(std::move(r));
      else ++scan_.skipped;
      if (frames_ == promised_) finish_prepared(end);
      return;
    }
    if (in_batch_) {
      ++frames_;
      open_.push_back(frame);
      return;
    }
    scan_.frames.push_back(frame);
    scan_.intact_end = end;
  }
  // remaining: the log's bytes after the marker. The frames are reserved
  // for at once, within what those bytes can hold (a record's frame takes
  // at least 13: kind, length, checksum and an id's length) and a cap, so
  // that a damaged count reserves little.
  void begin_batch(bool counted, std::uint32_t count, std::size_t remaining) {
    abandon();
    in_batch_ = counted;
    promised_ = count;
    if (!counted) ++scan_.skipped;
    else open_.reserve(std::min<std::size_t>({count, remaining / 13, std::size_t{1} << 16}));
  }
  void commit_batch(bool counted, std::uint32_t count, std::uint64_t end) {
    if (in_batch_ && counted && count == promised_ && frames_ == promised_) {
      emit(open_);
      scan_.intact_end = end;
      open_.clear();
      frames_ = 0;
      in_batch_ = false;
      return;
    }
    abandon();
    ++scan_.skipped;
  }
  void prepare(std::string transaction, std::uint32_t count, std::uint64_t end) {
    abandon();
    preparing_ = true;
    transaction_ = std::move(transaction);
    promised_ = count;
    if (count == 0) finish_prepared(end);
  }
  void resolve(const std::string& transaction, bool commit, std::uint64_t end) {
    abandon();
    for (auto it = scan_.prepared.begin(); it != scan_.prepared.end(); ++it) {
      if (it->transaction != transaction) continue;
      if (commit) emit_decoded(it->records);
      else scan_.aborted += it->records.size();
      scan_.prepared.erase(it);
      break;
    }
    scan_.intact_end = end;
  }
  // A marker that does not decode: skipped like a record that does not,
  // and it ends an open batch.
  void bad_marker(std::uint64_t end) {
    bool open = in_batch_ || preparing_;
    abandon();
    ++scan_.skipped;
    if (!open) scan_.intact_end = end;
  }
  // An open batch or prepared batch that never ended.
  void abandon() {
    scan_.uncommitted += frames_;
    open_.clear();
    prepared_records_.clear();
    frames_ = 0;
    in_batch_ = preparing_ = false;
  }

 private:
  void finish_prepared(std::uint64_t end) {
    scan_.prepared.push_back(PreparedLog{std::move(transaction_), std::move(prepared_records_)});
    prepared_records_.clear();
    frames_ = 0;
    preparing_ = false;
    scan_.intact_end = end;
  }
  void emit(std::vector<LoggedFrame>& frames) {
    if (scan_.frames.empty()) {
      scan_.frames.swap(frames);
      return;
    }
    scan_.frames.insert(scan_.frames.end(), frames.begin(), frames.end());
  }
  // Records held decoded (a prepared batch's) go on as frames of their
  // own encoding.
  void emit_decoded(const std::vector<WalRecord>& records) {
    for (const WalRecord& r : records) {
      scan_.encoded.push_back(encode_payload(r));
      scan_.frames.push_back(LoggedFrame{frame_kind(r), scan_.encoded.back()});
    }
  }

  LogFrames& scan_;
  bool in_batch_ = false;
  bool preparing_ = false;
  std::string transaction_;
  std::uint32_t promised_ = 0;
  std::uint64_t frames_ = 0;  // frames of the open batch so far
  std::vector<LoggedFrame> open_;
  std::vector<WalRecord> prepared_records_;
};

}  // namespace

LogFrames scan_log_frames(std::string_view bytes, std::vector<PreparedLog> pending) {
  LogFrames scan;
  LogScanner scanner(scan, std::move(pending));
  ByteReader r(bytes);
  while (r.remaining() > 0) {
    std::uint8_t kind;
    std::uint32_t length, checksum;
    std::string_view payload;
    std::size_t start = r.position();
    if (!r.u8(kind) || !r.u32(length) || !r.bytes(length, payload) || !r.u32(checksum) ||
        checksum != frame_checksum(kind, payload)) {
      scan.damage_at = start;
      scan.intact_after = count_intact_frames(bytes, start);
      break;
    }
    if (kind == kBatchBeginKind || kind == kBatchCommitKind) {
      std::uint32_t count = 0;
      bool counted = ByteReader(payload).u32(count);
      if (kind == kBatchBeginKind) scanner.begin_batch(counted, count, r.remaining());
      else scanner.commit_batch(counted, count, r.position());
      continue;
    }
    if (kind == kPrepareKind || kind == kResolveKind) {
      std::string transaction;
      std::uint32_t value = 0;
      if (!decode_transaction_frame(kind, payload, transaction, value)) scanner.bad_marker(r.position());
      else if (kind == kPrepareKind) scanner.prepare(std::move(transaction), value, r.position());
      else scanner.resolve(transaction, value == 1, r.position());
      continue;
    }
    scanner.record(LoggedFrame{kind, payload}, r.position());
  }
  scanner.abandon();
  return scan;
}

LogScan scan_log(std::string_view bytes, std::vector<PreparedLog> pending) {
  LogFrames frames = scan_log_frames(bytes, std::move(pending));
  LogScan scan;
  static_cast<LogScanSummary&>(scan) = std::move(static_cast<LogScanSummary&>(frames));
  scan.records.reserve(frames.frames.size());
  for (const LoggedFrame& f : frames.frames) {
    WalRecord record;
    if (decode_payload(f.kind, f.payload, record)) scan.records.push_back(std::move(record));
    else ++scan.skipped;
  }
  return scan;
}

std::vector<WalRecord> parse_log(std::string_view bytes) { return scan_log(bytes).records; }

std::vector<PreparedLog> pending_batches(std::string_view bytes) { return scan_log(bytes).prepared; }

RepairedLog repair_log(std::string_view bytes) {
  RepairedLog out;
  // The open batch or prepared batch: its frames so far (begin or prepare
  // marker included), whether it lost a frame, and the count its marker
  // promised. A prepared batch ends with its last record; its resolution
  // is a frame of its own, kept like a record outside batches.
  std::string batch;
  bool in_batch = false, preparing = false, batch_broken = false;
  std::uint32_t promised = 0;
  std::uint64_t batch_records = 0;
  auto drop_batch = [&](bool damaged) {
    (damaged ? out.dropped_batch_records : out.uncommitted) += batch_records;
    batch.clear();
    batch_records = 0;
    in_batch = preparing = batch_broken = false;
  };
  auto keep_batch = [&] {
    out.bytes += batch;
    out.kept_records += batch_records;
    batch.clear();
    batch_records = 0;
    in_batch = preparing = false;
  };
  std::size_t at = 0;
  while (at < bytes.size()) {
    ByteReader r(bytes.substr(at));
    std::uint8_t kind;
    std::string_view payload;
    if (!intact_frame(r, kind, payload)) {
      std::optional<std::size_t> next = next_intact_frame(bytes, at);
      std::size_t end = next ? *next : bytes.size();
      ++out.damaged_spans;
      out.damaged_bytes += end - at;
      if (in_batch) batch_broken = true;
      at = end;
      continue;
    }
    std::string_view frame = bytes.substr(at, r.position());
    at += r.position();
    if (kind == kBatchBeginKind || kind == kPrepareKind) {
      if (in_batch) drop_batch(batch_broken);
      std::uint32_t count = 0;
      std::string transaction;
      in_batch = kind == kBatchBeginKind ? ByteReader(payload).u32(count)
                                         : decode_transaction_frame(kind, payload, transaction, count);
      preparing = in_batch && kind == kPrepareKind;
      promised = count;
      if (in_batch) batch.assign(frame);
      else if (kind == kPrepareKind) out.bytes += frame;  // skipped by replay as it is
      if (preparing && promised == 0) keep_batch();
      continue;
    }
    if (kind == kBatchCommitKind) {
      std::uint32_t count = 0;
      bool whole = in_batch && !preparing && !batch_broken && ByteReader(payload).u32(count) && count == promised &&
                   batch_records == promised;
      if (whole) {
        batch += frame;
        keep_batch();
      } else if (in_batch) {
        drop_batch(true);
      }
      continue;
    }
    if (kind == kResolveKind) {
      if (in_batch) drop_batch(true);
      out.bytes += frame;
      continue;
    }
    // A batch holds the count its marker promised: a record past it follows
    // a commit marker that was lost.
    if (in_batch && batch_records == promised) drop_batch(true);
    if (in_batch) {
      batch += frame;
      ++batch_records;
      if (preparing && batch_records == promised) {
        if (batch_broken) drop_batch(true);
        else keep_batch();
      }
    } else {
      out.bytes += frame;
      ++out.kept_records;
    }
  }
  if (in_batch) drop_batch(batch_broken);
  return out;
}

Result<std::vector<WalRecord>> read_log(const std::string& path) {
  if (!path_exists(path)) return std::vector<WalRecord>{};
  Result<std::string> bytes = read_file(path);
  if (!bytes.ok()) return bytes.error();
  std::string_view log = bytes.value();
  return parse_log(log.substr(read_log_header(log).frames_at()));
}

LastingBytes frames_in_map(LogFrames& scan, std::string_view bytes, std::uint64_t offset,
                           std::shared_ptr<MappedFile> map) {
  const std::uint64_t taken = std::min<std::uint64_t>(scan.intact_end, bytes.size());
  const auto first = reinterpret_cast<std::uintptr_t>(bytes.data());
  const char* mapped = reinterpret_cast<const char*>(map->data()) + offset;
  for (LoggedFrame& f : scan.frames) {
    const auto at = reinterpret_cast<std::uintptr_t>(f.payload.data());
    if (at < first || at - first > taken || f.payload.size() > taken - (at - first)) continue;
    f.payload = std::string_view(mapped + (at - first), f.payload.size());
  }
  LastingBytes lasting;
  lasting.begin = map->data() + offset;
  lasting.end = map->data() + offset + taken;
  lasting.keep = std::move(map);
  return lasting;
}

}  // namespace hovra
