// Database: records by id over an HnswIndex, their metadata and its inverted
// index, the write-ahead log, searches, batches, counting, compaction,
// statistics, and the open/save/recovery sequences.
//
// Lock order (whenever more than one is held): id-map, index, slot-ids,
// metadata, metadata-index. The WAL mutex is taken while holding nothing, the
// id-map lock (batches and single-record changes), or save's locks; no other
// lock is taken while it is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/vectors/distance.h"
#include "core/base/error.h"
#include "core/records/filter.h"
#include "core/index/hnsw_index.h"
#include "core/records/json.h"
#include "core/storage/wal.h"

namespace hovra {

struct OpenOptions {
  std::string path;
  std::optional<std::size_t> dim;  // nullopt: open an existing database only
  Metric metric = Metric::Cosine;
  std::size_t m = 16;
  std::size_t ef_construction = 200;
  bool quantize = false;
};

struct RecordInput {
  std::string id;
  std::vector<float> vector;
  std::optional<JsonValue> metadata;
};

struct SearchParams {
  std::size_t k = 10;
  std::optional<std::size_t> ef_search;  // nullopt: max(200, k + floor(10 sqrt k))
  const Filter* filter = nullptr;
  std::optional<float> max_distance;
};

struct SearchHit {
  std::string id;
  float distance = 0.0f;
  std::optional<JsonValue> metadata;
};

struct RecordView {
  std::vector<float> vector;
  std::optional<JsonValue> metadata;
};

// The default beam width for k.
std::size_t default_ef(std::size_t k);

class Database {
 public:
  static Result<std::unique_ptr<Database>> open_or_create(const OpenOptions& options);
  // Whether the directory holds a database (graph and vector files).
  static bool exists_at(const std::string& dir);
  ~Database();

  Status add(const std::string& id, const std::vector<float>& vector, std::optional<JsonValue> metadata);
  Status upsert(const std::string& id, const std::vector<float>& vector, std::optional<JsonValue> metadata);
  // nullptr vector / metadata: leave that part unchanged.
  Status update(const std::string& id, const std::vector<float>* vector, const JsonValue* metadata);
  Result<bool> remove(const std::string& id);
  Result<RecordView> get(const std::string& id) const;
  bool contains(const std::string& id) const;
  std::size_t len() const;
  std::size_t dim() const { return dim_; }
  Metric metric() const;

  Status add_many(std::vector<RecordInput> items);
  Status upsert_many(std::vector<RecordInput> items);
  Result<std::vector<SearchHit>> search(const std::vector<float>& query, const SearchParams& params) const;
  Result<std::vector<std::vector<SearchHit>>> search_many(const std::vector<std::vector<float>>& queries,
                                                          const SearchParams& params) const;

  std::size_t count(const Filter* filter) const;
  std::vector<std::string> ids() const;
  void compact();
  void enable_quantized_search();
  void disable_quantized_search();
  bool quantized_search() const;
  std::size_t deleted_count() const;
  std::size_t total_slots() const;
  IndexStats stats() const;
  Status save();

 private:
  Database() = default;

  // Opening (database_files.cpp).
  static Result<std::unique_ptr<Database>> load_existing(const std::string& dir, bool create_mode, bool quantize);
  static std::unique_ptr<Database> make_empty(const OpenOptions& options);
  void set_paths(const std::string& dir);
  void replay(const std::vector<WalRecord>& records);
  void apply_logged(const WalRecord& record);

  // Record-table helpers; callers hold the locks named in each definition.
  void apply_insert_locked(const std::string& id, const float* vector, std::optional<JsonValue> metadata);
  void record_slot_locked(std::uint32_t slot, const std::string& id, std::optional<JsonValue> metadata);
  void insert_batch_locked(const std::vector<RecordInput*>& items);
  void replace_record_locked(std::uint32_t slot, const std::vector<float>& vector, std::optional<JsonValue> metadata);

  void replace_metadata(std::uint32_t slot, std::optional<JsonValue> metadata);
  void clear_slot(std::uint32_t slot);
  std::vector<SearchHit> assemble(const std::vector<Hit>& hits, std::optional<float> max_distance) const;
  // A search's filter with its candidate set and, on the exhaustive path,
  // the candidates in slot order.
  struct FilterScope {
    const Filter* filter = nullptr;
    std::shared_lock<std::shared_mutex> metadata_index_lock;  // held while candidates are used
    CandidateView candidates;
    std::optional<std::vector<std::uint32_t>> scan;
  };
  FilterScope filter_scope(const Filter* filter) const;
  std::vector<Hit> run_search(const float* query, std::size_t k, std::size_t ef, const FilterScope& scope) const;

  // Persistence state.
  std::string dir_;
  std::string graph_path_, vectors_path_, sq8_path_, wal_path_;
  bool persist_quantized_ = false;
  std::size_t dim_ = 0;

  mutable std::shared_mutex id_map_lock_;
  std::unordered_map<std::string, std::uint32_t> id_to_slot_;
  mutable std::shared_mutex index_lock_;
  std::unique_ptr<HnswIndex> index_;
  mutable std::shared_mutex slot_ids_lock_;
  std::vector<std::string> slot_ids_;
  mutable std::shared_mutex metadata_lock_;
  std::vector<std::optional<JsonValue>> slot_metadata_;
  mutable std::shared_mutex metadata_index_lock_;
  MetadataIndex metadata_index_;
  mutable std::mutex wal_mutex_;
  std::unique_ptr<Wal> wal_;
  std::mutex save_mutex_;  // serialises saves (shared temporary names)
};

}  // namespace hovra
