#pragma once
// sim::ScopedSessionCosts: the real-time cost of a capture session's slow
// calls. A real session blocks the thread that starts it or commits its
// configuration for a noticeable time (the camera powers up, the pipeline is
// rebuilt); the simulated session returns at once. While an instance lives,
// every startRunning and commitConfiguration blocks its calling thread for
// the configured time, so a driver in real time can see which queue pays for
// them (a main thread that starts the session would stall visibly).
//
// It observes the calls through the platform-call report (Foundation's
// PlatformTrace) and so shadows the sink installed before it, the world's
// trace included; `forward` receives every report in its place. Reports are
// serialised by the platform, so another thread's traced call waits while a
// cost is being paid: timings taken under it are upper bounds.
//
// Thread-bound: main
// Construct and destroy it on the driving (main) thread; the costs are paid
// on whichever queue makes the call.

#include <functional>

#include "Foundation/PlatformTrace.h"

namespace sim {

struct SessionCosts {
  double startRunningSeconds = 0;
  double commitConfigurationSeconds = 0;
};

class [[nodiscard]] ScopedSessionCosts {
 public:
  /// How a cost is paid; by default the calling thread sleeps that long.
  using Wait = std::function<void(double seconds)>;

  /// Costs must be finite and not negative (std::invalid_argument otherwise).
  /// `forward` may be empty; `wait` empty means sleeping.
  explicit ScopedSessionCosts(SessionCosts costs, PlatformCallSink forward = {}, Wait wait = {});
  ~ScopedSessionCosts();
  ScopedSessionCosts(const ScopedSessionCosts&) = delete;
  ScopedSessionCosts& operator=(const ScopedSessionCosts&) = delete;

 private:
  ScopedPlatformCallSink sink_;
};

}  // namespace sim
