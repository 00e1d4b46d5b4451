// Opening, creating, saving and recovering a database directory.
//
// Save writes every file under a temporary name and forces it to stable
// storage, then writes a save seal (seal.hovra: the size and CRC-32 of the
// new graph file, vector files and of the log the save covers), then
// commits by renaming graph.tmp over graph.hovra, moves the vector files
// into place, deletes the log and finally the seal, syncing the directory
// between the steps. The graph and vector files keep their plain layouts.
// On open, a seal whose graph matches graph.hovra means a save committed but
// may have stopped before its last steps: a temporary vector file that
// matches the seal is moved into place, a quantized file the save did not
// write is not loaded, and the logged prefix the save holds is not
// replayed again. A seal that does not match graph.hovra belongs to a save
// that never committed and is ignored.

#include <algorithm>

#include "core/base/bytes.h"
#include "core/db/database.h"
#include "core/base/file_io.h"
#include "core/storage/graph_file.h"
#include "core/storage/vector_files.h"

namespace hovra {

namespace {

using ReadLock = std::shared_lock<std::shared_mutex>;
using WriteLock = std::unique_lock<std::shared_mutex>;

constexpr const char* kGraphFile = "graph.hovra";
constexpr const char* kVectorsFile = "vectors.bin";
constexpr const char* kSq8File = "vectors.sq8";
constexpr const char* kWalFile = "wal.hovra";
constexpr const char* kGraphTmp = "graph.tmp";
constexpr const char* kVectorsTmp = "vectors.tmp";
constexpr const char* kSq8Tmp = "vectors.sq8.tmp";
constexpr const char* kSealFile = "seal.hovra";

constexpr std::uint32_t kSealMagic = 0x4C414553;  // "SEAL"
constexpr std::uint32_t kSealVersion = 1;

struct SaveSeal {
  std::uint64_t graph_size = 0;
  std::uint32_t graph_crc = 0;
  std::uint64_t vectors_size = 0;
  std::uint32_t vectors_crc = 0;
  bool has_sq8 = false;
  std::uint64_t sq8_size = 0;
  std::uint32_t sq8_crc = 0;
  bool log_known = false;
  std::uint64_t log_size = 0;
  std::uint32_t log_crc = 0;
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
  w.u32(kSealVersion);
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
  w.u32(crc_of(out));
  return out;
}

// The seal's contents, if intact.
std::optional<SaveSeal> parse_seal(std::string_view bytes) {
  ByteReader r(bytes);
  SaveSeal s;
  std::uint32_t magic, version, crc;
  std::uint8_t has_sq8, log_known;
  if (!r.u32(magic) || magic != kSealMagic || !r.u32(version) || version != kSealVersion) return std::nullopt;
  if (!take_u64(r, s.graph_size) || !r.u32(s.graph_crc) || !take_u64(r, s.vectors_size) || !r.u32(s.vectors_crc) || !r.u8(has_sq8) || !take_u64(r, s.sq8_size) ||
      !r.u32(s.sq8_crc) || !r.u8(log_known) || !take_u64(r, s.log_size) || !r.u32(s.log_crc))
    return std::nullopt;
  std::size_t body = r.position();
  if (!r.u32(crc) || crc != crc_of(bytes.substr(0, body))) return std::nullopt;
  s.has_sq8 = has_sq8 == 1;
  s.log_known = log_known == 1;
  return s;
}

// Whether the file at path has exactly the size and CRC-32 given.
bool file_matches(const std::string& path, std::uint64_t size, std::uint32_t crc) {
  if (!path_exists(path)) return false;
  Result<std::string> bytes = read_file(path);
  return bytes.ok() && bytes.value().size() == size && crc_of(bytes.value()) == crc;
}

// The seal of a save that committed the current graph.hovra, if any.
std::optional<SaveSeal> committed_seal(const std::string& seal_path, const std::string& graph_path) {
  if (!path_exists(seal_path)) return std::nullopt;
  Result<std::string> bytes = read_file(seal_path);
  if (!bytes.ok()) return std::nullopt;
  std::optional<SaveSeal> seal = parse_seal(bytes.value());
  if (!seal || !file_matches(graph_path, seal->graph_size, seal->graph_crc)) return std::nullopt;
  return seal;
}

// Finishes a save that committed its graph file but stopped before moving
// a vector file into place.
void finish_interrupted_move(const std::string& tmp, const std::string& target, std::uint64_t size,
                             std::uint32_t crc) {
  if (file_matches(tmp, size, crc)) (void)rename_file(tmp, target);
}

struct LoadedFiles {
  GraphLayout layout;
  LoadedVectors vectors;
  std::optional<Sq8Quantizer> quantizer;
  std::vector<GraphRecord> records;
};

}  // namespace

void Database::set_paths(const std::string& dir) {
  dir_ = dir;
  graph_path_ = join_path(dir, kGraphFile);
  vectors_path_ = join_path(dir, kVectorsFile);
  sq8_path_ = join_path(dir, kSq8File);
  wal_path_ = join_path(dir, kWalFile);
  wal_ = std::make_unique<Wal>(wal_path_);
}

std::unique_ptr<Database> Database::make_empty(const OpenOptions& options) {
  std::unique_ptr<Database> db(new Database());
  db->set_paths(options.path);
  db->dim_ = *options.dim;
  db->index_ = std::make_unique<HnswIndex>(*options.dim, options.metric, options.m, options.ef_construction);
  db->persist_quantized_ = options.quantize;
  // An old log here is neither replayed nor removed; new records go after
  // it, and a save does not know what it holds.
  if (path_exists(db->wal_path_)) db->wal_->forget_contents();
  return db;
}

bool Database::exists_at(const std::string& dir) {
  return path_exists(join_path(dir, kGraphFile)) && path_exists(join_path(dir, kVectorsFile));
}

Result<std::unique_ptr<Database>> Database::open_or_create(const OpenOptions& options) {
  const std::string& dir = options.path;
  if (options.dim) {
    HOVRA_RETURN_IF_ERROR(create_dirs(dir));
    if (!exists_at(dir)) return make_empty(options);
    return load_existing(dir, true, options.quantize);
  }
  if (!exists_at(dir)) return DbError::database_not_found(dir);
  return load_existing(dir, false, false);
}

Result<std::unique_ptr<Database>> Database::load_existing(const std::string& dir, bool create_mode, bool quantize) {
  std::unique_ptr<Database> db(new Database());
  db->set_paths(dir);
  const std::string vectors_tmp = join_path(dir, kVectorsTmp);
  const std::string sq8_tmp = join_path(dir, kSq8Tmp);

  // A save that committed its graph but stopped before its last steps.
  std::optional<SaveSeal> seal = committed_seal(join_path(dir, kSealFile), db->graph_path_);
  if (seal) {
    finish_interrupted_move(vectors_tmp, db->vectors_path_, seal->vectors_size, seal->vectors_crc);
    if (seal->has_sq8) finish_interrupted_move(sq8_tmp, db->sq8_path_, seal->sq8_size, seal->sq8_crc);
  }

  // A quantized file that the committed save did not write is not loaded.
  bool sq8_existed = path_exists(db->sq8_path_) && !(seal && !seal->has_sq8);
  LoadedFiles files;
  {
    Result<std::shared_ptr<MappedFile>> map = MappedFile::map(db->vectors_path_);
    if (!map.ok()) return map.error();
    Result<std::string> graph = read_file(db->graph_path_);
    if (!graph.ok()) return graph.error();
    std::size_t rest = 0;
    Result<GraphLayout> layout = read_graph_layout(graph.value(), rest);
    if (!layout.ok()) return layout.error();
    files.layout = std::move(layout.value());
    std::size_t n = files.layout.nodes.size();
    Result<LoadedVectors> vectors = attach_vectors(map.value(), n, files.layout.dim);
    if (!vectors.ok()) return vectors.error();
    files.vectors = std::move(vectors.value());
    if (sq8_existed) {
      Result<std::string> sq8 = read_file(db->sq8_path_);
      if (!sq8.ok()) return sq8.error();
      Result<Sq8Quantizer> q = parse_quantized(sq8.value(), n, files.layout.dim);
      if (!q.ok()) return q.error();
      // An empty index has nothing quantized: it stays without a quantizer.
      if (n > 0) files.quantizer = std::move(q.value());
    }
    Result<std::vector<GraphRecord>> records = read_record_table(graph.value(), rest, files.layout);
    if (!records.ok()) return records.error();
    files.records = std::move(records.value());
  }

  std::size_t n = files.layout.nodes.size();
  db->dim_ = files.layout.dim;
  db->index_ = HnswIndex::from_layout(std::move(files.layout), std::move(files.vectors.store),
                                      std::move(files.vectors.norms));
  if (files.quantizer) db->index_->set_quantizer(std::move(*files.quantizer));
  db->slot_ids_.assign(n, std::string());
  db->slot_metadata_.assign(n, std::nullopt);
  for (GraphRecord& rec : files.records) {
    db->id_to_slot_[rec.id] = rec.slot;
    db->slot_ids_[rec.slot] = rec.id;
    db->slot_metadata_[rec.slot] = std::move(rec.metadata);
  }
  for (std::uint32_t s = 0; s < n; ++s) {
    if (db->index_->is_deleted(s)) continue;
    const auto& md = db->slot_metadata_[s];
    db->metadata_index_.add(s, md ? &*md : nullptr);
  }

  // The log: skip the prefix a committed save already holds.
  std::vector<WalRecord> logged;
  {
    std::lock_guard<std::mutex> w(db->wal_mutex_);
    if (path_exists(db->wal_path_)) {
      Result<std::string> bytes = read_file(db->wal_path_);
      if (!bytes.ok()) return bytes.error();
      std::string_view log = bytes.value();
      std::size_t skip = 0;
      if (seal && seal->log_known && seal->log_size > 0 && seal->log_size <= log.size() &&
          crc_of(log.substr(0, seal->log_size)) == seal->log_crc)
        skip = seal->log_size;
      logged = parse_log(log.substr(skip));
      db->wal_->set_contents(log.size(), crc_of(log));
    }
  }
  db->replay(logged);
  db->persist_quantized_ = sq8_existed || (create_mode && quantize);
  return db;
}

void Database::replay(const std::vector<WalRecord>& records) {
  for (const WalRecord& r : records) apply_logged(r);
}

// Applies one logged change without logging it, under the locks the
// matching operation takes (id-map write lock first).
void Database::apply_logged(const WalRecord& r) {
  WriteLock ids(id_map_lock_);
  auto it = id_to_slot_.find(r.id);
  switch (r.kind) {
    case WalRecord::Kind::Insert: {
      if (r.vector.size() != dim_) return;  // cannot be applied as logged
      if (it == id_to_slot_.end())
        apply_insert_locked(r.id, r.vector.data(), r.metadata);
      else
        replace_record_locked(it->second, r.vector, r.metadata);
      return;
    }
    case WalRecord::Kind::Delete: {
      if (it == id_to_slot_.end()) return;
      std::uint32_t slot = it->second;
      id_to_slot_.erase(it);
      clear_slot(slot);
      return;
    }
    case WalRecord::Kind::Update: {
      if (it == id_to_slot_.end()) return;
      if (r.has_vector && r.vector.size() == dim_) {
        WriteLock ix(index_lock_);
        index_->update_vector(it->second, r.vector.data(), r.vector.size());
      }
      if (r.has_metadata) replace_metadata(it->second, r.metadata);
      return;
    }
  }
}

namespace {

// Writes one temporary file through a checksumming writer and forces it to
// stable storage; reports its size and CRC-32.
template <class WriteFn>
Status write_synced(const std::string& path, WriteFn&& write, std::uint64_t& size, std::uint32_t& crc) {
  FileWriter w;
  HOVRA_RETURN_IF_ERROR(w.open(path, FileWriter::Mode::Truncate));
  w.track_checksum();
  HOVRA_RETURN_IF_ERROR(write(w));
  HOVRA_RETURN_IF_ERROR(w.flush());
  HOVRA_RETURN_IF_ERROR(w.sync());
  size = w.written();
  crc = w.checksum();
  return w.close();
}

}  // namespace

// Takes the save mutex, then the id-map, index and metadata read locks in
// order, and the WAL mutex last. Record changes take the id-map write lock
// before they append to the log, so no change is logged while a save runs
// and the log it deletes holds only changes the saved files contain.
Status Database::save() {
  std::lock_guard<std::mutex> one_save(save_mutex_);
  ReadLock ids(id_map_lock_);
  ReadLock ix(index_lock_);
  ReadLock md(metadata_lock_);

  std::vector<GraphRecord> records;
  records.reserve(id_to_slot_.size());
  for (const auto& [id, slot] : id_to_slot_) {
    GraphRecord rec;
    rec.slot = slot;
    rec.id = id;
    if (slot < slot_metadata_.size()) rec.metadata = slot_metadata_[slot];
    records.push_back(std::move(rec));
  }
  HOVRA_RETURN_IF_ERROR(create_dirs(dir_));
  const std::string vectors_tmp = join_path(dir_, kVectorsTmp);
  const std::string sq8_tmp = join_path(dir_, kSq8Tmp);
  const std::string graph_tmp = join_path(dir_, kGraphTmp);

  SaveSeal seal;
  HOVRA_RETURN_IF_ERROR(write_synced(
      vectors_tmp, [&](FileWriter& w) { return write_vectors(*index_, w); }, seal.vectors_size, seal.vectors_crc));
  if (persist_quantized_) {
    seal.has_sq8 = true;
    HOVRA_RETURN_IF_ERROR(write_synced(
        sq8_tmp, [&](FileWriter& w) { return write_quantized(*index_, w); }, seal.sq8_size, seal.sq8_crc));
  }
  {
    std::lock_guard<std::mutex> w(wal_mutex_);
    seal.log_known = wal_->contents_known();
    seal.log_size = wal_->contents_size();
    seal.log_crc = wal_->contents_crc();
  }
  HOVRA_RETURN_IF_ERROR(write_synced(
      graph_tmp,
      [&](FileWriter& w) -> Status {
        HOVRA_RETURN_IF_ERROR(write_graph(*index_, w));
        return write_record_table(records, w);
      },
      seal.graph_size, seal.graph_crc));
  const std::string seal_path = join_path(dir_, kSealFile);
  std::uint64_t seal_size;
  std::uint32_t seal_crc;
  HOVRA_RETURN_IF_ERROR(write_synced(
      seal_path, [&](FileWriter& w) { return w.write(encode_seal(seal)); }, seal_size, seal_crc));
  HOVRA_RETURN_IF_ERROR(sync_dir(dir_));

  HOVRA_RETURN_IF_ERROR(rename_file(graph_tmp, graph_path_));  // the commit point
  HOVRA_RETURN_IF_ERROR(rename_file(vectors_tmp, vectors_path_));
  if (persist_quantized_) {
    HOVRA_RETURN_IF_ERROR(rename_file(sq8_tmp, sq8_path_));
  } else if (path_exists(sq8_path_)) {
    (void)remove_file(sq8_path_);
  }
  HOVRA_RETURN_IF_ERROR(sync_dir(dir_));
  {
    std::lock_guard<std::mutex> w(wal_mutex_);
    wal_->close_writer();
    if (path_exists(wal_path_)) HOVRA_RETURN_IF_ERROR(remove_file(wal_path_));
    wal_->set_contents(0, 0);
  }
  HOVRA_RETURN_IF_ERROR(sync_dir(dir_));
  (void)remove_file(seal_path);
  return Status::success();
}

}  // namespace hovra
