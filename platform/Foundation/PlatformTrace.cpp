#include "Foundation/PlatformTrace.h"

#include <atomic>
#include <utility>

#include "Foundation/ThreadSafety.h"

namespace {

struct TraceState {
  kivo::Mutex mutex;  // also serialises sink calls
  std::shared_ptr<const PlatformCallSink> sink KIVO_GUARDED_BY(mutex);
  std::atomic<bool> active{false};
};

TraceState& state() {
  static TraceState* const instance = new TraceState;  // outlives late reports at exit
  return *instance;
}

}  // namespace

bool isPlatformCallTraced() { return state().active.load(std::memory_order_acquire); }

void tracePlatformCall(std::string_view receiver, std::string_view selector, std::string_view arguments) {
  auto& s = state();
  if (!s.active.load(std::memory_order_acquire)) return;
  kivo::MutexLock lock(s.mutex);
  if (s.sink) (*s.sink)(receiver, selector, arguments);
}

ScopedPlatformCallSink::ScopedPlatformCallSink(PlatformCallSink sink) {
  auto installed = std::make_shared<const PlatformCallSink>(std::move(sink));
  auto& s = state();
  kivo::MutexLock lock(s.mutex);
  previous_ = std::exchange(s.sink, std::move(installed));
  s.active = true;
}

ScopedPlatformCallSink::~ScopedPlatformCallSink() {
  std::shared_ptr<const PlatformCallSink> ended;  // released after the mutex
  auto& s = state();
  kivo::MutexLock lock(s.mutex);
  ended = std::exchange(s.sink, std::move(previous_));
  s.active = static_cast<bool>(s.sink);
}
