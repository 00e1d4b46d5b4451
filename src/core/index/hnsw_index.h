// HnswIndex: the owner of a layered neighbour graph over a VectorStore
// (with the rows' norms, the SQ8 quantizer or the one-bit codes and the
// tombstones), of the fresh rows (stored, searched exactly, not yet linked)
// and the planner of its
// searches: the graph walk or the exhaustive scan, the exact scan of the
// fresh rows merged in, and the re-scoring of what a walk returns. The graph
// lives in graph.h (as a file stores it: graph_layout.h), the walks in walk.h, insertion and repair in build.cpp
// (neighbour selection in neighbours.cpp), the fresh rows in fresh_rows.cpp.
// Callers hold the database's index lock: shared for searches and reads,
// exclusive for every change.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/base/defaults.h"
#include "core/base/function_ref.h"
#include "core/base/progress.h"
#include "core/index/graph.h"
#include "core/index/graph_layout.h"
#include "core/index/hit.h"
#include "core/index/index_types.h"
#include "core/vectors/binary_codes.h"
#include "core/vectors/distance.h"
#include "core/vectors/quantize.h"
#include "core/vectors/vector_rows.h"
#include "core/vectors/vector_store.h"

namespace hovra {

// A value no index of this process has shown as its rows' version.
std::uint64_t next_rows_version();

struct ScanRows;
class Linker;

class HnswIndex {
 public:
  // An empty index; m must be at least 2 (checked by the database).
  HnswIndex(std::size_t dim, Metric metric, std::size_t m, std::size_t ef_construction);
  HnswIndex(const HnswIndex&) = delete;
  HnswIndex& operator=(const HnswIndex&) = delete;

  // An index from a loaded layout, store and norms. The caller has checked
  // every slot of the layout against the node count and the store's size.
  // The per-node arrays get room for `room` nodes (at least the layout's),
  // so that the rows stored after the load do not copy them until they
  // pass it: a reader following a writer's log keeps the arrays it loaded.
  static std::unique_ptr<HnswIndex> from_layout(GraphLayout layout, VectorStore store, std::vector<float> norms,
                                                std::size_t room = 0);

  // A reader's index, which never links: the rows stored from now on take
  // no neighbour-list room (Graph::fix_lists), and those given in lasting
  // bytes (VectorRows::logged: the log the reader follows, mapped) are
  // read where they lie instead of being copied (VectorStore's rows
  // outside). Linking would give the lists back and copy those rows in.
  void follow_only() {
    graph_.fix_lists();
    rows_in_place_ = true;
  }

  std::size_t dim() const { return dim_; }
  Metric metric() const { return metric_; }
  std::size_t m() const { return graph_.m(); }
  std::size_t m_max0() const { return graph_.m_max0(); }
  std::size_t ef_construction() const { return ef_construction_; }
  std::size_t node_count() const { return graph_.node_count(); }
  // The nodes the per-node arrays have room for (reserve_nodes grows it).
  std::size_t node_capacity() const { return graph_.capacity(); }
  std::size_t live_count() const { return live_count_.load(std::memory_order_relaxed); }
  std::uint32_t entry_point() const { return graph_.entry_point(); }
  std::size_t max_level() const { return graph_.max_level(); }
  const std::unordered_set<std::uint32_t>& deleted() const { return deleted_; }
  bool is_deleted(std::uint32_t slot) const { return slot < dead_.size() && dead_[slot] != 0; }
  std::size_t level(std::uint32_t slot) const { return graph_.level(slot); }
  // A copy of one neighbour list, taken under its lock.
  void copy_list(std::uint32_t slot, std::size_t layer, std::vector<std::uint32_t>& out) const {
    graph_.copy_list(slot, layer, out);
  }

  // What changed since the graph file last took the marks (a delta of it
  // holds only that): a node's lists or levels, the rows overwritten and
  // the slots deleted since (in the order they changed; a slot may repeat).
  bool lists_changed(std::uint32_t slot) const { return graph_.changed(slot); }
  void clear_lists_changed(std::uint32_t slot) const { graph_.clear_changed(slot); }
  void mark_lists_changed(std::uint32_t slot) const { graph_.mark_changed(slot); }
  const std::vector<std::uint32_t>& rows_changed() const { return rows_changed_; }
  const std::vector<std::uint32_t>& deleted_since() const { return deleted_since_; }
  // Forgets the rows and deletions noted (the node marks are cleared one by
  // one as the nodes are written). The caller holds the index lock shared
  // and is the only one to take the marks (saves are serialised); changes
  // that note them hold it exclusively.
  void forget_noted_changes() const {
    rows_changed_.clear();
    deleted_since_.clear();
  }

  // Changes whenever a stored row is overwritten, and no two indexes of
  // the process share one: a copy of rows taken while the index showed a
  // value holds the store's rows for as long as it still shows it (rows
  // appended later are new slots, which the copy does not hold).
  std::uint64_t rows_version() const { return rows_version_; }

  const VectorStore& store() const { return store_; }
  // What the vector file holds now (VectorStore::note_rows_in_file).
  void note_rows_in_file(std::size_t rows, bool whole) { store_.note_rows_in_file(rows, whole); }
  const std::vector<float>& norms() const { return norms_; }
  const float* vector(std::uint32_t slot) const { return store_.vector(slot); }
  // A row read here and there (VectorStore::read_row): buf holds dim floats.
  const float* read_row(std::uint32_t slot, float* buf) const { return store_.read_row(slot, buf); }
  // A slot's row copied into out (dim floats), wherever it lies; vector()
  // refuses the rows that lie outside the store (see follow_only).
  void copy_row(std::uint32_t slot, float* out) const { store_.copy_row(slot, out); }
  // A slot's row where it lies in the store, or copied into buf (dim
  // floats) when it lies outside.
  const float* row_at(std::uint32_t slot, float* buf) const {
    if (slot < store_.near_slots()) return store_.vector(slot);
    store_.copy_row(slot, buf);
    return buf;
  }
  bool rows_read_on_demand() const { return store_.reads_from_file(); }
  // Several rows so (VectorStore::read_rows).
  void read_rows(const std::uint32_t* slots, std::size_t count, float* buf, const float** rows) const {
    store_.read_rows(slots, count, buf, rows);
  }
  const Sq8Quantizer* quantizer() const { return quantizer_ ? &*quantizer_ : nullptr; }
  // Takes on codes read from a file; lists their exceptions when the file
  // did not (one-bit codes, if any, are dropped).
  void set_quantizer(Sq8Quantizer q);
  // The one-bit codes a binary search walks on (nullptr: none).
  const BinaryCodes* binary_codes() const { return binary_ ? &*binary_ : nullptr; }
  // Takes on one-bit codes read from a file, one row per slot (SQ8 codes,
  // if any, are dropped).
  void set_binary_codes(BinaryCodes codes) {
    quantizer_.reset();
    binary_ = std::move(codes);
  }
  // After an open: reads the vector rows the first searches need into
  // memory before returning, so that they do not wait on the disk page by
  // page. Every row of a store up to kLoadAtOpenBytes; else the rows of the
  // upper layers' nodes, highest layers first, up to kUpperRowsAtOpenBytes,
  // and of the entry point's layer-0 neighbours, with the rest warmed in
  // the background. With quantized search on, none: the map is advised for
  // scattered reads. An owned store has them already.
  void load_first_rows() const;
  // Whether searches scan every row instead of walking the graph (the index
  // is small enough: live records x dim below the exact-scan threshold).
  bool uses_brute_force() const;
  // The exact-scan threshold in components (kExactScanComponents unless
  // set): a shard of a larger collection sets its share of the whole's.
  std::size_t exact_threshold() const { return exact_threshold_.load(std::memory_order_relaxed); }
  void set_exact_threshold(std::size_t components) { exact_threshold_.store(components, std::memory_order_relaxed); }

  // Searches: min(k, live slots that pass) hits in ascending distance, none
  // deleted. The query's length must equal dim (Panic otherwise). The graph
  // walk fills its beam with live (and passing) slots only; a filter that few
  // slots pass is answered by an exact scan of them instead, and so is a walk
  // that measures more nodes than could pass or ends short of k.
  std::vector<Hit> search(const float* query, std::size_t len, std::size_t k, std::size_t ef) const;
  std::vector<Hit> search_filtered(const float* query, std::size_t len, std::size_t k, std::size_t ef,
                                   const SlotFilter& filter) const;
  // Whether search_filtered, for k hits at beam width ef with at most
  // `passing` live slots passing, starts with the graph walk (true) or
  // scans exactly (false). A walk still scans when it gives up, which it
  // does at the latest once the nodes it measured and the slots it tested
  // cost about as much as that scan (a tenth more than scan_cost).
  bool filtered_search_walks(std::size_t passing, std::size_t k, std::size_t ef) const;

  // The cost model of a filtered search, in nanoseconds of one core's time
  // as measured on an AMD EPYC (Zen 4) with the walks and scans of 59,021
  // x 384 and 100,000 x 128 rows under filters passing a tenth of them;
  // only the ratios matter. A node the walk measures is found through the
  // graph, its row fetched from anywhere in the store, and the walk marks
  // it and keeps two heaps: 150-300 ns whatever the dimension, where the
  // exact scan reads the next row of a list (10-70 ns, see scan_cost).
  // What testing a slot costs is the caller's (SlotFilter::test_cost, in
  // the same units).
  static constexpr std::size_t kWalkNodeCost = 200;
  // The exact scan of `passing` slots of the filter.
  std::size_t scan_cost(std::size_t passing, const SlotFilter& filter) const;

  // The unfiltered search of every query, in query order: exactly search()
  // per query. On the exhaustive path without tombstones the rows are scored
  // for all queries together; otherwise the queries run on the worker pool.
  // Each query holds dim floats. progress counts the queries done; once it
  // asks to stop, the remaining queries are skipped and the result must be
  // thrown away.
  std::vector<std::vector<Hit>> search_batch(const std::vector<const float*>& queries, std::size_t k, std::size_t ef,
                                             Progress* progress = nullptr) const;

  // Changes (exclusive lock).
  std::uint32_t insert(const float* v, std::size_t len);
  // Vectors given as pointers to dim floats each; lens checked first.
  // progress counts the vectors linked. With stoppable, a stop asked for
  // through progress ends the batch early with an empty result, and the
  // index is left half-built: only an index that is thrown away afterwards
  // (a compaction's new one) may be given stoppable.
  std::vector<std::uint32_t> insert_batch(const std::vector<const float*>& vectors,
                                          const std::vector<std::size_t>& lens, Progress* progress = nullptr,
                                          bool stoppable = false);
  // The same for rows read where they lie, as they are appended; every
  // row's length is checked first.
  std::vector<std::uint32_t> insert_batch(const VectorRows& rows, Progress* progress = nullptr,
                                          bool stoppable = false);
  void mark_deleted(std::uint32_t slot);
  // SQ8 codes of every row (the one-bit codes are dropped).
  void enable_quantization();
  // One-bit codes of every row (the SQ8 codes are dropped).
  void enable_binary_quantization();
  // Back to full-precision walks: both kinds of codes dropped.
  void disable_quantization() {
    quantizer_.reset();
    binary_.reset();
  }

  IndexStats stats() const;
  IndexMemory memory_usage() const;

  // Fresh rows (fresh_rows.cpp). A fresh row is stored in its slot (row,
  // norm, SQ8 codes, node with its level drawn and its lists empty) and
  // counted live, but not linked into the graph yet: every search scans the
  // fresh rows exactly and merges them with the walk's answer, so a stored
  // row is found at once. New slots are fresh from linked_end() on (slots
  // are handed out in order); a linked slot whose row is replaced waits in
  // the relink list. link_fresh links them in the order they came.
  //
  // Stores a row in the next slot, fresh; returns the slot.
  std::uint32_t store_fresh(const float* v, std::size_t len);
  // The same for many rows, in order; their slots are consecutive.
  std::vector<std::uint32_t> store_fresh_batch(const VectorRows& rows);
  // Room for n more rows, so that the batches storing them (in pieces)
  // grow nothing.
  void reserve_fresh(std::size_t n);
  // Overwrites a slot's row (and norm and codes); a linked slot is relinked
  // later by link_fresh, and searched exactly meanwhile.
  void replace_vector(std::uint32_t slot, const float* v, std::size_t len);
  // Rows waiting to be linked (deleted ones included until they are passed).
  std::size_t fresh_count() const { return relink_.size() + (graph_.node_count() - linked_end_); }
  std::size_t linked_end() const { return linked_end_; }
  // Whether the slot waits to be linked (its lists are not its own yet).
  bool is_unlinked(std::uint32_t slot) const { return slot < unlinked_.size() && unlinked_[slot] != 0; }
  // Nodes linked apart from the others whose check (find_apart) waits for
  // the fresh rows to be linked; a save writes them as fresh rows, so that
  // an open relinks them and checks them again.
  const std::vector<std::uint32_t>& apart_pending() const { return apart_; }
  // Links at most max_rows fresh rows, the relinked ones first, then the new
  // slots in slot order, the new ones as one batch (in parallel on the
  // worker pool when the graph is large enough); deleted slots are passed
  // over. Returns how many rows it took off the fresh set.
  std::size_t link_fresh(std::size_t max_rows, Progress* progress = nullptr);
  // After loading a graph file saved with unlinked rows (has_unlinked):
  // every live node other than the entry point whose layer-0 list is empty
  // (a saved fresh row) becomes fresh again.
  void adopt_unlinked();

 private:
  friend class Linker;  // linker.h: links nodes into the graph and repairs it

  // Node growth and reachability upkeep (build.cpp).
  void reserve_nodes(std::size_t nodes);
  // Appends a node for row v; with `lies_at`, the store reads the row
  // there (the same floats as v, in lasting bytes) instead of a copy.
  void append_node(const float* v, std::size_t level, const unsigned char* lies_at = nullptr,
                   const LastingBytes* lasting = nullptr);
  // Copies the rows that lie outside the store into it (before linking or
  // training codes, which read the rows one after another).
  void bring_rows_in() {
    if (store_.outside_rows() > 0) store_.make_owned();
  }
  void note_changes(std::size_t count);
  void audit_after_drain(std::size_t stretch);
  // Makes the nodes linked apart from the others (apart_) findable by their
  // own vectors (note_changes calls it once no other fresh rows wait).
  void find_apart();
  // Links stored nodes (ascending, each live and not yet linked) as one
  // batch: the first alone while the graph is small (all of the first
  // kParallelBatchAbove with sequential_head), the rest in parallel on the
  // worker pool. False when stoppable and progress asked to stop.
  bool link_stored(const std::vector<std::uint32_t>& slots, Progress* progress, bool stoppable, bool sequential_head);
  // Overwrites a slot's row, norm and codes, leaving its links as they are.
  void overwrite_row(std::uint32_t slot, const float* v, std::size_t len);
  void note_row_changed(std::uint32_t slot);
  // Relinks a stored node whose row changed (build.cpp).
  void relink_node(std::uint32_t slot);
  // The exact hits among the fresh rows that admit passes (fresh_rows.cpp).
  std::vector<Hit> scan_fresh(const float* query, std::size_t k, SlotPredicate* admit) const;
  // The exact scans over every row of the store, those outside it included
  // (gathered block by block): scan_slots of the listed slots, and
  // scan_all_rows and scan_all_rows_many of every row (fresh_rows.cpp).
  std::vector<Hit> scan_listed(const float* query, const std::uint32_t* slots, std::size_t count,
                               std::size_t k) const;
  std::vector<Hit> scan_every_row(const float* query, std::size_t k, bool* norms_hold) const;
  void scan_every_row_many(const float* const* queries, std::size_t count, std::size_t k,
                           std::vector<std::vector<Hit>>& out, Progress* progress) const;
  void mark_stored_fresh(std::uint32_t slot);
  std::size_t draw_level();

  // The walk of a search through every layer (Admit as in walk.h), and the
  // k best of its beam at full precision.
  template <class Admit>
  std::vector<Hit> beam(const float* query, std::size_t ef, Admit& admit) const;
  std::vector<Hit> best_of_beam(const float* query, std::vector<Hit> beam, std::size_t k) const;
  template <class Admits>
  void add_exceptions(const float* query, std::vector<Hit>& hits, std::size_t k, Admits&& admits) const;
  bool walk_is_cheaper(std::size_t passing, std::size_t width) const;
  ScanRows scan_rows() const;
  std::vector<Hit> exhaustive(const float* query, std::size_t k, SlotPredicate* predicate,
                              const std::vector<std::uint32_t>* scan, const float* scan_rows_copy = nullptr) const;

  std::size_t dim_;
  Metric metric_;
  std::size_t ef_construction_;
  double level_mult_;
  VectorStore store_;
  std::vector<float> norms_;
  // Whether every norm in norms_ bounds its row (see ScanRows): norms this
  // index computes always do; norms read from a file do once a scan has
  // checked them. Scans under the read lock may settle it.
  mutable std::atomic<bool> norms_bound_rows_{true};
  Graph graph_;
  std::optional<Sq8Quantizer> quantizer_;
  std::optional<BinaryCodes> binary_;  // never beside quantizer_
  std::unordered_set<std::uint32_t> deleted_;
  std::vector<std::uint8_t> dead_;  // per slot, 1 when in deleted_
  std::atomic<std::size_t> live_count_{0};
  std::atomic<std::size_t> exact_threshold_{kExactScanComponents};
  std::size_t changes_since_audit_ = 0;  // insertions and updates since the last reachability audit
  std::vector<std::uint32_t> apart_;     // nodes linked apart from the others, until find_apart
  // Fresh rows: slots from linked_end_ on, and the relink list (linked
  // slots whose rows changed, in the order they changed); unlinked_ marks
  // both, per slot.
  std::uint32_t linked_end_ = 0;
  std::vector<std::uint32_t> relink_;
  std::vector<std::uint8_t> unlinked_;
  std::size_t linked_in_stretch_ = 0;  // rows linked since the fresh rows were last drained
  // Noted for the graph file's next delta (see rows_changed()).
  mutable std::vector<std::uint32_t> rows_changed_;
  mutable std::vector<std::uint32_t> deleted_since_;
  std::uint64_t rows_version_ = next_rows_version();
  // A reader's: rows in lasting bytes are read where they lie (follow_only).
  bool rows_in_place_ = false;
};

}  // namespace hovra
