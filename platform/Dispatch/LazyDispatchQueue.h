#pragma once
// A serial queue made on first use, so that it runs on the executor installed
// then rather than on whichever was installed when its owner was made (a
// device layer may be made before the host installs its executor).
// Thread-safe

#include <optional>
#include <string>
#include <string_view>

#include "Dispatch/Dispatch.h"
#include "Foundation/ThreadSafety.h"

class LazyDispatchQueue {
 public:
  explicit LazyDispatchQueue(std::string_view label) : label_(label) {}

  DispatchQueue get() {
    kivo::MutexLock lock(mutex_);
    if (!queue_) queue_.emplace(label_);
    return *queue_;
  }

 private:
  kivo::Mutex mutex_;
  const std::string label_;
  std::optional<DispatchQueue> queue_ KIVO_GUARDED_BY(mutex_);
};
