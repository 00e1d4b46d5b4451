// Opening, creating, saving, recovering and checking a database directory.
//
// seal.hovra is the database's checksum record: the size and CRC-32 of the
// graph file and the vector files of the last save (and, while a save is
// finishing, the log prefix that save already holds). Save writes every
// file under a temporary name and forces it to stable storage, writes the
// new record as seal.tmp, then commits by renaming graph.tmp over
// graph.hovra, moves the vector files and seal.tmp into place, deletes the
// log, and finally rewrites the record without the log prefix, syncing the
// directory between the steps. The graph and vector files keep their plain
// layouts.
//
// On open, seal.tmp matching graph.hovra means a save committed but stopped
// before its last steps: a temporary vector file that matches is moved
// into place and the record takes its place. A record that covers a log
// prefix skips that prefix at replay while the log still begins with it,
// and is rewritten without it before anything is appended otherwise, so a
// later log that happens to begin with the same bytes is never skipped.
// graph.hovra must match the record (it is read whole anyway); the vector
// files are checked on demand by verify. A directory without a record
// (directory layout 1, whose saves deleted the record when they finished)
// opens unchecked. A seal.hovra of record version 1 comes from a layout-1
// save, which kept the record only until it finished: it counts only when
// it matches graph.hovra. The layouts and versions are written down in
// docs/file-formats.md.
//
// Creating a database writes its empty files at once (a save), after
// replaying any log left in the directory, so a database that was never
// saved explicitly still reopens after a crash.
//
// A read-only look (inspect_directory) loads the same way
// without the directory's lock and without repairing anything, and reads
// again when a running writer's save replaced the files meanwhile.

#include <algorithm>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "core/base/bytes.h"
#include "core/base/file_io.h"
#include "core/db/database.h"
#include "core/db/directory.h"
#include "core/storage/graph_file.h"
#include "core/storage/vector_files.h"

namespace hovra {

namespace {

constexpr std::uint32_t kSealMagic = 0x4C414553;  // "SEAL"
// Version 1 (directory layout 1): kept only while a save finished. Version
// 2 (layout 2): the permanent checksum record. Version 3: version 2 and
// the text file's size and CRC-32 (written only when the save has a text
// file, so that databases without one keep version 2).
constexpr std::uint32_t kSealVersionPending = 1;
constexpr std::uint32_t kSealVersion = 2;
constexpr std::uint32_t kSealVersionText = 3;
bool permanent_seal(std::uint32_t version) { return version == kSealVersion || version == kSealVersionText; }

struct SaveSeal {
  std::uint32_t version = kSealVersion;
  std::uint64_t graph_size = 0;
  std::uint32_t graph_crc = 0;
  std::uint64_t vectors_size = 0;
  std::uint32_t vectors_crc = 0;
  bool has_sq8 = false;
  std::uint64_t sq8_size = 0;
  std::uint32_t sq8_crc = 0;
  bool log_known = false;  // the log prefix below is already in the files
  std::uint64_t log_size = 0;
  std::uint32_t log_crc = 0;
  bool has_text = false;  // text.hovra belongs to the saved state
  std::uint64_t text_size = 0;
  std::uint32_t text_crc = 0;

  bool covers_log_prefix() const { return log_known && log_size > 0; }
  void forget_log_prefix() {
    log_known = false;
    log_size = 0;
    log_crc = 0;
  }
};

void put_u64(ByteWriter& w, std::uint64_t v) {
  w.u32(static_cast<std::uint32_t>(v));
  w.u32(static_cast<std::uint32_t>(v >> 32));
}

bool take_u64(ByteReader& r, std::uint64_t& v) {
  std::uint32_t lo, hi;
  if (!r.u32(lo) || !r.u32(hi)) return false;
  v = (static_cast<std::uint64_t>(hi) << 32) | lo;
  return true;
}

std::uint32_t crc_of(std::string_view bytes) { return crc32_bytes(0, bytes.data(), bytes.size()); }

std::string encode_seal(const SaveSeal& s) {
  std::string out;
  ByteWriter w(out);
  w.u32(kSealMagic);
  w.u32(s.has_text ? kSealVersionText : kSealVersion);
  put_u64(w, s.graph_size);
  w.u32(s.graph_crc);
  put_u64(w, s.vectors_size);
  w.u32(s.vectors_crc);
  w.u8(s.has_sq8);
  put_u64(w, s.sq8_size);
  w.u32(s.sq8_crc);
  w.u8(s.log_known);
  put_u64(w, s.log_size);
  w.u32(s.log_crc);
  if (s.has_text) {
    put_u64(w, s.text_size);
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
  if (!take_u64(r, s.graph_size) || !r.u32(s.graph_crc) || !take_u64(r, s.vectors_size) || !r.u32(s.vectors_crc) ||
      !r.u8(has_sq8) || !take_u64(r, s.sq8_size) || !r.u32(s.sq8_crc) || !r.u8(log_known) ||
      !take_u64(r, s.log_size) || !r.u32(s.log_crc))
    return std::nullopt;
  s.has_text = s.version == kSealVersionText;
  if (s.has_text && (!take_u64(r, s.text_size) || !r.u32(s.text_crc))) return std::nullopt;
  std::size_t body = r.position();
  if (!r.u32(crc) || crc != crc_of(bytes.substr(0, body))) return std::nullopt;
  s.has_sq8 = has_sq8 == 1;
  s.log_known = log_known == 1;
  return s;
}

// A record file: absent, damaged, or its contents.
struct SealFile {
  bool present = false;
  std::optional<SaveSeal> seal;
};

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
Status install_seal(const std::string& dir, const SaveSeal& seal) {
  const std::string tmp = join_path(dir, kSealTmp);
  std::uint64_t size;
  std::uint32_t crc;
  HOVRA_RETURN_IF_ERROR(write_synced(tmp, [&](FileWriter& w) { return w.write(encode_seal(seal)); }, size, crc));
  HOVRA_RETURN_IF_ERROR(rename_file(tmp, join_path(dir, kSealFile)));
  return sync_dir(dir);
}

// The checksum record that describes the directory's current files, and
// the vector files those are (a check without repair may find them still
// under their temporary names).
struct SettledFiles {
  std::optional<SaveSeal> seal;
  std::string vectors_path;
  std::string sq8_path;    // empty: no quantized file to load
  bool saved_sq8 = false;  // the saved state has a quantized file
  std::string text_path;   // empty: no text file to load
};

bool seal_matches_graph(const SaveSeal& s, std::uint64_t size, std::uint32_t crc) {
  return s.graph_size == size && s.graph_crc == crc;
}

// Settles the record against graph.hovra (size and CRC given). With
// `repair`, a save that committed but stopped early is finished (vector
// files moved into place, an unwanted quantized file removed, the record
// moved into place); without it nothing is changed. A record that does not
// match graph.hovra is CorruptData.
Result<SettledFiles> settle_files(const std::string& dir, std::string_view graph_bytes, bool repair) {
  const std::uint64_t graph_size = graph_bytes.size();
  const std::uint32_t graph_crc = crc_of(graph_bytes);
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
    return Status::success();
  };

  SealFile pending = read_seal(join_path(dir, kSealTmp));
  if (pending.seal && seal_matches_graph(*pending.seal, graph_size, graph_crc)) {
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
  bool matches = seal_matches_graph(*kept.seal, graph_size, graph_crc);
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
// (deleted nodes are walked through, as searches do).
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
  for (std::size_t s = 0; s < n; ++s) unreachable += !seen[s] && !dead[s];
  return unreachable;
}

struct LoadedFiles {
  GraphLayout layout;
  LoadedVectors vectors;
  std::optional<Sq8Quantizer> quantizer;
  // The record table, placed by slot as it is read.
  std::size_t records = 0;
  ByteTable ids;
  IdIndex id_to_slot;
  ByteTable metadata;                // packed
  std::optional<DbError> duplicate;  // the first id that two records hold
};

// Reads the record table into the tables by slot: the ids, the map from id
// to slot and the packed metadata (metadata that is not JSON loads as none).
Status load_records(std::string_view graph_bytes, std::size_t offset, LoadedFiles& files) {
  std::size_t n = files.layout.node_count();
  files.ids.grow_to(n);
  files.metadata.grow_to(n);
  files.id_to_slot.reserve(n - std::min(n, files.layout.deleted.size()));
  std::string packed, error;
  return read_record_rows(graph_bytes, offset, files.layout,
                          [&](std::uint32_t slot, std::string_view id, std::string_view text) -> Status {
                            ++files.records;
                            if (files.id_to_slot.find(id, files.ids) != IdIndex::kNone) {
                              if (!files.duplicate) files.duplicate = duplicate_record_id(id);
                              return Status::success();
                            }
                            files.ids.set(slot, id);
                            files.id_to_slot.insert(slot, files.ids);
                            if (!text.empty() && parse_json_packed(text, packed, error))
                              files.metadata.set(slot, packed);
                            return Status::success();
                          });
}

}  // namespace

// dir is absolute (see open_or_create); the opener's form is set as dir_
// afterwards, for messages.
void Database::set_paths(const std::string& dir) {
  dir_ = dir;
  root_ = dir;
  graph_path_ = join_path(dir, kGraphFile);
  vectors_path_ = join_path(dir, kVectorsFile);
  sq8_path_ = join_path(dir, kSq8File);
  wal_path_ = join_path(dir, kWalFile);
  wal_ = std::make_unique<Wal>(wal_path_);
  owner_pid_ = current_process_id();
}

bool Database::exists_at(const std::string& dir) { return survey_directory(absolute_path(dir)).holds_database(); }

// The caller has made options.path absolute and created the directory
// (create mode) or found database files in it (open mode); display is the
// path as the opener gave it. Takes the directory's lock first. Only a
// directory without database files is created anew; one whose files hold
// data but cannot make a database is refused as damaged, in both modes.
Result<std::unique_ptr<Database>> Database::open_locked(const OpenOptions& options, const std::string& display) {
  const std::string& dir = options.path;
  bool busy = false;
  Result<FileLock> lock = FileLock::acquire(join_path(dir, kLockFile), busy);
  if (!lock.ok()) return lock.error();
  if (busy) return DbError::in_use(display);
  DirectorySurvey survey = survey_directory(dir);
  Result<std::unique_ptr<Database>> db = DbError::database_not_found(display);
  if (survey.loadable()) {
    db = load_existing(dir, options.dim.has_value(), options.quantize);
  } else if (survey.has_data && !(survey.only_log && options.dim)) {
    return survey.missing();
  } else if (!options.dim) {
    return DbError::database_not_found(display);
  } else {
    db = create_new(options);
  }
  if (!db.ok()) return db.error();
  db.value()->dir_ = display;
  db.value()->dir_lock_ = std::move(lock.value());
  if (options.sync_writes) db.value()->require_sync_writes();
  // A text index asked for at opening: made when there is none, kept when
  // it is on the same field.
  if (options.text_index) {
    std::optional<TextIndexInfo> info = db.value()->text_index_info();
    if (!info) {
      HOVRA_RETURN_IF_ERROR(db.value()->create_text_index(*options.text_index, false));
    } else if (info->spec.field != options.text_index->field) {
      return DbError::invalid_argument("the database already has a text index on field '" + info->spec.field + "'");
    }
  }
  return db;
}

// An empty database, with any log already in the directory replayed onto
// it (records that do not fit the dimension are skipped), written at once.
Result<std::unique_ptr<Database>> Database::create_new(const OpenOptions& options) {
  std::unique_ptr<Database> db(new Database());
  db->set_paths(options.path);
  db->dim_ = *options.dim;
  db->index_ = std::make_unique<HnswIndex>(*options.dim, options.metric, options.m, options.ef_construction);
  db->persist_quantized_ = options.quantize;
  HOVRA_RETURN_IF_ERROR(db->recover_log(0, 0, nullptr));
  HOVRA_RETURN_IF_ERROR(db->save());
  return db;
}

Result<std::unique_ptr<Database>> Database::load_existing(const std::string& dir, bool create_mode, bool quantize,
                                                          bool read_only) {
  std::unique_ptr<Database> db(new Database());
  db->set_paths(dir);
  db->read_only_ = read_only;

  if (!path_exists(db->graph_path_)) return DbError::corrupt_data(std::string(kGraphFile) + " is missing");
  Result<std::string> graph = read_file(db->graph_path_);
  if (!graph.ok()) return graph.error();
  const std::string& graph_bytes = graph.value();
  Result<SettledFiles> settled = settle_files(dir, graph_bytes, !read_only);
  if (!settled.ok()) return settled.error();
  if (!path_exists(settled.value().vectors_path))
    return DbError::corrupt_data(std::string(kVectorsFile) + " is missing");
  std::optional<SaveSeal> seal = settled.value().seal;
  const std::string& sq8_path = settled.value().sq8_path;

  LoadedFiles files;
  {
    Result<std::shared_ptr<MappedFile>> map = MappedFile::map(settled.value().vectors_path);
    if (!map.ok()) return map.error();
    std::size_t rest = 0;
    Result<GraphLayout> layout = read_graph_layout(graph_bytes, rest);
    if (!layout.ok()) return layout.error();
    files.layout = std::move(layout.value());
    std::size_t n = files.layout.node_count();
    Result<LoadedVectors> vectors = attach_vectors(map.value(), n, files.layout.dim);
    if (!vectors.ok()) return vectors.error();
    files.vectors = std::move(vectors.value());
    if (!sq8_path.empty()) {
      Result<std::string> sq8 = read_file(sq8_path);
      if (!sq8.ok()) return sq8.error();
      Result<Sq8Quantizer> q = parse_quantized(sq8.value(), n, files.layout.dim);
      if (!q.ok()) return q.error();
      // An empty index has nothing quantized: it stays without a quantizer.
      if (n > 0) files.quantizer = std::move(q.value());
    }
    HOVRA_RETURN_IF_ERROR(load_records(graph_bytes, rest, files));
    HOVRA_RETURN_IF_ERROR(check_record_count(files.records, files.layout));
    if (files.duplicate) return *files.duplicate;
  }

  std::size_t n = files.layout.node_count();
  db->dim_ = files.layout.dim;
  db->index_ =
      HnswIndex::from_layout(std::move(files.layout), std::move(files.vectors.store), std::move(files.vectors.norms));
  if (files.quantizer) db->index_->set_quantizer(std::move(*files.quantizer));
  db->slot_ids_ = std::move(files.ids);
  db->id_to_slot_ = std::move(files.id_to_slot);
  db->slot_metadata_ = std::move(files.metadata);
  for (std::uint32_t s = 0; s < n; ++s) {
    if (db->index_->is_deleted(s)) continue;
    db->metadata_index_.add(s, db->metadata_at(s));
  }
  if (!settled.value().text_path.empty()) {
    Result<std::string> text = read_file(settled.value().text_path);
    if (!text.ok()) return text.error();
    HOVRA_RETURN_IF_ERROR(db->load_text_file(text.value()));
  }

  bool skipped = false;
  HOVRA_RETURN_IF_ERROR(db->recover_log(seal && seal->covers_log_prefix() ? seal->log_size : 0,
                                        seal ? seal->log_crc : 0, &skipped, read_only));
  // Bring the record up to date before anything is appended: drop a log
  // prefix the log no longer begins with, and turn a pending record of
  // version 1 into a checksum record. A text index defined but not (or
  // not usably) saved is built first.
  HOVRA_RETURN_IF_ERROR(db->build_text_index_now(nullptr));
  if (!read_only && seal && (!permanent_seal(seal->version) || (seal->covers_log_prefix() && !skipped))) {
    SaveSeal current = *seal;
    if (!skipped) current.forget_log_prefix();
    HOVRA_RETURN_IF_ERROR(install_seal(dir, current));
  }
  db->persist_quantized_ = settled.value().saved_sq8 || (create_mode && quantize);
  return db;
}

Status Database::recover_log(std::uint64_t saved_prefix_size, std::uint32_t saved_prefix_crc, bool* prefix_skipped,
                             bool read_only) {
  LogScan scan;
  if (prefix_skipped) *prefix_skipped = false;
  {
    MutexLock w(wal_mutex_);
    if (!path_exists(wal_path_)) {
      wal_->set_contents(0, 0);
    } else {
      Result<std::string> bytes = read_file(wal_path_);
      if (!bytes.ok()) return bytes.error();
      std::string_view log = bytes.value();
      std::size_t skip = 0;
      if (saved_prefix_size > 0 && saved_prefix_size <= log.size() &&
          crc_of(log.substr(0, saved_prefix_size)) == saved_prefix_crc)
        skip = saved_prefix_size;
      if (prefix_skipped) *prefix_skipped = skip > 0;
      scan = scan_log(log.substr(skip));
      if (scan.damaged_middle()) return damaged_log(skip + *scan.damage_at, scan.intact_after);
      std::uint64_t end = skip + scan.intact_end;
      // Later appends must follow the last intact record, not a torn one.
      if (end < log.size() && !read_only) HOVRA_RETURN_IF_ERROR(truncate_and_sync(wal_path_, end));
      wal_->set_contents(end, crc_of(log.substr(0, end)));
    }
  }
  replay(scan.records);
  return Status::success();
}

void Database::replay(const std::vector<WalRecord>& records) {
  for (const WalRecord& r : records) apply_logged(r);
}

// Applies one logged change without logging it, under the locks the
// matching operation takes (id-map write lock first).
void Database::apply_logged(const WalRecord& r) {
  WriteLock ids(id_map_lock_);
  std::uint32_t slot = slot_of(r.id);
  std::string bytes;
  std::optional<PackedValue> metadata;
  if (r.metadata) {
    pack_json(*r.metadata, bytes);
    metadata = PackedValue(bytes);
  }
  switch (r.kind) {
    case WalRecord::Kind::Insert: {
      if (r.vector.size() != dim_) return;  // cannot be applied as logged
      const SparseVector* sparse = r.has_sparse ? &r.sparse : nullptr;
      if (slot == IdIndex::kNone) apply_insert_locked(r.id, r.vector.data(), metadata, sparse);
      else replace_record_locked(slot, r.vector.data(), metadata, sparse);
      return;
    }
    case WalRecord::Kind::Delete: {
      if (slot == IdIndex::kNone) return;
      clear_slot(forget_id_locked(r.id));
      return;
    }
    case WalRecord::Kind::Update: {
      if (slot == IdIndex::kNone) return;
      if (r.has_vector && r.vector.size() == dim_) {
        WriteLock ix(index_lock_);
        index_->update_vector(slot, r.vector.data(), r.vector.size());
      }
      if (r.has_metadata) replace_metadata(slot, metadata);
      if (r.has_sparse) sparse_set(slot, &r.sparse);
      return;
    }
    case WalRecord::Kind::TextIndex: {
      ids.unlock();
      define_text_index(r.text_index);
      return;
    }
  }
}

// The record table from the tables where they lie: one row per id, in the
// id map's order. Caller holds the id-map and metadata read locks.
Status Database::write_records(FileWriter& sink) const {
  RecordTableWriter table(sink);
  HOVRA_RETURN_IF_ERROR(table.begin(id_to_slot_.size()));
  std::string text;
  Status st = Status::success();
  id_to_slot_.for_each([&](std::uint32_t slot) {
    id_map_lock_.assert_held_shared();
    metadata_lock_.assert_held_shared();
    if (!st.ok()) return;
    text.clear();
    if (std::optional<PackedValue> m = metadata_at(slot)) write_packed_json(*m, text);
    st = table.row(slot, ids_by_slot().get(slot), text);
  });
  HOVRA_RETURN_IF_ERROR(st);
  return table.finish();
}

// Takes the save mutex, then the id-map, index and metadata read locks in
// order, and the WAL mutex last (with the group-commit mutex inside it).
// Record changes take the id-map write lock before they append to the log,
// so no change is logged while a save runs and the log it deletes holds
// only changes the saved files contain.
//
// A stop asked for through progress is honoured until the commit point:
// the temporary files are removed and the saved files stay as they were.
// After the commit point the save completes.
Status Database::save(Progress* progress) {
  MutexLock one_save(save_mutex_);
  HOVRA_RETURN_IF_ERROR(check_owner());
  ReadLock ids(id_map_lock_);
  ReadLock ix(index_lock_);
  ReadLock md(metadata_lock_);
  ReadLock tx(text_lock_);

  HOVRA_RETURN_IF_ERROR(create_dirs(root_));
  const std::string vectors_tmp = join_path(root_, kVectorsTmp);
  const std::string sq8_tmp = join_path(root_, kSq8Tmp);
  const std::string graph_tmp = join_path(root_, kGraphTmp);
  const std::string seal_tmp = join_path(root_, kSealTmp);
  const std::string text_tmp = join_path(root_, kTextTmp);

  SaveSeal seal;
  // The writers run inside write_synced, where the analysis cannot see the
  // locks taken above: each says that it runs under them.
  auto write_temporaries = [&]() REQUIRES_SHARED(id_map_lock_, index_lock_, metadata_lock_, text_lock_) -> Status {
    std::uint64_t vectors_bytes = 4 * static_cast<std::uint64_t>(index_->node_count()) * (dim_ + 1);
    start_phase(progress, "writing vectors", "bytes", vectors_bytes);
    HOVRA_RETURN_IF_ERROR(write_synced(
        vectors_tmp,
        [&](FileWriter& w) {
          index_lock_.assert_held_shared();
          return write_vectors(*index_, w);
        },
        seal.vectors_size, seal.vectors_crc, progress));
    if (persist_quantized_) {
      seal.has_sq8 = true;
      start_phase(progress, "writing quantized vectors", "bytes", 0);
      HOVRA_RETURN_IF_ERROR(write_synced(
          sq8_tmp,
          [&](FileWriter& w) {
            index_lock_.assert_held_shared();
            return write_quantized(*index_, w);
          },
          seal.sq8_size, seal.sq8_crc, progress));
    }
    if (text_ || sparse_.vectors() > 0) {
      seal.has_text = true;
      start_phase(progress, "writing text index", "bytes", 0);
      HOVRA_RETURN_IF_ERROR(write_synced(
          text_tmp,
          [&](FileWriter& w) {
            text_lock_.assert_held_shared();
            return w.write(encode_text_file());
          },
          seal.text_size, seal.text_crc, progress));
    }
    {
      MutexLock w(wal_mutex_);
      seal.log_known = wal_->contents_known();
      seal.log_size = wal_->contents_size();
      seal.log_crc = wal_->contents_crc();
    }
    start_phase(progress, "writing graph", "bytes", 0);
    HOVRA_RETURN_IF_ERROR(write_synced(
        graph_tmp,
        [&](FileWriter& w) -> Status {
          id_map_lock_.assert_held_shared();
          index_lock_.assert_held_shared();
          metadata_lock_.assert_held_shared();
          HOVRA_RETURN_IF_ERROR(write_graph(*index_, w));
          return write_records(w);
        },
        seal.graph_size, seal.graph_crc, progress));
    std::uint64_t seal_size;
    std::uint32_t seal_crc;
    HOVRA_RETURN_IF_ERROR(
        write_synced(seal_tmp, [&](FileWriter& w) { return w.write(encode_seal(seal)); }, seal_size, seal_crc));
    HOVRA_RETURN_IF_ERROR(sync_dir(root_));
    if (stop_requested(progress)) return DbError::cancelled();
    return Status::success();
  };
  Status written = write_temporaries();
  if (!written.ok()) {
    if (written.error().kind() == ErrorKind::Cancelled) {
      for (const std::string* tmp : {&vectors_tmp, &sq8_tmp, &text_tmp, &graph_tmp, &seal_tmp})
        if (path_exists(*tmp)) (void)remove_file(*tmp);
    }
    return written;
  }

  HOVRA_RETURN_IF_ERROR(rename_file(graph_tmp, graph_path_));  // the commit point
  HOVRA_RETURN_IF_ERROR(rename_file(vectors_tmp, vectors_path_));
  if (persist_quantized_) {
    HOVRA_RETURN_IF_ERROR(rename_file(sq8_tmp, sq8_path_));
  } else if (path_exists(sq8_path_)) {
    (void)remove_file(sq8_path_);
  }
  if (seal.has_text) {
    HOVRA_RETURN_IF_ERROR(rename_file(text_tmp, join_path(root_, kTextFile)));
  } else if (path_exists(join_path(root_, kTextFile))) {
    (void)remove_file(join_path(root_, kTextFile));
  }
  HOVRA_RETURN_IF_ERROR(rename_file(seal_tmp, join_path(root_, kSealFile)));
  HOVRA_RETURN_IF_ERROR(sync_dir(root_));
  {
    MutexLock w(wal_mutex_);
    wal_->close_writer();
    if (path_exists(wal_path_)) HOVRA_RETURN_IF_ERROR(remove_file(wal_path_));
    wal_->set_contents(0, 0);
    // Everything logged so far is in the synced files now.
    group_commit_.mark_durable(wal_->appended());
  }
  HOVRA_RETURN_IF_ERROR(sync_dir(root_));
  if (seal.covers_log_prefix()) {
    seal.forget_log_prefix();
    HOVRA_RETURN_IF_ERROR(install_seal(root_, seal));
  }
  return Status::success();
}

Result<VerifyReport> Database::verify_directory(const std::string& dir) {
  VerifyReport report;
  HOVRA_RETURN_IF_ERROR(check_directory(dir, report));
  return report;
}

Status Database::check_directory(const std::string& dir, VerifyReport& report) {
  DirectorySurvey survey = survey_directory(dir);
  if (!survey.holds_database()) return DbError::database_not_found(dir);
  if (!survey.graph) return survey.missing();
  Result<std::string> graph = read_file(join_path(dir, kGraphFile));
  if (!graph.ok()) return graph.error();
  const std::string& graph_bytes = graph.value();
  Result<SettledFiles> settled = settle_files(dir, graph_bytes, false);
  if (!settled.ok()) return settled.error();
  const SettledFiles& files = settled.value();
  report.has_checksums = files.seal.has_value();

  auto damaged = [](const char* file, const DbError& e) {
    return DbError::corrupt_data(std::string(file) + ": " + e.detail());
  };
  std::size_t rest = 0;
  Result<GraphLayout> parsed = read_graph_layout(graph_bytes, rest);
  if (!parsed.ok()) return damaged(kGraphFile, parsed.error());
  const GraphLayout& layout = parsed.value();
  Result<std::vector<GraphRecord>> records = read_record_table(graph_bytes, rest, layout);
  if (!records.ok()) return damaged(kGraphFile, records.error());
  Status counted = check_record_count(records.value().size(), layout);
  if (!counted.ok()) return damaged(kGraphFile, counted.error());
  std::unordered_set<std::string_view> ids;
  ids.reserve(records.value().size());
  for (const GraphRecord& rec : records.value())
    if (!ids.insert(rec.id).second) return damaged(kGraphFile, duplicate_record_id(rec.id));
  report.dim = layout.dim;
  report.nodes = layout.node_count();
  report.live = records.value().size();
  report.unreachable = count_unreachable(layout);

  if (!path_exists(files.vectors_path)) return DbError::corrupt_data(std::string(kVectorsFile) + " is missing");
  Result<FileDigest> vectors = digest_file(files.vectors_path);
  if (!vectors.ok()) return damaged(kVectorsFile, vectors.error());
  if (files.seal &&
      (vectors.value().size != files.seal->vectors_size || vectors.value().crc != files.seal->vectors_crc))
    return checksum_mismatch(kVectorsFile);
  std::uint64_t expected =
      4 * static_cast<std::uint64_t>(report.nodes) * (static_cast<std::uint64_t>(layout.dim) + 1);
  if (vectors.value().size != expected)
    return DbError::corrupt_data(std::string(kVectorsFile) + " holds " + std::to_string(vectors.value().size) +
                                 " bytes, expected " + std::to_string(expected));

  bool sq8_recorded = files.seal && files.seal->has_sq8;
  if (sq8_recorded && files.sq8_path.empty()) return DbError::corrupt_data(std::string(kSq8File) + " is missing");
  if (!files.sq8_path.empty()) {
    report.quantized_file = true;
    Result<std::string> sq8 = read_file(files.sq8_path);
    if (!sq8.ok()) return damaged(kSq8File, sq8.error());
    if (sq8_recorded && (sq8.value().size() != files.seal->sq8_size || crc_of(sq8.value()) != files.seal->sq8_crc))
      return checksum_mismatch(kSq8File);
    Result<Sq8Quantizer> q = parse_quantized(sq8.value(), layout.node_count(), layout.dim);
    if (!q.ok()) return damaged(kSq8File, q.error());
  }

  bool text_recorded = files.seal && files.seal->has_text;
  if (text_recorded && files.text_path.empty()) return DbError::corrupt_data(std::string(kTextFile) + " is missing");
  if (!files.text_path.empty()) {
    report.text_file = true;
    Result<FileDigest> text = digest_file(files.text_path);
    if (!text.ok()) return damaged(kTextFile, text.error());
    if (text.value().size != files.seal->text_size || text.value().crc != files.seal->text_crc)
      return checksum_mismatch(kTextFile);
  }

  const std::string wal_path = join_path(dir, kWalFile);
  if (path_exists(wal_path)) {
    Result<std::string> log = read_file(wal_path);
    if (!log.ok()) return damaged(kWalFile, log.error());
    std::string_view bytes = log.value();
    std::size_t skip = 0;
    if (files.seal && files.seal->covers_log_prefix() && files.seal->log_size <= bytes.size() &&
        crc_of(bytes.substr(0, files.seal->log_size)) == files.seal->log_crc)
      skip = files.seal->log_size;
    LogScan scan = scan_log(bytes.substr(skip));
    if (scan.damaged_middle()) return damaged_log(skip + *scan.damage_at, scan.intact_after);
    report.log_bytes = bytes.size();
    report.log_records = scan.records.size();
    report.log_skipped = scan.skipped;
    report.log_uncommitted = scan.uncommitted;
    report.log_torn_bytes = bytes.size() - skip - scan.intact_end;
  }
  return Status::success();
}

// Takes the save mutex, so no save replaces the files while they are read.
Result<VerifyReport> Database::verify() const {
  MutexLock no_save(save_mutex_);
  return verify_directory(root_);
}

namespace {

// The files a save replaces or commits with, as they are now: a look at a
// directory that finds the same stamps before and after read one state of
// it, whatever a running writer did meanwhile. (The log only grows while a
// writer runs; a save that deletes it changes these files first.)
std::vector<FileStamp> saved_state_stamps(const std::string& dir) {
  std::vector<FileStamp> stamps;
  for (const char* name : {kGraphFile, kVectorsFile, kSq8File, kTextFile, kTextTmp, kSealFile, kSealTmp})
    stamps.push_back(file_stamp(join_path(dir, name)));
  return stamps;
}

// How often a look is repeated while saves keep replacing the files.
constexpr int kLookAttempts = 10;

}  // namespace

Result<Inspection> Database::inspect_directory(const std::string& dir, bool keep_snapshot) {
  if (!survey_directory(dir).holds_database()) return DbError::database_not_found(dir);
  Inspection out;
  for (int attempt = 0; attempt < kLookAttempts; ++attempt) {
    std::vector<FileStamp> before = saved_state_stamps(dir);
    out = Inspection();
    Status checked = check_directory(dir, out.check);
    if (!checked.ok()) out.damage = checked.error();
    Result<std::unique_ptr<Database>> loaded = load_existing(dir, false, false, true);
    if (loaded.ok()) {
      const Database& db = *loaded.value();
      ReadLock ix(db.index_lock_);
      const HnswIndex& index = *db.index_;
      out.dim = db.dim_;
      out.metric = index.metric();
      out.m = index.m();
      out.ef_construction = index.ef_construction();
      out.live = index.live_count();
      out.deleted = index.deleted().size();
      out.total_slots = index.node_count();
      out.persist_quantized = db.persist_quantized_;
      out.stats = index.stats();
      out.text_index = db.text_index_info();
      out.sparse_vectors = db.sparse_count();
      if (keep_snapshot) out.snapshot = std::shared_ptr<Database>(std::move(loaded.value()));
    } else {
      out.load_error = loaded.error();
    }
    if (saved_state_stamps(dir) == before) break;
  }
  for (const char* name : {kGraphFile, kVectorsFile, kSq8File, kTextFile, kWalFile, kSealFile, kLockFile, kGraphTmp,
                           kVectorsTmp, kSq8Tmp, kTextTmp, kSealTmp}) {
    FileStamp stamp = file_stamp(join_path(dir, name));
    if (stamp.exists) out.files.emplace_back(name, stamp.size);
  }
  return out;
}

Result<RepairReport> Database::repair_directory(const std::string& given) {
  const std::string dir = absolute_path(given);
  if (!survey_directory(dir).holds_database()) return DbError::database_not_found(given);
  bool busy = false;
  Result<FileLock> lock = FileLock::acquire(join_path(dir, kLockFile), busy);
  if (!lock.ok()) return lock.error();
  if (busy) return DbError::in_use(given);
  RepairReport report;
  const std::string wal_path = join_path(dir, kWalFile);
  if (!path_exists(wal_path)) return report;
  Result<std::string> log = read_file(wal_path);
  if (!log.ok()) return log.error();
  if (!scan_log(log.value()).damaged_middle()) return report;
  RepairedLog kept = repair_log(log.value());
  report.log_damaged = true;
  report.kept_records = kept.kept_records;
  report.damaged_spans = kept.damaged_spans;
  report.damaged_bytes = kept.damaged_bytes;
  report.dropped_batch_records = kept.dropped_batch_records;
  report.uncommitted = kept.uncommitted;
  const std::string tmp = join_path(dir, "wal.tmp");
  std::uint64_t size;
  std::uint32_t crc;
  HOVRA_RETURN_IF_ERROR(write_synced(tmp, [&](FileWriter& w) { return w.write(kept.bytes); }, size, crc));
  HOVRA_RETURN_IF_ERROR(rename_file(tmp, wal_path));
  HOVRA_RETURN_IF_ERROR(sync_dir(dir));
  return report;
}

}  // namespace hovra
