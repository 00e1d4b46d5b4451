// The vector files: vectors.bin (the rows of every slot; in files of the
// earlier layout followed by the norms) and vectors.sq8 (a versioned
// header, minimums, scales, the slots the codes do not stand for, codes; or
// the first layout without the header and the list). Their writers, the
// check and split of the mapped vectors.bin, and the reader of vectors.sq8.
#include "core/storage/vector_files.h"

#include <algorithm>
#include <bit>
#include <string>
#include <utility>
#include <vector>

#include "core/base/bytes.h"

namespace hovra {

namespace {

// Floats are encoded in chunks of one buffer's worth.
constexpr std::size_t kChunkFloats = FileWriter::kBufferSize / 4;

// The product a * b, or false when it does not fit a size.
bool checked_mul(std::size_t a, std::size_t b, std::size_t& out) { return !__builtin_mul_overflow(a, b, &out); }

// A codebook for a store without rows: minimum 0 and scale 1 in every
// dimension, so that rows encoded with it later get finite codes.
Sq8Quantizer empty_codebook(std::size_t dim) {
  return Sq8Quantizer::from_parts(std::vector<float>(dim, 0.0f), std::vector<float>(dim, 1.0f), dim, {});
}

Sq8Quantizer trained_codebook(const VectorStore& store, std::size_t dim) {
  if (dim == 0 || store.float_count() < dim) return empty_codebook(dim);
  Sq8Quantizer q = Sq8Quantizer::train(store.data(), store.float_count(), dim);
  q.encode_all(store.data(), store.float_count());
  return q;
}

DbError vectors_size_mismatch(std::size_t size, std::size_t node_count, std::size_t dim) {
  return DbError::damaged_file("vector file holds " + std::to_string(size) + " bytes, which does not match " +
                               std::to_string(node_count) + " slots of dimension " + std::to_string(dim));
}

}  // namespace

// On a little-endian machine the floats in memory are their encoding: they
// go to the file in one write, without a copy.
Status write_f32s(const float* v, std::size_t n, FileWriter& sink) {
  if constexpr (std::endian::native == std::endian::little) {
    return n == 0 ? Status::success() : sink.write(v, n * sizeof(float));
  } else {
    std::string chunk;
    ByteWriter w(chunk);
    for (std::size_t at = 0; at < n; at += kChunkFloats) {
      chunk.clear();
      w.f32s(v + at, std::min(kChunkFloats, n - at));
      HOVRA_RETURN_IF_ERROR(sink.write(chunk));
    }
    return Status::success();
  }
}

Status write_vector_rows(const VectorStore& store, std::size_t first, FileWriter& sink) {
  std::size_t floats = store.float_count(), from = first * store.dim();
  if (from < floats) HOVRA_RETURN_IF_ERROR(write_f32s(store.data() + from, floats - from, sink));
  return sink.flush();
}

Status write_vectors(const HnswIndex& index, FileWriter& sink) {
  const VectorStore& store = index.store();
  HOVRA_RETURN_IF_ERROR(write_f32s(store.data(), store.float_count(), sink));
  HOVRA_RETURN_IF_ERROR(write_f32s(index.norms().data(), index.norms().size(), sink));
  return sink.flush();
}

Status write_quantized(const HnswIndex& index, FileWriter& sink) {
  std::size_t dim = index.dim();
  Sq8Quantizer q = trained_codebook(index.store(), dim);
  std::string head;
  ByteWriter w(head);
  w.u32(kSq8Magic);
  w.u32(kSq8Version);
  w.u32(static_cast<std::uint32_t>(dim));
  w.u32(static_cast<std::uint32_t>(q.exceptions().size()));
  w.f32s(q.mins().data(), q.mins().size());
  w.f32s(q.scales().data(), q.scales().size());
  for (std::uint32_t slot : q.exceptions()) w.u32(slot);
  HOVRA_RETURN_IF_ERROR(sink.write(head));
  if (!q.codes().empty()) HOVRA_RETURN_IF_ERROR(sink.write(q.codes().data(), q.codes().size()));
  return sink.flush();
}

Result<LoadedVectors> attach_vectors(std::shared_ptr<MappedFile> map, std::size_t node_count, std::size_t dim) {
  std::size_t size = map ? map->size() : 0;
  std::size_t vector_floats, total_floats, expected;
  if (!checked_mul(node_count, dim, vector_floats) ||
      __builtin_add_overflow(vector_floats, node_count, &total_floats) || !checked_mul(total_floats, 4, expected) ||
      size != expected)
    return vectors_size_mismatch(size, node_count, dim);
  LoadedVectors loaded;
  if (node_count > 0) {
    ByteReader norms(map->data() + 4 * vector_floats, 4 * node_count);
    norms.f32s(node_count, loaded.norms);
  }
  loaded.store = VectorStore::mapped(dim, std::move(map), vector_floats);
  return loaded;
}

Result<VectorStore> attach_rows(std::shared_ptr<MappedFile> map, std::size_t node_count, std::size_t dim) {
  std::size_t size = map ? map->size() : 0;
  std::size_t floats, expected;
  if (!checked_mul(node_count, dim, floats) || !checked_mul(floats, 4, expected) || size < expected)
    return DbError::damaged_file("vector file holds " + std::to_string(size) + " bytes, fewer than the rows of " +
                                 std::to_string(node_count) + " slots of dimension " + std::to_string(dim));
  return VectorStore::mapped(dim, std::move(map), floats);
}

namespace {

// The exception list of a versioned file: `count` slots, strictly ascending,
// each below node_count.
Result<std::vector<std::uint32_t>> read_exceptions(ByteReader& r, std::uint32_t count, std::size_t node_count) {
  if (count > r.remaining() / 4) return DbError::damaged_file("failed to fill whole buffer");
  std::vector<std::uint32_t> slots(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    r.u32(slots[i]);
    if (slots[i] >= node_count || (i > 0 && slots[i] <= slots[i - 1]))
      return DbError::damaged_file("quantized vector file lists exception slot " + std::to_string(slots[i]) +
                                   " out of order or beyond " + std::to_string(node_count) + " slots");
  }
  return slots;
}

// What precedes the codes in vectors.sq8: the codebook and, in a versioned
// file, the listed exceptions.
struct Sq8Head {
  bool versioned = false;
  std::vector<float> mins, scales;
  std::vector<std::uint32_t> exceptions;
};

// Reads the head from r, leaving r at the first code byte.
Result<Sq8Head> read_sq8_head(ByteReader& r, std::size_t node_count, std::size_t dim) {
  Sq8Head head;
  std::uint32_t q;
  if (!r.u32(q)) return DbError::damaged_file("failed to fill whole buffer");
  // The first layout begins with Q = dim; the versioned one with its magic
  // (as a dimension, 944,853,832 components: no database of the first layout
  // had rows that long).
  head.versioned = q == kSq8Magic;
  std::uint32_t exception_count = 0;
  if (head.versioned) {
    std::uint32_t version;
    if (!r.u32(version)) return DbError::damaged_file("failed to fill whole buffer");
    if (version != kSq8Version)
      return DbError::damaged_file("unsupported quantized vector file version: " + std::to_string(version));
    if (!r.u32(q) || !r.u32(exception_count)) return DbError::damaged_file("failed to fill whole buffer");
  }
  if (!r.f32s(q, head.mins) || !r.f32s(q, head.scales)) return DbError::damaged_file("failed to fill whole buffer");
  if (q != dim)
    return DbError::damaged_file("quantized vector file has dimension " + std::to_string(q) + ", expected " +
                                 std::to_string(dim));
  if (head.versioned) {
    Result<std::vector<std::uint32_t>> listed = read_exceptions(r, exception_count, node_count);
    if (!listed.ok()) return listed.error();
    head.exceptions = std::move(listed.value());
  }
  return head;
}

// The head's length in bytes, from the file's first 16 bytes (fewer when
// the file is shorter): 4 + 8 x Q in the first layout, 16 + 8 x Q plus 4
// per exception in the versioned one. Lengths past `file_size` are cut to
// it (reading the head then reports the short file).
std::size_t sq8_head_bytes(std::string_view first, std::uint64_t file_size) {
  ByteReader r(first);
  std::uint32_t q = 0, version = 0, exceptions = 0;
  std::uint64_t bytes = 4;
  if (r.u32(q) && q == kSq8Magic) {
    bytes = 16;
    if (!r.u32(version) || !r.u32(q) || !r.u32(exceptions)) return static_cast<std::size_t>(file_size);
    bytes += 4 * std::uint64_t(exceptions);
  }
  bytes += 8 * std::uint64_t(q);
  return static_cast<std::size_t>(std::min<std::uint64_t>(bytes, file_size));
}

DbError code_count_mismatch(std::uint64_t code_bytes, std::size_t node_count, std::size_t dim) {
  return DbError::damaged_file("quantized vector file holds " + std::to_string(code_bytes) +
                               " code bytes, expected " + std::to_string(node_count) + " slots of dimension " +
                               std::to_string(dim));
}

Sq8Quantizer quantizer_of(Sq8Head head, std::size_t dim, Sq8Codes codes) {
  Sq8Quantizer quantizer =
      Sq8Quantizer::with_codes(std::move(head.mins), std::move(head.scales), dim, std::move(codes));
  if (head.versioned) quantizer.adopt_exceptions(std::move(head.exceptions));
  return quantizer;
}

}  // namespace

Result<Sq8Quantizer> parse_quantized(std::string_view bytes, std::size_t node_count, std::size_t dim) {
  ByteReader r(bytes);
  Result<Sq8Head> head = read_sq8_head(r, node_count, dim);
  if (!head.ok()) return head.error();
  std::size_t expected;
  if (!checked_mul(node_count, dim, expected) || r.remaining() != expected)
    return code_count_mismatch(r.remaining(), node_count, dim);
  std::string_view codes;
  r.bytes(r.remaining(), codes);
  const auto* first = reinterpret_cast<const std::uint8_t*>(codes.data());
  return quantizer_of(std::move(head.value()), dim, Sq8Codes(first, first + codes.size()));
}

Result<Sq8Quantizer> load_quantized(const std::string& path, std::size_t node_count, std::size_t dim) {
  Result<RangeReader> file = RangeReader::open(path);
  if (!file.ok()) return file.error();
  const std::uint64_t size = file.value().size();
  std::string head_bytes(static_cast<std::size_t>(std::min<std::uint64_t>(16, size)), '\0');
  HOVRA_RETURN_IF_ERROR(file.value().read(0, head_bytes.data(), head_bytes.size()));
  head_bytes.resize(sq8_head_bytes(head_bytes, size), '\0');
  if (head_bytes.size() > 16)
    HOVRA_RETURN_IF_ERROR(file.value().read(16, head_bytes.data() + 16, head_bytes.size() - 16));
  ByteReader r(head_bytes);
  Result<Sq8Head> head = read_sq8_head(r, node_count, dim);
  if (!head.ok()) return head.error();
  std::size_t expected;
  const std::uint64_t code_bytes = size - head_bytes.size();
  if (!checked_mul(node_count, dim, expected) || r.remaining() != 0 || code_bytes != expected)
    return code_count_mismatch(code_bytes, node_count, dim);
  Sq8Codes codes;
  codes.resize(expected);
  HOVRA_RETURN_IF_ERROR(file.value().read(head_bytes.size(), codes.data(), codes.size()));
  return quantizer_of(std::move(head.value()), dim, std::move(codes));
}

}  // namespace hovra
