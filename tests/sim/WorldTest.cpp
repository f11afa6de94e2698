// sim::World's own duties: the trace of log lines, platform calls and events
// with the queue that made them, the settings it installs into the platform
// (and takes back when it goes), and the memory the kernel statistics report.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "AVFoundation/AVCaptureDevice.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/PlatformTrace.h"
#include "Foundation/ProcessInfo.h"
#include "KivoCameraAnalytics.h"
#include "KivoCameraHelper.h"
#include "KivoCameraLog.h"
#include "UIKit/UIScreen.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"

using ::testing::ElementsAre;

namespace {

class WorldTest : public ::testing::Test {
 protected:
  sim::World world;
};

TEST_F(WorldTest, TraceKeepsLogLinesEventsAndPlatformCallsInOrderWithTheirQueue) {
  std::vector<std::string> printed;
  world.trace().setSink([&](std::string_view line) { printed.emplace_back(line); });
  DispatchQueue session("com.kivocamera.session.queue");
  session.async([] {
    tracePlatformCall("session", "startRunning");
    kivoLog(KivoCameraError::sessionRuntimeError, ") Capture session runtime error: \"x\"");
    KivoCameraAnalytics::analytics(KivoCameraPerfomanceStep::launch, 0.0, "AVCaptureSessionPresetPhoto", 1, 0);
  });
  tracePlatformCall("back-wide", "setVideoZoomFactor:", "2.5");
  world.runUntilIdle();
  KivoCameraAnalytics::analytics(KivoCameraError::zoom);
  const auto expected = ElementsAre(
      "platform back-wide setVideoZoomFactor: 2.5 @main", "platform session startRunning @com.kivocamera.session.queue",
      R"("[KivoCamera](sessionRuntimeError) Capture session runtime error: \"x\"")",
      R"(event kivo_camera {"mode":"AVCaptureSessionPresetPhoto","step":"launch","time":0} )"
      R"(@com.kivocamera.session.queue)",
      R"(event kivo_camera {"code":"10010"} @main)");
  EXPECT_THAT(printed, expected) << "the sink sees every line as it happens";
  EXPECT_THAT(world.trace().take(), expected);
}

TEST_F(WorldTest, CameraAndPermissionSettingsReachTheCaptureFramework) {
  using Device = AVCaptureDevice;
  const auto back = AVCaptureDevicePosition::back;
  world.addCamera(sim::camera(back, sim::CameraType::dual, [](auto& d) { d.hasFlash = false; }));
  world.setPermission(AVAuthorizationStatus::denied);
  EXPECT_EQ(Device::authorizationStatusForMediaType(AVMediaTypeVideo), AVAuthorizationStatus::denied);
  EXPECT_FALSE(Device::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, back))
      << "the first camera replaced the default set";
  auto dual = Device::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInDualCamera, AVMediaTypeVideo, back);
  ASSERT_NE(dual, nullptr);
  EXPECT_EQ(dual->uniqueID(), "back-dual");
  EXPECT_FALSE(dual->isFlashAvailable());
}

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
