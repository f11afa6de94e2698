#pragma once
// Thread-safety annotations: what guards each field (a mutex, the main
// thread, a serial queue) written where the field is declared, so that
// clang's -Wthread-safety checks every access. With other compilers the
// macros expand to nothing.
//
// A capability is a mutex or a thread role. Code holds a mutex between its
// lock and its unlock (MutexLock, UniqueLock); it holds a thread role after
// asserting that it runs there (KIVO_ASSERT_MAIN_THREAD, KIVO_ASSERT_ON_QUEUE
// in Dispatch.h), for the rest of the function.
//
// Mutex is std::mutex with the annotations libstdc++ leaves out, nothing
// more.
// Thread-safe

#include <mutex>

#if defined(__clang__)
#define KIVO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KIVO_THREAD_ANNOTATION(x)
#endif

#define KIVO_CAPABILITY(name) KIVO_THREAD_ANNOTATION(capability(name))
#define KIVO_SCOPED_CAPABILITY KIVO_THREAD_ANNOTATION(scoped_lockable)
#define KIVO_GUARDED_BY(x) KIVO_THREAD_ANNOTATION(guarded_by(x))
#define KIVO_PT_GUARDED_BY(x) KIVO_THREAD_ANNOTATION(pt_guarded_by(x))
#define KIVO_ACQUIRED_BEFORE(...) KIVO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define KIVO_REQUIRES(...) KIVO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KIVO_ACQUIRE(...) KIVO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KIVO_RELEASE(...) KIVO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KIVO_TRY_ACQUIRE(...) KIVO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define KIVO_EXCLUDES(...) KIVO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KIVO_ASSERT_CAPABILITY(x) KIVO_THREAD_ANNOTATION(assert_capability(x))
#define KIVO_RETURN_CAPABILITY(x) KIVO_THREAD_ANNOTATION(lock_returned(x))
#define KIVO_NO_THREAD_SAFETY_ANALYSIS KIVO_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kivo {

/// A std::mutex that clang's analysis can follow.
class KIVO_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() KIVO_ACQUIRE() { mutex_.lock(); }
  void unlock() KIVO_RELEASE() { mutex_.unlock(); }
  bool try_lock() KIVO_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  /// The mutex itself, for a std::unique_lock that a condition variable waits
  /// with (UniqueLock hands one out).
  std::mutex& native() KIVO_RETURN_CAPABILITY(this) { return mutex_; }

 private:
  std::mutex mutex_;
};

/// Holds a Mutex for its scope, like std::lock_guard.
class KIVO_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) KIVO_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() KIVO_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

/// Holds a Mutex for its scope and may let it go and take it again meanwhile,
/// like std::unique_lock; `native()` is what a std::condition_variable waits
/// with (the wait gives the mutex back before it returns).
class KIVO_SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& mutex) KIVO_ACQUIRE(mutex) : lock_(mutex.native()) {}
  ~UniqueLock() KIVO_RELEASE() = default;
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() KIVO_ACQUIRE() { lock_.lock(); }
  void unlock() KIVO_RELEASE() { lock_.unlock(); }

  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace kivo
