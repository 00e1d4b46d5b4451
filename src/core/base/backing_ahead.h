// BackingAhead: has the system back a range of new memory with pages in a
// thread of its own while the caller goes on writing into it. The kernel
// zeroes every new page at its first touch; for a large block filled in
// order (an open applying a long log into the vector store) that zeroing
// is a large share of the fill, and done here it runs beside the writes
// on another processor instead of inside them.
#pragma once

#include <cstddef>
#include <thread>

namespace hovra {

// Blocks below this are not worth a thread.
inline constexpr std::size_t kBackingAheadMin = std::size_t(64) << 20;

class BackingAhead {
 public:
  // Starts backing [at, at + bytes) unless the block is small or this
  // process has one processor. The memory must stay mapped until the
  // destructor returns; what it holds is never changed.
  BackingAhead(const void* at, std::size_t bytes);
  // Waits for the thread.
  ~BackingAhead();
  BackingAhead(const BackingAhead&) = delete;
  BackingAhead& operator=(const BackingAhead&) = delete;

 private:
  std::thread thread_;
};

}  // namespace hovra
