// Checking a database directory (verify), the read-only look at one
// (inspect_directory) and the repair of a log damaged in its middle.
//
// A read-only look loads the way opening does, without the directory's
// lock and without repairing anything, and reads again when a running
// writer's save replaced the files meanwhile.
#include <unordered_set>

#include "core/base/file_io.h"
#include "core/db/database.h"
#include "core/db/directory.h"
#include "core/db/saved_state.h"
#include "core/storage/graph_file.h"
#include "core/storage/vector_files.h"
#include "core/storage/wal_scan.h"

namespace hovra {

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
  Result<SettledFiles> settled = settle_files(dir, graph.value(), false);
  if (!settled.ok()) return settled.error();
  const SettledFiles& files = settled.value();
  // A delta past the record's size never committed: it is not read.
  const std::string_view graph_bytes = std::string_view(graph.value()).substr(0, files.graph_size);
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
  // A file that holds rows only may be longer than its rows (an append
  // that never committed): its rows are checked, and what follows them is
  // not read.
  const std::uint64_t rows_bytes = 4 * static_cast<std::uint64_t>(report.nodes) * layout.dim;
  Result<FileDigest> vectors =
      layout.rows_apart ? digest_file(files.vectors_path, rows_bytes) : digest_file(files.vectors_path);
  if (!vectors.ok()) return damaged(kVectorsFile, vectors.error());
  if (files.seal &&
      (vectors.value().size != files.seal->vectors_size || vectors.value().crc != files.seal->vectors_crc))
    return checksum_mismatch(kVectorsFile);
  std::uint64_t expected = layout.rows_apart ? rows_bytes : rows_bytes + 4 * static_cast<std::uint64_t>(report.nodes);
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
    const SaveSeal* seal = files.seal ? &*files.seal : nullptr;
    Result<LogPart> part = log_part(bytes, seal ? seal->generation : 0, saved_log_prefix(seal));
    if (!part.ok()) return part.error();
    std::size_t skip = part.value().current ? part.value().frames_at : bytes.size();
    LogScan scan = scan_log(bytes.substr(skip), carried_batches(bytes, part.value()));
    if (scan.damaged_middle()) return damaged_log(skip + *scan.damage_at, scan.intact_after);
    report.log_bytes = bytes.size();
    report.log_records = scan.records.size();
    report.log_skipped = scan.skipped;
    report.log_uncommitted = scan.uncommitted;
    report.log_torn_bytes = bytes.size() - skip - scan.intact_end;
    // A log of an earlier checkpoint still holds the prepared batches the
    // next writer carries into the new log.
    std::vector<PreparedLog> pending;
    if (part.value().current) pending = std::move(scan.prepared);
    else if (part.value().generation > 0) pending = pending_batches(bytes.substr(part.value().frames_at));
    report.log_prepared = pending.size();
    for (const PreparedLog& batch : pending) report.log_prepared_records += batch.records.size();
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

// Takes the look until the saved files stood still across it (or the
// attempts ran out: the last look stands).
template <class Look>
void look_steadily(const std::string& dir, Look&& look) {
  for (int attempt = 0; attempt < kLookAttempts; ++attempt) {
    std::vector<FileStamp> before = saved_state_stamps(dir);
    look();
    if (saved_state_stamps(dir) == before) return;
  }
}

}  // namespace

// The one read-only load: readers (Reader::reload) and inspect_directory
// (hovra info, verify and export) load through it.
Result<std::unique_ptr<Database>> Database::load_snapshot(const std::string& dir) {
  if (!survey_directory(dir).holds_database()) return DbError::database_not_found(dir);
  Result<std::unique_ptr<Database>> loaded = DbError::database_not_found(dir);
  look_steadily(dir, [&] { loaded = load_existing(dir, false, false, true); });
  return loaded;
}

Result<Inspection> Database::inspect_directory(const std::string& dir, bool keep_snapshot) {
  if (!survey_directory(dir).holds_database()) return DbError::database_not_found(dir);
  Inspection out;
  // The check and the load see one state of the directory.
  look_steadily(dir, [&] {
    out = Inspection();
    Status checked = check_directory(dir, out.check);
    if (!checked.ok()) out.damage = checked.error();
    Result<std::unique_ptr<Database>> loaded = load_existing(dir, false, false, true);
    if (!loaded.ok()) {
      out.load_error = loaded.error();
      return;
    }
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
    ix.unlock();
    if (keep_snapshot) out.snapshot = share_loaded(std::move(loaded.value()));
  });
  for (const char* name : {kGraphFile, kVectorsFile, kSq8File, kCodesFile, kTextFile, kWalFile, kSealFile, kLockFile,
                           kGraphTmp, kVectorsTmp, kSq8Tmp, kCodesTmp, kTextTmp, kSealTmp, kWalTmp}) {
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
  // The log's header (a checkpoint generation's) stays as it is; only its
  // frames are repaired.
  const std::string_view whole = log.value();
  const std::size_t frames_at = read_log_header(whole).frames_at();
  if (!scan_log(whole.substr(frames_at)).damaged_middle()) return report;
  RepairedLog kept = repair_log(whole.substr(frames_at));
  report.log_damaged = true;
  report.kept_records = kept.kept_records;
  report.damaged_spans = kept.damaged_spans;
  report.damaged_bytes = kept.damaged_bytes;
  report.dropped_batch_records = kept.dropped_batch_records;
  report.uncommitted = kept.uncommitted;
  const std::string tmp = join_path(dir, kWalTmp);
  std::uint64_t size;
  std::uint32_t crc;
  HOVRA_RETURN_IF_ERROR(write_synced(
      tmp,
      [&](FileWriter& w) -> Status {
        HOVRA_RETURN_IF_ERROR(w.write(whole.substr(0, frames_at)));
        return w.write(kept.bytes);
      },
      size, crc));
  HOVRA_RETURN_IF_ERROR(rename_file(tmp, wal_path));
  HOVRA_RETURN_IF_ERROR(sync_dir(dir));
  return report;
}

}  // namespace hovra
