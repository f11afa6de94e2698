#include "sim/capture/SessionCosts.h"

#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

namespace sim {

namespace {

// The receiver name the capture session reports its calls under.
constexpr std::string_view kSessionReceiver = "session";

SessionCosts validated(SessionCosts costs) {
  for (const double seconds : {costs.startRunningSeconds, costs.commitConfigurationSeconds}) {
    if (!std::isfinite(seconds) || seconds < 0)
      throw std::invalid_argument("session costs must be finite and not negative");
  }
  return costs;
}

void sleepFor(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

PlatformCallSink makeSink(SessionCosts costs, PlatformCallSink forward, ScopedSessionCosts::Wait wait) {
  if (!wait) wait = sleepFor;
  return [costs, forward = std::move(forward), wait = std::move(wait)](
             std::string_view receiver, std::string_view selector, std::string_view arguments) {
    // The report comes first, at the moment the call begins, as without costs.
    if (forward) forward(receiver, selector, arguments);
    if (receiver != kSessionReceiver) return;
    double cost = 0;
    if (selector == "startRunning") cost = costs.startRunningSeconds;
    if (selector == "commitConfiguration") cost = costs.commitConfigurationSeconds;
    if (cost > 0) wait(cost);
  };
}

}  // namespace

ScopedSessionCosts::ScopedSessionCosts(SessionCosts costs, PlatformCallSink forward, Wait wait)
    : sink_(makeSink(validated(costs), std::move(forward), std::move(wait))) {}

ScopedSessionCosts::~ScopedSessionCosts() = default;

}  // namespace sim
