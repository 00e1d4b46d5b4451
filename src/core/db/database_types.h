// The plain structures that Database's calls take and give: the options of
// an open, the batches of records, search parameters and hits, hybrid
// queries, pages of records, and the reports of verify, repair, inspection,
// explain and memory_usage; with the default beam width and the check of a
// query vector. database.h holds the Database itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/defaults.h"
#include "core/base/error.h"
#include "core/index/hnsw_index.h"
#include "core/records/byte_table.h"
#include "core/records/filter.h"
#include "core/records/packed_json.h"
#include "core/storage/wal.h"
#include "core/text/sparse_index.h"
#include "core/text/text_index.h"
#include "core/vectors/distance.h"
#include "core/vectors/vector_rows.h"

namespace hovra {

class Database;

struct OpenOptions {
  std::string path;
  std::optional<std::size_t> dim;  // nullopt: open an existing database only
  Metric metric = Metric::Cosine;
  std::size_t m = kDefaultM;
  std::size_t ef_construction = kDefaultEfConstruction;
  bool quantize = false;
  // Walk on one-bit codes made from the vectors at open (not saved),
  // re-scoring each beam at full precision.
  bool binary_search = false;
  // Sync every change to stable storage before it returns.
  bool sync_writes = false;
  // A text index to define when the database is created.
  std::optional<TextIndexSpec> text_index;
  // Searches scan exactly while live records x dim stay below this many
  // components (nullopt: kExactScanComponents, or what the engine has).
  // Not stored: every open chooses it.
  std::optional<std::size_t> exact_threshold;
  // Save in the background once the log holds this many bytes or records
  // (autocheckpoint), without being asked.
  bool autocheckpoint = true;
  std::uint64_t checkpoint_bytes = kDefaultCheckpointBytes;
  std::uint64_t checkpoint_records = kDefaultCheckpointRecords;
};

// What repair_directory did to a log with damage in its middle.
struct RepairReport {
  bool log_damaged = false;  // false: nothing needed repair, nothing changed
  std::uint64_t kept_records = 0;
  std::uint64_t damaged_spans = 0;  // each is at least one lost change
  std::uint64_t damaged_bytes = 0;
  std::uint64_t dropped_batch_records = 0;
  std::uint64_t uncommitted = 0;
};

// What a check of a database directory found (verify, verify_directory).
struct VerifyReport {
  bool has_checksums = false;  // the directory holds a checksum record
  std::size_t dim = 0;
  std::uint64_t nodes = 0;  // slots, live and deleted
  std::uint64_t live = 0;
  std::uint64_t unreachable = 0;  // live nodes no search from the entry point reaches
  bool quantized_file = false;    // vectors.sq8 belongs to the saved state
  bool text_file = false;         // text.hovra belongs to the saved state
  std::uint64_t log_bytes = 0;
  std::uint64_t log_records = 0;      // records a reopen would replay
  std::uint64_t log_skipped = 0;      // intact frames that do not decode
  std::uint64_t log_uncommitted = 0;  // records of batches that never committed
  std::uint64_t log_torn_bytes = 0;   // bytes after the last intact record or batch
  // Prepared batches (two-phase commit) that no resolution follows yet, and
  // their records: invisible until their transaction is resolved.
  std::uint64_t log_prepared = 0;
  std::uint64_t log_prepared_records = 0;
};

// What a text index is and how far its building has got.
struct TextIndexInfo {
  TextIndexSpec spec;
  bool building = false;
  std::uint64_t indexed_slots = 0;  // slots the build has covered
  std::uint64_t total_slots = 0;
  std::uint64_t documents = 0;  // records with terms in the index
  std::uint64_t terms = 0;      // distinct terms
  std::uint64_t total_length = 0;
};

// What a read-only look at a database directory found (inspect_directory):
// the check of verify_directory and what a reopen would hold, that is the
// saved files with the log replayed in memory.
struct Inspection {
  // The database files present (temporaries included) and their sizes.
  std::vector<std::pair<std::string, std::uint64_t>> files;
  VerifyReport check;                 // as far as the check got
  std::optional<DbError> damage;      // the first damage the check found
  std::optional<DbError> load_error;  // why the database could not be loaded
  // Valid when the database loaded (no load_error):
  std::size_t dim = 0;
  Metric metric = Metric::Cosine;
  std::size_t m = 0;
  std::size_t ef_construction = 0;
  std::uint64_t live = 0;
  std::uint64_t deleted = 0;
  std::uint64_t total_slots = 0;
  bool persist_quantized = false;  // saves write vectors.sq8
  IndexStats stats;
  std::optional<TextIndexInfo> text_index;
  std::uint64_t sparse_vectors = 0;
  // The loaded database, when asked for: read-only (see open_snapshot).
  std::shared_ptr<Database> snapshot;
};

// A batch for add_many and upsert_many: item i is ids[i], rows row i and
// metadata[i]. The rows are read where they lie (the caller keeps them
// alive and unchanged for the call); the metadata is packed, and an empty
// table means that no item has any.
struct RecordBatch {
  ByteTable ids;
  VectorRows vectors;
  ByteTable metadata;
  // Item i's sparse vector (normalised); empty: no item has one.
  std::vector<SparseVector> sparse;

  std::size_t size() const { return ids.size(); }
  const SparseVector* sparse_of(std::size_t i) const {
    return i < sparse.size() && !sparse[i].empty() ? &sparse[i] : nullptr;
  }
  std::optional<PackedValue> metadata_of(std::size_t i) const {
    if (i >= metadata.size() || !metadata.present(i)) return std::nullopt;
    return PackedValue(metadata.get(i));
  }
};

struct SearchParams {
  std::size_t k = kDefaultK;
  std::optional<std::size_t> ef_search;  // nullopt: default_ef(k)
  const Filter* filter = nullptr;
  // The caller's filter, when it shares it (filter then points to it): the
  // kept plans find it again by identity (PlanCache::plan).
  std::shared_ptr<const Filter> shared_filter;
  // Inclusive: a hit is kept when its distance, summed in double precision
  // (distance_exact), is at most this.
  std::optional<double> max_distance;
};

struct SearchHit {
  std::string id;
  float distance = 0.0f;
  std::optional<std::string> metadata;  // compact JSON text
  // Text, sparse and hybrid searches: the score (larger is better;
  // distance is its negation) and, for hybrid searches, each retriever's
  // 1-based rank of the record (0: not among its candidates), in the order
  // vector, text, sparse.
  std::optional<double> score;
  std::optional<std::array<std::uint32_t, 3>> ranks;
};

// A hybrid search: any of the three queries, each retriever's candidates
// fused by reciprocal rank (score = sum of weight / (rrf_k + rank)) or by a
// weighted sum of min-max normalised scores.
struct HybridQuery {
  const std::vector<float>* vector = nullptr;
  const std::string* text = nullptr;
  const SparseVector* sparse = nullptr;
  std::size_t k = kDefaultK;
  std::optional<std::size_t> candidates;  // per retriever; nullopt: max(50, 4k)
  std::optional<std::size_t> ef_search;
  const Filter* filter = nullptr;
  enum class Fusion { Rrf, Weighted } fusion = Fusion::Rrf;
  std::array<double, 3> weights{1.0, 1.0, 1.0};  // vector, text, sparse
  double rrf_k = 60.0;
};

struct RecordView {
  std::vector<float> vector;
  std::optional<std::string> metadata;  // compact JSON text
};

// A batch for update_many: item i replaces the vector of ids[i] with row i
// when vectors are given, and its metadata with metadata[i] when that entry
// is present (an absent entry, or an empty table, leaves it as it is).
struct UpdateBatch {
  ByteTable ids;
  std::optional<VectorRows> vectors;
  ByteTable metadata;

  std::size_t size() const { return ids.size(); }
  std::optional<PackedValue> metadata_of(std::size_t i) const {
    if (i >= metadata.size() || !metadata.present(i)) return std::nullopt;
    return PackedValue(metadata.get(i));
  }
};

// One record as records_page reads it.
struct RecordRow {
  std::string id;
  std::vector<float> vector;            // empty unless vectors were asked for
  std::optional<std::string> metadata;  // compact JSON text
};

// A page of records in ascending id order: at most `limit` records whose id
// is greater than `after` (when given) and that satisfy `filter` (when
// given).
struct PageRequest {
  const Filter* filter = nullptr;
  std::optional<std::string> after;
  std::size_t limit = 1000;
  bool include_vectors = true;
};

// How a search with a filter would find its records, as explain reports it.
struct SearchExplanation {
  // "walk" (the graph walk with the filter as its admission test),
  // "candidate scan" (the exact scan of the index's candidate list),
  // "whole scan" (the exact scan of every live record, each one tested) or
  // "none" (the index shows that no record can match).
  const char* path = "none";
  std::size_t candidates = 0;  // at most this many live records match
  std::size_t live = 0;        // live records
  bool index_decides = false;  // the index's lists decide each record without its metadata
  std::string plan;            // the candidate sets, e.g. "and(1 list, range on 'n')"
};

// One structure's share of a database's memory, in bytes.
struct MemoryPart {
  const char* name;
  std::uint64_t bytes;
};

// The default beam width for k: max(kDefaultEfFloor, k + floor(kDefaultEfSqrtFactor * sqrt(k))).
std::size_t default_ef(std::size_t k);
// NonFiniteQuery / QueryTooLarge for a query vector, nullopt when sound.
std::optional<DbError> query_fault(const std::vector<float>& q);

}  // namespace hovra
