#pragma once
// A process-wide slot for an object that a scope installs and later puts
// back (the capture backend, the sensor backend, the tracker host). Reads and
// swaps take a small mutex; what a swap displaces is handed back to the
// caller, so its last reference goes outside the lock.

#include <memory>
#include <mutex>
#include <utility>

template <class T>
class InstalledObject {
 public:
  std::shared_ptr<T> get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return object_;
  }

  /// Installs `object` and returns the one it replaces (dropping the result
  /// releases that one after the lock).
  std::shared_ptr<T> exchange(std::shared_ptr<T> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(object_, std::move(object));
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<T> object_;
};
