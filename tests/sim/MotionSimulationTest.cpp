// Accelerometer updates from the simulated sensor: timing on the virtual
// clock without drift (also for unusable intervals), an update queued when
// its run ends, and managers that outlive the simulation (its backend goes
// with it: upright and still).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include "CoreMotion/CMMotionManager.h"
#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "sim/motion/MotionSimulation.h"

using ::testing::DoubleNear;
using ::testing::ElementsAre;
using ::testing::Pointwise;

namespace {

class MotionSimulationTest : public ::testing::Test {
 protected:
  DeterministicExecutor executor;
  sim::MotionSimulation motion;
  const double start = executor.now();

  /// A handler that records the time of every sample it gets into `into`.
  static CMAccelerometerHandler recorder(std::vector<double>& into) {
    return [&into](std::optional<CMAccelerometerData> data, auto) {
      EXPECT_EQ(data->timestamp, CACurrentMediaTime());
      into.push_back(CACurrentMediaTime());
    };
  }
};

// --- Timing ----------------------------------------------------------------

// The first update one interval after the start, then one every interval; an
// unusable interval runs at the fastest rate rather than spinning.
TEST_F(MotionSimulationTest, UpdatesComeEveryIntervalWithoutDrift) {
  constexpr double kFastest = CMMotionManager::kMinimumUpdateInterval;
  for (const auto& [requested, effective] : std::vector<std::pair<double, double>>{
           {1.0 / 30, 1.0 / 30}, {-1, kFastest}, {std::numeric_limits<double>::quiet_NaN(), kFastest}}) {
    std::vector<double> updates;
    auto manager = CMMotionManager::create();
    manager->setAccelerometerUpdateInterval(requested);
    const double started = executor.now();
    manager->startAccelerometerUpdatesToQueue(OperationQueue::main(), recorder(updates));
    executor.advance(effective * 0.999);
    EXPECT_TRUE(updates.empty()) << requested;
    executor.advance(effective * 40);
    std::vector<double> expected;
    for (int k = 1; k <= 40; ++k) expected.push_back(started + k * effective);
    EXPECT_THAT(updates, Pointwise(DoubleNear(1e-9), expected)) << requested;
    manager->stopAccelerometerUpdates();
  }
}

// --- Start, stop and ownership ----------------------------------------------

enum class Ending { stop, release, restart };

void PrintTo(Ending ending, std::ostream* os) {
  *os << (ending == Ending::stop ? "Stop" : ending == Ending::release ? "Release" : "Restart");
}

class MotionEndingTest : public MotionSimulationTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(MotionEndingTest, AQueuedUpdateIsDroppedAndNothingKeepsTheManagerOrItsHandler) {
  // Both managers take their sample at the same instant; the first one's
  // handler ends the second's run while the second's update waits in the queue.
  std::vector<double> victim;
  std::shared_ptr<CMMotionManager> victimManager;
  auto enderManager = CMMotionManager::create();
  enderManager->setAccelerometerUpdateInterval(0.1);
  auto sentinel = std::make_shared<int>(0);
  enderManager->startAccelerometerUpdatesToQueue(OperationQueue::main(), [&](auto, auto) {
    if (!sentinel) return;
    switch (GetParam()) {
      case Ending::stop: victimManager->stopAccelerometerUpdates(); break;
      case Ending::release: victimManager.reset(); break;
      case Ending::restart:
        victimManager->stopAccelerometerUpdates();
        victimManager->startAccelerometerUpdatesToQueue(OperationQueue::main(), recorder(victim));
        break;
    }
    sentinel.reset();
  });
  victimManager = CMMotionManager::create();
  victimManager->setAccelerometerUpdateInterval(0.1);
  std::weak_ptr<int> handlerState = sentinel;
  victimManager->startAccelerometerUpdatesToQueue(OperationQueue::main(),
                                                  [&victim, keep = sentinel](auto, auto) { victim.push_back(0); });
  std::weak_ptr<CMMotionManager> weak = victimManager;
  executor.advance(0.1);
  EXPECT_TRUE(victim.empty());
  EXPECT_TRUE(handlerState.expired()) << "the handler is released when its run ends";
  executor.advance(0.1);
  if (GetParam() == Ending::restart) {
    // The new run counts from its own start, with nothing left from the old one.
    EXPECT_THAT(victim, Pointwise(DoubleNear(1e-9), std::vector<double>{start + 0.2}));
    victimManager->stopAccelerometerUpdates();
  } else {
    EXPECT_TRUE(victim.empty());
  }
  victimManager.reset();
  EXPECT_TRUE(weak.expired()) << "pending timers must not own the manager";
  EXPECT_EQ(motion.activeManagerCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Endings, MotionEndingTest, ::testing::Values(Ending::stop, Ending::release, Ending::restart),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

TEST(MotionSimulationLifetimeTest, ManagersThatOutliveTheSimulationReadTheDefaults) {
  DeterministicExecutor executor;
  std::vector<CMAcceleration> samples;
  auto manager = CMMotionManager::create();
  manager->setAccelerometerUpdateInterval(0.1);
  {
    sim::MotionSimulation motion;
    motion.setAcceleration(1, 0, 0);
    manager->startAccelerometerUpdatesToQueue(OperationQueue::main(), [&](auto data, auto) {
      if (data) samples.push_back(data->acceleration);
    });
    executor.advance(0.1);
    motion.injectError();  // dies with the simulation
  }
  EXPECT_TRUE(manager->isAccelerometerActive());
  executor.advance(0.1);
  EXPECT_THAT(samples, ElementsAre(CMAcceleration{1, 0, 0}, CMAcceleration{0, -1, 0}));
}

}  // namespace
