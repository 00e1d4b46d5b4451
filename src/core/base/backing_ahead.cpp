// The system calls behind BackingAhead: the populate-for-write advice,
// applied a piece at a time so that the writer, which starts at the front,
// soon finds its pages already there.
#include "core/base/backing_ahead.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace hovra {

namespace {

constexpr std::size_t kPiece = std::size_t(8) << 20;

// Advice only: a kernel without it (before 5.14) or a range no longer
// mapped makes the call fail, and the writes fault the pages in as before.
void back_range(std::uintptr_t start, std::uintptr_t end) {
#if defined(MADV_POPULATE_WRITE)
  for (std::uintptr_t at = start; at < end; at += kPiece) {
    std::size_t len = std::min<std::uintptr_t>(kPiece, end - at);
    if (::madvise(reinterpret_cast<void*>(at), len, MADV_POPULATE_WRITE) != 0) return;
  }
#else
  (void)start;
  (void)end;
#endif
}

}  // namespace

BackingAhead::BackingAhead(const void* at, std::size_t bytes) {
  if (at == nullptr || bytes < kBackingAheadMin || std::thread::hardware_concurrency() < 2) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  // Whole pages only: the first partial page is the writer's already.
  std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(at) + page - 1) / page * page;
  std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(at) + bytes) / page * page;
  if (end <= start) return;
  thread_ = std::thread([start, end] { back_range(start, end); });
}

BackingAhead::~BackingAhead() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace hovra
