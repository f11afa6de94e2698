// Accelerometer updates from the simulated sensor: timing on the virtual
// clock, values, errors, start/stop, ownership and the delivery queue.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "CoreMotion/CMMotionManager.h"
#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "sim/motion/MotionSimulation.h"

using ::testing::DoubleNear;
using ::testing::ElementsAre;
using ::testing::Pointwise;

namespace {

struct Update {
  double time = 0;
  std::optional<CMAcceleration> acceleration;
  std::optional<std::int64_t> errorCode;
};

class MotionSimulationTest : public ::testing::Test {
 protected:
  DeterministicExecutor executor;
  sim::MotionSimulation motion;
  const double start = executor.now();

  /// A handler that records every update it gets into `into`.
  static CMAccelerometerHandler recorder(std::vector<Update>& into) {
    return [&into](std::optional<CMAccelerometerData> data, std::optional<NSError> error) {
      Update update{CACurrentMediaTime(), std::nullopt, std::nullopt};
      if (data) {
        EXPECT_EQ(data->timestamp, update.time);
        update.acceleration = data->acceleration;
      }
      if (error) {
        EXPECT_EQ(error->domain, CMErrorDomain);
        update.errorCode = error->code;
      }
      EXPECT_NE(data.has_value(), error.has_value()) << "an update carries a sample or an error";
      into.push_back(update);
    };
  }

  std::shared_ptr<CMMotionManager> startedManager(double interval, std::vector<Update>& into) {
    auto manager = CMMotionManager::create();
    manager->setAccelerometerUpdateInterval(interval);
    manager->startAccelerometerUpdatesToQueue(OperationQueue::main(), recorder(into));
    return manager;
  }

  static std::vector<double> times(const std::vector<Update>& updates) {
    std::vector<double> out;
    for (const auto& u : updates) out.push_back(u.time);
    return out;
  }
};

// --- Timing ----------------------------------------------------------------

struct IntervalCase {
  double requested;
  double effective;
};

void PrintTo(const IntervalCase& c, std::ostream* os) { *os << "interval " << c.requested; }

class MotionIntervalTest : public MotionSimulationTest, public ::testing::WithParamInterface<IntervalCase> {};

TEST_P(MotionIntervalTest, FirstUpdateOneIntervalAfterStartThenEveryInterval) {
  const auto [requested, effective] = GetParam();
  std::vector<Update> updates;
  auto manager = startedManager(requested, updates);
  executor.advance(effective * 0.999);
  EXPECT_TRUE(updates.empty()) << "nothing before one interval has passed";
  executor.advance(effective * 40);
  ASSERT_EQ(updates.size(), 40u);
  std::vector<double> expected;
  for (int k = 1; k <= 40; ++k) expected.push_back(start + k * effective);
  // Due times come from the start of the run, so they do not drift.
  EXPECT_THAT(times(updates), Pointwise(DoubleNear(1e-9), expected));
}

INSTANTIATE_TEST_SUITE_P(
    Intervals, MotionIntervalTest,
    ::testing::Values(IntervalCase{0.1, 0.1}, IntervalCase{0.25, 0.25}, IntervalCase{1.0 / 30, 1.0 / 30},
                      // Unusable intervals run at the fastest rate rather than spinning.
                      IntervalCase{0, CMMotionManager::kMinimumUpdateInterval},
                      IntervalCase{-1, CMMotionManager::kMinimumUpdateInterval},
                      IntervalCase{std::numeric_limits<double>::quiet_NaN(), CMMotionManager::kMinimumUpdateInterval},
                      IntervalCase{std::numeric_limits<double>::infinity(), CMMotionManager::kMinimumUpdateInterval}));

TEST_F(MotionSimulationTest, SamplesCarryTheAccelerationCurrentWhenTheyAreTaken) {
  std::vector<Update> updates;
  auto manager = startedManager(0.1, updates);
  executor.advance(0.15);
  motion.setAcceleration(0.5, -0.25, 0.75);
  executor.advance(0.1);
  motion.setAcceleration(1, 0, 0);
  motion.setAcceleration(0, 0, -1);  // only the latest counts
  executor.advance(0.1);
  ASSERT_EQ(updates.size(), 3u);
  EXPECT_EQ(updates[0].acceleration, (CMAcceleration{0, -1, 0}));
  EXPECT_EQ(updates[1].acceleration, (CMAcceleration{0.5, -0.25, 0.75}));
  EXPECT_EQ(updates[2].acceleration, (CMAcceleration{0, 0, -1}));
}

TEST_F(MotionSimulationTest, TheIntervalInForceAtStartHoldsUntilTheNextStart) {
  std::vector<Update> updates;
  auto manager = startedManager(0.1, updates);
  manager->setAccelerometerUpdateInterval(0.5);
  executor.advance(0.3);
  EXPECT_EQ(updates.size(), 3u);

  manager->stopAccelerometerUpdates();
  updates.clear();
  const double restart = executor.now();
  manager->startAccelerometerUpdatesToQueue(OperationQueue::main(), recorder(updates));
  executor.advance(1.0);
  EXPECT_THAT(times(updates), Pointwise(DoubleNear(1e-9), std::vector<double>{restart + 0.5, restart + 1.0}));
}

// --- Start, stop and ownership ----------------------------------------------

TEST_F(MotionSimulationTest, StopEndsUpdatesAndARestartCountsFromItsOwnStart) {
  std::vector<Update> updates;
  auto manager = startedManager(0.1, updates);
  EXPECT_TRUE(manager->isAccelerometerActive());
  EXPECT_EQ(motion.activeManagerCount(), 1u);
  executor.advance(0.25);
  manager->stopAccelerometerUpdates();
  manager->stopAccelerometerUpdates();  // harmless when already stopped
  EXPECT_FALSE(manager->isAccelerometerActive());
  EXPECT_EQ(motion.activeManagerCount(), 0u);
  executor.advance(1.0);
  EXPECT_EQ(updates.size(), 2u);

  const double restart = executor.now();
  manager->startAccelerometerUpdatesToQueue(OperationQueue::main(), recorder(updates));
  EXPECT_EQ(motion.activeManagerCount(), 1u);
  executor.advance(0.15);
  ASSERT_EQ(updates.size(), 3u);
  EXPECT_NEAR(updates.back().time, restart + 0.1, 1e-9);
}

TEST_F(MotionSimulationTest, StartingWhileActiveReplacesTheHandler) {
  std::vector<Update> first, second;
  auto manager = startedManager(0.1, first);
  executor.advance(0.1);
  manager->startAccelerometerUpdatesToQueue(OperationQueue::main(), recorder(second));
  EXPECT_EQ(motion.activeManagerCount(), 1u);
  executor.advance(0.3);
  EXPECT_EQ(first.size(), 1u);
  EXPECT_EQ(second.size(), 3u);
}

enum class Ending { stop, release, restart };

void PrintTo(Ending ending, std::ostream* os) {
  *os << (ending == Ending::stop ? "stop" : ending == Ending::release ? "release" : "restart");
}

class MotionEndingTest : public MotionSimulationTest, public ::testing::WithParamInterface<Ending> {
 protected:
  void end(std::shared_ptr<CMMotionManager>& manager, std::vector<Update>& into) {
    switch (GetParam()) {
      case Ending::stop: manager->stopAccelerometerUpdates(); break;
      case Ending::release: manager.reset(); break;
      case Ending::restart:
        manager->stopAccelerometerUpdates();
        manager->startAccelerometerUpdatesToQueue(OperationQueue::main(), recorder(into));
        break;
    }
  }
};

TEST_P(MotionEndingTest, AnUpdateAlreadyQueuedIsNotDeliveredAfterTheEnd) {
  // Both managers take their sample at the same instant; the first one's
  // handler ends the second's run while the second's update waits in the queue.
  std::vector<Update> victim;
  std::shared_ptr<CMMotionManager> victimManager;
  auto enderManager = CMMotionManager::create();
  enderManager->setAccelerometerUpdateInterval(0.1);
  bool ended = false;
  enderManager->startAccelerometerUpdatesToQueue(OperationQueue::main(), [&](auto, auto) {
    if (!std::exchange(ended, true)) end(victimManager, victim);
  });
  victimManager = startedManager(0.1, victim);
  executor.advance(0.1);
  ASSERT_TRUE(ended);
  EXPECT_TRUE(victim.empty());
  executor.advance(0.1);
  if (GetParam() == Ending::restart) {
    // The new run counts from its own start, with nothing left from the old one.
    EXPECT_THAT(times(victim), Pointwise(DoubleNear(1e-9), std::vector<double>{start + 0.2}));
    EXPECT_EQ(motion.activeManagerCount(), 2u);
  } else {
    EXPECT_TRUE(victim.empty());
    EXPECT_EQ(motion.activeManagerCount(), 1u);
  }
}

TEST_P(MotionEndingTest, NothingKeepsTheManagerOrItsHandlerAlive) {
  auto sentinel = std::make_shared<int>(0);
  auto manager = CMMotionManager::create();
  manager->setAccelerometerUpdateInterval(0.1);
  int calls = 0;
  manager->startAccelerometerUpdatesToQueue(OperationQueue::main(),
                                            [&calls, sentinel](auto, auto) { ++calls; });
  std::weak_ptr<CMMotionManager> weak = manager;
  executor.advance(0.1);
  ASSERT_EQ(calls, 1);
  std::vector<Update> unused;
  end(manager, unused);
  EXPECT_EQ(sentinel.use_count(), 1) << "the handler is released when its run ends";
  manager.reset();
  EXPECT_TRUE(weak.expired()) << "pending timers must not own the manager";
  EXPECT_EQ(motion.activeManagerCount(), 0u);
  executor.advance(1.0);
  EXPECT_EQ(calls, 1);
}

INSTANTIATE_TEST_SUITE_P(Endings, MotionEndingTest, ::testing::Values(Ending::stop, Ending::release, Ending::restart),
                         [](const auto& info) -> std::string {
                           switch (info.param) {
                             case Ending::stop: return "Stop";
                             case Ending::release: return "Release";
                             case Ending::restart: return "Restart";
                           }
                           return "";
                         });

// --- Errors -----------------------------------------------------------------

TEST_F(MotionSimulationTest, AnInjectedErrorReplacesOnlyTheNextUpdateOfEachActiveManager) {
  std::vector<Update> fast, slow, late;
  auto fastManager = startedManager(0.1, fast);
  auto slowManager = startedManager(0.25, slow);
  executor.advance(0.05);
  motion.injectError();
  motion.injectError();  // still one error each
  auto lateManager = startedManager(0.1, late);  // started after the error: unaffected
  executor.advance(0.5);

  auto errorsAt = [](const std::vector<Update>& updates) {
    std::vector<std::size_t> indices;
    for (std::size_t i = 0; i < updates.size(); ++i)
      if (updates[i].errorCode) indices.push_back(i);
    return indices;
  };
  ASSERT_EQ(fast.size(), 5u);
  ASSERT_EQ(slow.size(), 2u);
  EXPECT_THAT(errorsAt(fast), ElementsAre(0u));
  EXPECT_THAT(errorsAt(slow), ElementsAre(0u));
  EXPECT_THAT(errorsAt(late), ElementsAre());
  EXPECT_EQ(fast[0].errorCode, CMErrorUnknown);
  EXPECT_EQ(fast[1].acceleration, (CMAcceleration{0, -1, 0}));
}

TEST_F(MotionSimulationTest, AnErrorPendingForAStoppedManagerIsDropped) {
  std::vector<Update> updates;
  auto manager = startedManager(0.1, updates);
  motion.injectError();
  manager->stopAccelerometerUpdates();
  manager->startAccelerometerUpdatesToQueue(OperationQueue::main(), recorder(updates));
  executor.advance(0.1);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_TRUE(updates[0].acceleration.has_value());
}

// --- Queue and availability ---------------------------------------------------

TEST_F(MotionSimulationTest, UpdatesRunAsOperationsOfTheGivenQueue) {
  auto updatesQueue = OperationQueue::create("motion.updates");
  std::vector<std::shared_ptr<OperationQueue>> seen;
  std::vector<std::string> labels;
  auto manager = CMMotionManager::create();
  manager->setAccelerometerUpdateInterval(0.1);
  manager->startAccelerometerUpdatesToQueue(updatesQueue, [&](auto, auto) {
    seen.push_back(OperationQueue::current());
    labels.push_back(DispatchQueue::currentLabel());
  });
  executor.advance(0.2);
  EXPECT_THAT(seen, ElementsAre(updatesQueue, updatesQueue));
  EXPECT_THAT(labels, ElementsAre("motion.updates", "motion.updates"));

  // Without a queue, updates go to the main operation queue.
  seen.clear();
  manager->startAccelerometerUpdatesToQueue(nullptr, [&](auto, auto) { seen.push_back(OperationQueue::current()); });
  executor.advance(0.1);
  EXPECT_THAT(seen, ElementsAre(OperationQueue::main()));
}

TEST_F(MotionSimulationTest, WithoutAnAccelerometerNothingStarts) {
  motion.setAccelerometerAvailable(false);
  auto manager = CMMotionManager::create();
  EXPECT_FALSE(manager->isAccelerometerAvailable());
  int calls = 0;
  manager->startAccelerometerUpdatesToQueue(OperationQueue::main(), [&](auto, auto) { ++calls; });
  EXPECT_FALSE(manager->isAccelerometerActive());
  EXPECT_EQ(motion.activeManagerCount(), 0u);
  executor.advance(1.0);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(executor.pendingBlockCount(), 0u);
}

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
