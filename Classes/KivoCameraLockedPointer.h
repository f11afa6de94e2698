#pragma once
// KivoCameraLockedPointer: one shared or weak reference that several queues
// read and replace whole.
//
// Thread-safe
//
// A small mutex guards the reference. `load` copies it under the mutex;
// `store` swaps the new one in under the mutex and lets the old one go after
// the mutex is released, so the last reference to an object may be dropped
// here without its destructor running under the lock (a destructor that
// reaches back into this holder cannot deadlock, and a slow one blocks no
// reader). It stands in for std::atomic<std::shared_ptr<T>> and
// std::atomic<std::weak_ptr<T>>, which give the same guarantees but whose
// implementation ThreadSanitizer cannot follow.

#include <memory>
#include <utility>

#include "Foundation/ThreadSafety.h"

template <class Pointer>
class KivoCameraLockedPointer {
 public:
  KivoCameraLockedPointer() = default;
  explicit KivoCameraLockedPointer(Pointer value) : value_(std::move(value)) {}
  KivoCameraLockedPointer(const KivoCameraLockedPointer&) = delete;
  KivoCameraLockedPointer& operator=(const KivoCameraLockedPointer&) = delete;

  /// A copy of the reference held now.
  Pointer load() const {
    const kivo::MutexLock lock(mutex_);
    return value_;
  }

  /// Replaces the reference; the previous one is released outside the lock.
  void store(Pointer value) {
    {
      const kivo::MutexLock lock(mutex_);
      using std::swap;
      swap(value_, value);
    }
    // `value` now holds the previous reference and is released here.
  }

 private:
  mutable kivo::Mutex mutex_;
  Pointer value_ KIVO_GUARDED_BY(mutex_);
};
