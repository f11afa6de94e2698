// Accelerometer updates on worker threads, meant for ThreadSanitizer: the
// world changes while managers sample, stop and die on other threads.
// Assertions never depend on how long anything took.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>

#include "CoreMotion/CMMotionManager.h"
#include "Dispatch/Executor.h"
#include "sim/motion/MotionSimulation.h"

namespace {

constexpr double kGenerousTimeout = 30.0;

TEST(MotionThreadedTest, ManagersOnWorkerQueuesSampleFailOnceAndEndCleanly) {
  struct Counts {
    std::atomic<int> samples{0};
    std::atomic<int> errors{0};
    std::atomic<bool> wrongQueue{false};
  };
  // Outlives the executor, whose workers may still be inside a handler.
  std::array<Counts, 3> counts;
  ThreadedExecutor executor(2);
  sim::MotionSimulation motion;
  auto queue = OperationQueue::create("motion.worker");
  std::array<std::shared_ptr<CMMotionManager>, 3> managers;
  for (std::size_t i = 0; i < managers.size(); ++i) {
    managers[i] = CMMotionManager::create();
    managers[i]->setAccelerometerUpdateInterval(0.01);
    Counts* mine = &counts[i];
    OperationQueue* expected = queue.get();
    managers[i]->startAccelerometerUpdatesToQueue(queue, [mine, expected](auto data, auto error) {
      if (OperationQueue::current().get() != expected) mine->wrongQueue = true;
      if (data) ++mine->samples;
      if (error) ++mine->errors;
    });
  }
  auto allSampled = [&](int atLeast) {
    return [&counts, atLeast] {
      for (const auto& c : counts)
        if (c.samples < atLeast) return false;
      return true;
    };
  };
  ASSERT_TRUE(executor.runMainLoopUntil(allSampled(3), kGenerousTimeout));

  motion.injectError();
  for (int i = 0; i < 50; ++i) motion.setAcceleration(i * 0.01, -1, 0);
  ASSERT_TRUE(executor.runMainLoopUntil(
      [&] {
        for (const auto& c : counts)
          if (c.errors == 0) return false;
        return true;
      },
      kGenerousTimeout));
  const int before = counts[2].samples;
  ASSERT_TRUE(executor.runMainLoopUntil([&] { return counts[2].samples >= before + 3; }, kGenerousTimeout));

  managers[0]->stopAccelerometerUpdates();
  std::weak_ptr<CMMotionManager> released = managers[1];
  managers[1].reset();
  // A timer running on a worker may hold the manager for a moment.
  ASSERT_TRUE(executor.runMainLoopUntil([&] { return released.expired(); }, kGenerousTimeout));
  EXPECT_EQ(motion.activeManagerCount(), 1u);

  for (const auto& c : counts) {
    EXPECT_EQ(c.errors, 1) << "one injected error reaches each manager once";
    EXPECT_FALSE(c.wrongQueue);
  }
}

}  // namespace
