// The vector files: vectors.bin (rows; in the earlier layout, vectors then
// norms) and vectors.sq8 (codebook and codes): writers, the map at open,
// and the quantized reader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/base/error.h"
#include "core/base/file_io.h"
#include "core/base/mapped_file.h"
#include "core/index/hnsw_index.h"
#include "core/vectors/quantize.h"

namespace hovra {

// n floats into the sink, little-endian (on such a machine in one write).
Status write_f32s(const float* v, std::size_t n, FileWriter& sink);
// The rows of slots [first, slots()) into the sink, then a flush: all of
// vectors.bin when first is 0, else what a checkpoint appends to it.
Status write_vector_rows(const VectorStore& store, std::size_t first, FileWriter& sink);
// The earlier layout of vectors.bin, still read (attach_vectors): the
// store's floats then the norms, then a flush.
Status write_vectors(const HnswIndex& index, FileWriter& sink);
// vectors.sq8 begins with this magic (the bytes "HSQ8") and version; files
// of the first layout begin with Q = dim and list no exceptions.
inline constexpr std::uint32_t kSq8Magic = 0x38515348;
inline constexpr std::uint32_t kSq8Version = 2;

// Trains a fresh codebook on every stored row, encodes all rows, writes the
// magic, version, Q = dim, the exception count, mins, scales, the
// exceptions (the rows the codes misplace) and the codes into the sink,
// then flushes. An index
// without rows (or of dimension 0) has nothing to train on: it writes the
// neutral codebook (every minimum 0, every scale 1) and no codes, rather
// than the non-finite parameters that training on zero rows yields.
Status write_quantized(const HnswIndex& index, FileWriter& sink);

// The parts of vectors.bin after its map has been checked against the graph:
// the store over the vector region and an owned copy of the norms.
struct LoadedVectors {
  VectorStore store;
  std::vector<float> norms;
};
// Checks the mapped file against node_count and dim (size must be exactly
// 4 x N x (dim + 1), DamagedFile otherwise) and builds the store and norms.
Result<LoadedVectors> attach_vectors(std::shared_ptr<MappedFile> map, std::size_t node_count, std::size_t dim);
// The layout where vectors.bin holds rows only (the graph file's
// kGraphRowsApart): the map must hold at least 4 x N x dim bytes (bytes
// past them are a checkpoint's append that never committed, and are not
// read); DamagedFile otherwise.
Result<VectorStore> attach_rows(std::shared_ptr<MappedFile> map, std::size_t node_count, std::size_t dim);
// Parses vectors.sq8 bytes of either layout; Q must equal dim, listed
// exceptions ascend below N, and the codes hold exactly N x dim bytes
// (DamagedFile otherwise; a short header is "failed to fill whole buffer").
// The quantizer of a versioned file holds its exceptions; one of the first
// layout has them still to find (Sq8Quantizer::find_exceptions).
Result<Sq8Quantizer> parse_quantized(std::string_view bytes, std::size_t node_count, std::size_t dim);
// The same read from the file at `path`: the head first, then the codes
// straight into the quantizer's array (no copy of the file in memory).
Result<Sq8Quantizer> load_quantized(const std::string& path, std::size_t node_count, std::size_t dim);

}  // namespace hovra
