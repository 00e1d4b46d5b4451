// The worker pool: sized from the environment (HOVRA_NUM_THREADS first,
// then the RAYON_ fallbacks), resized while other threads keep running
// parallel_for on it and exact scans large enough to be split over it,
// nested calls run inline, and exceptions come back to the caller.
#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "core/base/thread_pool.h"
#include "core/index/exhaustive_scan.h"
#include "core/index/hit.h"
#include "core/vectors/distance.h"

using namespace hovra;

namespace {

// The sum of i over [0, n), computed by parallel_for.
std::size_t parallel_sum(std::size_t n) {
  std::atomic<std::size_t> sum{0};
  parallel_for(n, [&](std::size_t i) { sum.fetch_add(i, std::memory_order_relaxed); });
  return sum.load();
}

void environment_sizes_the_pool() {
  ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
  ::setenv("RAYON_NUM_THREADS", "4", 1);
  ::setenv("HOVRA_NUM_THREADS", "3", 1);
  CHECK(configured_pool_size() == 3);  // read before the pool exists
  CHECK(pool_size() == 3);
  ::setenv("HOVRA_NUM_THREADS", "7", 1);
  CHECK(pool_size() == 3);  // the environment is read when the pool is made
}

void resizing_under_load() {
  constexpr int kCallers = 4;
  constexpr std::size_t kItems = 1000;
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0}, calls{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&] {
      while (!stop.load()) {
        std::size_t size = pool_size();
        if (size < 1 || size > 8) ++wrong;
        if (parallel_sum(kItems) != kItems * (kItems - 1) / 2) ++wrong;
        ++calls;
      }
    });
  }
  for (int round = 0; round < 200; ++round) set_pool_size(1 + round % 8);
  while (calls.load() < 400) std::this_thread::yield();
  stop = true;
  for (std::thread& t : callers) t.join();
  CHECK(wrong.load() == 0);
  set_pool_size(2);
  CHECK(pool_size() == 2 && configured_pool_size() == 2);
  set_pool_size(0);  // clamped
  CHECK(pool_size() == 1);
}

// Scans of 8,192 x 128 rows are split into parts over the pool; each
// returns the same hits however the pool is resized while it runs.
void scans_while_resizing() {
  constexpr std::size_t kRows = 8192, kDim = 128;
  std::vector<float> data(kRows * kDim), norms(kRows), query(kDim);
  std::uint32_t seed = 12345;
  auto next = [&] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
  };
  for (float& x : data) x = next();
  for (float& x : query) x = next();
  for (std::size_t r = 0; r < kRows; ++r) norms[r] = vector_norm(data.data() + r * kDim, kDim);
  ScanRows rows{data.data(), kDim, kRows, norms.data(), Metric::Euclidean, true};
  set_pool_size(2);
  std::vector<Hit> expected = scan_all_rows(rows, query.data(), 10);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0}, scans{0};
  std::vector<std::thread> scanners;
  for (int t = 0; t < 2; ++t) {
    scanners.emplace_back([&] {
      while (!stop.load()) {
        std::vector<Hit> got = scan_all_rows(rows, query.data(), 10);
        bool same = got.size() == expected.size();
        for (std::size_t i = 0; same && i < got.size(); ++i)
          same = got[i].slot == expected[i].slot && got[i].distance == expected[i].distance;
        if (!same) ++wrong;
        ++scans;
      }
    });
  }
  for (std::size_t round = 0; scans.load() < 100; ++round) {
    set_pool_size(1 + round % 8);
    std::this_thread::yield();
  }
  stop = true;
  for (std::thread& t : scanners) t.join();
  CHECK(wrong.load() == 0);
}

void nested_calls_and_errors() {
  set_pool_size(3);
  std::atomic<std::size_t> inner{0};
  parallel_for(6, [&](std::size_t) { inner.fetch_add(parallel_sum(10)); });
  CHECK(inner.load() == 6 * 45);
  bool caught = false;
  try {
    parallel_for(10, [](std::size_t i) {
      if (i == 7) throw std::runtime_error("seven");
    });
  } catch (const std::runtime_error& e) {
    caught = std::string(e.what()) == "seven";
  }
  CHECK(caught);
  CHECK(parallel_sum(100) == 4950);  // the pool still works
}

}  // namespace

int main() {
  environment_sizes_the_pool();
  resizing_under_load();
  scans_while_resizing();
  nested_calls_and_errors();
  return check::exit_code("test_thread_pool");
}
