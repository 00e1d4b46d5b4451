// The process-wide worker pool, created on first use and sized by
// RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else one thread per logical
// processor. Its threads run engine work only, never Python code.
#pragma once

#include <cstddef>
#include <functional>

namespace hovra {

// Number of worker threads of the pool (creating it if needed).
std::size_t pool_size();
// Runs fn(i) for i in [0, n) on the pool and waits for all; the calling
// thread only waits. Exceptions thrown by fn are rethrown (the first one).
// Called from a pool thread (a task that splits its own work), or with
// n == 1, it runs every index inline on the calling thread.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& fn);

}  // namespace hovra
