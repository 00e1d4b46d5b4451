// The engine's background threads: BackgroundThread's life (stop wakes and
// joins, restarts run afresh, a forked child forgets the parent's thread
// and never waits for it), BackgroundLinker's waits (wait_indexed and
// backpressure end when the rows are linked, when the linker stops, or on
// timeout; a due checkpoint runs before linking) and CheckpointPolicy's
// bounds. Run under ThreadSanitizer by .ci/sanitize.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "check.h"
#include "core/base/background_thread.h"
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

// A linker over a counter of rows: link takes up to a chunk of them.
struct Rows {
  std::atomic<std::size_t> left{0};
  std::atomic<bool> stuck{false};
  std::atomic<int> checkpoints{0};
  std::atomic<bool> due{false};
};

BackgroundLinker::Work work_over(Rows& rows, BackgroundLinker& linker) {
  return BackgroundLinker::Work{
      [&rows, &linker](std::size_t chunk) -> std::size_t {
        if (rows.stuck.load()) {
          std::this_thread::sleep_for(1ms);
          return 0;
        }
        std::size_t n = std::min(chunk, rows.left.load());
        rows.left -= n;
        linker.publish(rows.left.load());
        return n;
      },
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

int main() {
  test_thread_stops_restarts_and_forgets_in_a_child();
  test_stop_wakes_a_waiting_body();
  test_linker_links_and_its_waits_end();
  test_checkpoint_policy_bounds();
  return check::exit_code("test_background_thread");
}
