// Heap figures and trimming through glibc's malloc interfaces; elsewhere
// the figures are zero and trimming does nothing.
#include "core/base/heap.h"

#include <cstdio>

#if defined(__GLIBC__)
#include <malloc.h>
#include <unistd.h>
#endif

namespace hovra {

std::size_t heap_chunk(std::size_t bytes) {
  if (bytes == 0) return 0;
  // glibc on 64-bit targets: an 8-byte header, 16-byte granules, 32 at least.
  std::size_t chunk = (bytes + 8 + 15) & ~std::size_t(15);
  return chunk < 32 ? 32 : chunk;
}

HeapStats heap_stats() {
  HeapStats s;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
  struct mallinfo2 info = mallinfo2();
  s.in_use = info.uordblks + info.hblkhd;
  s.free_held = info.fordblks;
#endif
#if defined(__linux__)
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    unsigned long long size = 0, resident = 0;
    if (std::fscanf(f, "%llu %llu", &size, &resident) == 2)
      s.resident = resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    std::fclose(f);
  }
#endif
  return s;
}

void trim_heap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace hovra
