// Opening, creating and recovering a database directory.
//
// On open, the checksum record is settled against graph.hovra first (see
// saved_state.h). A log of an older generation than the record (or one
// without a header) is what the saved files already hold: it is skipped,
// and a writer puts a new log of the record's generation in its place.
// Records of versions 2 and 3 (generation 0) come from layouts 2 and 3,
// whose logs have no header: such a record may cover a log prefix, skipped
// at replay while the log still begins with it, and dropped from the
// record before anything is appended otherwise, so a later log that
// happens to begin with the same bytes is never skipped. graph.hovra must
// match the record (it is read whole anyway); the vector files are checked
// on demand by verify. A log damaged in its middle is refused; a torn tail
// is cut off.
//
// Creating a database writes its empty files at once (a save), after
// replaying any log left in the directory, so a database that was never
// saved explicitly still reopens after a crash.
//
// A read-only load (readers, inspect_directory) takes no lock and repairs
// nothing; database_verify.cpp reads again when a running writer's save
// replaced the files meanwhile.
#include <algorithm>
#include <limits>
#include <unordered_map>

#include "core/base/file_io.h"
#include "core/base/mapped_file.h"
#include "core/db/database.h"
#include "core/db/directory.h"
#include "core/db/saved_state.h"
#include "core/storage/code_file.h"
#include "core/storage/graph_file.h"
#include "core/storage/vector_files.h"
#include "core/storage/wal_scan.h"

namespace hovra {

namespace {

// The slots a reader's tables and per-node arrays have room for after its
// load: the checkpoint's and half as many again. A reader applies the
// writer's records as they come, a few at a time; arrays sized to the
// checkpoint alone would be copied into larger ones at its first record,
// and the blocks they leave stay with the process (its own memory, not the
// page cache's). The room costs address space only until it is used.
std::size_t nodes_to_follow(std::size_t n) {
  constexpr std::size_t kLeastRoom = 1024;
  return n + std::max(n / 2, kLeastRoom);
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

// Maps vectors.bin for the layout the graph file names. A file that holds
// rows only is mapped no further than the rows of the graph's slots: a
// checkpoint may append to it, or cut back what an interrupted one
// appended, while the map lives. The rows replaced since the file was
// written then overwrite the mapped ones (which copies only what they
// touch for a reader, whose map changes in place).
Status map_vectors(const std::string& path, bool read_only, LoadedFiles& files) {
  GraphLayout& layout = files.layout;
  const std::size_t n = layout.node_count(), dim = layout.dim;
  const std::size_t limit = layout.rows_apart ? 4 * n * dim : MappedFile::kWhole;
  // A reader applies the writer's changes to rows it shares with every
  // other process mapping the file: its map grows in place, so that only
  // the rows it changes or adds are its own. (A writer copies the rows at
  // its first change, as it has to keep the file's inode otherwise.)
  Result<std::shared_ptr<MappedFile>> map =
      read_only ? MappedFile::map_extendable(path, std::size_t(1) << 30, limit) : MappedFile::map(path, limit);
  if (!map.ok()) return map.error();
  if (!layout.rows_apart) {
    Result<LoadedVectors> vectors = attach_vectors(map.value(), n, dim);
    if (!vectors.ok()) return vectors.error();
    files.vectors = std::move(vectors.value());
    return Status::success();
  }
  Result<VectorStore> store = attach_rows(map.value(), n, dim);
  if (!store.ok()) return store.error();
  files.vectors.store = std::move(store.value());
  files.vectors.store.note_rows_in_file(n, true);
  for (std::size_t i = 0; i < layout.replaced_slots.size(); ++i)
    files.vectors.store.overwrite(layout.replaced_slots[i], layout.replaced_rows.data() + i * dim);
  files.vectors.norms = std::move(layout.norms);
  layout.replaced_rows = {};
  layout.replaced_slots = {};
  return Status::success();
}

// Reads the record table into the tables by slot: the ids, the map from id
// to slot and the packed metadata (metadata that is not JSON loads as none).
// The tables get room for `room` slots (see nodes_to_follow).
Status load_records(std::string_view graph_bytes, std::size_t offset, std::size_t room, LoadedFiles& files) {
  std::size_t n = files.layout.node_count();
  room = std::max(room, n);
  files.ids.reserve_more(room, 0);
  files.ids.grow_to(n);
  files.metadata.reserve_more(room, 0);
  files.metadata.grow_to(n);
  files.id_to_slot.reserve(room - std::min(n, files.layout.deleted.size()));
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
    db = load_existing(dir, options.dim.has_value(), options.quantize, false, options.binary_search);
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
  db.value()->checkpoints_.configure(options.autocheckpoint, options.checkpoint_bytes, options.checkpoint_records);
  // Codes read from the saved state at load are kept; otherwise every row
  // is coded now.
  if (options.binary_search && !db.value()->binary_search()) db.value()->enable_binary_search();
  db.value()->start_linker();
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
  HOVRA_RETURN_IF_ERROR(db->recover_log(0, LogPrefix{}, nullptr));
  HOVRA_RETURN_IF_ERROR(db->save());
  return db;
}

Result<std::unique_ptr<Database>> Database::load_existing(const std::string& dir, bool create_mode, bool quantize,
                                                          bool read_only, bool binary) {
  std::unique_ptr<Database> db(new Database());
  db->set_paths(dir);
  db->read_only_ = read_only;

  if (!path_exists(db->graph_path_)) return DbError::corrupt_data(std::string(kGraphFile) + " is missing");
  // A reader maps graph.hovra and keeps its layer-0 lists where they lie:
  // every process that reads the database shares them in the page cache.
  // (A save never changes the bytes a seal covers: it appends past them,
  // cuts back only what no seal names, or puts a new file in place.)
  std::shared_ptr<MappedFile> graph_map;
  std::string graph_copy;
  if (read_only) {
    Result<std::shared_ptr<MappedFile>> map = MappedFile::map(db->graph_path_);
    if (!map.ok()) return map.error();
    graph_map = std::move(map.value());
  } else {
    Result<std::string> read = read_file(db->graph_path_);
    if (!read.ok()) return read.error();
    graph_copy = std::move(read.value());
  }
  const std::string_view graph_file =
      graph_map ? std::string_view(reinterpret_cast<const char*>(graph_map->data()), graph_map->size())
                : std::string_view(graph_copy);
  Result<SettledFiles> settled = settle_files(dir, graph_file, !read_only);
  if (!settled.ok()) return settled.error();
  // A delta past the record's size never committed: it is not read.
  const std::string_view graph_bytes = graph_file.substr(0, settled.value().graph_size);
  if (!path_exists(settled.value().vectors_path))
    return DbError::corrupt_data(std::string(kVectorsFile) + " is missing");
  std::optional<SaveSeal> seal = settled.value().seal;
  const std::string& sq8_path = settled.value().sq8_path;

  LoadedFiles files;
  {
    std::size_t rest = 0;
    Result<GraphLayout> layout = read_graph_layout(graph_bytes, rest, graph_map != nullptr);
    if (!layout.ok()) return layout.error();
    files.layout = std::move(layout.value());
    if (files.layout.mapped) files.layout.keep = graph_map;
    std::size_t n = files.layout.node_count();
    HOVRA_RETURN_IF_ERROR(map_vectors(settled.value().vectors_path, read_only, files));
    if (!sq8_path.empty()) {
      Result<Sq8Quantizer> q = load_quantized(sq8_path, n, files.layout.dim);
      if (!q.ok()) return q.error();
      // An empty index has nothing quantized: it stays without a quantizer.
      if (n > 0) files.quantizer = std::move(q.value());
    }
    HOVRA_RETURN_IF_ERROR(load_records(graph_bytes, rest, read_only ? nodes_to_follow(n) : 0, files));
    HOVRA_RETURN_IF_ERROR(check_record_count(files.records, files.layout));
    if (files.duplicate) return *files.duplicate;
  }

  std::size_t n = files.layout.node_count();
  db->dim_ = files.layout.dim;
  bool has_unlinked = files.layout.has_unlinked;
  // The rows vectors.bin holds as they are, which a checkpoint leaves in
  // place and continues; without the seal's checksum of them, or in the
  // earlier layout, the next save rewrites the file.
  if (files.layout.rows_apart && seal && seal->vectors_size == 4 * static_cast<std::uint64_t>(n) * db->dim_) {
    db->vectors_in_file_ = VectorsInFile{seal->vectors_size, seal->vectors_crc};
    // graph.hovra takes the next save's changes as a delta when it can.
    if (files.layout.has_deltas && seal->graph_size == graph_bytes.size())
      db->graph_in_file_ = GraphInFile{seal->graph_size, seal->graph_crc, files.layout.deltas_at, n};
  }
  db->index_ = HnswIndex::from_layout(std::move(files.layout), std::move(files.vectors.store),
                                      std::move(files.vectors.norms), read_only ? nodes_to_follow(n) : 0);
  // A read-only engine never links: the rows the log adds need no lists,
  // and a reader reads their vectors where they lie in the log.
  if (read_only) db->index_->follow_only();
  if (files.quantizer) db->index_->set_quantizer(std::move(*files.quantizer));
  // One-bit codes saved beside this very graph file stand for its rows; the
  // log's changes replayed below code their rows as they come.
  if (binary && seal && seal->generation > 0 && seal->graph_size == graph_bytes.size()) {
    const CodeFileStamp stamp{seal->generation, seal->graph_size, seal->graph_crc};
    std::optional<BinaryCodes> codes =
        load_code_file(join_path(dir, kCodesFile), stamp, n, db->dim_, db->index_->metric());
    if (codes) db->index_->set_binary_codes(std::move(*codes));
  }
  if (has_unlinked) db->index_->adopt_unlinked();
  db->index_->load_first_rows();
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
  HOVRA_RETURN_IF_ERROR(
      db->recover_log(seal ? seal->generation : 0, saved_log_prefix(seal ? &*seal : nullptr), &skipped, read_only));
  // Bring the record up to date before anything is appended: drop a log
  // prefix the log no longer begins with, and turn a pending record of
  // version 1 into a checksum record. A text index defined but not (or
  // not usably) saved is built first.
  HOVRA_RETURN_IF_ERROR(db->build_text_index_now(nullptr));
  if (!read_only && seal &&
      (!permanent_seal(seal->version) || (seal->generation == 0 && seal->covers_log_prefix() && !skipped))) {
    SaveSeal current = *seal;
    if (!skipped) current.forget_log_prefix();
    HOVRA_RETURN_IF_ERROR(install_seal(dir, current));
  }
  db->persist_quantized_ = settled.value().saved_sq8 || (create_mode && quantize);
  return db;
}

// A writer holds the directory's lock, so no other process cuts the log
// while it is mapped: it reads the log through a map (map set; the piece
// then holds no bytes), which spares copying it into fresh memory. Readers,
// and a writer whose map fails, read a copy.
Result<FilePiece> Database::read_log(bool read_only, std::shared_ptr<MappedFile>& map) const {
  if (!read_only && path_exists(wal_path_)) {
    Result<std::shared_ptr<MappedFile>> mapped = MappedFile::map(wal_path_);
    Result<FileId> id = file_identity(wal_path_);
    if (mapped.ok() && id.ok()) {
      map = std::move(mapped.value());
      FilePiece piece;
      piece.exists = true;
      piece.id = id.value();
      piece.size = map->size();
      return piece;
    }
  }
  return read_file_piece(wal_path_, 0, std::numeric_limits<std::uint64_t>::max());
}

// The log a read-only load read (piece), mapped through what it took and
// the scan's frames pointed there; none when it cannot be mapped (or was
// replaced since it was read): the rows are then copied.
std::optional<LastingBytes> Database::map_log_read(const FilePiece& piece, std::size_t skip, LogFrames& scan) {
  Result<std::shared_ptr<MappedFile>> mapped = MappedFile::map_following(wal_path_, kLogMapReserve);
  if (!mapped.ok() || mapped.value()->id().device != piece.id.device ||
      mapped.value()->id().inode != piece.id.inode || !mapped.value()->follow(skip + scan.intact_end))
    return std::nullopt;
  follow_map_ = mapped.value();
  return frames_in_map(scan, std::string_view(piece.bytes).substr(skip), skip, std::move(mapped.value()));
}

Status Database::recover_log(std::uint64_t seal_generation, const LogPrefix& saved_prefix, bool* prefix_skipped,
                             bool read_only) {
  LogFrames scan;
  // The log's bytes, which the scan's frames point into until replayed.
  std::shared_ptr<MappedFile> map;
  FilePiece piece;
  std::optional<LastingBytes> lasting;
  if (prefix_skipped) *prefix_skipped = false;
  {
    MutexLock w(wal_mutex_);
    wal_->set_generation(seal_generation);
    // A checkpoint's log that never made it into place.
    if (!read_only && path_exists(join_path(root_, kWalTmp))) (void)remove_file(join_path(root_, kWalTmp));
    Result<FilePiece> read = read_log(read_only, map);
    if (!read.ok()) return read.error();
    piece = std::move(read.value());
    std::string_view log = map ? std::string_view(reinterpret_cast<const char*>(map->data()), map->size())
                               : std::string_view(piece.bytes);
    Result<LogPart> part = log_part(log, seal_generation, saved_prefix);
    if (!part.ok()) return part.error();
    // Where a reader goes on: the log it read and the end of what it took,
    // or (no current log yet) the frames of the log a writer will put in
    // place.
    follow_ = LogPosition{seal_generation, kLogHeaderSize, false, FileId{}};
    if (!piece.exists || !part.value().current) {
      // A save that stopped before its new log was in place: the prepared
      // batches the earlier checkpoint's log left unresolved go on in the
      // new one (a reader finds them there once a writer put it in place).
      if (!read_only && part.value().generation > 0)
        scan.prepared = pending_batches(log.substr(part.value().frames_at));
      if (!read_only && seal_generation > 0) {
        std::string frames = encode_prepared(scan.prepared);
        HOVRA_RETURN_IF_ERROR(install_log(root_, seal_generation, frames));
        std::string header = encode_log_header(seal_generation) + frames;
        wal_->set_contents(header.size(), crc_of(header));
      } else if (!read_only && piece.exists && seal_generation == 0) {
        // A log that begins like a header but does not read: nothing of it
        // replays, and the next record must not follow it.
        HOVRA_RETURN_IF_ERROR(truncate_and_sync(wal_path_, 0));
        wal_->set_contents(0, 0);
      } else {
        wal_->set_contents(0, 0);
      }
      if (seal_generation == 0) follow_.offset = 0;
    } else {
      std::size_t skip = part.value().frames_at;
      if (prefix_skipped) *prefix_skipped = part.value().generation == 0 && skip > 0;
      std::vector<PreparedLog> carried = carried_batches(log, part.value());
      std::string kept_before = part.value().after_prefix ? encode_prepared(carried) : std::string();
      scan = scan_log_frames(log.substr(skip), std::move(carried));
      if (scan.damaged_middle()) return damaged_log(skip + *scan.damage_at, scan.intact_after);
      std::uint64_t end = skip + scan.intact_end;
      if (part.value().after_prefix && !read_only) {
        // A save committed before its new log was in place: the new log
        // takes what the old one holds past the saved prefix.
        std::string frames = kept_before + std::string(log.substr(skip, end - skip));
        HOVRA_RETURN_IF_ERROR(install_log(root_, seal_generation, frames));
        std::string header = encode_log_header(seal_generation);
        wal_->set_generation(seal_generation);
        wal_->set_contents(header.size() + frames.size(), crc32_bytes(crc_of(header), frames.data(), frames.size()));
        Result<FileId> id = file_identity(wal_path_);
        if (!id.ok()) return id.error();
        follow_ = LogPosition{seal_generation, header.size() + frames.size(), true, id.value()};
        checkpoints_.set_growth({frames.size(), scan.frames.size()});
      } else {
        // Later appends must follow the last intact record, not a torn one.
        if (end < log.size() && !read_only) HOVRA_RETURN_IF_ERROR(truncate_and_sync(wal_path_, end));
        wal_->set_generation(part.value().generation);
        wal_->set_contents(end, crc_of(log.substr(0, end)));
        follow_ = LogPosition{part.value().generation, end, true, piece.id};
        checkpoints_.set_growth({end - skip, scan.frames.size()});  // the records' bytes, past the header
        // A reader reads the rows of what it took where they lie in the log.
        if (read_only && !map && part.value().generation > 0 && !scan.frames.empty())
          lasting = map_log_read(piece, skip, scan);
      }
    }
  }
  replay(scan.frames, lasting ? &*lasting : nullptr);
  WriteLock ids(id_map_lock_);
  for (PreparedLog& batch : scan.prepared) {
    hold(batch);
    prepared_.push_back(std::move(batch));
  }
  return Status::success();
}

}  // namespace hovra
