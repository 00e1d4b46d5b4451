// BackgroundThread's start and stop (see background_thread.h).
#include "core/base/background_thread.h"

#include "core/base/file_io.h"

namespace hovra {

void BackgroundThread::start(Body body) {
  MutexLock g(mutex_);
  if (thread_.joinable()) thread_.join();
  stop_.store(false, std::memory_order_release);
  started_by_.store(current_process_id());
  running_.store(true, std::memory_order_release);
  thread_ = std::thread([this, body = std::move(body)] { body(stop_); });
}

// A forked child forgets the parent's thread without its mutex: the child
// never started it, and the mutex may be a copy that a parent thread held.
void BackgroundThread::stop(const std::function<void()>& wake) NO_THREAD_SAFETY_ANALYSIS {
  if (started_by_.load() != 0 && started_by_.load() != current_process_id()) {
    if (thread_.joinable()) new std::thread(std::move(thread_));  // never joined: the thread is the parent's
    running_.store(false, std::memory_order_release);
    return;
  }
  MutexLock g(mutex_);
  if (!thread_.joinable()) return;
  stop_.store(true, std::memory_order_release);
  if (wake) wake();
  thread_.join();
  running_.store(false, std::memory_order_release);
}

bool BackgroundThread::running() const {
  return running_.load(std::memory_order_acquire) && started_by_.load() == current_process_id();
}

void BackgroundThread::renew_in_child() NO_THREAD_SAFETY_ANALYSIS { new (&mutex_) Mutex(); }

}  // namespace hovra
