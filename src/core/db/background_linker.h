// BackgroundLinker: the thread that links a database's fresh rows (stored by the
// changes, searched exactly meanwhile) into its graph behind the writers,
// in chunks, and runs the automatic checkpoint once it is due; and the
// waits on it: backpressure for writers that outrun it, and wait_indexed.
// The database hands it the work as callbacks; the linker owns the
// thread, its mutex, the chunk sizing (and the hand-over of the lock to
// searches that waited for a chunk) and the count of rows waiting as of
// the last change or chunk.
//
// Its mutex is a leaf: taken while holding no engine lock, and nothing is
// taken under it (the callbacks run without it).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>

#include "core/base/background_thread.h"
#include "core/base/progress.h"

namespace hovra {

class BackgroundLinker {
 public:
  // What linking a chunk did: the rows it took, how long it held the lock
  // searches take, and whether searches were waiting for it as it ended.
  struct Chunk {
    std::size_t taken = 0;
    std::chrono::steady_clock::duration held{};
    bool searches_waited = false;
  };
  struct Work {
    // Links up to `chunk` fresh rows; it publishes the rows still fresh
    // (publish) before it returns.
    std::function<Chunk(std::size_t chunk)> link;
    // Whether searches wait for the lock a chunk holds now.
    std::function<bool()> searches_waiting;
    // Whether the automatic checkpoint is due, and the checkpoint itself.
    std::function<bool()> checkpoint_due;
    std::function<void()> checkpoint;
  };

  BackgroundLinker() = default;
  BackgroundLinker(const BackgroundLinker&) = delete;
  BackgroundLinker& operator=(const BackgroundLinker&) = delete;
  ~BackgroundLinker() { stop(); }

  void start(Work work);
  // Stops the thread and joins it (in a forked child: forgets it).
  void stop();
  // A forked child's copies of the mutexes, built anew (their holders may
  // have been threads of the parent).
  void renew_in_child();

  // The rows waiting to be linked, as the last change or chunk left them.
  void publish(std::size_t fresh) { fresh_.store(fresh, std::memory_order_release); }
  std::size_t fresh() const { return fresh_.load(std::memory_order_acquire); }
  // After a change: rows to link, or the log grew.
  void wake();
  // Waits while more than `bound` rows wait (a stop asked for through
  // progress ends the wait early); returns at once without a thread.
  void wait_for_room(std::size_t bound, Progress* progress);
  // Waits until every row is linked (true) or the timeout passes, a stop
  // is asked for or the linker stops (false). Without a thread of this
  // process it answers at once.
  bool wait_indexed(std::optional<double> timeout_seconds, Progress* progress);

 private:
  void run(const std::atomic<bool>& stop);
  void hand_over() const;
  // Wakes the thread and every waiter.
  void wake_all();
  // Reports the rows linked since at_start to progress.
  static void report(Progress* progress, std::size_t at_start, std::size_t left, std::size_t& reported);

  Work work_;
  std::mutex mutex_;
  std::condition_variable wake_;    // rows to link, or stop
  std::condition_variable linked_;  // a chunk was linked
  BackgroundThread thread_;
  std::atomic<std::size_t> fresh_{0};
};

}  // namespace hovra
