// The warm-up of a mapped file: its background thread is stopped and joined
// before the map is released, however early the release comes, and a child
// made by fork (which has no such thread) can release its copy of the map.
// Reads of a mapped file beside its map (read, read_cached) and a store's
// rows read through them give the map's bytes; reads past the end, and
// from an extendable map, are refused.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "check.h"
#include "core/base/file_io.h"
#include "core/base/mapped_file.h"
#include "core/vectors/vector_store.h"
#include "scratch_dir.h"

using namespace hovra;

int main() {
  ScratchDir dir;
  std::string path = dir.file("data.bin");
  {
    FileWriter w;
    CHECK(w.open(path, FileWriter::Mode::Truncate).ok());
    std::vector<char> chunk(1 << 20, 7);
    for (int i = 0; i < 48; ++i) CHECK(w.write(chunk.data(), chunk.size()).ok());
    CHECK(w.close().ok());
  }
  // Released at once, mid-way and after the thread finished: never a read
  // of unmapped memory (which would kill the process).
  for (int round = 0; round < 30; ++round) {
    Result<std::shared_ptr<MappedFile>> m = MappedFile::map(path);
    CHECK(m.ok());
    m.value()->warm_up(round % 3 == 0 ? 0 : 4096 * round, std::size_t(48) << 20);
    if (round % 5 == 4) usleep(2000);
  }
  // Offsets past the end and a second warm-up are ignored.
  {
    Result<std::shared_ptr<MappedFile>> m = MappedFile::map(path);
    m.value()->warm_up(std::size_t(1) << 40, 10);
    m.value()->warm_up(0, 100);
    m.value()->warm_up(0, 100);
    CHECK(m.value()->data()[4095] == 7);
  }
  // fork while the thread runs: the child drops the map and exits cleanly.
  {
    Result<std::shared_ptr<MappedFile>> m = MappedFile::map(path);
    m.value()->warm_up(0, std::size_t(48) << 20);
    pid_t child = fork();
    if (child == 0) {
      int ok = m.value()->data()[12345] == 7;
      m.value().reset();
      _exit(ok ? 0 : 3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  // Reads beside the map.
  {
    std::string rows_path = dir.file("rows.bin");
    const std::size_t dim = 7, count = 1000;
    std::vector<float> rows(dim * count);
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<float>(i) * 0.5f;
    FileWriter w;
    CHECK(w.open(rows_path, FileWriter::Mode::Truncate).ok());
    CHECK(w.write(rows.data(), rows.size() * sizeof(float)).ok());
    CHECK(w.close().ok());
    Result<std::shared_ptr<MappedFile>> m = MappedFile::map(rows_path);
    CHECK(m.ok() && m.value()->can_read());
    const std::size_t size = m.value()->size();
    std::vector<unsigned char> got(100);
    CHECK(m.value()->read(size - 100, got.data(), 100));
    CHECK(std::equal(got.begin(), got.end(), m.value()->data() + size - 100));
    CHECK(!m.value()->read(size - 99, got.data(), 100) && !m.value()->read(size + 1, got.data(), 0));
    if (m.value()->read_cached(4, got.data(), 100)) CHECK(std::equal(got.begin(), got.end(), m.value()->data() + 4));
    CHECK(!m.value()->read_cached(size, got.data(), 1));
    m.value()->start_reading(0, size);
    m.value()->start_reading(size + 10, 10);
    VectorStore store = VectorStore::mapped(dim, m.value(), rows.size());
    CHECK(store.reads_from_file());
    std::vector<std::uint32_t> slots = {999, 0, 500, 500};
    std::vector<float> buf(slots.size() * dim);
    std::vector<const float*> out(slots.size());
    store.read_rows(slots.data(), slots.size(), buf.data(), out.data());
    for (std::size_t i = 0; i < slots.size(); ++i)
      CHECK(std::equal(out[i], out[i] + dim, rows.data() + slots[i] * dim));
    CHECK(std::equal(store.read_row(3, buf.data()), store.read_row(3, buf.data()) + dim, rows.data() + 3 * dim));
    Result<std::shared_ptr<MappedFile>> grows = MappedFile::map_extendable(rows_path, 1 << 20);
    CHECK(grows.ok() && !grows.value()->can_read() && !grows.value()->read(0, got.data(), 4));
    CHECK(!VectorStore::mapped(dim, grows.value(), rows.size()).reads_from_file());
  }
  return check::exit_code("test_mapped_warm_up");
}
