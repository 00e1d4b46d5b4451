// LongCall: runs one long engine operation (a batch, a batch of searches, a
// compaction, a save) so that Ctrl-C interrupts it and its progress can be
// shown.
//
// Python runs signal handlers only on the main thread, between bytecodes,
// so a thread busy in the engine would not see Ctrl-C until the operation
// ends. The operation therefore runs on a helper thread while the calling
// thread waits with the interpreter lock released. Every 50 ms the calling
// thread takes the lock briefly to run the signal handlers
// (PyErr_CheckSignals) and to update the progress display. When a handler
// raises (KeyboardInterrupt, for Ctrl-C), the operation is asked to stop
// through its Progress; the calling thread waits for it to return, which the
// engine's checks between chunks of work make quick, and then raises that
// exception, whatever the operation returned. The helper thread never
// touches Python objects and never holds the interpreter lock.
#pragma once

#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "core/base/progress.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace hovra::py {

class LongCall {
 public:
  // operation names the method for the progress display.
  explicit LongCall(const char* operation) : operation_(operation) {}
  ~LongCall();
  LongCall(const LongCall&) = delete;
  LongCall& operator=(const LongCall&) = delete;

  // Creates the progress display (hovra._progress.ProgressDisplay); false
  // with a Python error set when that fails. Call with the lock held,
  // before run().
  bool show_progress();

  Progress* progress() { return &progress_; }

  // Runs work() (engine code only) on a helper thread, as described above,
  // and returns its result; an exception thrown by work is rethrown here.
  // Called with the interpreter lock held, which is held again on return.
  // Work expected to be short (not `long_expected`) without a progress
  // display runs on the calling thread with the lock released: starting a
  // thread would cost more than waiting for its end before Ctrl-C is seen.
  template <class F>
  auto run(F&& work, bool long_expected = true) -> decltype(work());

  // After run(): whether a signal handler raised meanwhile. If so, its
  // exception is set as the current Python error and the caller returns
  // failure.
  bool raise_if_interrupted();

 private:
  static constexpr std::chrono::milliseconds kPollInterval{50};

  // With the interpreter lock held: runs the signal handlers, then shows
  // the progress.
  void poll();
  void display_progress();
  void close_display();
  // Keeps the pending Python error as the interruption (the first one wins;
  // later ones are dropped) and asks the operation to stop.
  void take_interrupt();
  // Clears a pending error of the display: an Exception turns the display
  // off, anything else (KeyboardInterrupt raised by a handler that ran in
  // the display's Python code) interrupts.
  void display_failed();

  const char* operation_;
  Progress progress_;
  PyRef display_;
  bool interrupted_ = false;
  PyObject* exc_type_ = nullptr;
  PyObject* exc_value_ = nullptr;
  PyObject* exc_tb_ = nullptr;
};

template <class F>
auto LongCall::run(F&& work, bool long_expected) -> decltype(work()) {
  if (!long_expected && !display_) return without_gil(work);
  using R = decltype(work());
  std::optional<R> result;
  std::exception_ptr error;
  std::mutex mu;
  std::condition_variable finished;
  bool done = false;
  auto body = [&] {
    try {
      result.emplace(work());
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> g(mu);
    done = true;
    finished.notify_all();
  };

  std::optional<std::thread> helper;
  PyThreadState* state = PyEval_SaveThread();
  try {
    helper.emplace(body);
  } catch (const std::system_error&) {
    body();  // no thread to be had: run here, without the polling
  }
  if (helper) {
    std::unique_lock<std::mutex> lk(mu);
    while (!finished.wait_for(lk, kPollInterval, [&] { return done; })) {
      lk.unlock();
      PyEval_RestoreThread(state);
      poll();
      state = PyEval_SaveThread();
      lk.lock();
    }
    lk.unlock();
    helper->join();
  }
  PyEval_RestoreThread(state);
  display_progress();
  close_display();
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

}  // namespace hovra::py
