// The checksum record (seal.hovra) and the checks of a saved directory's
// files against it, shared by opening, saving, verifying and repairing a
// database: encoding and reading the record, writing a file forced to
// stable storage, settling a save that committed but stopped early, and
// the graph file's record-count and reachability checks. The record's
// layout and versions are written down in docs/file-formats.md.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"
#include "core/base/file_io.h"
#include "core/base/progress.h"
#include "core/storage/graph_file.h"
#include "core/storage/wal.h"

namespace hovra {

inline constexpr std::uint32_t kSealMagic = 0x4C414553;  // "SEAL"
// Version 1 (directory layout 1): kept only while a save finished. Version
// 2 (layout 2): the permanent checksum record. Version 3: version 2 and
// the text file's size and CRC-32 (written only when the save has a text
// file, so that databases without one keep version 2). Version 4: the
// checkpoint generation, the text file always described, no log prefix
// (every save starts a new log). Version 5: version 4 and the prefix of
// the previous generation's log that the files hold (a save collects its
// data under the locks and writes on while changes are logged, which
// belong to the new generation: until the new log is in place, they follow
// that prefix in the old one).
inline constexpr std::uint32_t kSealVersionPending = 1;
inline constexpr std::uint32_t kSealVersion = 2;
inline constexpr std::uint32_t kSealVersionText = 3;
inline constexpr std::uint32_t kSealVersionGeneration = 4;
inline constexpr std::uint32_t kSealVersionLogPrefix = 5;
inline bool permanent_seal(std::uint32_t version) {
  return version == kSealVersion || version == kSealVersionText || version == kSealVersionGeneration ||
         version == kSealVersionLogPrefix;
}

struct SaveSeal {
  std::uint32_t version = kSealVersion;
  std::uint64_t graph_size = 0;
  std::uint32_t graph_crc = 0;
  std::uint64_t vectors_size = 0;
  std::uint32_t vectors_crc = 0;
  bool has_sq8 = false;
  std::uint64_t sq8_size = 0;
  std::uint32_t sq8_crc = 0;
  // The log prefix below is already in the files: of a log without a
  // header (versions 2 and 3), or of the previous generation's log
  // (version 5).
  bool log_known = false;
  std::uint64_t log_size = 0;
  std::uint32_t log_crc = 0;
  bool has_text = false;  // text.hovra belongs to the saved state
  std::uint64_t text_size = 0;
  std::uint32_t text_crc = 0;
  // The checkpoint generation (version 4; 0 for earlier records): the log
  // of this generation continues the saved files.
  std::uint64_t generation = 0;

  bool covers_log_prefix() const { return log_known && log_size > 0; }
  void forget_log_prefix() {
    log_known = false;
    log_size = 0;
    log_crc = 0;
  }
};

std::uint32_t crc_of(std::string_view bytes);
// Version 4 for a record with a generation (5 when it names a prefix of
// the previous generation's log); records of versions before 4 keep their
// version when open rewrites them.
std::string encode_seal(const SaveSeal& s);
// The record's contents, if intact.
std::optional<SaveSeal> parse_seal(std::string_view bytes);

// A record file: absent, damaged, or its contents.
struct SealFile {
  bool present = false;
  std::optional<SaveSeal> seal;
};

SealFile read_seal(const std::string& path);
bool digest_matches(const std::string& path, std::uint64_t size, std::uint32_t crc);

// Damage in the middle of the log: intact records follow it, so it is no
// torn tail, and cutting the log there would lose acknowledged changes.
DbError damaged_log(std::uint64_t offset, std::uint64_t intact_after);
DbError checksum_mismatch(const char* file);

// Writes one file under its final name through a checksumming writer and
// forces it to stable storage; reports its size and CRC-32. With progress,
// the bytes are counted there and a stop it asks for fails the write with
// Cancelled.
template <class WriteFn>
Status write_synced(const std::string& path, WriteFn&& write, std::uint64_t& size, std::uint32_t& crc,
                    Progress* progress = nullptr) {
  FileWriter w;
  HOVRA_RETURN_IF_ERROR(w.open(path, FileWriter::Mode::Truncate));
  w.track_checksum();
  w.watch(progress);
  HOVRA_RETURN_IF_ERROR(write(w));
  HOVRA_RETURN_IF_ERROR(w.flush());
  HOVRA_RETURN_IF_ERROR(w.sync());
  size = w.written();
  crc = w.checksum();
  return w.close();
}

// Replaces seal.hovra with the record given, through seal.tmp.
Status install_seal(const std::string& dir, const SaveSeal& seal);
// Puts a new log of the generation over wal.hovra, through wal.tmp: the
// log file is never cut back in place under a process that reads it. The
// log holds its header and `frames` (the prepared batches it carries on).
Status install_log(const std::string& dir, std::uint64_t generation, std::string_view frames = {});

// Which part of the log bytes continues the saved files of a record of
// generation `generation`: the frames after the header of a log of that
// generation; the frames after the prefix the record covers of a log of
// the generation before (a save that committed before its new log was in
// place: what was logged while it wrote follows that prefix); or
// (generation 0: records of versions before 4, or none) of a log without a
// header, after the prefix the record covers. A log of an older generation
// (or of the one before without that prefix) is what the files hold
// already. A log of a later generation than the record cannot come from a
// save: CorruptData.
struct LogPart {
  bool current = false;          // the bytes continue the saved files
  std::size_t frames_at = 0;     // where its frames begin
  std::uint64_t generation = 0;  // the log's own generation (0: no header)
  // The frames begin after a prefix of the previous generation's log,
  // whose unresolved prepared batches (carried_batches) the files lack.
  bool after_prefix = false;
};
// The log prefix a record says its files hold (see SaveSeal::log_known).
struct LogPrefix {
  bool known = false;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
};
LogPrefix saved_log_prefix(const SaveSeal* seal);
Result<LogPart> log_part(std::string_view log, std::uint64_t generation, const LogPrefix& prefix);
// The prepared batches that the part's frames go on from: those the
// prefix before them left unresolved (a log of the previous generation
// whose prefix the files hold), else none.
std::vector<PreparedLog> carried_batches(std::string_view log, const LogPart& part);

// The checksum record that describes the directory's current files, and
// the vector files those are (a check without repair may find them still
// under their temporary names).
struct SettledFiles {
  std::optional<SaveSeal> seal;
  std::string vectors_path;
  std::string sq8_path;    // empty: no quantized file to load
  bool saved_sq8 = false;  // the saved state has a quantized file
  std::string text_path;   // empty: no text file to load
  // The bytes of graph.hovra that belong to the saved state (the record's
  // size when it has one; a delta past them never committed).
  std::uint64_t graph_size = 0;
};

// Whether the record describes graph.hovra: the whole file, or (a file
// that takes deltas, kGraphDeltas) its first graph_size bytes, the rest
// being a delta that never committed.
bool seal_matches_graph(const SaveSeal& s, std::string_view graph_bytes);

// Settles the record against graph.hovra (its bytes given). With
// `repair`, a save that committed but stopped early is finished (vector
// files moved into place, an unwanted quantized file removed, the record
// moved into place); without it nothing is changed. A record that does not
// match graph.hovra is CorruptData.
Result<SettledFiles> settle_files(const std::string& dir, std::string_view graph_bytes, bool repair);

// The records of the table by slot, each id once, one per live slot (the
// graph reader has placed every record on its own live slot). Io otherwise.
Status check_record_count(std::size_t records, const GraphLayout& layout);
DbError duplicate_record_id(std::string_view id);
// Live nodes that no walk from the entry point over layer 0 reaches
// (deleted nodes are walked through, as searches do).
std::uint64_t count_unreachable(const GraphLayout& layout);

}  // namespace hovra
