// BackgroundThread: one thread of this process that runs a body until the
// body returns or is asked to stop, and its life: started anew once the
// last run ended, asked to stop and joined, and forgotten in a forked
// child (the thread there is the parent's, so its handle is let go without
// joining). The engine's background linker and its text index builder each
// run on one.
//
// Its mutex serialises start and stop and is taken holding no other lock
// (the body takes the engine's locks, and stop waits for the body).
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "core/base/thread_annotations.h"

namespace hovra {

class BackgroundThread {
 public:
  // The body reads the flag to learn that it should stop.
  using Body = std::function<void(const std::atomic<bool>& stop)>;

  BackgroundThread() = default;
  BackgroundThread(const BackgroundThread&) = delete;
  BackgroundThread& operator=(const BackgroundThread&) = delete;
  ~BackgroundThread() { stop(); }

  // Joins a run that ended, then runs body on a new thread.
  void start(Body body);
  // Asks the body to stop, calls wake (which wakes a body that waits, if
  // it does), and joins it. The flag stays set until the next start. In a
  // forked child the thread is forgotten instead.
  void stop(const std::function<void()>& wake = nullptr);
  // Whether this process's thread was started and not stopped (false in a
  // forked child).
  bool running() const;
  // Whether stop was asked for since the last start.
  bool stopping() const { return stop_.load(std::memory_order_acquire); }
  // A forked child's copy of the mutex, built anew (a thread of the parent
  // may have held it).
  void renew_in_child();

 private:
  Mutex mutex_;
  std::thread thread_ GUARDED_BY(mutex_);
  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};
  std::atomic<int> started_by_{0};  // the process that started the thread
};

}  // namespace hovra
