// Clang thread-safety annotations and the annotated mutex types they need.
//
// The macros name what each lock guards (GUARDED_BY), what a function
// expects held (REQUIRES), and the written lock order (ACQUIRED_AFTER);
// `clang++ -Wthread-safety` checks them (.ci/thread-safety), and under other
// compilers they are empty. Functions that run on other threads for a lock
// holder (parallel_for bodies, callbacks inside templates) cannot inherit
// what it holds: they state it with SharedMutex::assert_held_shared(). The analysis sees only types marked as
// capabilities, so std::mutex and std::shared_mutex are wrapped: Mutex and
// SharedMutex are the standard types with annotated inline members (and,
// for SharedMutex, a count of waiting readers), and MutexLock, ReadLock and WriteLock are their
// scoped holders.
#pragma once

#include <atomic>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define HOVRA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HOVRA_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) HOVRA_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY HOVRA_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) HOVRA_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) HOVRA_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) HOVRA_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) HOVRA_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) HOVRA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) HOVRA_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) HOVRA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) HOVRA_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) HOVRA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) HOVRA_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) HOVRA_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) HOVRA_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) HOVRA_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) HOVRA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) HOVRA_THREAD_ANNOTATION(assert_capability(x))
#define ASSERT_SHARED_CAPABILITY(x) HOVRA_THREAD_ANNOTATION(assert_shared_capability(x))
#define RETURN_CAPABILITY(x) HOVRA_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS HOVRA_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace hovra {

// std::mutex as a capability.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
  // For std::condition_variable, which waits on a std::unique_lock of the
  // standard type: the caller holds this mutex through a MutexLock.
  std::mutex& native() RETURN_CAPABILITY(this) { return m_; }

 private:
  std::mutex m_;
};

// std::shared_mutex as a capability. A shared locker that has to wait
// counts itself while it waits, so that a holder of the exclusive lock
// can see that others wait for it (readers_waiting) and hand the lock over
// sooner; taking the lock without waiting counts nothing.
class CAPABILITY("mutex") SharedMutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
  void lock_shared() ACQUIRE_SHARED() {
    if (m_.try_lock_shared()) return;
    shared_waiters_.fetch_add(1, std::memory_order_relaxed);
    m_.lock_shared();
    shared_waiters_.fetch_sub(1, std::memory_order_relaxed);
  }
  bool readers_waiting() const { return shared_waiters_.load(std::memory_order_relaxed) > 0; }
  void unlock_shared() RELEASE_SHARED() { m_.unlock_shared(); }
  bool try_lock_shared() TRY_ACQUIRE_SHARED(true) { return m_.try_lock_shared(); }
  // Tells the analysis that the caller holds this lock shared by a means it
  // cannot follow (a holder kept in a struct or moved between scopes).
  void assert_held_shared() const ASSERT_SHARED_CAPABILITY(this) {}

 private:
  std::shared_mutex m_;
  std::atomic<int> shared_waiters_{0};
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() RELEASE() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};

// Holds a SharedMutex exclusively for its scope, or until unlock().
class SCOPED_CAPABILITY WriteLock {
 public:
  explicit WriteLock(SharedMutex& m) ACQUIRE(m) : m_(&m) { m_->lock(); }
  ~WriteLock() RELEASE() {
    if (m_) m_->unlock();
  }
  void unlock() RELEASE() {
    m_->unlock();
    m_ = nullptr;
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  SharedMutex* m_;
};

// Holds a SharedMutex shared for its scope, or until unlock().
class SCOPED_CAPABILITY ReadLock {
 public:
  explicit ReadLock(SharedMutex& m) ACQUIRE_SHARED(m) : m_(&m) { m_->lock_shared(); }
  ~ReadLock() RELEASE() {
    if (m_) m_->unlock_shared();
  }
  void unlock() RELEASE() {
    m_->unlock_shared();
    m_ = nullptr;
  }
  ReadLock(const ReadLock&) = delete;
  ReadLock& operator=(const ReadLock&) = delete;

 private:
  SharedMutex* m_;
};

// A SharedMutex held shared by a value that can be moved (kept in a struct
// that outlives the scope that took it). The analysis cannot follow such a
// holder: whoever relies on it says so with assert_held_shared().
class SharedHold {
 public:
  SharedHold() = default;
  explicit SharedHold(SharedMutex& m) NO_THREAD_SAFETY_ANALYSIS : m_(&m) { m_->lock_shared(); }
  SharedHold(SharedHold&& other) noexcept : m_(other.m_) { other.m_ = nullptr; }
  SharedHold& operator=(SharedHold&& other) noexcept NO_THREAD_SAFETY_ANALYSIS {
    if (this != &other) {
      if (m_) m_->unlock_shared();
      m_ = other.m_;
      other.m_ = nullptr;
    }
    return *this;
  }
  ~SharedHold() NO_THREAD_SAFETY_ANALYSIS {
    if (m_) m_->unlock_shared();
  }

 private:
  SharedMutex* m_ = nullptr;
};

}  // namespace hovra
