// Progress: the token of one long operation (a batch, a batch of searches,
// a compaction, a save), shared between the thread doing the work and a
// thread watching it. The worker names its phase, advances the phase's
// counter between chunks of work and, where the operation may still stop,
// checks whether a stop was asked for; the watcher reads the counters and
// asks for the stop. Operations take a `Progress*` that may be null.
#pragma once

#include <atomic>
#include <cstdint>

namespace hovra {

class Progress {
 public:
  // What the watcher sees: the phase (null before the first), its unit, and
  // how much of its total is done (total 0: not known beforehand).
  struct Snapshot {
    const char* phase = nullptr;
    const char* unit = "";
    std::uint64_t done = 0;
    std::uint64_t total = 0;
  };

  // name and unit are string literals (they are read by the watcher).
  void start_phase(const char* name, const char* unit, std::uint64_t total) {
    phase_.store(nullptr, std::memory_order_release);
    done_.store(0, std::memory_order_relaxed);
    total_.store(total, std::memory_order_relaxed);
    unit_.store(unit, std::memory_order_relaxed);
    phase_.store(name, std::memory_order_release);
  }
  void advance(std::uint64_t n = 1) { done_.fetch_add(n, std::memory_order_relaxed); }

  void request_stop() { stop_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const { return stop_.load(std::memory_order_relaxed); }

  Snapshot snapshot() const {
    Snapshot s;
    s.phase = phase_.load(std::memory_order_acquire);
    s.unit = unit_.load(std::memory_order_relaxed);
    s.total = total_.load(std::memory_order_relaxed);
    s.done = done_.load(std::memory_order_relaxed);
    if (s.total != 0 && s.done > s.total) s.done = s.total;
    return s;
  }

 private:
  std::atomic<const char*> phase_{nullptr};
  std::atomic<const char*> unit_{""};
  std::atomic<std::uint64_t> done_{0};
  std::atomic<std::uint64_t> total_{0};
  std::atomic<bool> stop_{false};
};

// The null-tolerant forms the engine calls.
inline void start_phase(Progress* p, const char* name, const char* unit, std::uint64_t total) {
  if (p) p->start_phase(name, unit, total);
}
inline void advance(Progress* p, std::uint64_t n = 1) {
  if (p) p->advance(n);
}
inline bool stop_requested(const Progress* p) { return p && p->stop_requested(); }

}  // namespace hovra
