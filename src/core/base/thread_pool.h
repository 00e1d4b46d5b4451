// The process-wide worker pool, created on first use and sized by
// HOVRA_NUM_THREADS, else RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS (the
// last two kept as fallbacks), else one thread per logical processor;
// set_pool_size resizes it. Its threads run
// engine work only, never Python code.
#pragma once

#include <cstddef>
#include <functional>

namespace hovra {

// The most threads the pool starts, whatever it is asked for: far beyond
// the logical processors of any machine it serves, and each thread reserves
// a stack.
inline constexpr std::size_t kMaxPoolThreads = 4096;

// Number of worker threads of the pool (creating it if needed). May change
// between two calls when the pool is resized: read it once per decision.
std::size_t pool_size();
// The pool's size without creating it: its current size, or the size it
// will have on first use.
std::size_t configured_pool_size();
// Replaces the pool by one of n threads (n clamped to 1..kMaxPoolThreads).
// Safe at any time
// from any thread: parallel_for calls already running finish on the old
// pool, whose threads then exit; later calls use the new one.
void set_pool_size(std::size_t n);
// Runs fn(i) for i in [0, n) on the pool and waits for all; the calling
// thread only waits. Exceptions thrown by fn are rethrown (the first one).
// Called from a pool thread (a task that splits its own work), or with
// n == 1, it runs every index inline on the calling thread.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& fn);

}  // namespace hovra
