// Saving a database: the state collected under the locks at one point of
// the log, every file written under a temporary name (but vectors.bin and
// graph.hovra, which grow at their ends between the saves that write them
// whole: new rows, and a delta of the graph's changes); then, with changes
// going on, the files forced to stable storage, the checksum record
// (naming the log's prefix the files hold) written as seal.tmp, the commit
// (renaming graph.tmp over graph.hovra, or seal.tmp itself when a delta
// was appended), the other files moved into place and a new log of the
// next checkpoint generation renamed over the old one, holding the
// prepared batches unresolved at that point and what was logged since (the
// sequence is written down in docs/file-formats.md).
#include <algorithm>

#include "core/base/file_io.h"
#include "core/db/database.h"
#include "core/db/directory.h"
#include "core/db/save_work.h"
#include "core/db/saved_state.h"
#include "core/storage/code_file.h"
#include "core/storage/graph_file.h"
#include "core/storage/vector_files.h"
#include "core/storage/wal.h"

namespace hovra {

namespace {

// Rows replaced since vectors.bin was written travel in the graph file
// while they are at most this share of the rows (1/kReplacedShare); past
// it the save rewrites vectors.bin. Each replaced row is written again at
// every save until then, and a reader's map holds its own copy of every
// page that one touches, so the share stays small: 1 % of the rows
// changed costs about 1 % of the vector bytes in the graph file.
constexpr std::size_t kReplacedShare = 32;

// Deltas appended to graph.hovra grow it until they reach this share of
// its first sections (1/kDeltaShare); past it the save writes the file
// anew. Every open reads the deltas too, and holds the node entries they
// replace until the graph is built, so the file stays within 1.5 times a
// whole one; and a save writes at most about three times the bytes of its
// own changes over time (the whole file B, written after at least B/2 of
// deltas).
constexpr std::uint64_t kDeltaShare = 2;
// Below this size graph.hovra is written whole at every save: its write
// costs about what a delta's own calls and sync do, and it stays in one
// piece.
constexpr std::uint64_t kDeltaMinFile = std::uint64_t(64) << 10;

}  // namespace

bool Database::graph_appendable(bool append_vectors) const {
  if (!append_vectors || !graph_in_file_) return false;
  const GraphInFile& held = *graph_in_file_;
  if (held.base_size < kDeltaMinFile || index_->node_count() < held.nodes ||
      (held.size - held.base_size) * kDeltaShare > held.base_size)
    return false;
  FileStamp stamp = file_stamp(graph_path_);
  return stamp.exists && stamp.size >= held.size;
}

void Database::note_record_changed(std::uint32_t slot) {
  MutexLock c(record_changes_mutex_);
  records_changed_.push_back(slot);
  // Updated over and over without a save: kept to one entry per slot.
  if (records_changed_.size() > 2 * slot_metadata_.size() + 64) {
    std::sort(records_changed_.begin(), records_changed_.end());
    records_changed_.erase(std::unique(records_changed_.begin(), records_changed_.end()), records_changed_.end());
  }
}

// Like append_vector_rows: graph.hovra is cut back to what the last save
// recorded (an interrupted save's delta goes), then the delta follows. A
// seal.tmp left by a save that never committed goes first, so that it is
// never taken for this save's.
Status Database::append_graph_delta(SaveSeal& seal, SaveWork& work) {
  const GraphInFile& held = *graph_in_file_;
  const std::string seal_tmp = join_path(root_, kSealTmp);
  if (path_exists(seal_tmp)) HOVRA_RETURN_IF_ERROR(remove_file(seal_tmp));
  std::vector<std::uint32_t> changed;
  {
    MutexLock c(record_changes_mutex_);
    changed.swap(records_changed_);
  }
  std::sort(changed.begin(), changed.end());
  changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
  DeltaScope scope;
  scope.file_nodes = held.nodes;
  scope.rows_in_file = index_->store().rows_in_file();
  scope.records_changed = &changed;
  FileWriter w;
  HOVRA_RETURN_IF_ERROR(w.open(graph_path_, FileWriter::Mode::Append));
  HOVRA_RETURN_IF_ERROR(w.truncate(held.size));
  w.track_checksum();
  HOVRA_RETURN_IF_ERROR(write_graph_delta(
      *index_, scope,
      [&](std::uint32_t slot, std::string& text) -> std::string_view {
        id_map_lock_.assert_held_shared();
        metadata_lock_.assert_held_shared();
        if (std::optional<PackedValue> m = metadata_at(slot)) write_packed_json(*m, text);
        return ids_by_slot().get(slot);
      },
      w));
  HOVRA_RETURN_IF_ERROR(work.sync_later(w));
  seal.graph_size = held.size + w.written();
  seal.graph_crc = crc32_joined(held.crc, w.checksum(), w.written());
  return w.close();
}

bool Database::vectors_appendable() const {
  const VectorStore& store = index_->store();
  if (!vectors_in_file_ || vectors_in_file_->size != 4 * static_cast<std::uint64_t>(store.rows_in_file()) * dim_ ||
      store.rows_replaced().size() > store.rows_in_file() / kReplacedShare)
    return false;
  // A file gone or cut short since (the directory removed under the
  // process, say) is written anew.
  FileStamp stamp = file_stamp(vectors_path_);
  return stamp.exists && stamp.size >= vectors_in_file_->size;
}

// The file (which vectors_appendable found at least as long as the rows it
// holds) is opened for appending and first cut back to the rows it holds
// for the last save: an earlier save that appended and stopped before its
// commit point left its rows past them. Processes that map the file map no
// further than the rows of the save they read, which the cut leaves alone.
Status Database::append_vector_rows(SaveSeal& seal, SaveWork& work) {
  const VectorStore& store = index_->store();
  const VectorsInFile& held = *vectors_in_file_;
  FileWriter w;
  HOVRA_RETURN_IF_ERROR(w.open(vectors_path_, FileWriter::Mode::Append));
  HOVRA_RETURN_IF_ERROR(w.truncate(held.size));
  w.track_checksum();
  HOVRA_RETURN_IF_ERROR(write_vector_rows(store, store.rows_in_file(), w));
  HOVRA_RETURN_IF_ERROR(work.sync_later(w));
  seal.vectors_size = held.size + w.written();
  seal.vectors_crc = crc32_joined(held.crc, w.checksum(), w.written());
  return w.close();
}

// The record table from the tables where they lie: one row per live slot,
// in slot order, so that the tables are read front to back (the id map's
// own order is a hash order, which would miss the cache at every row).
// Every live slot holds a record, so the rows are the id map's. Caller
// holds the id-map, index and metadata read locks.
Status Database::write_records(FileWriter& sink) const {
  RecordTableWriter table(sink);
  HOVRA_RETURN_IF_ERROR(table.begin(id_to_slot_.size()));
  std::string text;
  std::size_t rows = 0;
  const std::size_t n = index_->node_count();
  for (std::size_t at = 0; at < n; ++at) {
    auto slot = static_cast<std::uint32_t>(at);
    if (index_->is_deleted(slot)) continue;
    ++rows;
    text.clear();
    if (std::optional<PackedValue> m = metadata_at(slot)) write_packed_json(*m, text);
    HOVRA_RETURN_IF_ERROR(table.row(slot, ids_by_slot().get(slot), text));
  }
  if (rows != id_to_slot_.size())
    panic("record table: " + std::to_string(rows) + " live slots for " + std::to_string(id_to_slot_.size()) + " ids");
  return table.finish();
}

namespace {

// Writes one file under its final name through a checksumming writer,
// handed to the operating system but not yet forced to stable storage (the
// save syncs it once the locks are released); reports its size and CRC-32.
// With progress, the bytes are counted there and a stop it asks for fails
// the write with Cancelled.
template <class WriteFn>
Status write_unsynced(const std::string& path, WriteFn&& write, std::uint64_t& size, std::uint32_t& crc,
                      SaveWork& work, Progress* progress) {
  FileWriter w;
  HOVRA_RETURN_IF_ERROR(w.open(path, FileWriter::Mode::Truncate));
  w.track_checksum();
  w.watch(progress);
  HOVRA_RETURN_IF_ERROR(write(w));
  HOVRA_RETURN_IF_ERROR(work.sync_later(w));
  size = w.written();
  crc = w.checksum();
  return w.close();
}

}  // namespace

Status SaveWork::sync_later(FileWriter& w) {
  HOVRA_RETURN_IF_ERROR(w.flush());
  Result<std::shared_ptr<FileHandle>> handle = w.share_handle();
  if (!handle.ok()) return handle.error();
  unsynced.push_back(std::move(handle.value()));
  return Status::success();
}

Status SaveWork::sync_all() {
  for (const std::shared_ptr<FileHandle>& handle : unsynced) HOVRA_RETURN_IF_ERROR(handle->sync_data());
  unsynced.clear();
  return Status::success();
}

// The first step of a save: the state collected at one point of the log,
// under the id-map, index, metadata and text read locks (taken in order),
// so that no change runs meanwhile. Every file is written (vectors.bin and
// graph.hovra appended to where they can be) but not synced, the log's
// size and CRC-32 at that point go into the seal, and the prepared batches
// unresolved then are kept for the new log. Then, under the index write
// lock, the vector store learns what vectors.bin holds, so that a row
// replaced from now on is noted for the next save.
Status Database::collect_save(SaveSeal& seal, SaveWork& work, Progress* progress) {
  const std::string vectors_tmp = join_path(root_, kVectorsTmp);
  const std::string sq8_tmp = join_path(root_, kSq8Tmp);
  const std::string graph_tmp = join_path(root_, kGraphTmp);
  const std::string text_tmp = join_path(root_, kTextTmp);
  const std::string codes_tmp = join_path(root_, kCodesTmp);
  ReadLock ids(id_map_lock_);
  {
    ReadLock ix(index_lock_);
    ReadLock md(metadata_lock_);
    ReadLock tx(text_lock_);
    const std::size_t rows_written = index_->store().rows_in_file();
    work.append_vectors = vectors_appendable();
    std::uint64_t vectors_bytes =
        4 * static_cast<std::uint64_t>(index_->node_count() - (work.append_vectors ? rows_written : 0)) * dim_;
    start_phase(progress, "writing vectors", "bytes", vectors_bytes);
    if (work.append_vectors) {
      HOVRA_RETURN_IF_ERROR(append_vector_rows(seal, work));
    } else {
      HOVRA_RETURN_IF_ERROR(write_unsynced(
          vectors_tmp,
          [&](FileWriter& w) {
            index_lock_.assert_held_shared();
            return write_vector_rows(index_->store(), 0, w);
          },
          seal.vectors_size, seal.vectors_crc, work, progress));
    }
    if (persist_quantized_) {
      seal.has_sq8 = true;
      start_phase(progress, "writing quantized vectors", "bytes", 0);
      HOVRA_RETURN_IF_ERROR(write_unsynced(
          sq8_tmp,
          [&](FileWriter& w) {
            index_lock_.assert_held_shared();
            return write_quantized(*index_, w);
          },
          seal.sq8_size, seal.sq8_crc, work, progress));
    }
    if (text_ || sparse_.vectors() > 0) {
      seal.has_text = true;
      start_phase(progress, "writing text index", "bytes", 0);
      HOVRA_RETURN_IF_ERROR(write_unsynced(
          text_tmp,
          [&](FileWriter& w) {
            text_lock_.assert_held_shared();
            return w.write(encode_text_file());
          },
          seal.text_size, seal.text_crc, work, progress));
    }
    start_phase(progress, "writing graph", "bytes", 0);
    work.append_graph = graph_appendable(work.append_vectors);
    if (work.append_graph) {
      HOVRA_RETURN_IF_ERROR(append_graph_delta(seal, work));
    } else {
      {
        MutexLock c(record_changes_mutex_);
        records_changed_.clear();
      }
      const bool append_vectors = work.append_vectors;
      HOVRA_RETURN_IF_ERROR(write_unsynced(
          graph_tmp,
          [&](FileWriter& w) -> Status {
            id_map_lock_.assert_held_shared();
            index_lock_.assert_held_shared();
            metadata_lock_.assert_held_shared();
            HOVRA_RETURN_IF_ERROR(write_graph(*index_, w, kGraphRowsApart | kGraphDeltas));
            // Measured against the rows vectors.bin holds after this save.
            HOVRA_RETURN_IF_ERROR(write_row_section(*index_, w, append_vectors));
            HOVRA_RETURN_IF_ERROR(write_records(w));
            return pad_record_table(w.written(), w);
          },
          seal.graph_size, seal.graph_crc, work, progress));
    }
    work.saved_nodes = index_->node_count();
    {
      MutexLock w(wal_mutex_);
      seal.generation = wal_->generation() + 1;
      // A log that refuses appends takes no change during the save: its
      // prefix is not needed (and not known).
      seal.log_known = wal_->contents_known();
      if (seal.log_known) {
        seal.log_size = wal_->contents_size();
        seal.log_crc = wal_->contents_crc();
      }
      work.log_taken = checkpoints_.growth();
    }
    // The one-bit codes name graph.hovra as this save leaves it (written
    // whole or with its delta appended) and the seal's generation: an open
    // reads them only beside those.
    work.write_codes = index_->binary_codes() != nullptr;
    if (work.write_codes) {
      start_phase(progress, "writing one-bit codes", "bytes", 0);
      const CodeFileStamp stamp{seal.generation, seal.graph_size, seal.graph_crc};
      std::uint64_t codes_size;
      std::uint32_t codes_crc;
      HOVRA_RETURN_IF_ERROR(write_unsynced(
          codes_tmp,
          [&](FileWriter& w) {
            index_lock_.assert_held_shared();
            return write_code_file(*index_, stamp, w);
          },
          codes_size, codes_crc, work, progress));
    }
    work.kept = encode_prepared(prepared_);
  }
  WriteLock ix(index_lock_);
  index_->note_rows_in_file(*work.saved_nodes, !work.append_vectors);
  // Linking and compaction from now on are the next save's.
  checkpoints_.clear_marks();
  return Status::success();
}

// The new log of the save's generation replaces the old one by rename, so a
// reader that still reads the old log finds it whole. It begins with the
// prepared batches unresolved when the save collected its data, and goes
// on with what was logged since, copied from the old log. Writers wait for
// the WAL mutex meanwhile (a record behind the old header would be skipped
// as saved): for the copy, one sync of the new log and its rename. The
// directory is synced after: until then a power loss leaves the old log,
// which the seal's prefix continues, and a writer that syncs its records
// syncs the directory when it opens the new log.
Status Database::switch_log(const SaveSeal& seal, const SaveWork& work) {
  HOVRA_RETURN_IF_ERROR(replace_log(seal, work));
  Status synced = sync_dir(root_);
  if (!synced.ok()) {
    MutexLock w(wal_mutex_);
    wal_->mark_broken(synced.error());
  }
  return synced;
}

Status Database::replace_log(const SaveSeal& seal, const SaveWork& work) {
  MutexLock w(wal_mutex_);
  std::string frames = work.kept;
  if (seal.log_known) {
    if (!wal_->contents_known()) {
      // A write failed since the save collected its data: the old log stays
      // as it is (the seal names its saved prefix), and a reopen goes on
      // from there.
      return DbError::io(std::string(kWalFile) + " failed during the save; reopen the database");
    }
    wal_->close_writer();
    const std::uint64_t end = wal_->contents_size();
    if (end > seal.log_size) {
      Result<FilePiece> tail = read_file_piece(wal_path_, seal.log_size, end - seal.log_size);
      if (!tail.ok()) {
        wal_->mark_broken(tail.error());
        return tail.error();
      }
      if (tail.value().bytes.size() != end - seal.log_size) {
        DbError cut = DbError::io(std::string(kWalFile) + " is shorter than its records");
        wal_->mark_broken(cut);
        return cut;
      }
      frames += tail.value().bytes;
    }
  } else {
    wal_->close_writer();
  }
  std::string header = encode_log_header(seal.generation);
  const std::string wal_tmp = join_path(root_, kWalTmp);
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  Status installed = write_synced(
      wal_tmp,
      [&](FileWriter& f) -> Status {
        HOVRA_RETURN_IF_ERROR(f.write(header));
        return f.write(frames);
      },
      size, crc);
  if (installed.ok()) installed = rename_file(wal_tmp, wal_path_);
  if (!installed.ok()) {
    wal_->mark_broken(installed.error());
    return installed;
  }
  wal_->set_generation(seal.generation);
  wal_->set_contents(size, crc);
  // Everything logged so far is in the synced files now, or in the synced
  // log that replaced the old one.
  group_commit_.mark_durable(wal_->appended());
  checkpoints_.saved(work.log_taken);
  return Status::success();
}

// Takes the save mutex for the whole save; collect_save takes the id-map,
// index, metadata and text locks, and the WAL mutex inside them, for the
// first step only. Changes go on while the files are synced and committed,
// and are logged: the seal names the log's prefix the files hold, and the
// new log takes what followed it.
//
// A stop asked for through progress is honoured until the commit point:
// the temporary files are removed and the saved files stay as they were.
// After the commit point the save completes.
Status Database::save(Progress* progress) {
  MutexLock one_save(save_mutex_);
  HOVRA_RETURN_IF_ERROR(check_owner());
  HOVRA_RETURN_IF_ERROR(create_dirs(root_));
  const std::string vectors_tmp = join_path(root_, kVectorsTmp);
  const std::string sq8_tmp = join_path(root_, kSq8Tmp);
  const std::string graph_tmp = join_path(root_, kGraphTmp);
  const std::string seal_tmp = join_path(root_, kSealTmp);
  const std::string text_tmp = join_path(root_, kTextTmp);
  const std::string codes_tmp = join_path(root_, kCodesTmp);
  const std::string codes_path = join_path(root_, kCodesFile);

  SaveSeal seal;
  SaveWork work;
  bool seal_begun = false;
  // The changes noted since the last save are taken by this one: should it
  // fail, the next save writes graph.hovra whole.
  const std::optional<GraphInFile> graph_before = graph_in_file_;
  auto write_temporaries = [&]() REQUIRES(save_mutex_) -> Status {
    HOVRA_RETURN_IF_ERROR(collect_save(seal, work, progress));
    HOVRA_RETURN_IF_ERROR(work.sync_all());
    // With a delta appended, seal.tmp matching graph.hovra commits the save
    // (an open finishes it, a reader takes it): a stop is honoured only
    // before it is begun.
    if (work.append_graph && stop_requested(progress)) return DbError::cancelled();
    seal_begun = true;
    std::uint64_t seal_size;
    std::uint32_t seal_crc;
    HOVRA_RETURN_IF_ERROR(
        write_synced(seal_tmp, [&](FileWriter& w) { return w.write(encode_seal(seal)); }, seal_size, seal_crc));
    HOVRA_RETURN_IF_ERROR(sync_dir(root_));
    if (!work.append_graph && stop_requested(progress)) return DbError::cancelled();
    return Status::success();
  };
  Status written = write_temporaries();
  if (!written.ok()) {
    // Rows appended before the failure are cut off again (best effort: the
    // next save cuts them, and no open reads them), so that a save that
    // stopped leaves every file as it was.
    graph_in_file_.reset();
    if (work.append_graph && seal_begun) {
      // A seal.tmp that matches the appended graph.hovra may already have
      // committed the save for an open or a reader: nothing is taken back,
      // and the log it would leave behind takes no change until the
      // database is reopened (which finishes the save or keeps the old
      // files, with the whole log either way).
      MutexLock w(wal_mutex_);
      wal_->mark_broken(written.error());
      return written;
    }
    if (work.append_graph) (void)truncate_and_sync(graph_path_, graph_before->size);
    if (work.append_vectors) (void)truncate_and_sync(vectors_path_, vectors_in_file_->size);
    // The vector store may already count this save's rows as the file's:
    // the next save writes vectors.bin whole.
    if (work.saved_nodes) vectors_in_file_.reset();
    if (written.error().kind() == ErrorKind::Cancelled) {
      for (const std::string* tmp : {&vectors_tmp, &sq8_tmp, &text_tmp, &codes_tmp, &graph_tmp, &seal_tmp})
        if (path_exists(*tmp)) (void)remove_file(*tmp);
    }
    return written;
  }

  // The commit point. Until vectors.bin is known to hold the saved rows,
  // the next save rewrites it.
  vectors_in_file_.reset();
  graph_in_file_.reset();
  if (!work.append_graph) HOVRA_RETURN_IF_ERROR(rename_file(graph_tmp, graph_path_));
  if (!work.append_vectors) HOVRA_RETURN_IF_ERROR(rename_file(vectors_tmp, vectors_path_));
  vectors_in_file_ = VectorsInFile{seal.vectors_size, seal.vectors_crc};
  if (seal.has_sq8) {
    HOVRA_RETURN_IF_ERROR(rename_file(sq8_tmp, sq8_path_));
  } else if (path_exists(sq8_path_)) {
    (void)remove_file(sq8_path_);
  }
  if (seal.has_text) {
    HOVRA_RETURN_IF_ERROR(rename_file(text_tmp, join_path(root_, kTextFile)));
  } else if (path_exists(join_path(root_, kTextFile))) {
    (void)remove_file(join_path(root_, kTextFile));
  }
  if (work.write_codes) {
    HOVRA_RETURN_IF_ERROR(rename_file(codes_tmp, codes_path));
  } else if (path_exists(codes_path)) {
    (void)remove_file(codes_path);
  }
  HOVRA_RETURN_IF_ERROR(rename_file(seal_tmp, join_path(root_, kSealFile)));
  HOVRA_RETURN_IF_ERROR(sync_dir(root_));
  HOVRA_RETURN_IF_ERROR(switch_log(seal, work));
  graph_in_file_ = GraphInFile{seal.graph_size, seal.graph_crc,
                               work.append_graph ? graph_before->base_size : seal.graph_size, *work.saved_nodes};
  return Status::success();
}

}  // namespace hovra
