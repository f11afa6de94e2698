#pragma once
// A process-wide slot for an object that a scope installs and later puts
// back (the capture backend, the sensor backend, the tracker host). Reads and
// swaps take a small mutex; what a swap displaces is handed back to the
// caller, so its last reference goes outside the lock.
// Thread-safe

#include <memory>
#include <utility>

#include "Foundation/ThreadSafety.h"

template <class T>
class InstalledObject {
 public:
  std::shared_ptr<T> get() const {
    kivo::MutexLock lock(mutex_);
    return object_;
  }

  /// Installs `object` and returns the one it replaces (dropping the result
  /// releases that one after the lock).
  std::shared_ptr<T> exchange(std::shared_ptr<T> object) {
    kivo::MutexLock lock(mutex_);
    return std::exchange(object_, std::move(object));
  }

 private:
  mutable kivo::Mutex mutex_;
  std::shared_ptr<T> object_ KIVO_GUARDED_BY(mutex_);
};
