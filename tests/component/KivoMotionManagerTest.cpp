// The moving-or-still detector against hand-worked timelines of samples at
// the default 0.1 s interval, driven through the simulated accelerometer.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "KivoMotionManager.h"
#include "sim/motion/MotionSimulation.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

struct HookCall {
  KivoMotionState state;
  bool canFocus;
  double time;
};

class KivoMotionManagerTest : public ::testing::Test {
 protected:
  DeterministicExecutor executor;
  sim::MotionSimulation motion;
  std::shared_ptr<KivoMotionManager> manager = KivoMotionManager::create();
  std::vector<HookCall> calls;

  void SetUp() override {
    manager->setMotionStateDidChangeBlock([this](KivoMotionState state, bool canFocus) {
      calls.push_back({state, canFocus, CACurrentMediaTime() - 1000.0});
    });
  }

  // Samples arrive at 1000.1, 1000.2, ...: `sampleAt(k)` moves the clock to
  // just after the k-th sample since start.
  void untilSample(int k) { executor.advance(1000.0 + 0.1 * k + 0.05 - executor.now()); }
  void hold(double x, double y, double z) { motion.setAcceleration(x, y, z); }

  std::vector<std::string> describe() const {
    std::vector<std::string> out;
    for (const auto& c : calls) {
      out.push_back(std::string(caseName(c.state)) + (c.canFocus ? " true @" : " false @") +
                    std::to_string(static_cast<int>(std::lround(c.time * 10))));
    }
    return out;
  }
};

TEST_F(KivoMotionManagerTest, MoveThenRestGivesOneFocusCallMoreThanHalfASecondAfterRest) {
  manager->start();
  untilSample(2);  // samples 1-2 upright: seed, then still
  EXPECT_EQ(manager->motionState(), KivoMotionState::still);
  hold(0.5, -1, 0);
  untilSample(3);  // moving
  untilSample(9);  // rest from sample 4: 0.5 s later (sample 9) is not yet "more than"
  EXPECT_THAT(describe(), ElementsAre("moving false @3"));
  untilSample(20);
  // The first still sample more than 0.5 s after the first still one (sample 4).
  EXPECT_THAT(describe(), ElementsAre("moving false @3", "still true @10"));
  EXPECT_EQ(manager->motionState(), KivoMotionState::still);
}

TEST_F(KivoMotionManagerTest, EveryMovingSampleCallsTheHook) {
  manager->start();
  untilSample(1);
  for (int k = 2; k <= 5; ++k) {
    hold(k % 2 ? 0.3 : -0.3, -1, 0);
    untilSample(k);
  }
  EXPECT_THAT(describe(), ElementsAre("moving false @2", "moving false @3", "moving false @4", "moving false @5"));
}

TEST_F(KivoMotionManagerTest, AMoveBeforeTheDelayRestartsTheWaitAndStillOnlyOneCallFollows) {
  manager->start();
  untilSample(1);
  hold(0.5, -1, 0);
  untilSample(2);  // moving
  untilSample(5);  // rest from 3
  hold(0, -1, 0);
  untilSample(6);  // moving again before 0.5 s of rest
  untilSample(30);  // rest from 7
  EXPECT_THAT(describe(), ElementsAre("moving false @2", "moving false @6", "still true @13"));
}

TEST_F(KivoMotionManagerTest, RestAtStartUpAloneNeverCallsTheHook) {
  manager->start();
  untilSample(30);
  EXPECT_THAT(calls, IsEmpty());
}

TEST_F(KivoMotionManagerTest, TheThresholdItselfCountsAsStill) {
  manager->start();
  untilSample(1);
  hold(0.1, -1, 0);  // exactly 0.1 g away
  untilSample(2);
  EXPECT_THAT(calls, IsEmpty());
  hold(0.1, -1, 0.1000001);  // just over
  untilSample(3);
  EXPECT_THAT(describe(), ElementsAre("moving false @3"));
  manager->setMovingThreshold(0.5);
  hold(0.3, -1, 0.1000001);
  untilSample(4);
  EXPECT_EQ(manager->motionState(), KivoMotionState::still) << "the threshold is read per sample";
}

TEST_F(KivoMotionManagerTest, SamplesWhileFocusingResetEverythingAndTheNextOneOnlySeeds) {
  manager->start();
  untilSample(1);
  hold(0.5, -1, 0);
  untilSample(2);  // moving, armed after rest
  untilSample(4);  // rest from 3
  manager->setIsFocusing(true);
  hold(3, 3, 3);  // shaking while focusing: still only resets
  untilSample(12);
  EXPECT_EQ(manager->motionState(), KivoMotionState::undetermined);
  manager->setIsFocusing(false);
  untilSample(13);  // seeds from (3, 3, 3), cannot be moving
  untilSample(30);
  EXPECT_THAT(describe(), ElementsAre("moving false @2")) << "the pending call was dropped";
}

TEST_F(KivoMotionManagerTest, StopKeepsTheStateAndTheNextSampleComparesWithTheOldVector) {
  manager->start();
  untilSample(2);
  manager->stop();
  EXPECT_FALSE(manager->isActive());
  hold(0.5, -1, 0);
  executor.advance(1.0);
  EXPECT_THAT(calls, IsEmpty()) << "no samples while stopped";
  EXPECT_EQ(manager->motionState(), KivoMotionState::still);
  manager->start();
  executor.advance(0.15);
  EXPECT_EQ(calls.size(), 1u) << "the first sample after restart is compared with the one before the stop";
  EXPECT_EQ(calls.at(0).state, KivoMotionState::moving);
}

TEST_F(KivoMotionManagerTest, SettingTheStateToUndeterminedReseeds) {
  manager->start();
  untilSample(2);
  manager->setMotionState(KivoMotionState::undetermined);
  hold(2, 2, 2);
  untilSample(3);
  EXPECT_THAT(calls, IsEmpty());
  EXPECT_EQ(manager->motionState(), KivoMotionState::still);
}

TEST_F(KivoMotionManagerTest, NaNSamplesAndErrorsDoNotCountAsMoving) {
  manager->start();
  untilSample(1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  hold(nan, -1, std::numeric_limits<double>::infinity());
  untilSample(2);
  EXPECT_THAT(calls, IsEmpty());
  motion.injectError();
  hold(5, 5, 5);
  untilSample(3);  // error only: ignored
  EXPECT_THAT(calls, IsEmpty());
  untilSample(4);
  // The stored vector holds NaN, so the distance is NaN: still.
  EXPECT_THAT(calls, IsEmpty());
}

TEST_F(KivoMotionManagerTest, WithoutAnAccelerometerNothingStarts) {
  motion.setAccelerometerAvailable(false);
  auto blind = KivoMotionManager::create();
  blind->start();
  EXPECT_FALSE(blind->isActive());
  executor.advance(2);
  EXPECT_EQ(blind->motionState(), KivoMotionState::undetermined);
}

TEST_F(KivoMotionManagerTest, AReleasedManagerIgnoresQueuedUpdatesAndIsDestroyed) {
  std::weak_ptr<KivoMotionManager> watch = manager;
  manager->start();
  untilSample(1);
  manager.reset();
  EXPECT_TRUE(watch.expired()) << "the sensor's timer does not keep the manager";
  executor.advance(1);
  EXPECT_THAT(calls, IsEmpty());
}

}  // namespace
