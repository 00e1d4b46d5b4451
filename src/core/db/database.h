// Database: records by id over an HnswIndex, their metadata and its inverted
// index, the write-ahead log, searches, batches, counting, compaction,
// statistics, and the open/save/recovery sequences. The structures its
// calls take and give are in database_types.h.
//
// Lock order (whenever more than one is held): save mutex, id-map, index,
// slot-ids, metadata, metadata-index, text (the text index and the sparse
// vectors), WAL mutex; the linker's mutex is a leaf, taken while holding
// none of them. The WAL mutex is taken while holding nothing, the id-map lock (batches and single-record changes),
// or save's locks; no other lock is taken while it is held, except the
// group-commit mutex (save marks the records it wrote as durable). The order
// and what each lock guards are annotated below (ACQUIRED_AFTER, GUARDED_BY,
// REQUIRES) and checked by clang's -Wthread-safety; docs/architecture.md
// lists every lock of the process. The text builder's mutex is taken
// holding nothing.
//
// One engine per directory per process: open_or_create hands a second
// opener of a directory the engine that already holds it, and the engine
// holds an exclusive lock on lock.hovra so that no other process opens it.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/vectors/distance.h"
#include "core/base/background_thread.h"
#include "core/base/defaults.h"
#include "core/base/error.h"
#include "core/base/file_io.h"
#include "core/base/function_ref.h"
#include "core/base/mapped_file.h"
#include "core/base/progress.h"
#include "core/base/thread_annotations.h"
#include "core/db/background_linker.h"
#include "core/db/checkpoint_policy.h"
#include "core/db/database_types.h"
#include "core/db/plan_cache.h"
#include "core/db/query_plan.h"
#include "core/db/save_work.h"
#include "core/records/filter.h"
#include "core/records/metadata_index.h"
#include "core/index/hnsw_index.h"
#include "core/records/byte_table.h"
#include "core/records/id_index.h"
#include "core/records/id_order.h"
#include "core/records/json.h"
#include "core/records/packed_json.h"
#include "core/vectors/vector_rows.h"
#include "core/storage/group_commit.h"
#include "core/storage/wal_scan.h"
#include "core/storage/wal_writer.h"
#include "core/text/sparse_index.h"
#include "core/text/text_index.h"

namespace hovra {

struct SaveSeal;
struct LogPrefix;

class Database {
 public:
  // Opens the database in options.path, or creates it when options.dim is
  // given. A directory this process already has open yields the same
  // engine (the creation parameters are then ignored; sync_writes, when
  // set, switches the shared engine to synced writes). A directory that
  // another process holds fails with InUse. A forked child never receives
  // its parent's engine.
  static Result<std::shared_ptr<Database>> open_or_create(const OpenOptions& options);
  // The engine this process has open on the directory (absolute path), or
  // null.
  static std::shared_ptr<Database> open_in_process(const std::string& dir);
  // A loaded engine that is not in the registry (a reader's), shared and
  // kept usable across fork like the registry's engines (see before_fork).
  static std::shared_ptr<Database> share_loaded(std::unique_ptr<Database> db);
  // Whether the directory holds a database or what is left of one (files
  // that hold data): a directory that is never created over.
  static bool exists_at(const std::string& dir);
  // Checks a directory's files without changing anything and without the
  // directory's lock: checksums against the checksum record, the graph and
  // record table, the vector files' sizes, reachability from the entry
  // point, and the log. CorruptData names the file that does not match.
  static Result<VerifyReport> verify_directory(const std::string& dir);
  // The same check, filling `report` as far as it gets before the first
  // damage.
  static Status check_directory(const std::string& dir, VerifyReport& report);
  // check_directory and a read-only load of the database, on one state of
  // the directory, plus the files' sizes. DatabaseNotFound when dir holds
  // no database; damage is reported in the Inspection.
  //
  // The load takes no lock and changes nothing in the directory: a save
  // that stopped after its commit point is read from its temporary files,
  // a torn log tail is ignored, and the log is replayed in memory only.
  // When a running writer's save replaces files meanwhile, the look is
  // taken again. With keep_snapshot the loaded database is handed back; it
  // is the caller's own (not shared with openers of the directory) and
  // every change to it fails with ReadOnly.
  static Result<Inspection> inspect_directory(const std::string& dir, bool keep_snapshot = false);
  // Keeps what can be kept of a log with damage in its middle, which open
  // refuses: every intact record, except those of a batch that lost a
  // record, so that batches stay all or nothing (see repair_log). Takes
  // the directory's lock (InUse while it is open anywhere) and replaces
  // wal.hovra through wal.tmp. A log that needs no repair is left alone.
  static Result<RepairReport> repair_directory(const std::string& dir);
  ~Database();

  // verify_directory for this database's files; no save runs meanwhile.
  Result<VerifyReport> verify() const;
  void require_sync_writes();
  // The exact-scan threshold of the searches (see OpenOptions).
  void set_exact_threshold(std::size_t components);
  std::size_t exact_threshold() const;
  const std::string& directory() const { return dir_; }

  // sparse: the record's sparse vector (normalised; nullptr or empty: none).
  Status add(const std::string& id, const std::vector<float>& vector, std::optional<JsonValue> metadata,
             const SparseVector* sparse = nullptr);
  Status upsert(const std::string& id, const std::vector<float>& vector, std::optional<JsonValue> metadata,
                const SparseVector* sparse = nullptr);
  // nullptr vector / metadata / sparse: leave that part unchanged (an
  // empty sparse vector removes the record's).
  Status update(const std::string& id, const std::vector<float>* vector, const JsonValue* metadata,
                const SparseVector* sparse = nullptr);
  // The record's sparse vector (empty when it has none).
  Result<SparseVector> get_sparse(const std::string& id) const;
  Result<bool> remove(const std::string& id);
  Result<RecordView> get(const std::string& id) const;
  bool contains(const std::string& id) const;
  std::size_t len() const;
  // The live count if the index lock can be had without waiting.
  std::optional<std::size_t> try_len() const;
  // Whether a search made now scans every row instead of walking the graph:
  // the database holds records and few enough of them.
  bool scans_every_row() const;
  std::size_t dim() const { return dim_; }
  Metric metric() const;

  // The long operations take an optional Progress: they report their
  // phases through it and stop early, with Cancelled, when it asks them to
  // while stopping still leaves everything as it was. A batch stops while
  // it is logged, never once it is linked; search_many stops between
  // queries; compact stops until it swaps in the new index; save stops
  // until its commit point (the temporary files are removed).
  Status add_many(const RecordBatch& batch, Progress* progress = nullptr);
  Status upsert_many(const RecordBatch& batch, Progress* progress = nullptr);
  Result<std::vector<SearchHit>> search(const std::vector<float>& query, const SearchParams& params) const;
  Result<std::vector<std::vector<SearchHit>>> search_many(const std::vector<std::vector<float>>& queries,
                                                          const SearchParams& params,
                                                          Progress* progress = nullptr) const;

  // shared: the filter when the caller shares it (see SearchParams).
  std::size_t count(const Filter* filter, std::shared_ptr<const Filter> shared = nullptr) const;
  // The path search() would take for k results with this filter (nullptr:
  // none) and beam width (nullopt: default_ef(k)), and its candidate
  // estimate; nothing is searched (database_records.cpp).
  SearchExplanation explain(const Filter* filter, std::size_t k, std::optional<std::size_t> ef) const;
  std::vector<std::string> ids() const;

  // Records by the batch and by the page (database_records.cpp).
  // get_many: per id, its record or nullopt, read in one pass under one
  // set of read locks (vectors only when include_vectors).
  std::vector<std::optional<RecordView>> get_many(const ByteTable& ids, bool include_vectors = true) const;
  // The next page of records in ascending id order. Each page is read at
  // one point in time; between pages, changes land, so a reader that goes
  // on from the last id it received sees each record that exists and
  // matches all along exactly once, and changes past that id as they are.
  std::vector<RecordRow> records_page(const PageRequest& request) const;
  // Deletes the records of the ids that exist (an id given twice counts
  // once), logged as one batch: all or nothing. Returns how many.
  Result<std::size_t> delete_many(const ByteTable& ids);
  // Deletes every record that satisfies the filter, chosen and deleted
  // under one hold of the id-map write lock and logged as one batch.
  Result<std::size_t> delete_where(const Filter& filter);
  // Updates existing records as one logged batch; every id must exist
  // (NotFound names the first that does not) and every vector must be
  // valid, else nothing changes.
  Status update_many(const UpdateBatch& batch);
  Status compact(Progress* progress = nullptr);

  // Two-phase commit across databases (database_prepared.cpp). A prepare
  // checks its batch as the plain operation does and logs it as a prepared
  // batch under the transaction id, but applies nothing: its records stay
  // invisible and its ids held (any other change to one fails with Held)
  // until resolve_prepared commits the batch (applied at once, as logged)
  // or aborts it (nothing of it remains, not even a deleted slot). Saves
  // and reopens keep an unresolved batch. A transaction id that is pending
  // already is refused with Held; an empty batch prepares nothing.
  Status prepare_add_many(const std::string& transaction, const RecordBatch& batch);
  Status prepare_upsert_many(const std::string& transaction, const RecordBatch& batch);
  // The number of records the batch will delete.
  Result<std::size_t> prepare_delete_many(const std::string& transaction, const ByteTable& ids);
  Result<std::size_t> prepare_delete_where(const std::string& transaction, const Filter& filter);
  // Logs the outcome and applies or drops the batch. False when the
  // transaction was not pending (resolved before, or never prepared here):
  // nothing is done, so a resolution may be repeated.
  Result<bool> resolve_prepared(const std::string& transaction, bool commit);
  // The pending transactions, in the order they were prepared.
  std::vector<std::string> prepared_transactions() const;

  void enable_quantized_search();
  // Walks on one-bit codes of every row, re-scoring each beam at full
  // precision (SQ8 codes, if any, are dropped).
  void enable_binary_search();
  bool binary_search() const;
  void disable_quantized_search();
  bool quantized_search() const;
  std::size_t deleted_count() const;
  std::size_t total_slots() const;
  IndexStats stats() const;
  // Bytes held per structure (vectors, norms, graph, quantizer, ids, id
  // map, metadata, metadata index, text index, sparse vectors, kept query
  // plans), then the heap as the allocator sees it and the process's
  // resident set.
  std::vector<MemoryPart> memory_usage() const;
  Status save(Progress* progress = nullptr);
  // Whether save leaves vectors.bin in place and appends the new rows: the
  // file holds the store's rows_in_file() as the last save wrote them, and
  // the rows replaced since are few enough to travel in the graph file.
  bool vectors_appendable() const REQUIRES(save_mutex_) REQUIRES_SHARED(index_lock_);
  // Appends the rows past rows_in_file() to vectors.bin (cutting off what
  // an interrupted save appended first), synced; the seal gets the size
  // and CRC-32 of the rows the file then holds.
  Status append_vector_rows(SaveSeal& seal, SaveWork& work) REQUIRES(save_mutex_) REQUIRES_SHARED(index_lock_);
  // Whether save appends a delta to graph.hovra rather than writing it
  // anew: vectors.bin is appended to (its replaced rows travel on), the
  // file is as the last save left it, and its deltas are still a small
  // share of it.
  bool graph_appendable(bool append_vectors) const REQUIRES(save_mutex_) REQUIRES_SHARED(index_lock_);
  // Appends the changes since the last save to graph.hovra as a delta
  // (cutting off what an interrupted save appended first), synced; the
  // seal gets the size and CRC-32 of the file then.
  Status append_graph_delta(SaveSeal& seal, SaveWork& work) REQUIRES(save_mutex_)
      REQUIRES_SHARED(id_map_lock_, index_lock_, metadata_lock_);
  // A save's first step, under the locks: every file written, unsynced
  // (see database_save.cpp).
  Status collect_save(SaveSeal& seal, SaveWork& work, Progress* progress) REQUIRES(save_mutex_);
  // A save's last step: the new log in place of the old one (replace_log,
  // under the WAL mutex), then the directory synced.
  Status switch_log(const SaveSeal& seal, const SaveWork& work) REQUIRES(save_mutex_);
  Status replace_log(const SaveSeal& seal, const SaveWork& work) REQUIRES(save_mutex_);
  // Notes that a slot's record changed, for the graph file's next delta.
  void note_record_changed(std::uint32_t slot) REQUIRES(metadata_lock_);

  // Text and sparse retrieval (database_text.cpp).
  // Defines a text index over the string values of a metadata field and
  // indexes the existing records: on a background thread, or here (with
  // progress) when `background` is false. The definition is logged.
  Status create_text_index(const TextIndexSpec& spec, bool background, Progress* progress = nullptr);
  Status drop_text_index();
  std::optional<TextIndexInfo> text_index_info() const;
  // Waits until the text index is built (progress may stop the wait).
  Status wait_text_index(Progress* progress = nullptr) const;
  Result<std::vector<SearchHit>> text_search(const std::string& text, std::size_t k, const Filter* filter) const;
  Result<std::vector<SearchHit>> sparse_search(const SparseVector& query, std::size_t k, const Filter* filter) const;
  Result<std::vector<SearchHit>> hybrid_search(const HybridQuery& query) const;
  // The text index's statistics for the analysed terms of `text` (shards
  // add them up), and a text search scored with statistics given.
  Result<CorpusStats> text_stats(const std::string& text) const;
  Result<std::vector<SearchHit>> text_search_with(const std::string& text, std::size_t k, const Filter* filter,
                                                  const CorpusStats& stats) const;
  std::size_t sparse_count() const;
  // The background linker (database_linker.cpp). Changes store their rows
  // fresh (searched exactly) and return; one thread per database links them
  // into the graph behind the writers, in chunks under the index write lock.
  // Rows waiting to be linked:
  std::size_t fresh_rows() const { return linker_.fresh(); }
  // The nodes the index's per-node arrays have room for. Takes the index
  // read lock.
  std::size_t node_capacity() const;
  // Whether a save would write anything: changes logged (or a compaction)
  // since the last save. False for a snapshot and in a forked child.
  bool has_unsaved_changes() const;
  // At interpreter exit: saves every database this process has open with
  // unsaved changes and stops every linker (later changes are stored fresh
  // and saved unlinked); returns the first error, after trying them all.
  static Status save_all_open();
  // Waits until every stored row is linked (true) or the timeout in seconds
  // passes (false). A stop asked for through progress ends the wait early
  // (false); the phase "linking" counts the rows linked meanwhile.
  bool wait_indexed(std::optional<double> timeout_seconds, Progress* progress = nullptr);

 private:
  Database() = default;

  // Fork safety (registry.cpp). Handlers registered with pthread_atfork at
  // the first open: before a fork every engine of the process is held with
  // its record locks shared (so no change is half-applied in the child's
  // copy, and the fork waits for running changes to finish); the parent
  // then lets go, and the child builds every lock of each engine anew,
  // since the threads that held them in the parent do not exist there. A
  // child can therefore search its inherited engines; changes are refused
  // (check_owner).
  static void register_fork_handlers();
  static void before_fork();
  static void after_fork_in_parent();
  static void after_fork_in_child();
  void hold_for_fork() NO_THREAD_SAFETY_ANALYSIS;
  void release_after_fork() NO_THREAD_SAFETY_ANALYSIS;
  void renew_locks_in_child() NO_THREAD_SAFETY_ANALYSIS;

  // Opening (database_files.cpp; saving in database_save.cpp, checking in
  // database_verify.cpp); the caller holds the directory's lock.
  static Result<std::unique_ptr<Database>> open_locked(const OpenOptions& options, const std::string& display);
  // read_only: change nothing in the directory (see inspect_directory).
  // Both build an engine that no other thread can reach before they return,
  // so they set its tables without its locks.
  // binary: one-bit search is asked for, so saved one-bit codes that
  // belong to the files are taken on.
  static Result<std::unique_ptr<Database>> load_existing(const std::string& dir, bool create_mode, bool quantize,
                                                         bool read_only = false,
                                                         bool binary = false) NO_THREAD_SAFETY_ANALYSIS;
  static Result<std::unique_ptr<Database>> create_new(const OpenOptions& options) NO_THREAD_SAFETY_ANALYSIS;
  void set_paths(const std::string& dir);
  // Reads the log, cuts it to its intact part and syncs it, replays the
  // part that continues the saved files of checkpoint `seal_generation`
  // (for generation 0, after the prefix a save already holds, when the log
  // begins with it) and sets the writer's state; a writer puts a new log
  // in place of one the files already hold. With read_only the files are
  // left as they are. Sets follow_.
  Result<FilePiece> read_log(bool read_only, std::shared_ptr<MappedFile>& map) const;
  Status recover_log(std::uint64_t seal_generation, const LogPrefix& saved_prefix, bool* prefix_skipped,
                     bool read_only = false);
  std::optional<LastingBytes> map_log_read(const FilePiece& piece, std::size_t skip, LogFrames& scan);
  // A read-only load (load_existing with read_only) taken again while a
  // running writer's save replaces the files under it.
  static Result<std::unique_ptr<Database>> load_snapshot(const std::string& dir);
  // Applies logged records (database_replay.cpp); the frames' bytes stay
  // alive meanwhile.
  // With `lasting`, the frames that lie in those bytes stay there, and a
  // reader's index may read their rows in place (HnswIndex::follow_only).
  void replay(const std::vector<LoggedFrame>& frames, const LastingBytes* lasting = nullptr);
  Status write_records(FileWriter& sink) const REQUIRES_SHARED(id_map_lock_, index_lock_, metadata_lock_);
  void apply_logged(const WalRecord& record);
  void apply_logged_locked(const WalRecord& record) REQUIRES(id_map_lock_);
  // Inserts of full vectors, applied as one upsert batch (the result of
  // applying them one by one, stored in one go).
  void apply_insert_run_locked(const WalRecord* records, std::size_t count) REQUIRES(id_map_lock_);
  // The same for plain inserts read where they lie in the log.
  void apply_insert_frames_locked(const LoggedFrame* frames, std::size_t count, const LastingBytes* lasting = nullptr)
      REQUIRES(id_map_lock_);
  std::pair<const void*, std::size_t> reserve_for_inserts_locked(std::size_t n) REQUIRES(id_map_lock_);

  // Prepared batches (database_prepared.cpp).
  // Logs a prepared batch of records and holds its ids; the ticket is the
  // one to wait on (durable) once the locks are let go.
  Status prepare_records(const std::string& transaction, std::vector<WalRecord> records, std::uint64_t& ticket)
      REQUIRES(id_map_lock_);
  // Held when an unresolved prepared batch holds the id.
  Status check_not_held(std::string_view id) const REQUIRES_SHARED(id_map_lock_);
  Status check_batch_not_held(const ByteTable& ids) const REQUIRES_SHARED(id_map_lock_);
  Status check_new_ids(const ByteTable& ids) const REQUIRES_SHARED(id_map_lock_);
  Status prepare_removals(const std::string& transaction, const std::vector<std::string_view>& ids,
                          std::uint64_t& ticket) REQUIRES(id_map_lock_);
  void hold(const PreparedLog& batch) REQUIRES(id_map_lock_);
  // A reader's side: the unresolved prepared batches, and their
  // replacement by what the next part of the log leaves unresolved.
  std::vector<PreparedLog> pending_prepared() const;
  void follow_prepared(std::vector<PreparedLog> batches);
  void apply_prepared_locked(const std::vector<WalRecord>& records) REQUIRES(id_map_lock_);
  // Items that exist replace their records, the rest are inserted (in
  // batch order, as upsert_many applies a logged batch).
  void upsert_batch_locked(const RecordBatch& batch, Progress* progress) REQUIRES(id_map_lock_);

  // Changes (database_changes.cpp). Every change checks its owner, logs under the
  // WAL mutex, applies, and then waits for the sync when writes are synced.
  Status check_owner() const;
  Status check_vector(const std::string& id, const std::vector<float>& vector) const;
  Status check_batch(const RecordBatch& batch) const;
  Status log_one(const WalRecord& record, std::uint64_t& ticket);
  Status log_batch(const RecordBatch& batch, std::uint64_t& ticket, Progress* progress);
  Status durable(std::uint64_t ticket);
  // After a change, holding no lock: wakes the linker, waits while the
  // fresh rows are over their bound (backpressure; a stop through progress
  // ends the wait, the change stays), then waits for durability.
  Status finish_change(std::uint64_t ticket, Progress* progress = nullptr);

  // The linker's work (database_linker.cpp): a chunk of fresh rows linked
  // under the index write lock, and the automatic checkpoint.
  void start_linker();
  BackgroundLinker::Chunk link_chunk(std::size_t chunk);
  void run_checkpoint();
  // Counts appended records for the automatic checkpoint (WAL mutex held).
  void count_logged(std::size_t records) REQUIRES(wal_mutex_) { checkpoints_.logged(wal_->contents_size(), records); }
  // Caller holds the index write lock: publishes the fresh count.
  void note_fresh_locked() REQUIRES(index_lock_) { linker_.publish(index_->fresh_count()); }

  // Record-table helpers (database_table.cpp); callers hold the locks named
  // in each definition.
  void apply_insert_locked(std::string_view id, const float* vector, std::optional<PackedValue> metadata,
                           const SparseVector* sparse = nullptr) REQUIRES(id_map_lock_);
  void record_slot_locked(std::uint32_t slot, std::string_view id, std::optional<PackedValue> metadata)
      REQUIRES(id_map_lock_, slot_ids_lock_, metadata_lock_, metadata_index_lock_);
  void reserve_record_tables_locked(std::size_t n) REQUIRES(id_map_lock_, slot_ids_lock_, metadata_lock_);
  // items: the batch positions to insert, in order (nullptr: all of them).
  void insert_batch_locked(const RecordBatch& batch, const std::vector<std::uint32_t>* items,
                           Progress* progress = nullptr) REQUIRES(id_map_lock_);
  // Replaces the whole record: the sparse vector too (nullptr: none).
  void replace_record_locked(std::uint32_t slot, const float* vector, std::optional<PackedValue> metadata,
                             const SparseVector* sparse = nullptr) REQUIRES(id_map_lock_);
  // slot_ids_ for a reader that holds the id-map lock but not the slot-ids
  // lock: every change to slot_ids_ holds the id-map lock exclusively, which
  // the analysis cannot express as a second guard.
  const ByteTable& ids_by_slot() const REQUIRES_SHARED(id_map_lock_) NO_THREAD_SAFETY_ANALYSIS { return slot_ids_; }
  // The slot of an id (kNone when absent).
  std::uint32_t slot_of(std::string_view id) const REQUIRES_SHARED(id_map_lock_) {
    return id_to_slot_.find(id, ids_by_slot());
  }
  // A slot's packed metadata.
  std::optional<PackedValue> metadata_at(std::uint32_t slot) const REQUIRES_SHARED(metadata_lock_) {
    if (slot >= slot_metadata_.size() || !slot_metadata_.present(slot)) return std::nullopt;
    return PackedValue(slot_metadata_.get(slot));
  }
  // Releases heap memory a large change freed.
  static void release_freed(std::size_t items);

  void replace_metadata(std::uint32_t slot, std::optional<PackedValue> metadata) REQUIRES(id_map_lock_);
  void clear_slot(std::uint32_t slot) REQUIRES(id_map_lock_);
  // Removes an id from the id map; its slot, or kNone.
  std::uint32_t forget_id_locked(std::string_view id) REQUIRES(id_map_lock_);
  std::vector<std::uint32_t> matching_slots(const Filter& filter) const REQUIRES_SHARED(id_map_lock_);
  // Tombstones many slots, each lock group taken once.
  void clear_slots(const std::vector<std::uint32_t>& slots) REQUIRES(id_map_lock_);
  // The removal of named records on their slots: logged, then applied
  // (database_records.cpp); finish_removal follows once the lock is released.
  Status remove_named_locked(const std::vector<std::string_view>& names, const std::vector<std::uint32_t>& slots,
                             std::uint64_t& ticket) REQUIRES(id_map_lock_);
  Result<std::size_t> finish_removal(std::size_t deleted, std::uint64_t ticket);
  // Logs a batch of records built by make(i) for i below count. Takes the
  // WAL mutex.
  Status log_records(std::size_t count, FunctionRef<WalRecord(std::size_t)> make, std::uint64_t& ticket)
      REQUIRES(id_map_lock_);
  std::vector<SearchHit> assemble(const std::vector<Hit>& hits, const float* query,
                                  std::optional<double> max_distance) const
      REQUIRES_SHARED(index_lock_, slot_ids_lock_, metadata_lock_);
  // A hit of a search: the slot's id and metadata, with its distance.
  SearchHit hit_of(std::uint32_t slot, float distance) const REQUIRES_SHARED(slot_ids_lock_, metadata_lock_);
  // A search's filter and its plan, with the metadata-index read lock held
  // while the plan (which borrows the index's lists) is in use. One scope
  // serves every query of a search_many.
  struct FilterScope {
    const Filter* filter = nullptr;
    SharedHold metadata_index_lock;
    std::shared_ptr<const QueryPlan> plan;
  };
  FilterScope filter_scope(const Filter* filter, std::shared_ptr<const Filter> shared = nullptr) const
      REQUIRES_SHARED(index_lock_);
  // The filter's plan over the metadata index as it is now: the kept one
  // when the filter was planned before, else a new one, kept (with the
  // filter itself when the caller shares it as `shared`).
  std::shared_ptr<const QueryPlan> plan_of(const Filter& filter, std::shared_ptr<const Filter> shared = nullptr) const
      REQUIRES_SHARED(index_lock_, metadata_index_lock_);
  std::vector<Hit> run_search(const float* query, std::size_t k, std::size_t ef, const FilterScope& scope) const
      REQUIRES_SHARED(index_lock_, slot_ids_lock_, metadata_lock_);
  // What the plan's test and scan cost, in the filter the index searches with.
  void price_filter(const QueryPlan& plan, SlotFilter& filter) const REQUIRES_SHARED(index_lock_);
  // Whether a walk for k hits at ef with the filter is expected to cost
  // more than its scan, as far as the filter's share of the live records
  // tells (expected_walk_cost): what a plan goes by before any walk with
  // its filter ran.
  bool walk_looks_dear(const SlotFilter& filter, std::size_t k, std::size_t ef) const REQUIRES_SHARED(index_lock_);

  // Text and sparse upkeep (database_text.cpp). Callers hold the metadata
  // write lock (or, building, the read lock); these take the text lock.
  void text_set(std::uint32_t slot, std::optional<PackedValue> metadata);
  // Replaces the slot's sparse vector (nullptr or empty: none).
  void sparse_set(std::uint32_t slot, const SparseVector* sparse);
  void text_clear(std::uint32_t slot);
  // Renumbers both indexes after a compaction (old slot -> new slot).
  void text_renumber(const std::vector<std::uint32_t>& live);
  // Caller holds the text write lock and the metadata lock.
  void text_index_slot_locked(std::uint32_t slot, std::optional<PackedValue> metadata) REQUIRES(text_lock_);
  // The next chunk of slots the text index does not cover yet; caller holds
  // the index and metadata read locks and the text write lock.
  std::uint32_t text_index_chunk_locked() REQUIRES_SHARED(index_lock_, metadata_lock_) REQUIRES(text_lock_);
  // Indexes every slot now (replay, open, creation without a thread);
  // caller holds nothing.
  Status build_text_index_now(Progress* progress);
  void start_text_builder();
  void run_text_builder(std::uint64_t generation, const std::atomic<bool>& stop);
  // Applies a logged definition (or drop) without logging it.
  void define_text_index(const std::optional<TextIndexSpec>& spec);
  // Text searches on the locks a search holds; see database_text.cpp.
  std::vector<ScoredSlot> text_hits(const std::string& text, std::size_t k, const FilterScope& scope,
                                    const CorpusStats* stats) const REQUIRES_SHARED(metadata_lock_, text_lock_);
  // text_search and text_search_with: a text search under its locks.
  Result<std::vector<SearchHit>> scored_text_search(const std::string& text, std::size_t k, const Filter* filter,
                                                    const CorpusStats* stats) const;
  std::vector<ScoredSlot> sparse_hits(const SparseVector& query, std::size_t k, const FilterScope& scope) const
      REQUIRES_SHARED(metadata_lock_, text_lock_);
  // The text and sparse searches' one way with a filter: none, the few
  // candidates, or the filter asked per slot; `search` runs the retriever
  // with a predicate or a candidate list (or neither).
  using ScoredSearch =
      FunctionRef<std::vector<ScoredSlot>(const SlotPredicate* allow, const std::vector<std::uint32_t>* candidates)>;
  std::vector<ScoredSlot> scored_under_filter(const FilterScope& scope, std::size_t documents,
                                              ScoredSearch search) const REQUIRES_SHARED(metadata_lock_);
  // The slots a filtered text or sparse search scores: the filter's
  // candidates when they are few (ascending), else none (a predicate then).
  std::optional<std::vector<std::uint32_t>> few_candidates(const FilterScope& scope, std::size_t documents) const
      REQUIRES_SHARED(metadata_lock_);
  std::vector<SearchHit> assemble_scored(const std::vector<ScoredSlot>& hits) const
      REQUIRES_SHARED(slot_ids_lock_, metadata_lock_);
  // The text file: encode for save, apply when loading.
  std::string encode_text_file() const REQUIRES_SHARED(text_lock_);
  // (Loading runs before any other thread can see the database.)
  Status load_text_file(std::string_view bytes) NO_THREAD_SAFETY_ANALYSIS;

  // Persistence state. The directory's lock is released last, after the
  // log and the mapped files.
  FileLock dir_lock_;  // lock.hovra, held for the engine's life
  std::string dir_;    // the directory as the opener gave it: for messages only
  std::string root_;   // the directory made absolute at open: every file operation uses it
  std::string graph_path_, vectors_path_, sq8_path_, wal_path_;
  bool persist_quantized_ = false;
  std::size_t dim_ = 0;
  // What the last save left in vectors.bin and graph.hovra for the next
  // one to append to (save_work.h); empty when the next writes it whole.
  std::optional<VectorsInFile> vectors_in_file_ GUARDED_BY(save_mutex_);
  std::optional<GraphInFile> graph_in_file_ GUARDED_BY(save_mutex_);

  // The locks, in their order (ACQUIRED_AFTER), and what each guards.
  mutable Mutex save_mutex_;  // serialises saves (shared temporary names) and verify
  // The ids by slot (slot_ids_) and the map from id to slot (id_to_slot_,
  // which reads its keys from slot_ids_). Every change to slot_ids_ also
  // holds the id-map write lock, so the id-map lock alone, shared, lets a
  // reader use both (through ids_by_slot()).
  mutable SharedMutex id_map_lock_ ACQUIRED_AFTER(save_mutex_);
  IdIndex id_to_slot_ GUARDED_BY(id_map_lock_);
  // Unresolved prepared batches in the order they were prepared, and the
  // ids they hold (id -> transaction).
  std::vector<PreparedLog> prepared_ GUARDED_BY(id_map_lock_);
  std::unordered_map<std::string, std::string> held_ids_ GUARDED_BY(id_map_lock_);
  mutable SharedMutex index_lock_ ACQUIRED_AFTER(id_map_lock_);
  std::unique_ptr<HnswIndex> index_ GUARDED_BY(index_lock_) PT_GUARDED_BY(index_lock_);
  mutable SharedMutex slot_ids_lock_ ACQUIRED_AFTER(index_lock_);
  ByteTable slot_ids_ GUARDED_BY(slot_ids_lock_);  // absent for a deleted slot
  mutable SharedMutex metadata_lock_ ACQUIRED_AFTER(slot_ids_lock_);
  ByteTable slot_metadata_ GUARDED_BY(metadata_lock_);  // packed; absent when a slot has none
  mutable SharedMutex metadata_index_lock_ ACQUIRED_AFTER(metadata_lock_);
  MetadataIndex metadata_index_ GUARDED_BY(metadata_index_lock_);
  // The plans of the last filters searched, valid for the metadata index's
  // generation they were built at (their lists are the index's, read under
  // the metadata-index read lock like any plan's).
  mutable PlanCache plan_cache_;
  // The slots in id order for records_page: taken while holding the
  // id-map lock (read) and let go before the next lock. Inserts and deletes
  // count in id_changes_; a compaction, which renumbers the slots, counts
  // in id_generation_.
  mutable Mutex id_order_mutex_ ACQUIRED_AFTER(id_map_lock_) ACQUIRED_BEFORE(index_lock_);
  mutable IdOrder id_order_ GUARDED_BY(id_order_mutex_);
  std::atomic<std::uint64_t> id_changes_{0};
  std::atomic<std::uint64_t> id_generation_{0};
  // The text index (absent: none) and the sparse vectors. A text index
  // being built covers slots below built_below from their metadata;
  // changes keep every slot they touch up to date.
  struct TextState {
    TextIndexSpec spec;
    std::unique_ptr<TextIndex> index;
    std::uint32_t built_below = 0;
    bool complete = false;
    std::uint64_t generation = 0;
  };
  // The slots whose metadata changed since the graph file last took them
  // (for its next delta; a slot may repeat). A leaf: taken holding the
  // metadata lock (write, or shared by a save), nothing taken under it.
  mutable Mutex record_changes_mutex_ ACQUIRED_AFTER(metadata_index_lock_);
  std::vector<std::uint32_t> records_changed_ GUARDED_BY(record_changes_mutex_);
  mutable SharedMutex text_lock_ ACQUIRED_AFTER(metadata_index_lock_);
  std::unique_ptr<TextState> text_ GUARDED_BY(text_lock_) PT_GUARDED_BY(text_lock_);
  SparseIndex sparse_ GUARDED_BY(text_lock_);
  std::uint64_t text_generation_ GUARDED_BY(text_lock_) = 0;
  mutable Mutex wal_mutex_ ACQUIRED_AFTER(text_lock_);
  std::unique_ptr<Wal> wal_ PT_GUARDED_BY(wal_mutex_);  // set at open, then only used under the mutex
  GroupCommit group_commit_;                            // its own mutex comes after the WAL mutex
  std::atomic<bool> sync_writes_{false};
  int owner_pid_ = 0;       // the process that opened the directory
  bool read_only_ = false;  // a read-only load (a reader's, or a snapshot of inspect_directory)
  // How far a read-only load has read the log: set at load, then advanced
  // by the Reader that owns the engine, under its own mutex.
  LogPosition follow_;
  // A read-only load's map of the log it read, as far as it took (its rows
  // are read there); the Reader goes on with it.
  std::shared_ptr<MappedFile> follow_map_;
  friend class Reader;
  // The background text builder (its mutex is taken holding nothing: the
  // builder takes the locks above).
  BackgroundThread text_builder_;

  // The background linker (a leaf mutex of its own) and the automatic
  // checkpoint's state.
  BackgroundLinker linker_;
  CheckpointPolicy checkpoints_;
};

}  // namespace hovra
