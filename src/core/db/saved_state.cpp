// The checksum record and the checks of a saved directory (see
// saved_state.h).
//
// seal.hovra is the database's checksum record: the size and CRC-32 of the
// graph file and the vector files of the last save, and (record version 4)
// the checkpoint generation of that save. Save writes every file under a
// temporary name and forces it to stable storage, writes the new record as
// seal.tmp, then commits by renaming graph.tmp over graph.hovra, moves the
// vector files and seal.tmp into place, and finally puts a new log of the
// next generation (written as wal.tmp) over wal.hovra, syncing the
// directory between the steps. The save collects its data at one point of
// the log, whose size and CRC-32 the record (version 5) keeps: what was
// logged after it follows that prefix in the old log until the new log,
// which begins with it, is in place. The graph and vector files keep their plain
// layouts. Nothing is ever rewritten in place: a process that reads the
// directory (a reader, or a look) keeps the files it opened, and tells a
// new log from the old one by the generation in its header (log_part).
// Records of versions 2 and 3 (generation 0, layouts 2 and 3) may cover a
// log prefix: the log as it stood when that save collected its data.
//
// seal.tmp matching graph.hovra means a save committed but stopped before
// its last steps: a temporary vector file that matches is moved into place
// and the record takes its place (settle_files). A directory without a
// record (directory layout 1, whose saves deleted the record when they
// finished) opens unchecked, unless its graph file says it was saved with
// one. A seal.hovra of record version 1 comes from a layout-1 save, which
// kept the record only until it finished: it counts only when it matches
// graph.hovra. The layouts and versions are written down in
// docs/file-formats.md.
#include "core/db/saved_state.h"

#include <algorithm>
#include <span>
#include <vector>

#include "core/base/bytes.h"
#include "core/db/directory.h"
#include "core/storage/wal.h"
#include "core/storage/wal_scan.h"

namespace hovra {

namespace {

// The fields every record version starts with: size and CRC-32 of the
// graph file, of vectors.bin and of vectors.sq8 (after its presence flag).
void put_saved_files(ByteWriter& w, const SaveSeal& s) {
  w.u64(s.graph_size);
  w.u32(s.graph_crc);
  w.u64(s.vectors_size);
  w.u32(s.vectors_crc);
  w.u8(s.has_sq8);
  w.u64(s.sq8_size);
  w.u32(s.sq8_crc);
}

bool take_saved_files(ByteReader& r, SaveSeal& s, std::uint8_t& has_sq8) {
  return r.u64(s.graph_size) && r.u32(s.graph_crc) && r.u64(s.vectors_size) && r.u32(s.vectors_crc) &&
         r.u8(has_sq8) && r.u64(s.sq8_size) && r.u32(s.sq8_crc);
}

}  // namespace

std::uint32_t crc_of(std::string_view bytes) { return crc32_bytes(0, bytes.data(), bytes.size()); }

// Version 4 for a record with a generation (5 when it names a prefix of
// the previous generation's log); records of versions before 4 keep their
// version when open rewrites them.
std::string encode_seal(const SaveSeal& s) {
  std::string out;
  ByteWriter w(out);
  w.u32(kSealMagic);
  if (s.generation > 0) {
    w.u32(s.log_known ? kSealVersionLogPrefix : kSealVersionGeneration);
    put_saved_files(w, s);
    w.u8(s.has_text);
    w.u64(s.text_size);
    w.u32(s.text_crc);
    w.u64(s.generation);
    if (s.log_known) {
      w.u64(s.log_size);
      w.u32(s.log_crc);
    }
    w.u32(crc_of(out));
    return out;
  }
  w.u32(s.has_text ? kSealVersionText : kSealVersion);
  put_saved_files(w, s);
  w.u8(s.log_known);
  w.u64(s.log_size);
  w.u32(s.log_crc);
  if (s.has_text) {
    w.u64(s.text_size);
    w.u32(s.text_crc);
  }
  w.u32(crc_of(out));
  return out;
}

// The record's contents, if intact.
std::optional<SaveSeal> parse_seal(std::string_view bytes) {
  ByteReader r(bytes);
  SaveSeal s;
  std::uint32_t magic, crc;
  std::uint8_t has_sq8, log_known;
  if (!r.u32(magic) || magic != kSealMagic || !r.u32(s.version) ||
      (!permanent_seal(s.version) && s.version != kSealVersionPending))
    return std::nullopt;
  if (s.version == kSealVersionGeneration || s.version == kSealVersionLogPrefix) {
    std::uint8_t has_text;
    if (!take_saved_files(r, s, has_sq8) || !r.u8(has_text) || !r.u64(s.text_size) || !r.u32(s.text_crc) ||
        !r.u64(s.generation))
      return std::nullopt;
    s.log_known = s.version == kSealVersionLogPrefix;
    if (s.log_known && (!r.u64(s.log_size) || !r.u32(s.log_crc))) return std::nullopt;
    std::size_t body = r.position();
    if (!r.u32(crc) || crc != crc_of(bytes.substr(0, body)) || s.generation == 0) return std::nullopt;
    s.has_sq8 = has_sq8 == 1;
    s.has_text = has_text == 1;
    return s;
  }
  if (!take_saved_files(r, s, has_sq8) || !r.u8(log_known) || !r.u64(s.log_size) || !r.u32(s.log_crc))
    return std::nullopt;
  s.has_text = s.version == kSealVersionText;
  if (s.has_text && (!r.u64(s.text_size) || !r.u32(s.text_crc))) return std::nullopt;
  std::size_t body = r.position();
  if (!r.u32(crc) || crc != crc_of(bytes.substr(0, body))) return std::nullopt;
  s.has_sq8 = has_sq8 == 1;
  s.log_known = log_known == 1;
  return s;
}

SealFile read_seal(const std::string& path) {
  SealFile f;
  if (!path_exists(path)) return f;
  f.present = true;
  Result<std::string> bytes = read_file(path);
  if (bytes.ok()) f.seal = parse_seal(bytes.value());
  return f;
}

bool digest_matches(const std::string& path, std::uint64_t size, std::uint32_t crc) {
  if (!path_exists(path)) return false;
  Result<FileDigest> d = digest_file(path);
  return d.ok() && d.value().size == size && d.value().crc == crc;
}

// Damage in the middle of the log: intact records follow it, so it is no
// torn tail, and cutting the log there would lose acknowledged changes.
DbError damaged_log(std::uint64_t offset, std::uint64_t intact_after) {
  return DbError::corrupt_data(std::string(kWalFile) + " is damaged at offset " + std::to_string(offset) + ", and " +
                               std::to_string(intact_after) +
                               (intact_after == 1 ? " intact record follows" : " intact records follow") +
                               " it; nothing was changed (hovra repair keeps what can be kept)");
}

DbError checksum_mismatch(const char* file) {
  return DbError::corrupt_data(std::string(file) + " does not match its checksum in seal.hovra");
}

// Replaces seal.hovra with the record given, through seal.tmp.
Status install_seal(const std::string& dir, const SaveSeal& seal) {
  const std::string tmp = join_path(dir, kSealTmp);
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  HOVRA_RETURN_IF_ERROR(write_synced(tmp, [&](FileWriter& w) { return w.write(encode_seal(seal)); }, size, crc));
  HOVRA_RETURN_IF_ERROR(rename_file(tmp, join_path(dir, kSealFile)));
  return sync_dir(dir);
}

// Puts a new, empty log of the generation over wal.hovra, through wal.tmp:
// the log file is never cut back in place under a process that reads it.
Status install_log(const std::string& dir, std::uint64_t generation, std::string_view frames) {
  const std::string tmp = join_path(dir, kWalTmp);
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  HOVRA_RETURN_IF_ERROR(write_synced(
      tmp,
      [&](FileWriter& w) -> Status {
        HOVRA_RETURN_IF_ERROR(w.write(encode_log_header(generation)));
        return w.write(frames);
      },
      size, crc));
  HOVRA_RETURN_IF_ERROR(rename_file(tmp, join_path(dir, kWalFile)));
  return sync_dir(dir);
}

LogPrefix saved_log_prefix(const SaveSeal* seal) {
  LogPrefix p;
  if (!seal) return p;
  p.known = seal->generation > 0 ? seal->log_known : seal->covers_log_prefix();
  if (p.known) {
    p.size = seal->log_size;
    p.crc = seal->log_crc;
  }
  return p;
}

namespace {
bool begins_with(std::string_view log, const LogPrefix& prefix) {
  return prefix.known && prefix.size <= log.size() && crc_of(log.substr(0, prefix.size)) == prefix.crc;
}
}  // namespace

Result<LogPart> log_part(std::string_view log, std::uint64_t generation, const LogPrefix& prefix) {
  LogPart part;
  LogHeader header = read_log_header(log);
  // A whole header that does not read may stand before records: refused
  // rather than taken for an empty log (a header cut short holds none).
  if (header.state == LogHeader::State::Unreadable && log.size() >= kLogHeaderSize)
    return DbError::corrupt_data("wal.hovra: the log's header is damaged");
  if (header.state == LogHeader::State::Unreadable) return part;
  part.generation = header.generation;
  part.frames_at = header.frames_at();
  if (header.generation > generation && generation > 0)
    return DbError::corrupt_data("wal.hovra belongs to checkpoint " + std::to_string(header.generation) +
                                 ", later than seal.hovra's " + std::to_string(generation));
  if (generation == 0) {
    // Records of versions before 4: a log without a header, after the prefix
    // the record covers.
    if (header.state == LogHeader::State::Valid) return part;
    part.current = true;
    if (prefix.size > 0 && begins_with(log, prefix)) part.frames_at = prefix.size;
    return part;
  }
  if (header.state == LogHeader::State::Valid && header.generation == generation) {
    part.current = true;
    return part;
  }
  // The log of the generation before (a header-less one before the first),
  // which the save's prefix begins: what follows it is newer than the files.
  if (header.generation + 1 == generation && begins_with(log, prefix)) {
    part.current = true;
    part.after_prefix = true;
    part.frames_at = std::max<std::size_t>(part.frames_at, prefix.size);
  }
  return part;
}

std::vector<PreparedLog> carried_batches(std::string_view log, const LogPart& part) {
  if (!part.after_prefix) return {};
  const std::size_t begin = read_log_header(log).frames_at();
  return pending_batches(log.substr(begin, part.frames_at - begin));
}

bool seal_matches_graph(const SaveSeal& s, std::string_view graph_bytes) {
  if (s.graph_size == graph_bytes.size()) return s.graph_crc == crc_of(graph_bytes);
  const bool takes_deltas = (read_graph_flags(graph_bytes).value_or(0) & kGraphDeltas) != 0;
  return takes_deltas && s.graph_size < graph_bytes.size() &&
         s.graph_crc == crc_of(graph_bytes.substr(0, s.graph_size));
}

// Settles the record against graph.hovra (size and CRC given). With
// `repair`, a save that committed but stopped early is finished (vector
// files moved into place, an unwanted quantized file removed, the record
// moved into place); without it nothing is changed. A record that does not
// match graph.hovra is CorruptData.
Result<SettledFiles> settle_files(const std::string& dir, std::string_view graph_bytes, bool repair) {
  // A graph file saved with a checksum record names its absence as damage.
  const bool sealed = (read_graph_flags(graph_bytes).value_or(0) & kGraphSealed) != 0;
  auto unsealed = [&](SettledFiles out) -> Result<SettledFiles> {
    if (sealed)
      return DbError::corrupt_data(std::string(kSealFile) + " is missing (" + kGraphFile + " was saved with one)");
    return out;
  };
  const std::string vectors = join_path(dir, kVectorsFile), vectors_tmp = join_path(dir, kVectorsTmp);
  const std::string sq8 = join_path(dir, kSq8File), sq8_tmp = join_path(dir, kSq8Tmp);
  const std::string text = join_path(dir, kTextFile), text_tmp = join_path(dir, kTextTmp);
  SettledFiles out;
  out.graph_size = graph_bytes.size();
  out.vectors_path = vectors;
  out.sq8_path = path_exists(sq8) ? sq8 : "";
  out.saved_sq8 = !out.sq8_path.empty();

  // A committed save's record, found under the temporary name or (layout 1)
  // as a pending seal.hovra of version 1: finish its moves.
  auto finish = [&](const SaveSeal& seal) -> Status {
    if (digest_matches(vectors_tmp, seal.vectors_size, seal.vectors_crc)) {
      if (repair) HOVRA_RETURN_IF_ERROR(rename_file(vectors_tmp, vectors));
      else out.vectors_path = vectors_tmp;
    }
    out.sq8_path.clear();
    if (seal.has_sq8) {
      if (digest_matches(sq8_tmp, seal.sq8_size, seal.sq8_crc)) {
        if (repair) HOVRA_RETURN_IF_ERROR(rename_file(sq8_tmp, sq8));
        out.sq8_path = repair ? sq8 : sq8_tmp;
      } else if (path_exists(sq8)) {
        out.sq8_path = sq8;
      }
    } else if (repair && path_exists(sq8)) {
      (void)remove_file(sq8);
    }
    out.text_path.clear();
    if (seal.has_text) {
      if (digest_matches(text_tmp, seal.text_size, seal.text_crc)) {
        if (repair) HOVRA_RETURN_IF_ERROR(rename_file(text_tmp, text));
        out.text_path = repair ? text : text_tmp;
      } else if (path_exists(text)) {
        out.text_path = text;
      }
    } else if (repair && path_exists(text)) {
      (void)remove_file(text);
    }
    out.saved_sq8 = seal.has_sq8;
    out.seal = seal;
    out.graph_size = seal.graph_size;
    return Status::success();
  };

  SealFile pending = read_seal(join_path(dir, kSealTmp));
  if (pending.seal && seal_matches_graph(*pending.seal, graph_bytes)) {
    HOVRA_RETURN_IF_ERROR(finish(*pending.seal));
    if (repair) {
      HOVRA_RETURN_IF_ERROR(rename_file(join_path(dir, kSealTmp), join_path(dir, kSealFile)));
      HOVRA_RETURN_IF_ERROR(sync_dir(dir));
    }
    return out;
  }
  SealFile kept = read_seal(join_path(dir, kSealFile));
  if (!kept.present) return unsealed(out);
  if (!kept.seal) return DbError::corrupt_data("seal.hovra is damaged");
  bool matches = seal_matches_graph(*kept.seal, graph_bytes);
  if (kept.seal->version == kSealVersionPending) {
    if (matches) HOVRA_RETURN_IF_ERROR(finish(*kept.seal));
    if (repair) HOVRA_RETURN_IF_ERROR(sync_dir(dir));
    if (!matches) return unsealed(out);
    return out;  // a pending record that never committed is no checksum record
  }
  if (!matches) return checksum_mismatch(kGraphFile);
  out.saved_sq8 = out.saved_sq8 || kept.seal->has_sq8;
  if (kept.seal->has_text) out.text_path = text;
  out.seal = kept.seal;
  out.graph_size = kept.seal->graph_size;
  return out;
}

// The records of the table by slot, each id once, one per live slot (the
// graph reader has placed every record on its own live slot). Io otherwise.
Status check_record_count(std::size_t records, const GraphLayout& layout) {
  std::size_t live = layout.node_count() - layout.deleted.size();
  if (records != live)
    return DbError::damaged_file("graph file has " + std::to_string(records) + " records for " +
                                 std::to_string(live) + " live slots");
  return Status::success();
}

DbError duplicate_record_id(std::string_view id) {
  return DbError::damaged_file("graph file has two records with id '" + std::string(id) + "'");
}

// Live nodes that no walk from the entry point over layer 0 reaches
// (deleted nodes are walked through, as searches do). In a file saved with
// unlinked rows, those (live nodes other than the entry point with an empty
// layer-0 list) are not counted: an open makes them fresh again, searched
// exactly until they are linked.
std::uint64_t count_unreachable(const GraphLayout& layout) {
  std::size_t n = layout.node_count();
  if (n == 0) return 0;
  std::vector<std::uint8_t> seen(n, 0);
  mark_reachable(layout.entry_point, seen, [&](std::uint32_t slot) {
    auto [first, count] = layout.list(slot, 0);
    return std::span<const std::uint32_t>(first, count);
  });
  std::vector<std::uint8_t> dead(n, 0);
  for (std::uint32_t s : layout.deleted) dead[s] = 1;
  std::uint64_t unreachable = 0;
  for (std::size_t s = 0; s < n; ++s) {
    bool waits = layout.has_unlinked && s != layout.entry_point && layout.list(s, 0).second == 0;
    unreachable += !seen[s] && !dead[s] && !waits;
  }
  return unreachable;
}

}  // namespace hovra
