// A vector store over a map with room to grow: changes and appended rows
// land in place (the file itself never changes), a second map of the same
// file still reads the file's rows, and once the reserved room is used up
// the store carries on in owned memory with every row intact.
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "core/base/file_io.h"
#include "core/base/mapped_file.h"
#include "core/vectors/vector_store.h"
#include "scratch_dir.h"

using namespace hovra;

namespace {

constexpr std::size_t kDim = 16;

std::vector<float> row_of(std::size_t i) {
  std::vector<float> v(kDim);
  for (std::size_t d = 0; d < kDim; ++d) v[d] = static_cast<float>(i * 100 + d);
  return v;
}

bool row_is(const VectorStore& s, std::size_t slot, const std::vector<float>& v) {
  return std::memcmp(s.vector(static_cast<std::uint32_t>(slot)), v.data(), kDim * sizeof(float)) == 0;
}

}  // namespace

int main() {
  ScratchDir dir;
  const std::string path = dir.file("vectors.bin");
  const std::size_t rows = 300;  // 19,200 bytes: the room is three times that, 57,600 bytes
  {
    FileWriter w;
    CHECK(w.open(path, FileWriter::Mode::Truncate).ok());
    for (std::size_t i = 0; i < rows; ++i) CHECK(w.write(row_of(i).data(), kDim * sizeof(float)).ok());
    CHECK(w.close().ok());
  }
  Result<std::shared_ptr<MappedFile>> map = MappedFile::map_extendable(path, 0);
  CHECK(map.ok());
  CHECK(map.value()->size() == rows * kDim * sizeof(float));
  CHECK(map.value()->reserved() >= 4 * map.value()->size());
  VectorStore store = VectorStore::mapped(kDim, map.value(), rows * kDim);
  map.value().reset();

  // Changed and continued in place: the data pointer stays where it was.
  const float* before = store.data();
  std::vector<float> changed(kDim, -1.0f);
  store.overwrite(7, changed.data());
  for (std::size_t i = rows; i < 2 * rows; ++i) store.append(row_of(i).data());
  CHECK(store.is_mapped() && store.data() == before);
  CHECK(row_is(store, 7, changed) && row_is(store, 8, row_of(8)) &&
        row_is(store, 2 * rows - 1, row_of(2 * rows - 1)));
  CHECK(store.owned_bytes() == rows * kDim * sizeof(float));

  // The file is as it was: another map reads the original row.
  Result<std::shared_ptr<MappedFile>> again = MappedFile::map(path);
  CHECK(again.ok());
  CHECK(std::memcmp(again.value()->data() + 7 * kDim * sizeof(float), row_of(7).data(), kDim * sizeof(float)) == 0);
  CHECK(read_file(path).value().size() == rows * kDim * sizeof(float));

  // Past the reserved room: copied into owned memory, nothing lost.
  for (std::size_t i = 2 * rows; i < 6 * rows; ++i) store.append(row_of(i).data());
  CHECK(!store.is_mapped() && store.slots() == 6 * rows);
  CHECK(row_is(store, 7, changed));
  for (std::size_t i = 0; i < 6 * rows; ++i)
    if (i != 7) CHECK(row_is(store, i, row_of(i)));

  // An empty file grows as well; reserve_slots grants room ahead.
  const std::string empty = dir.file("empty.bin");
  {
    FileWriter w;
    CHECK(w.open(empty, FileWriter::Mode::Truncate).ok());
    CHECK(w.close().ok());
  }
  Result<std::shared_ptr<MappedFile>> none = MappedFile::map_extendable(empty, std::size_t(1) << 20);
  CHECK(none.ok() && none.value()->reserved() >= (std::size_t(1) << 20));
  VectorStore grown = VectorStore::mapped(kDim, none.value(), 0);
  grown.reserve_slots(64);
  for (std::size_t i = 0; i < 64; ++i) grown.append(row_of(i).data());
  CHECK(grown.is_mapped() && grown.slots() == 64 && row_is(grown, 63, row_of(63)));
  return check::exit_code("test_vector_store_in_place");
}
