// The linker's thread and its waits (see background_linker.h).
//
// A dedicated thread rather than a task on the worker pool: it waits most of
// the time, and a pool thread would run the chunk's parallel linking inline
// (a parallel_for from a pool thread does), while this thread hands it to
// the pool. A chunk is sized so that linking it takes about kLinkHold: the
// database links a chunk under its index write lock, so a search or a
// writer waits at most about one chunk. Once searches were seen waiting
// for a chunk, chunks shrink to kSharedHold for a while and the linker lets
// the waiting searches in before it takes the lock again, so a search
// behind the linker waits about a millisecond rather than ten while
// linking goes on at nearly its full pace.
#include "core/db/background_linker.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace hovra {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kLinkHold = std::chrono::milliseconds(10);
// The hold while searches wait, and how long after the last one waited.
constexpr auto kSharedHold = std::chrono::microseconds(1500);
constexpr auto kSharedFor = std::chrono::milliseconds(500);
// The longest a chunk waits for the searches that waited for the last one.
constexpr auto kHandOver = std::chrono::milliseconds(2);
constexpr std::size_t kFirstChunk = 64;
constexpr std::size_t kMinChunk = 8;
constexpr std::size_t kMaxChunk = 8192;
// How often a waiter looks at its progress for a stop.
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

// The next chunk: scaled so that holding the lock takes about `hold`, by
// at most 2x up and 8x down a step.
std::size_t next_chunk(std::size_t chunk, Clock::duration held, Clock::duration hold) {
  double scale = std::chrono::duration<double>(hold) /
                 std::max(std::chrono::duration<double>(held), std::chrono::duration<double>(1e-6));
  double next =
      std::clamp(static_cast<double>(chunk) * std::clamp(scale, 0.125, 2.0), double(kMinChunk), double(kMaxChunk));
  return static_cast<std::size_t>(next);
}

}  // namespace

void BackgroundLinker::start(Work work) {
  work_ = std::move(work);
  thread_.start([this](const std::atomic<bool>& stop) { run(stop); });
}

void BackgroundLinker::stop() {
  thread_.stop([this] { wake_all(); });
}

void BackgroundLinker::renew_in_child() {
  new (&mutex_) std::mutex();
  thread_.renew_in_child();
}

// Lets the searches that wait for the lock take it (they were woken when
// it was released, but the linker could take it again first): waits until
// none waits, for at most kHandOver.
void BackgroundLinker::hand_over() const {
  Clock::time_point until = Clock::now() + kHandOver;
  while (work_.searches_waiting() && Clock::now() < until) std::this_thread::yield();
}

void BackgroundLinker::run(const std::atomic<bool>& stop) {
  std::size_t chunk = kFirstChunk;
  Clock::time_point searched_at{};  // when searches last waited for a chunk
  for (;;) {
    {
      std::unique_lock<std::mutex> lk(mutex_);
      wake_.wait(lk, [&] { return stop.load() || fresh() > 0 || work_.checkpoint_due(); });
      if (stop.load()) return;
    }
    if (work_.checkpoint_due()) {
      work_.checkpoint();
      continue;
    }
    Chunk done = work_.link(chunk);
    if (done.searches_waited) {
      searched_at = Clock::now();
      hand_over();
    }
    Clock::duration hold =
        Clock::now() - searched_at < kSharedFor ? Clock::duration(kSharedHold) : Clock::duration(kLinkHold);
    // A full chunk scales the next; a short one that held the lock too long
    // (searches began to wait) scales from what it took.
    if (done.taken >= chunk) chunk = next_chunk(chunk, done.held, hold);
    else if (done.held > hold && done.taken > 0) chunk = std::min(chunk, next_chunk(done.taken, done.held, hold));
    {
      std::lock_guard<std::mutex> g(mutex_);
    }
    linked_.notify_all();
  }
}

// Taking the mutex between setting a flag and notifying means a thread
// that tested the flag under it is already waiting when notified.
void BackgroundLinker::wake_all() {
  {
    std::lock_guard<std::mutex> g(mutex_);
  }
  wake_.notify_all();
  linked_.notify_all();
}

void BackgroundLinker::wake() {
  {
    std::lock_guard<std::mutex> g(mutex_);
  }
  wake_.notify_one();
}

void BackgroundLinker::report(Progress* progress, std::size_t at_start, std::size_t left, std::size_t& reported) {
  if (progress && at_start > left && at_start - left > reported) {
    progress->advance(at_start - left - reported);
    reported = at_start - left;
  }
}

void BackgroundLinker::wait_for_room(std::size_t bound, Progress* progress) {
  if (fresh() <= bound || !thread_.running()) return;
  std::size_t at_start = fresh(), reported = 0;
  start_phase(progress, "linking", "records", at_start - bound);
  std::unique_lock<std::mutex> lk(mutex_);
  for (;;) {
    std::size_t left = fresh();
    report(progress, at_start, left, reported);
    if (left <= bound || thread_.stopping() || stop_requested(progress)) return;
    linked_.wait_for(lk, kWaitSlice);
  }
}

bool BackgroundLinker::wait_indexed(std::optional<double> timeout_seconds, Progress* progress) {
  if (!thread_.running()) return fresh() == 0;
  std::size_t at_start = fresh();
  start_phase(progress, "linking", "records", at_start);
  std::optional<Clock::time_point> deadline;
  if (timeout_seconds) {
    auto span = std::chrono::duration<double>(std::max(0.0, *timeout_seconds));
    deadline = Clock::now() +
               std::chrono::duration_cast<Clock::duration>(std::min(span, std::chrono::duration<double>(1e9)));
  }
  std::unique_lock<std::mutex> lk(mutex_);
  std::size_t reported = 0;
  for (;;) {
    std::size_t left = fresh();
    report(progress, at_start, left, reported);
    if (left == 0) return true;
    if (thread_.stopping() || stop_requested(progress)) return false;
    Clock::time_point now = Clock::now();
    if (deadline && now >= *deadline) return false;
    Clock::time_point until = now + kWaitSlice;
    if (deadline) until = std::min(until, *deadline);
    linked_.wait_until(lk, until);
  }
}

}  // namespace hovra
