// Following a writer's log from another process: the decision, at each
// look, between nothing new, the records appended since the last look, and
// a new checkpoint to load.
//
// The writer never rewrites a file in place under a reader: saved files
// and the log are replaced by rename (a mapped or open file stays valid),
// and a log is only appended to or cut back past its last whole record
// (a torn tail, an abandoned batch). A reader therefore takes only whole
// records and committed batches (scan_log's intact end), remembers where
// they end in which log file, and knows the writer has checkpointed when
// wal.hovra carries a later generation in its header. Since what a reader
// took is never rewritten or cut, the rows of those records may be read
// where they lie in a map of the log, which stays valid after the log is
// replaced.
#include "core/db/reader.h"

#include <cstdint>
#include <limits>
#include <mutex>
#include <set>

#include "core/base/heap.h"
#include "core/db/database.h"
#include "core/db/directory.h"
#include "core/db/saved_state.h"
#include "core/storage/wal.h"
#include "core/storage/wal_scan.h"

namespace hovra {

namespace {

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

enum class Step { Nothing, Tail, Reload };

// How often, at most, a reader that applies records gives the memory its
// looks freed back to the system (each time costs a walk over the heap's
// free blocks, and the pages given back fault in again when reused).
constexpr std::int64_t kTrimEveryNs = 1'000'000'000;

// The readers alive in this process, for the fork handlers. Lock order:
// readers_mutex(), then each reader's refresh_mutex_ and state_mutex_.
std::mutex& readers_mutex() {
  static std::mutex m;
  return m;
}
std::set<Reader*>& live_readers() {
  static std::set<Reader*> readers;
  return readers;
}

// What the log's first bytes say against the position reached.
template <class Position>
Step next_step(const Position& pos, const FilePiece& head) {
  if (!head.exists) return pos.generation == 0 && pos.id_known ? Step::Reload : Step::Nothing;
  LogHeader header = read_log_header(head.bytes);
  if (header.state == LogHeader::State::Unreadable) return Step::Nothing;
  std::uint64_t generation = header.state == LogHeader::State::Valid ? header.generation : 0;
  if (generation > pos.generation) return Step::Reload;
  if (generation < pos.generation) return Step::Nothing;  // the new log is not in place yet
  if (pos.id_known && (head.id.device != pos.id.device || head.id.inode != pos.id.inode)) return Step::Reload;
  if (head.size < pos.offset) return Step::Reload;  // cut back below what was taken: not this log
  return head.size > pos.offset ? Step::Tail : Step::Nothing;
}

}  // namespace

Result<std::shared_ptr<Reader>> Reader::open(const std::string& path, double refresh_interval,
                                             std::optional<std::size_t> exact_threshold, bool binary_search) {
  if (path.find('\0') != std::string::npos) return DbError::io("embedded null byte");
  std::shared_ptr<Reader> reader(new Reader());
  reader->root_ = absolute_path(path);
  reader->display_ = path;
  reader->interval_seconds_ = refresh_interval;
  reader->interval_ns_ = static_cast<std::int64_t>(refresh_interval * 1e9);
  reader->exact_threshold_ = exact_threshold;
  if (std::shared_ptr<Database> live = Database::open_in_process(reader->root_)) {
    reader->shares_writer_ = true;
    {
      MutexLock s(reader->state_mutex_);
      reader->engine_ = std::move(live);
    }
    reader->track_for_fork();
    return reader;
  }
  if (!Database::exists_at(reader->root_)) return DbError::database_not_found(path);
  {
    MutexLock r(reader->refresh_mutex_);
    if (binary_search) reader->codes_ = Codes::Binary;
    HOVRA_RETURN_IF_ERROR(reader->reload());
    reader->reloads_.store(0, std::memory_order_relaxed);
  }
  reader->track_for_fork();
  return reader;
}

Reader::~Reader() {
  std::lock_guard<std::mutex> guard(readers_mutex());
  live_readers().erase(this);
}

// Registered after the engines' handlers (the reload above made an engine,
// which registered them), so that these run first before a fork.
void Reader::track_for_fork() {
  static const bool registered = run_around_fork(before_fork, after_fork, after_fork);
  (void)registered;
  std::lock_guard<std::mutex> guard(readers_mutex());
  live_readers().insert(this);
}

void Reader::before_fork() {
  readers_mutex().lock();
  for (Reader* r : live_readers()) {
    r->refresh_mutex_.lock();
    r->state_mutex_.lock();
  }
}

// In the child the thread that forked is the one that holds the locks.
void Reader::after_fork() {
  for (Reader* r : live_readers()) {
    r->state_mutex_.unlock();
    r->refresh_mutex_.unlock();
  }
  readers_mutex().unlock();
}

std::shared_ptr<Database> Reader::current() const {
  MutexLock s(state_mutex_);
  return engine_;
}

bool Reader::due() const {
  if (shares_writer_) return false;
  return now_ns() - last_look_ns_.load(std::memory_order_relaxed) >= interval_ns_;
}

Result<std::shared_ptr<Database>> Reader::engine() {
  if (due() && refresh_mutex_.try_lock()) {
    (void)look();
    refresh_mutex_.unlock();
  }
  MutexLock s(state_mutex_);
  if (stuck_) return *stuck_;
  return engine_;
}

void Reader::set_stuck(std::optional<DbError> damage) {
  MutexLock s(state_mutex_);
  stuck_ = std::move(damage);
}

Status Reader::refresh() {
  if (shares_writer_) return Status::success();
  MutexLock r(refresh_mutex_);
  return look();
}

Status Reader::reload() {
  FileStamp graph = file_stamp(join_path(root_, kGraphFile));
  Result<std::unique_ptr<Database>> loaded = Database::load_snapshot(root_);
  if (!loaded.ok()) {
    if (loaded.error().kind() == ErrorKind::DatabaseNotFound) return DbError::database_not_found(display_);
    return loaded.error();
  }
  loaded.value()->dir_ = display_;
  if (exact_threshold_) loaded.value()->set_exact_threshold(*exact_threshold_);
  apply_codes(*loaded.value(), codes_);
  graph_stamp_ = graph;
  log_map_ = loaded.value()->follow_map_;  // (the log the load read, mapped as far as it took)
  std::shared_ptr<Database> engine = Database::share_loaded(std::move(loaded.value()));
  {
    MutexLock s(state_mutex_);
    engine_.swap(engine);
    stuck_.reset();
  }
  reloads_.fetch_add(1, std::memory_order_relaxed);
  last_look_ns_.store(now_ns(), std::memory_order_relaxed);
  engine.reset();  // the old engine goes now, or when its last search ends
  // The load's own buffers (the log's copy, the parsed tables) and the old
  // engine's memory go back to the system, not to the heap's free lists:
  // a reader's own memory is what it keeps.
  trim_heap();
  return Status::success();
}

void Reader::apply_codes(Database& db, Codes codes) {
  switch (codes) {
    case Codes::AsLoaded:
      return;
    case Codes::Off:
      if (db.quantized_search() || db.binary_search()) db.disable_quantized_search();
      return;
    case Codes::Sq8:
      if (!db.quantized_search()) db.enable_quantized_search();
      return;
    case Codes::Binary:
      if (!db.binary_search()) db.enable_binary_search();
      return;
  }
}

void Reader::use_codes(Codes codes) {
  MutexLock r(refresh_mutex_);  // no load between the choice and its use
  codes_ = codes;
  apply_codes(*current(), codes);
}

Status Reader::look() {
  last_look_ns_.store(now_ns(), std::memory_order_relaxed);
  std::shared_ptr<Database> db = current();
  const LogPosition pos = db->follow_;
  const std::string wal = join_path(root_, kWalFile);
  Result<FilePiece> head = read_file_piece(wal, 0, kLogHeaderSize);
  if (!head.ok()) return head.error();
  Step step = next_step(pos, head.value());
  // A log without a header says nothing of a checkpoint: the graph file's
  // replacement does.
  if (pos.generation == 0 && step != Step::Reload && !(file_stamp(join_path(root_, kGraphFile)) == graph_stamp_))
    step = Step::Reload;
  if (step == Step::Reload) return reload();
  if (step == Step::Nothing) return stuck();

  Result<FilePiece> tail = read_file_piece(wal, pos.offset, std::numeric_limits<std::uint64_t>::max());
  if (!tail.ok()) return tail.error();
  const FilePiece& piece = tail.value();
  // Replaced between the two reads: the next look sees the new log.
  if (!piece.exists || piece.id.device != head.value().id.device || piece.id.inode != head.value().id.inode)
    return Status::success();
  // Prepared batches go on from the last look: a resolution here applies
  // one prepared there.
  LogFrames scan = scan_log_frames(piece.bytes, db->pending_prepared());
  bool text_definition = false;
  for (const LoggedFrame& f : scan.frames)
    text_definition = text_definition || f.kind == static_cast<std::uint8_t>(WalRecord::Kind::TextIndex);
  const std::size_t capacity = db->node_capacity();
  LastingBytes lasting;
  // (Logs without a header, of layouts 1 to 3, are not mapped: their
  // writers cut them back in place at a checkpoint.)
  const bool in_map = pos.generation > 0 && frames_in_map(scan, piece, pos.offset, lasting);
  db->replay(scan.frames, in_map ? &lasting : nullptr);
  // The allocator keeps what a look frees (the log's bytes, the decoded
  // records, and the blocks that growing tables leave: glibc keeps blocks
  // of that size on its heap once one was freed), and the blocks left
  // between what stays hold their pages: a reader following a writer
  // would hold hundreds of KiB more than it uses after a few seconds
  // (20,000 x 384, 200 records/s). They go back to the system when the
  // per-node arrays grew, and at most once a second while records come.
  const std::int64_t now = now_ns();
  if (db->node_capacity() != capacity || (!scan.frames.empty() && now - last_trim_ns_ >= kTrimEveryNs)) {
    trim_heap();
    last_trim_ns_ = now;
  }
  db->follow_prepared(std::move(scan.prepared));
  if (text_definition) HOVRA_RETURN_IF_ERROR(db->build_text_index_now(nullptr));
  db->follow_ = LogPosition{pos.generation, pos.offset + scan.intact_end, true, piece.id};
  if (scan.damaged_middle()) {
    DbError damage = damaged_log(pos.offset + *scan.damage_at, scan.intact_after);
    set_stuck(damage);
    return damage;
  }
  set_stuck(std::nullopt);
  return Status::success();
}

std::shared_ptr<MappedFile> Reader::map_log(const FileId& id, std::uint64_t end) {
  auto same = [&](const FileId& other) { return other.device == id.device && other.inode == id.inode; };
  if (!log_map_ || !same(log_map_->id())) {
    log_map_.reset();
    Result<std::shared_ptr<MappedFile>> map = MappedFile::map_following(join_path(root_, kWalFile), kLogMapReserve);
    if (!map.ok() || !same(map.value()->id())) return nullptr;  // (replaced since the look read it)
    log_map_ = std::move(map.value());
  }
  if (end > std::numeric_limits<std::size_t>::max() || !log_map_->follow(static_cast<std::size_t>(end)))
    return nullptr;
  return log_map_;
}

bool Reader::frames_in_map(LogFrames& scan, const FilePiece& piece, std::uint64_t offset, LastingBytes& lasting) {
  const std::uint64_t taken = scan.intact_end;
  if (scan.frames.empty() || taken == 0 || taken > piece.bytes.size()) return false;
  std::shared_ptr<MappedFile> map = map_log(piece.id, offset + taken);
  if (!map) return false;
  lasting = hovra::frames_in_map(scan, piece.bytes, offset, std::move(map));
  return true;
}

Status Reader::stuck() {
  MutexLock s(state_mutex_);
  if (stuck_) return *stuck_;
  return Status::success();
}

}  // namespace hovra
