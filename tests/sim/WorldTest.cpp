// sim::World's own duties the scenario traces do not show: the memory the
// kernel statistics report at its limits, settings fixed once the controller
// exists, and the platform given back when the world goes.

#include <gtest/gtest.h>

#include "AVFoundation/AVCaptureDevice.h"
#include "Foundation/PlatformTrace.h"
#include "Foundation/ProcessInfo.h"
#include "KivoCameraHelper.h"
#include "UIKit/UIScreen.h"
#include "sim/World.h"

namespace {

class WorldTest : public ::testing::Test {
 protected:
  sim::World world;
};

TEST_F(WorldTest, MemorySettingIsWhatTheProbeReads) {
  world.setMemory(734003200);  // exactly 700 MiB: the photo-preset threshold
  EXPECT_EQ(KivoCameraHelper::availableMemory() >> 22, 175u);
  world.setMemory(734003199);  // one byte, so one page, less
  EXPECT_EQ(KivoCameraHelper::availableMemory(), 734003200u - sim::World::kPageSize);
  world.setMemory(sim::World::kMaxMemoryBytes);
  EXPECT_EQ(KivoCameraHelper::availableMemory(), sim::World::kMaxMemoryBytes + 1 - sim::World::kPageSize);
  EXPECT_THROW(world.setMemory(sim::World::kMaxMemoryBytes + 1), std::invalid_argument);
  world.setMemoryUnavailable();
  EXPECT_EQ(KivoCameraHelper::availableMemory(), 9223372036854775807u);
}

TEST_F(WorldTest, TheDeviceIsFixedOnceTheControllerExistsButItsOrientationIsNot) {
  world.markControllerCreated();
  EXPECT_THROW(world.setPlatformVersion(15), std::logic_error);
  EXPECT_THROW(world.setMemory(1), std::logic_error);
  EXPECT_THROW(world.setPermission(AVAuthorizationStatus::denied), std::logic_error);
  EXPECT_NO_THROW(world.setDeviceOrientation(3));
  EXPECT_THROW(world.setDeviceOrientation(7), std::invalid_argument);
}

TEST(WorldLifetimeTest, TearingDownRestoresThePlatform) {
  {
    sim::World world;
    world.setScreen(100, 100);
    world.setPlatformVersion(15);
    world.setMemoryUnavailable();
    EXPECT_TRUE(isPlatformCallTraced());
  }
  EXPECT_FALSE(isPlatformCallTraced());
  EXPECT_EQ(ProcessInfo::operatingSystemVersion().majorVersion, 17);
  EXPECT_EQ(UIScreen::main().bounds(), CGRectMake(0, 0, 375, 812));
  EXPECT_NE(KivoCameraHelper::availableMemory(), 9223372036854775807u) << "the real probe is back";
}

}  // namespace
