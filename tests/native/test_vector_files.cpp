// Tests of vectors.bin and vectors.sq8: their exact layouts, writing from
// owned and mapped stores, the size check of the mapped file, and the
// quantized file's reader (both layouts, the listed exceptions) with its
// truncation and mismatch errors.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "check.h"
#include "core/base/bytes.h"
#include "core/base/file_io.h"
#include "core/base/mapped_file.h"
#include "core/storage/vector_files.h"
#include "scratch_dir.h"

using namespace hovra;

namespace {

const std::string kTruncated = "failed to fill whole buffer";

bool same_bits(float a, float b) { return std::memcmp(&a, &b, 4) == 0; }

// Two slots of dimension 3; slot 1 is deleted.
std::unique_ptr<HnswIndex> two_slot_index() {
  auto index = std::make_unique<HnswIndex>(3, Metric::Euclidean, 16, 200);
  const float a[3] = {0.0f, 1.0f, 2.0f};
  const float b[3] = {255.0f, 1.0f, 4.0f};
  index->insert(a, 3);
  index->insert(b, 3);
  index->mark_deleted(1);
  return index;
}

using Writer = Status (*)(const HnswIndex&, FileWriter&);

std::string write_with(Writer writer, const HnswIndex& index, const std::string& path) {
  FileWriter sink;
  if (!sink.open(path, FileWriter::Mode::Truncate).ok()) std::abort();
  CHECK(writer(index, sink).ok());
  CHECK(sink.close().ok());
  Result<std::string> bytes = read_file(path);
  return bytes.ok() ? bytes.value() : std::string();
}

std::vector<float> floats_of(const std::string& bytes) {
  std::vector<float> out;
  ByteReader r(bytes);
  r.f32s(bytes.size() / 4, out);
  return out;
}

// vectors.sq8 of the first layout: Q, mins, scales, codes.
std::string sq8_bytes(std::uint32_t q, const std::vector<float>& mins, const std::vector<float>& scales,
                      const std::string& codes) {
  std::string out;
  ByteWriter w(out);
  w.u32(q);
  w.f32s(mins.data(), mins.size());
  w.f32s(scales.data(), scales.size());
  w.bytes(codes);
  return out;
}

// vectors.sq8 of version 2: magic, version, Q, the exception count, mins,
// scales, the exceptions, codes.
std::string sq8_v2_bytes(std::uint32_t q, const std::vector<float>& mins, const std::vector<float>& scales,
                         const std::vector<std::uint32_t>& exceptions, const std::string& codes,
                         std::uint32_t version = 2) {
  std::string out;
  ByteWriter w(out);
  w.u32(kSq8Magic);
  w.u32(version);
  w.u32(q);
  w.u32(static_cast<std::uint32_t>(exceptions.size()));
  w.f32s(mins.data(), mins.size());
  w.f32s(scales.data(), scales.size());
  for (std::uint32_t s : exceptions) w.u32(s);
  w.bytes(codes);
  return out;
}

void test_vectors_file_layout() {
  ScratchDir dir;
  std::unique_ptr<HnswIndex> index = two_slot_index();
  std::string file = write_with(write_vectors, *index, dir.file("vectors.tmp"));
  CHECK(file.size() == 32);
  std::vector<float> f = floats_of(file);
  CHECK((std::vector<float>(f.begin(), f.begin() + 6) == std::vector<float>{0, 1, 2, 255, 1, 4}));
  CHECK(same_bits(f[6], index->norms()[0]) && same_bits(f[7], index->norms()[1]));
  CHECK(f[7] > 0.0f);  // the deleted slot keeps its row and norm

  HnswIndex empty(5, Metric::Cosine, 16, 200);
  CHECK(write_with(write_vectors, empty, dir.file("empty.tmp")).empty());
}

void test_attach_and_rewrite_mapped() {
  ScratchDir dir;
  std::unique_ptr<HnswIndex> index = two_slot_index();
  std::string file = write_with(write_vectors, *index, dir.file("vectors.bin"));
  Result<std::shared_ptr<MappedFile>> map = MappedFile::map(dir.file("vectors.bin"));
  CHECK(map.ok());
  if (!map.ok()) return;

  Result<LoadedVectors> loaded = attach_vectors(map.value(), 2, 3);
  CHECK(loaded.ok());
  if (!loaded.ok()) return;
  const VectorStore& store = loaded.value().store;
  CHECK(store.is_mapped() && store.float_count() == 6 && store.slots() == 2);
  const float* row = store.vector(1);
  CHECK(same_bits(row[0], 255.0f) && same_bits(row[1], 1.0f) && same_bits(row[2], 4.0f));
  CHECK(loaded.value().norms.size() == 2 && same_bits(loaded.value().norms[1], index->norms()[1]));

  // A mapped store writes back the same bytes.
  GraphLayout layout;
  layout.dim = 3;
  layout.metric = Metric::Euclidean;
  layout.entry_point = 0;
  layout.add_node({{1}});
  layout.add_node({{0}});
  auto mapped = HnswIndex::from_layout(layout, std::move(loaded.value().store), loaded.value().norms);
  CHECK(write_with(write_vectors, *mapped, dir.file("vectors.tmp")) == file);

  // The size must match the graph exactly.
  auto mismatch = [&](std::size_t n, std::size_t dim) {
    Result<LoadedVectors> r = attach_vectors(map.value(), n, dim);
    return !r.ok() && r.error().kind() == ErrorKind::DamagedFile;
  };
  CHECK(mismatch(3, 3));
  CHECK(mismatch(1, 3));
  CHECK(mismatch(2, 2));
  CHECK(mismatch(2, 4));
  CHECK(mismatch(0, 3));
  CHECK(mismatch(std::size_t(1) << 62, 3));  // the expected size overflows
  CHECK(mismatch(4, (std::size_t(1) << 62) + 3));
  CHECK(attach_vectors(nullptr, 2, 3).ok() == false);

  for (std::size_t cut : {31u, 28u, 24u}) {
    std::filesystem::resize_file(dir.file("vectors.tmp"), cut);
    Result<std::shared_ptr<MappedFile>> short_map = MappedFile::map(dir.file("vectors.tmp"));
    CHECK(short_map.ok() && !attach_vectors(short_map.value(), 2, 3).ok());
  }
}

void test_attach_empty_file() {
  ScratchDir dir;
  HnswIndex empty(4, Metric::Cosine, 16, 200);
  write_with(write_vectors, empty, dir.file("vectors.bin"));
  Result<std::shared_ptr<MappedFile>> map = MappedFile::map(dir.file("vectors.bin"));
  CHECK(map.ok());
  if (!map.ok()) return;
  Result<LoadedVectors> loaded = attach_vectors(map.value(), 0, 4);
  CHECK(loaded.ok() && loaded.value().store.float_count() == 0 && loaded.value().norms.empty());
  CHECK(!attach_vectors(map.value(), 1, 4).ok());
}

void test_quantized_file_layout() {
  ScratchDir dir;
  std::unique_ptr<HnswIndex> index = two_slot_index();
  std::string file = write_with(write_quantized, *index, dir.file("vectors.tmp"));
  CHECK(file.size() == 46);
  ByteReader r(file);
  std::uint32_t magic = 0, version = 0, q = 0, exceptions = 1;
  std::vector<float> mins, scales;
  std::string_view codes;
  CHECK(std::string_view(file.data(), 4) == "HSQ8");
  CHECK(r.u32(magic) && magic == kSq8Magic && r.u32(version) && version == 2);
  CHECK(r.u32(q) && q == 3 && r.u32(exceptions) && exceptions == 0);
  CHECK(r.f32s(3, mins) && r.f32s(3, scales) && r.bytes(6, codes));
  CHECK((mins == std::vector<float>{0.0f, 1.0f, 2.0f}));
  // Component 1 is constant (scale 1); the others span their range in 255 steps.
  CHECK(same_bits(scales[0], 1.0f) && same_bits(scales[1], 1.0f) && same_bits(scales[2], 2.0f / 255.0f));
  CHECK(codes == std::string_view("\x00\x00\x00\xff\x00\xff", 6));

  // The reader gives back the same codebook and codes.
  Result<Sq8Quantizer> back = parse_quantized(file, 2, 3);
  CHECK(back.ok());
  if (back.ok()) {
    const Sq8Quantizer& qz = back.value();
    CHECK(qz.dim() == 3 && qz.mins() == mins && qz.scales() == scales);
    CHECK(std::string_view(reinterpret_cast<const char*>(qz.codes().data()), qz.codes().size()) == codes);
    CHECK(qz.exceptions().empty() && qz.rows_within_range());
    float row[3];
    qz.decode_into(1, row);
    CHECK(row[0] == 255.0f && row[1] == 1.0f && std::fabs(row[2] - 4.0f) < 1e-5f);
  }
}

void test_quantized_file_of_empty_index() {
  ScratchDir dir;
  HnswIndex empty(2, Metric::Cosine, 16, 200);
  std::string file = write_with(write_quantized, empty, dir.file("vectors.tmp"));
  CHECK(file == sq8_v2_bytes(2, {0.0f, 0.0f}, {1.0f, 1.0f}, {}, ""));
  Result<Sq8Quantizer> back = parse_quantized(file, 0, 2);
  CHECK(back.ok() && back.value().codes().empty() && back.value().dim() == 2);
}

// parse_quantized of the bytes, and load_quantized of a file holding them,
// which must agree: the same codebook, exceptions and codes, or the same
// error.
void check_quantized_reads_agree(const std::string& bytes, std::size_t n, std::size_t dim,
                                 Result<Sq8Quantizer>& parsed) {
  ScratchDir dir;
  const std::string path = dir.file("vectors.sq8");
  FileWriter sink;
  if (!sink.open(path, FileWriter::Mode::Truncate).ok() || !sink.write(bytes).ok() || !sink.close().ok())
    std::abort();
  Result<Sq8Quantizer> loaded = load_quantized(path, n, dim);
  CHECK(loaded.ok() == parsed.ok());
  if (!loaded.ok() || !parsed.ok()) {
    if (!loaded.ok() && !parsed.ok()) CHECK_TEXT(loaded.error().detail(), parsed.error().detail());
    return;
  }
  const Sq8Quantizer &a = loaded.value(), &b = parsed.value();
  CHECK(a.mins() == b.mins() && a.scales() == b.scales() && a.codes() == b.codes());
  CHECK(a.exceptions() == b.exceptions() && a.rows_within_range() == b.rows_within_range());
  CHECK(reinterpret_cast<std::uintptr_t>(a.codes().data()) % 64 == 0);
}

void test_quantized_reader_errors() {
  auto error_of = [](const std::string& bytes, std::size_t n, std::size_t dim) {
    Result<Sq8Quantizer> r = parse_quantized(bytes, n, dim);
    check_quantized_reads_agree(bytes, n, dim, r);
    if (r.ok()) return std::string();
    CHECK(r.error().kind() == ErrorKind::DamagedFile);
    return r.error().detail();
  };
  std::string valid = sq8_bytes(3, {0, 0, 0}, {1, 1, 1}, std::string(6, '\x07'));
  CHECK_TEXT(error_of(valid, 2, 3), "");

  // A 5-byte file whose first field is 3.
  CHECK_TEXT(error_of(valid.substr(0, 5), 2, 3), kTruncated);
  for (std::size_t n = 0; n < 28; ++n) CHECK_TEXT(error_of(valid.substr(0, n), 2, 3), kTruncated);
  // A header claiming far more components than the file holds.
  CHECK_TEXT(error_of(sq8_bytes(0xFFFFFFFF, {1}, {}, ""), 0, 3), kTruncated);

  // Codes of another length and a codebook of another dimension.
  for (std::size_t n : {28u, 33u}) {
    std::string error = error_of(valid.substr(0, n), 2, 3);
    CHECK(!error.empty() && error != kTruncated);
  }
  std::string error = error_of(valid + "x", 2, 3);
  CHECK(!error.empty() && error != kTruncated);
  error = error_of(valid, 3, 3);
  CHECK(!error.empty() && error != kTruncated);
  error = error_of(sq8_bytes(2, {0, 0}, {1, 1}, std::string(6, '\0')), 3, 2);
  CHECK_TEXT(error, "");
  error = error_of(sq8_bytes(2, {0, 0}, {1, 1}, std::string(6, '\0')), 2, 3);
  CHECK(!error.empty() && error != kTruncated);
  error = error_of(valid, SIZE_MAX / 2, 3);  // N x dim overflows
  CHECK(!error.empty() && error != kTruncated);

  // Version 2: every cut short is a truncation, an exception count beyond
  // the file too; another version, exceptions out of order, repeated or
  // beyond the slots are refused.
  std::string v2 = sq8_v2_bytes(3, {0, 0, 0}, {1, 1, 1}, {0, 1}, std::string(6, '\x07'));
  CHECK_TEXT(error_of(v2, 2, 3), "");
  for (std::size_t n = 0; n < 48; ++n) CHECK_TEXT(error_of(v2.substr(0, n), 2, 3), kTruncated);
  CHECK_TEXT(error_of(sq8_v2_bytes(3, {0, 0, 0}, {1, 1, 1}, {}, "").replace(12, 4, "\xff\xff\xff\x0f"), 0, 3),
             kTruncated);
  CHECK_TEXT(error_of(sq8_v2_bytes(3, {0, 0, 0}, {1, 1, 1}, {}, std::string(6, '\0'), 3), 2, 3),
             "unsupported quantized vector file version: 3");
  for (const std::vector<std::uint32_t>& bad : {std::vector<std::uint32_t>{1, 0}, {1, 1}, {2}, {0, 0xFFFFFFFF}}) {
    error = error_of(sq8_v2_bytes(3, {0, 0, 0}, {1, 1, 1}, bad, std::string(6, '\0')), 2, 3);
    CHECK(error.find("exception slot") != std::string::npos);
  }
  error = error_of(sq8_v2_bytes(2, {0, 0}, {1, 1}, {}, std::string(6, '\0')), 2, 3);
  CHECK(!error.empty() && error != kTruncated);
  error = error_of(v2 + "x", 2, 3);
  CHECK(!error.empty() && error != kTruncated);
}

// A row far outside the others is set aside by training: the file lists it,
// and the quantizer read back holds it with no row read. The same codes in
// the first layout have it still to find, among the rows.
void test_quantized_file_lists_exceptions() {
  ScratchDir dir;
  const std::size_t dim = 4, n = 2000, far = 1234;
  HnswIndex index(dim, Metric::Euclidean, 8, 40);
  std::vector<float> v(dim);
  for (std::size_t s = 0; s < n; ++s) {
    for (std::size_t j = 0; j < dim; ++j) v[j] = static_cast<float>((s * 7 + j * 13) % 101) * 0.01f;
    if (s == far) v.assign(dim, 1000.0f);
    index.insert(v.data(), dim);
  }
  std::string file = write_with(write_quantized, index, dir.file("vectors.tmp"));
  Result<Sq8Quantizer> read = parse_quantized(file, n, dim);
  check_quantized_reads_agree(file, n, dim, read);
  CHECK(read.ok());
  if (!read.ok()) return;
  const Sq8Quantizer& q = read.value();
  CHECK(q.exceptions() == std::vector<std::uint32_t>{far} && q.rows_within_range());
  CHECK(file.size() == 16 + 8 * dim + 4 + n * dim);

  std::string codes(reinterpret_cast<const char*>(q.codes().data()), q.codes().size());
  Result<Sq8Quantizer> first = parse_quantized(sq8_bytes(dim, q.mins(), q.scales(), codes), n, dim);
  CHECK(first.ok() && first.value().exceptions().empty() && !first.value().rows_within_range());
  if (!first.ok()) return;
  Sq8Quantizer found = first.value();
  found.find_exceptions(index.store().data(), index.store().float_count());
  CHECK(found.exceptions() == q.exceptions() && found.rows_within_range());
}

void test_writers_report_sink_errors() {
  std::unique_ptr<HnswIndex> index = two_slot_index();
  FileWriter closed;
  Status st = write_vectors(*index, closed);
  CHECK(!st.ok() && st.error().kind() == ErrorKind::Io);
  st = write_quantized(*index, closed);
  CHECK(!st.ok() && st.error().kind() == ErrorKind::Io);
  FileWriter full;
  if (full.open("/dev/full", FileWriter::Mode::Truncate).ok()) {
    st = write_vectors(*index, full);
    CHECK(!st.ok() && st.error().kind() == ErrorKind::Io);
  }
}

void test_large_store_round_trip() {
  // More floats than one write buffer holds, so several chunks are written.
  ScratchDir dir;
  const std::size_t dim = 37, n = 300;
  HnswIndex index(dim, Metric::Cosine, 8, 40);
  std::vector<float> v(dim);
  for (std::size_t s = 0; s < n; ++s) {
    for (std::size_t j = 0; j < dim; ++j) v[j] = static_cast<float>(s) * 0.5f - static_cast<float>(j);
    index.insert(v.data(), dim);
  }
  std::string file = write_with(write_vectors, index, dir.file("vectors.bin"));
  CHECK(file.size() == 4 * n * (dim + 1));
  Result<std::shared_ptr<MappedFile>> map = MappedFile::map(dir.file("vectors.bin"));
  CHECK(map.ok());
  if (!map.ok()) return;
  Result<LoadedVectors> loaded = attach_vectors(map.value(), n, dim);
  CHECK(loaded.ok());
  if (!loaded.ok()) return;
  bool rows_equal = true;
  for (std::uint32_t s = 0; s < n; ++s)
    rows_equal &= std::memcmp(loaded.value().store.vector(s), index.vector(s), dim * 4) == 0;
  CHECK(rows_equal);
  CHECK(loaded.value().norms == index.norms());

  std::string sq8 = write_with(write_quantized, index, dir.file("vectors.tmp"));
  Result<Sq8Quantizer> q = parse_quantized(sq8, n, dim);
  check_quantized_reads_agree(sq8, n, dim, q);
  CHECK(q.ok() && q.value().codes().size() == n * dim);
  if (q.ok()) CHECK(sq8.size() == 16 + 8 * dim + 4 * q.value().exceptions().size() + n * dim);
}

}  // namespace

int main() {
  test_vectors_file_layout();
  test_attach_and_rewrite_mapped();
  test_attach_empty_file();
  test_quantized_file_layout();
  test_quantized_file_lists_exceptions();
  test_quantized_file_of_empty_index();
  test_quantized_reader_errors();
  test_writers_report_sink_errors();
  test_large_store_round_trip();
  return check::exit_code("test_vector_files");
}
