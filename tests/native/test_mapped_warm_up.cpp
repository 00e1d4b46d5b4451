// The warm-up of a mapped file: its background thread is stopped and joined
// before the map is released, however early the release comes, and a child
// made by fork (which has no such thread) can release its copy of the map.
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "check.h"
#include "core/base/file_io.h"
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
  return check::exit_code("test_mapped_warm_up");
}
