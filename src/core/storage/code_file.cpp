// vectors.b1, the one-bit codes of a saved state: its writer and its
// reader, which reads the rows straight into the codes' array.
#include "core/storage/code_file.h"

#include <bit>
#include <string>
#include <utility>
#include <vector>

#include "core/base/bytes.h"

namespace hovra {

namespace {

Status write_codes(const BinaryCodes& codes, const CodeFileStamp& stamp, FileWriter& sink) {
  std::string head;
  ByteWriter w(head);
  w.u32(kCodeFileMagic);
  w.u32(kCodeFileVersion);
  w.u32(static_cast<std::uint32_t>(codes.dim()));
  w.u8(static_cast<std::uint8_t>(codes.metric()));
  w.u8(0);
  w.u8(0);
  w.u8(0);
  w.u64(codes.rows());
  w.u64(codes.centred_on());
  w.u64(stamp.generation);
  w.u64(stamp.graph_size);
  w.u32(stamp.graph_crc);
  w.u32(static_cast<std::uint32_t>(codes.row_bytes()));
  w.f32s(codes.center().data(), codes.center().size());
  HOVRA_RETURN_IF_ERROR(sink.write(head));
  if constexpr (std::endian::native == std::endian::little) {
    if (codes.rows() > 0) HOVRA_RETURN_IF_ERROR(sink.write(codes.row(0), codes.rows() * codes.row_bytes()));
  } else {
    std::string row;
    ByteWriter rw(row);
    for (std::uint32_t s = 0; s < codes.rows(); ++s) {
      row.clear();
      const std::uint64_t* words = codes.row(s);
      for (std::size_t i = 0; i < codes.words(); ++i) rw.u64(words[i]);
      rw.f32s(reinterpret_cast<const float*>(words + codes.words()), 4);
      HOVRA_RETURN_IF_ERROR(sink.write(row));
    }
  }
  return sink.flush();
}

}  // namespace

Status write_code_file(const HnswIndex& index, const CodeFileStamp& stamp, FileWriter& sink) {
  const BinaryCodes* codes = index.binary_codes();
  if (!codes) return DbError::invalid_argument("the index has no one-bit codes to write");
  if (codes->centred_on() * 2 >= codes->rows()) return write_codes(*codes, stamp, sink);
  const VectorStore& store = index.store();
  return write_codes(BinaryCodes::train(store.data(), store.float_count(), index.dim(), index.metric()), stamp, sink);
}

std::optional<BinaryCodes> load_code_file(const std::string& path, const CodeFileStamp& stamp, std::size_t node_count,
                                          std::size_t dim, Metric metric) {
  if constexpr (std::endian::native != std::endian::little) return std::nullopt;
  if (!path_exists(path)) return std::nullopt;
  Result<RangeReader> file = RangeReader::open(path);
  if (!file.ok()) return std::nullopt;
  const std::uint64_t size = file.value().size();
  const std::uint64_t head_bytes = kCodeFileHeadBytes + 4 * static_cast<std::uint64_t>(dim);
  if (size < head_bytes) return std::nullopt;
  std::string head(static_cast<std::size_t>(head_bytes), '\0');
  if (!file.value().read(0, head.data(), head.size()).ok()) return std::nullopt;
  ByteReader r(head);
  std::uint32_t magic, version, file_dim, row_bytes;
  std::uint8_t metric_code, pad;
  std::uint64_t rows, centred_on;
  CodeFileStamp found;
  if (!r.u32(magic) || !r.u32(version) || !r.u32(file_dim) || !r.u8(metric_code) || !r.u8(pad) || !r.u8(pad) ||
      !r.u8(pad) || !r.u64(rows) || !r.u64(centred_on) || !r.u64(found.generation) || !r.u64(found.graph_size) ||
      !r.u32(found.graph_crc) || !r.u32(row_bytes))
    return std::nullopt;
  const std::size_t expected_row_bytes = (dim + 63) / 64 * 8 + 16;
  if (magic != kCodeFileMagic || version != kCodeFileVersion || file_dim != dim ||
      metric_code != static_cast<std::uint8_t>(metric) || rows != node_count || !(found == stamp) ||
      row_bytes != expected_row_bytes || (size - head_bytes) / expected_row_bytes != rows ||
      (size - head_bytes) % expected_row_bytes != 0)
    return std::nullopt;
  std::vector<float> center;
  if (!r.f32s(dim, center)) return std::nullopt;
  const RangeReader& reader = file.value();
  return BinaryCodes::read(dim, metric, std::move(center), centred_on, static_cast<std::size_t>(rows),
                           [&](void* into, std::size_t bytes) { return reader.read(head_bytes, into, bytes).ok(); });
}

}  // namespace hovra
