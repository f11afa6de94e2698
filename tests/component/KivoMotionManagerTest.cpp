// The moving-or-still detector against hand-worked timelines of samples at
// the default 0.1 s interval, driven through the simulated accelerometer.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "KivoMotionManager.h"
#include "sim/motion/MotionSimulation.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
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

// From sample `from` on the device reads (x, y, z) g; upright before.
struct Hold {
  int from;
  double x, y, z;
};

struct TimelineCase {
  const char* name;
  std::vector<Hold> holds;
  int until;  // the last sample taken
  std::vector<std::string> calls;
};

void PrintTo(const TimelineCase& c, std::ostream* os) { *os << c.name; }

class KivoMotionTimelineTest : public KivoMotionManagerTest, public ::testing::WithParamInterface<TimelineCase> {};

TEST_P(KivoMotionTimelineTest, CallsTheHookAsWorkedOutByHand) {
  manager->start();
  for (const auto& h : GetParam().holds) {
    untilSample(h.from - 1);
    hold(h.x, h.y, h.z);
  }
  untilSample(GetParam().until);
  EXPECT_THAT(describe(), ElementsAreArray(GetParam().calls));
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Timelines, KivoMotionTimelineTest,
    ::testing::Values(
        // Samples 1-2 upright (seed, then still): rest at start-up alone never calls.
        TimelineCase{"RestAtStartUp", {}, 30, {}},
        // Rest from sample 4: the first still sample more than 0.5 s later is
        // sample 10 (sample 9 is exactly 0.5 s).
        TimelineCase{"MoveThenRest", {{3, 0.5, -1, 0}}, 20, {"moving false @3", "still true @10"}},
        // Moving again before 0.5 s of rest restarts the wait; still one call follows.
        TimelineCase{"MoveBeforeTheDelay",
                     {{2, 0.5, -1, 0}, {6, 0, -1, 0}},
                     30,
                     {"moving false @2", "moving false @6", "still true @13"}},
        TimelineCase{"ExactlyTheThresholdIsStill", {{2, 0.1, -1, 0}}, 10, {}},
        TimelineCase{"JustOverTheThreshold", {{2, 0, -1, 0.1000001}}, 2, {"moving false @2"}},
        // The stored vector then holds NaN, so every distance is NaN: still.
        TimelineCase{"NaNIsNeverMoving", {{2, kNaN, -1, kInfinity}, {3, 5, 5, 5}}, 10, {}}),
    [](const auto& info) { return std::string(info.param.name); });

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
