// Tests of vectors.b1, the saved one-bit codes: what is written is read back
// row for row, codes centred on too few rows are written centred afresh,
// and a file of another saved state, shape or length is passed over.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "core/base/file_io.h"
#include "core/storage/code_file.h"
#include "scratch_dir.h"

using namespace hovra;

namespace {

constexpr std::size_t kDim = 70;  // two code words, the second partly used

std::vector<float> random_rows(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.5f, 2.0f);
  std::vector<float> rows(n * kDim);
  for (float& v : rows) v = normal(rng);
  return rows;
}

std::unique_ptr<HnswIndex> index_of(const std::vector<float>& rows, Metric metric) {
  auto index = std::make_unique<HnswIndex>(kDim, metric, 8, 40);
  for (std::size_t at = 0; at < rows.size(); at += kDim) index->insert(rows.data() + at, kDim);
  return index;
}

void write_file(const HnswIndex& index, const CodeFileStamp& stamp, const std::string& path) {
  FileWriter sink;
  if (!sink.open(path, FileWriter::Mode::Truncate).ok()) std::abort();
  CHECK(write_code_file(index, stamp, sink).ok());
  CHECK(sink.close().ok());
}

bool same_codes(const BinaryCodes& a, const BinaryCodes& b) {
  if (a.rows() != b.rows() || a.dim() != b.dim() || a.metric() != b.metric() || a.center() != b.center())
    return false;
  for (std::uint32_t s = 0; s < a.rows(); ++s)
    if (std::memcmp(a.row(s), b.row(s), a.row_bytes()) != 0) return false;
  return true;
}

const CodeFileStamp kStamp{7, 12345, 0xC0FFEEu};

void test_round_trip() {
  ScratchDir dir;
  const std::string path = dir.file("vectors.b1");
  for (Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
    std::vector<float> rows = random_rows(300, 1);
    auto index = index_of(rows, metric);
    index->enable_binary_quantization();
    write_file(*index, kStamp, path);
    Result<std::string> bytes = read_file(path);
    CHECK(bytes.ok() && bytes.value().size() == kCodeFileHeadBytes + 4 * kDim + 300 * (2 * 8 + 16));
    std::optional<BinaryCodes> read = load_code_file(path, kStamp, 300, kDim, metric);
    CHECK(read.has_value());
    if (!read) continue;
    CHECK(same_codes(*read, *index->binary_codes()));
    CHECK(read->centred_on() == 300);
  }
}

void test_codes_of_too_few_rows_are_centred_afresh() {
  // Codes made on an empty index lie about the origin; rows added since are
  // coded about it. The file holds the codes about the rows' mean.
  ScratchDir dir;
  const std::string path = dir.file("vectors.b1");
  std::vector<float> rows = random_rows(200, 2);
  HnswIndex index(kDim, Metric::Euclidean, 8, 40);
  index.enable_binary_quantization();
  for (std::size_t at = 0; at < rows.size(); at += kDim) index.insert(rows.data() + at, kDim);
  CHECK(index.binary_codes()->centred_on() == 0 && index.binary_codes()->rows() == 200);
  write_file(index, kStamp, path);
  std::optional<BinaryCodes> read = load_code_file(path, kStamp, 200, kDim, Metric::Euclidean);
  CHECK(read.has_value());
  if (!read) return;
  BinaryCodes trained = BinaryCodes::train(rows.data(), rows.size(), kDim, Metric::Euclidean);
  CHECK(same_codes(*read, trained));
  CHECK(read->centred_on() == 200);
}

void test_other_files_are_passed_over() {
  ScratchDir dir;
  const std::string path = dir.file("vectors.b1");
  CHECK(!load_code_file(path, kStamp, 10, kDim, Metric::Cosine).has_value());  // missing
  std::vector<float> rows = random_rows(50, 3);
  auto index = index_of(rows, Metric::Cosine);
  index->enable_binary_quantization();
  write_file(*index, kStamp, path);
  CHECK(load_code_file(path, kStamp, 50, kDim, Metric::Cosine).has_value());
  // Another saved state, row count, dimension or metric.
  CHECK(!load_code_file(path, CodeFileStamp{8, 12345, 0xC0FFEEu}, 50, kDim, Metric::Cosine).has_value());
  CHECK(!load_code_file(path, CodeFileStamp{7, 12346, 0xC0FFEEu}, 50, kDim, Metric::Cosine).has_value());
  CHECK(!load_code_file(path, CodeFileStamp{7, 12345, 0xC0FFEFu}, 50, kDim, Metric::Cosine).has_value());
  CHECK(!load_code_file(path, kStamp, 51, kDim, Metric::Cosine).has_value());
  CHECK(!load_code_file(path, kStamp, 50, kDim + 1, Metric::Cosine).has_value());
  CHECK(!load_code_file(path, kStamp, 50, kDim, Metric::Euclidean).has_value());
  // Cut short, grown, a bad magic or version.
  Result<std::string> bytes = read_file(path);
  if (!bytes.ok()) std::abort();
  const std::string whole = bytes.value();
  auto passed_over = [&](const std::string& contents) {
    FileWriter w;
    if (!w.open(path, FileWriter::Mode::Truncate).ok()) std::abort();
    CHECK(w.write(contents).ok() && w.close().ok());
    return !load_code_file(path, kStamp, 50, kDim, Metric::Cosine).has_value();
  };
  CHECK(passed_over(whole.substr(0, whole.size() - 1)));
  CHECK(passed_over(whole + std::string(32, '\0')));
  CHECK(passed_over(whole.substr(0, 20)));
  CHECK(passed_over(std::string()));
  std::string bad = whole;
  bad[0] ^= 1;
  CHECK(passed_over(bad));
  bad = whole;
  bad[4] = 2;
  CHECK(passed_over(bad));
  CHECK(!passed_over(whole));
}

}  // namespace

int main() {
  test_round_trip();
  test_codes_of_too_few_rows_are_centred_afresh();
  test_other_files_are_passed_over();
  return check::exit_code("test_code_file");
}
