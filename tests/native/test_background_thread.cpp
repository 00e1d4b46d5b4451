// The engine's background threads: BackgroundThread's life (stop wakes and
// joins, restarts run afresh, a forked child forgets the parent's thread
// and never waits for it), BackgroundLinker's waits (wait_indexed and
// backpressure end when the rows are linked, when the linker stops, or on
// timeout; a due checkpoint runs before linking; chunks shrink while
// searches wait for them) and CheckpointPolicy's
// bounds, and BackingAhead's backing of a block being written. Run under
// ThreadSanitizer by .ci/sanitize.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "check.h"
#include "core/base/background_thread.h"
#include "core/base/backing_ahead.h"
#include "core/base/file_io.h"
#include "core/db/background_linker.h"
#include "core/db/checkpoint_policy.h"

using namespace hovra;

namespace {

using namespace std::chrono_literals;

void test_thread_stops_restarts_and_forgets_in_a_child() {
  BackgroundThread thread;
  CHECK(!thread.running());
  std::atomic<int> runs{0}, spins{0};
  auto body = [&](const std::atomic<bool>& stop) {
    ++runs;
    while (!stop.load()) {
      ++spins;
      std::this_thread::sleep_for(1ms);
    }
  };
  thread.start(body);
  CHECK(thread.running());
  while (spins.load() == 0) std::this_thread::sleep_for(1ms);

  // A forked child stops (forgets) a thread it never had, at once.
  pid_t child = fork();
  if (child == 0) {
    bool was_running = thread.running();
    thread.stop();
    _exit(!was_running && !thread.running() ? 0 : 1);
  }
  int status = 0;
  CHECK(waitpid(child, &status, 0) == child);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  thread.stop();
  CHECK(!thread.running());
  CHECK(thread.stopping());
  int spun = spins.load();
  std::this_thread::sleep_for(5ms);
  CHECK(spins.load() == spun);  // joined: the body no longer runs

  // Started again, the flag is clear and the body runs anew; a body that
  // ended by itself is joined by the next start.
  thread.start(body);
  CHECK(!thread.stopping());
  thread.stop();
  CHECK(runs.load() == 2);
  std::atomic<int> quick{0};
  for (int i = 0; i < 50; ++i) thread.start([&](const std::atomic<bool>&) { ++quick; });
  thread.stop();
  CHECK(quick.load() == 50);
  thread.stop();  // stopping twice is harmless
}

// The wake callback runs after the flag is set: a body waiting on a
// condition variable is woken without a timeout.
void test_stop_wakes_a_waiting_body() {
  BackgroundThread thread;
  std::mutex m;
  std::condition_variable cv;
  thread.start([&](const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [&] { return stop.load(); });
  });
  std::this_thread::sleep_for(5ms);
  thread.stop([&] {
    {
      std::lock_guard<std::mutex> g(m);
    }
    cv.notify_all();
  });
  CHECK(!thread.running());
}

// A linker over a counter of rows: link takes up to a chunk of them and
// reports the hold and the waiting searches it is told to.
struct Rows {
  std::atomic<std::size_t> left{0};
  std::atomic<bool> stuck{false};
  std::atomic<int> checkpoints{0};
  std::atomic<bool> due{false};
  // What each chunk reports, and the chunk sizes asked for.
  std::atomic<int> held_us{0};
  std::atomic<bool> searches_waited{false};
  std::atomic<int> waiting_polls{0};  // searches_waiting answers true this often
  std::mutex m;
  std::vector<std::size_t> asked;
};

BackgroundLinker::Work work_over(Rows& rows, BackgroundLinker& linker) {
  return BackgroundLinker::Work{
      [&rows, &linker](std::size_t chunk) -> BackgroundLinker::Chunk {
        if (rows.stuck.load()) {
          std::this_thread::sleep_for(1ms);
          return {};
        }
        {
          std::lock_guard<std::mutex> g(rows.m);
          rows.asked.push_back(chunk);
        }
        std::size_t n = std::min(chunk, rows.left.load());
        rows.left -= n;
        linker.publish(rows.left.load());
        return {n, std::chrono::microseconds(rows.held_us.load()), rows.searches_waited.load()};
      },
      [&rows] { return rows.waiting_polls.fetch_sub(1) > 0; },
      [&rows] { return rows.due.load(); },
      [&rows] {
        ++rows.checkpoints;
        rows.due = false;
      },
  };
}

void test_linker_links_and_its_waits_end() {
  Rows rows;
  BackgroundLinker linker;
  CHECK(linker.wait_indexed(0.0, nullptr));  // no thread, nothing fresh
  linker.start(work_over(rows, linker));
  rows.left = 10'000;
  linker.publish(10'000);
  linker.wake();
  CHECK(linker.wait_indexed(std::nullopt, nullptr));
  CHECK(rows.left.load() == 0 && linker.fresh() == 0);

  // A checkpoint that falls due runs although no row waits.
  rows.due = true;
  linker.wake();
  for (int i = 0; i < 5000 && rows.checkpoints.load() == 0; ++i) std::this_thread::sleep_for(1ms);
  CHECK(rows.checkpoints.load() == 1);

  // Rows the linker cannot take: a timeout ends the wait, and so does the
  // linker's stop for a writer held back by backpressure.
  rows.stuck = true;
  rows.left = 100;
  linker.publish(100);
  linker.wake();
  CHECK(!linker.wait_indexed(0.02, nullptr));
  std::atomic<bool> returned{false};
  std::thread writer([&] {
    linker.wait_for_room(10, nullptr);
    returned = true;
  });
  std::this_thread::sleep_for(20ms);
  CHECK(!returned.load());
  linker.stop();
  writer.join();
  CHECK(returned.load());
  CHECK(!linker.wait_indexed(std::nullopt, nullptr));  // stopped with rows left: answers at once
}

// Chunks follow the hold they report: 10 ms keeps the size; once searches
// waited, the same hold is too long and the chunks shrink (at most 8x a
// step), and the linker waits for the searches before its next chunk.
void test_linker_chunks_shrink_when_searches_wait() {
  Rows rows;
  rows.held_us = 10'000;
  BackgroundLinker linker;
  linker.start(work_over(rows, linker));
  auto link = [&](std::size_t n) {
    {
      std::lock_guard<std::mutex> g(rows.m);
      rows.asked.clear();
    }
    rows.left = n;
    linker.publish(n);
    linker.wake();
    CHECK(linker.wait_indexed(std::nullopt, nullptr));
    std::lock_guard<std::mutex> g(rows.m);
    return rows.asked;
  };
  std::vector<std::size_t> alone = link(64 * 4);
  CHECK(alone.size() == 4);
  for (std::size_t c : alone) CHECK(c == 64);

  rows.searches_waited = true;
  rows.waiting_polls = 3;
  std::vector<std::size_t> shared = link(64 * 4);
  CHECK(shared.size() > 4);
  CHECK(shared[0] == 64 && shared[1] == 9);  // 64 * 1.5 ms / 10 ms
  CHECK(rows.waiting_polls.load() <= 0);     // the hand-over asked until none waited
  linker.stop();
}

void test_checkpoint_policy_bounds() {
  CheckpointPolicy policy;
  policy.configure(false, 1000, 10);
  policy.logged(5000, 50);
  CHECK(!policy.due());  // off
  CHECK(policy.unsaved());

  CheckpointPolicy p;
  p.configure(true, 1000, 10);
  CHECK(!p.due() && !p.unsaved());
  p.logged(999, 9);
  CHECK(!p.due());
  p.logged(999, 1);  // the records' bound
  CHECK(p.due());
  LogGrowth taken = p.growth();
  CHECK(taken.bytes == 999 && taken.records == 10);
  p.logged(1200, 2);  // logged while the save ran
  p.saved(taken);
  CHECK(p.growth().bytes == 201 && p.growth().records == 2);
  CHECK(!p.due() && p.unsaved());

  // A failed checkpoint waits for the log to grow by the bound again.
  p.logged(1500, 1);
  CHECK(p.due());
  p.failed_at(1500);
  CHECK(!p.due());
  p.logged(2499, 100);
  CHECK(!p.due());
  p.logged(2500, 0);
  CHECK(p.due());
  p.saved(p.growth());
  CHECK(!p.due() && !p.unsaved());

  // Marks keep a save worth making with nothing logged.
  p.note_linked();
  CHECK(p.unsaved());
  p.clear_marks();
  p.note_compacted();
  CHECK(p.unsaved());
  p.clear_marks();
  CHECK(!p.unsaved());
}

}  // namespace

// The system backs a block while it is written from the front: every value
// stays as written (the advice never changes what memory holds), before the
// block's start, where the writer and the backing meet and past them; too
// small a block, or none, is left alone.
void test_backing_ahead_keeps_what_is_written() {
  const std::size_t n = kBackingAheadMin / sizeof(float) + 12345;
  auto* block = static_cast<float*>(large_allocate(n * sizeof(float)));
  const std::size_t before = 1000;
  for (std::size_t i = 0; i < before; ++i) block[i] = static_cast<float>(i);
  {
    BackingAhead backing(block + before, (n - before) * sizeof(float));
    for (std::size_t i = before; i < n; ++i) block[i] = static_cast<float>(i % 100000);
  }
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < n; ++i) wrong += block[i] != static_cast<float>(i < before ? i : i % 100000);
  CHECK(wrong == 0);
  {
    BackingAhead none(nullptr, kBackingAheadMin);
    BackingAhead small(block, 4096);
  }
  CHECK(block[before - 1] == static_cast<float>(before - 1));
  large_free(block, n * sizeof(float));
}

int main() {
  test_thread_stops_restarts_and_forgets_in_a_child();
  test_stop_wakes_a_waiting_body();
  test_linker_links_and_its_waits_end();
  test_linker_chunks_shrink_when_searches_wait();
  test_checkpoint_policy_bounds();
  test_backing_ahead_keeps_what_is_written();
  return check::exit_code("test_background_thread");
}
