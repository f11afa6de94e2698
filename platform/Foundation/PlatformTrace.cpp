#include "Foundation/PlatformTrace.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace {

struct TraceState {
  std::mutex mutex;  // guards `sink` and serialises sink calls
  std::shared_ptr<const PlatformCallSink> sink;
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
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.sink) (*s.sink)(receiver, selector, arguments);
}

ScopedPlatformCallSink::ScopedPlatformCallSink(PlatformCallSink sink) {
  auto installed = std::make_shared<const PlatformCallSink>(std::move(sink));
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  previous_ = std::exchange(s.sink, std::move(installed));
  s.active = true;
}

ScopedPlatformCallSink::~ScopedPlatformCallSink() {
  std::shared_ptr<const PlatformCallSink> ended;  // released after the mutex
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  ended = std::exchange(s.sink, std::move(previous_));
  s.active = static_cast<bool>(s.sink);
}
