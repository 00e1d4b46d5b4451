// The process-wide worker pool behind parallel_for.
//
// Written here rather than taken from a library: the registries this
// project builds from offer no packaged C++ pool, and all that is needed is
// a set of threads running a blocking parallel-for, sized from the
// environment or by set_pool_size.
#include "core/base/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <unistd.h>
#include <vector>

#include "core/base/file_io.h"

namespace hovra {

namespace {

std::size_t positive_env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return 0;
  char* end = nullptr;
  unsigned long long n = std::strtoull(v, &end, 10);
  if (*end != '\0' || v[0] == '-') return 0;
  return static_cast<std::size_t>(n);
}

// The size the environment asks for, else one thread per logical processor.
std::size_t configured_threads() {
  for (const char* name : {"HOVRA_NUM_THREADS", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"})
    if (std::size_t n = positive_env(name)) return std::min(n, kMaxPoolThreads);
  std::size_t hw = std::thread::hardware_concurrency();
  return hw ? hw : 1;
}

// Set on the pool's own threads: a parallel_for issued from inside a task
// runs inline there, since waiting for the pool from one of its own threads
// could wait forever.
thread_local bool tl_on_pool_thread = false;

// One parallel_for call: workers claim indices until none are left. The
// caller waits until every index ran and every worker that took the job
// has let go of it, so the job can live on the caller's stack.
struct Job {
  std::size_t n = 0;
  const std::function<void(std::size_t)>* fn = nullptr;
  std::atomic<std::size_t> next{0};
  std::mutex mu;
  std::condition_variable finished;
  std::size_t done = 0;     // guarded by mu
  std::size_t holders = 0;  // workers holding the job; guarded by mu
  std::exception_ptr error;

  void run_some() {
    std::size_t ran = 0;
    for (;;) {
      std::size_t i = next.fetch_add(1);
      if (i >= n) break;
      try {
        (*fn)(i);
      } catch (...) {
        std::lock_guard<std::mutex> g(mu);
        if (!error) error = std::current_exception();
      }
      ++ran;
    }
    std::lock_guard<std::mutex> g(mu);
    done += ran;
    --holders;
    finished.notify_all();
  }
};

// A set of threads serving a queue of jobs. A retired pool takes no new
// jobs; its threads finish what is queued and exit. Each thread holds the
// pool alive, and so does every caller while its job runs.
class Pool : public std::enable_shared_from_this<Pool> {
 public:
  // Starts up to `threads` threads (fewer when the system refuses more).
  void start(std::size_t threads) {
    for (std::size_t i = 0; i < threads; ++i) {
      try {
        std::thread([self = shared_from_this()] { self->work(); }).detach();
      } catch (const std::system_error&) {
        break;
      }
      ++size_;
    }
  }
  std::size_t size() const { return size_; }

  // Queues the job for up to size() workers and waits until it is done;
  // false (nothing queued) when the pool has retired.
  bool run(Job& job) {
    std::size_t helpers = std::min(size_, job.n);
    {
      std::lock_guard<std::mutex> g(job.mu);
      job.holders = helpers;
    }
    {
      std::lock_guard<std::mutex> g(mu_);
      if (retired_) return false;
      for (std::size_t i = 0; i < helpers; ++i) queue_.push_back(&job);
    }
    wake_.notify_all();
    std::unique_lock<std::mutex> lk(job.mu);
    job.finished.wait(lk, [&] { return job.done == job.n && job.holders == 0; });
    return true;
  }

  void retire() {
    {
      std::lock_guard<std::mutex> g(mu_);
      retired_ = true;
    }
    wake_.notify_all();
  }

 private:
  void work() {
    tl_on_pool_thread = true;
    for (;;) {
      Job* job;
      {
        std::unique_lock<std::mutex> lk(mu_);
        wake_.wait(lk, [&] { return !queue_.empty() || retired_; });
        if (queue_.empty()) return;  // retired, and nothing left to run
        job = queue_.front();
        queue_.pop_front();
      }
      job->run_some();
    }
  }
  std::size_t size_ = 0;
  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<Job*> queue_;
  bool retired_ = false;
};

// The current pool, created on first use. A child made by fork() has none
// of its parent's threads, so it makes a pool of its own on first use; the
// parent's pool object is left alone there (its mutexes may have been held
// at the fork).
struct PoolSlot {
  std::mutex mu;
  std::shared_ptr<Pool> pool;
  pid_t owner = 0;
  std::size_t wanted = 0;  // the size set_pool_size asked for (0: the environment's)
};

// The slot's mutex is held across a fork, so that a child never inherits
// it locked by a thread that does not exist there (its first parallel_for
// would wait forever).
void lock_slot_for_fork();
void unlock_slot_after_fork();

PoolSlot& slot() {
  static PoolSlot* s = [] {
    auto* created = new PoolSlot();  // never destroyed: workers outlive static destruction
    run_around_fork(lock_slot_for_fork, unlock_slot_after_fork, unlock_slot_after_fork);
    return created;
  }();
  return *s;
}

void lock_slot_for_fork() { slot().mu.lock(); }
void unlock_slot_after_fork() { slot().mu.unlock(); }

std::shared_ptr<Pool> make_pool(std::size_t threads) {
  auto pool = std::make_shared<Pool>();
  pool->start(threads);
  return pool;
}

// Caller holds slot().mu.
void forget_forked(PoolSlot& s) {
  if (s.pool && s.owner != ::getpid()) {
    new std::shared_ptr<Pool>(std::move(s.pool));  // never released in the child
    s.pool.reset();
  }
}

std::shared_ptr<Pool> current_pool() {
  PoolSlot& s = slot();
  std::lock_guard<std::mutex> g(s.mu);
  forget_forked(s);
  if (!s.pool) {
    s.pool = make_pool(s.wanted ? s.wanted : configured_threads());
    s.owner = ::getpid();
  }
  return s.pool;
}

}  // namespace

std::size_t pool_size() { return current_pool()->size(); }

std::size_t configured_pool_size() {
  PoolSlot& s = slot();
  std::lock_guard<std::mutex> g(s.mu);
  forget_forked(s);
  if (s.pool) return s.pool->size();
  return s.wanted ? s.wanted : configured_threads();
}

void set_pool_size(std::size_t n) {
  n = std::clamp<std::size_t>(n, 1, kMaxPoolThreads);
  std::shared_ptr<Pool> fresh = make_pool(n);
  std::shared_ptr<Pool> old;
  {
    PoolSlot& s = slot();
    std::lock_guard<std::mutex> g(s.mu);
    forget_forked(s);
    old = std::move(s.pool);
    s.pool = std::move(fresh);
    s.owner = ::getpid();
    s.wanted = n;
  }
  if (old) old->retire();
}

void parallel_for(std::size_t n, const std::function<void(std::size_t)>& fn) {
  if (n == 0) return;
  if (tl_on_pool_thread || n == 1) {
    for (std::size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  Job job;
  job.n = n;
  job.fn = &fn;
  for (;;) {
    std::shared_ptr<Pool> pool = current_pool();
    if (pool->size() == 0) {  // no thread could be started: run here
      for (std::size_t i = 0; i < n; ++i) fn(i);
      return;
    }
    if (pool->run(job)) break;  // else it retired meanwhile: use the new one
  }
  if (job.error) std::rethrow_exception(job.error);
}

}  // namespace hovra
