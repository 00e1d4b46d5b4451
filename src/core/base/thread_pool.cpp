// The process-wide worker pool behind parallel_for.
//
// Written here rather than taken from a library: the registries this
// project builds from offer no packaged C++ pool, and all that is needed is
// a fixed set of threads running a blocking parallel-for, sized once from
// the environment.
#include "core/base/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include <unistd.h>
#include <vector>

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

std::size_t configured_threads() {
  if (std::size_t n = positive_env("RAYON_NUM_THREADS")) return n;
  if (std::size_t n = positive_env("RAYON_RS_NUM_CPUS")) return n;
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

class Pool {
 public:
  explicit Pool(std::size_t threads) : size_(threads) {
    for (std::size_t i = 0; i < threads; ++i) std::thread([this] { work(); }).detach();
  }
  std::size_t size() const { return size_; }

  void run(Job& job) {
    std::size_t helpers = std::min(size_, job.n);
    {
      std::lock_guard<std::mutex> g(job.mu);
      job.holders = helpers;
    }
    {
      std::lock_guard<std::mutex> g(mu_);
      for (std::size_t i = 0; i < helpers; ++i) queue_.push_back(&job);
    }
    wake_.notify_all();
    std::unique_lock<std::mutex> lk(job.mu);
    job.finished.wait(lk, [&] { return job.done == job.n && job.holders == 0; });
  }

 private:
  void work() {
    tl_on_pool_thread = true;
    for (;;) {
      Job* job;
      {
        std::unique_lock<std::mutex> lk(mu_);
        wake_.wait(lk, [&] { return !queue_.empty(); });
        job = queue_.front();
        queue_.pop_front();
      }
      job->run_some();
    }
  }
  std::size_t size_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<Job*> queue_;
};

// Created on first use and never destroyed: the parked workers live until
// the process ends. A child made by fork() has none of its parent's
// threads, so it gets a pool of its own on first use.
Pool& pool() {
  static std::mutex mu;
  static Pool* p = nullptr;
  static pid_t owner = 0;
  std::lock_guard<std::mutex> g(mu);
  if (p == nullptr || owner != ::getpid()) {
    p = new Pool(configured_threads());
    owner = ::getpid();
  }
  return *p;
}

}  // namespace

std::size_t pool_size() { return pool().size(); }

void parallel_for(std::size_t n, const std::function<void(std::size_t)>& fn) {
  if (n == 0) return;
  if (tl_on_pool_thread || n == 1) {
    for (std::size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  Job job;
  job.n = n;
  job.fn = &fn;
  pool().run(job);
  if (job.error) std::rethrow_exception(job.error);
}

}  // namespace hovra
