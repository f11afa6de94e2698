// sim::World's own duties: the trace of log lines and platform calls with
// the queue that made them, the event line format, the memory the kernel
// statistics report, and the rules for world settings.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Dispatch/Dispatch.h"
#include "Foundation/DebugPrint.h"
#include "Foundation/PlatformTrace.h"
#include "Foundation/ProcessInfo.h"
#include "AVFoundation/AVCaptureDevice.h"
#include "Kivo/KivoCore.h"
#include "KivoCameraAnalytics.h"
#include "KivoCameraHelper.h"
#include "UIKit/UIApplication.h"
#include "UIKit/UIDevice.h"
#include "UIKit/UIScreen.h"
#include "sim/capture/CaptureSimulation.h"
#include "KivoCameraLog.h"
#include "sim/World.h"

using ::testing::ElementsAre;

namespace {

class WorldTest : public ::testing::Test {
 protected:
  sim::World world;
};

TEST_F(WorldTest, TraceKeepsLogLinesAndPlatformCallsInOrderWithTheirQueue) {
  DispatchQueue session("com.kivocamera.session.queue");
  session.async([] {
    tracePlatformCall("session", "startRunning");
    kivoLog(KivoCameraError::sessionRuntimeError, ") Capture session runtime error: \"x\"");
  });
  tracePlatformCall("back-wide", "setVideoZoomFactor:", "2.5");
  world.runUntilIdle();
  EXPECT_THAT(world.trace().take(),
              ElementsAre("platform back-wide setVideoZoomFactor: 2.5 @main",
                          "platform session startRunning @com.kivocamera.session.queue",
                          R"("[KivoCamera](sessionRuntimeError) Capture session runtime error: \"x\"")"));
  EXPECT_TRUE(world.trace().lines().empty());
}

TEST_F(WorldTest, TheHostsTrackerTracesEventsWithTheirQueue) {
  DispatchQueue session("com.kivocamera.session.queue");
  session.async([] {
    KivoCameraAnalytics::analytics(KivoCameraPerfomanceStep::launch, 0.0, "AVCaptureSessionPresetPhoto", 1, 0);
  });
  world.runUntilIdle();
  KivoCameraAnalytics::analytics(KivoCameraError::zoom);
  EXPECT_THAT(world.trace().take(),
              ElementsAre(R"(event kivo_camera {"mode":"AVCaptureSessionPresetPhoto","step":"launch","time":0} @com.kivocamera.session.queue)",
                          R"(event kivo_camera {"code":"10010"} @main)"));
}

TEST_F(WorldTest, CameraAndPermissionSettingsReachTheCaptureFramework) {
  world.addCamera(sim::camera(AVCaptureDevicePosition::back, sim::CameraType::dual, [](auto& d) { d.hasFlash = false; }));
  world.addCamera(sim::camera(AVCaptureDevicePosition::front, sim::CameraType::wide));
  world.setPermission(AVAuthorizationStatus::denied);
  EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo), AVAuthorizationStatus::denied);
  EXPECT_EQ(AVCaptureDevice::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo,
                                                         AVCaptureDevicePosition::back),
            nullptr)
      << "the first camera line replaced the default set";
  auto dual = AVCaptureDevice::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInDualCamera, AVMediaTypeVideo,
                                                           AVCaptureDevicePosition::back);
  ASSERT_NE(dual, nullptr);
  EXPECT_EQ(dual->uniqueID(), "back-dual");
  EXPECT_FALSE(dual->isFlashAvailable());
  EXPECT_THROW(world.addCamera(sim::camera(AVCaptureDevicePosition::front, sim::CameraType::wide)),
               std::invalid_argument)
      << "a second camera of the same name";
  world.setNoCameras();
  EXPECT_TRUE(world.capture().cameras().empty());
}

TEST_F(WorldTest, ScreenOrientationAndIdleTimerSettingsAndTheirReset) {
  world.setScreen(320, 568);
  world.setDeviceOrientation(5);
  world.setIdleTimerDisabled(true);
  EXPECT_EQ(UIScreen::main().bounds(), CGRectMake(0, 0, 320, 568));
  EXPECT_EQ(UIDevice::current().orientation(), UIDeviceOrientation::faceUp);
  EXPECT_TRUE(UIApplication::shared().isIdleTimerDisabled());
  EXPECT_TRUE(world.trace().lines().empty()) << "world settings are not platform calls";
}

TEST_F(WorldTest, EventLinesSortKeysAndKeepNumbersNumeric) {
  const std::string line = sim::Trace::eventLine(
      "kivo_camera",
      {{"step", std::string("capture")}, {"time", NSNumber(0.0)}, {"integer1", NSNumber(std::int64_t{1})},
       {"integer2", NSNumber(std::int64_t{0})}, {"mode", std::string("AVCaptureSessionPresetPhoto")}},
      "main");
  EXPECT_EQ(line,
            R"(event kivo_camera {"integer1":1,"integer2":0,"mode":"AVCaptureSessionPresetPhoto","step":"capture","time":0} @main)");
}

TEST_F(WorldTest, TheSinkSeesEveryLineAsItHappens) {
  std::vector<std::string> printed;
  world.trace().setSink([&](std::string_view line) { printed.emplace_back(line); });
  world.trace().setRecording(false);
  kivoLogLine("No photo data resource");
  EXPECT_THAT(printed, ElementsAre("\"No photo data resource\""));
  EXPECT_TRUE(world.trace().lines().empty());
}

TEST_F(WorldTest, MemorySettingIsWhatTheProbeReads) {
  EXPECT_EQ(KivoCameraHelper::availableMemory(), 4294967296u) << "default";
  world.setMemory(734003200);  // exactly 700 MiB: the photo-preset threshold
  EXPECT_EQ(KivoCameraHelper::availableMemory() >> 22, 175u);
  world.setMemory(734003199);  // one byte, so one page, less
  EXPECT_EQ(KivoCameraHelper::availableMemory(), 734003200u - sim::World::kPageSize);
  EXPECT_EQ(KivoCameraHelper::availableMemory() >> 22, 174u);
  world.setMemoryUnavailable();
  EXPECT_EQ(KivoCameraHelper::availableMemory(), 9223372036854775807u);
  EXPECT_THROW(world.setMemory(std::uint64_t{1} << 62), std::invalid_argument);
}

TEST_F(WorldTest, FixedSettingsAreRejectedOnceTheControllerExists) {
  world.setPlatformVersion(14);
  EXPECT_EQ(ProcessInfo::operatingSystemVersion().majorVersion, 14);
  world.markControllerCreated();
  try {
    world.setPlatformVersion(15);
    FAIL() << "expected std::logic_error";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "world platform-version: can only be set before the controller is created");
  }
  EXPECT_THROW(world.setMemory(1), std::logic_error);
  EXPECT_THROW(world.setScreen(320, 480), std::logic_error);
  EXPECT_NO_THROW(world.setDeviceOrientation(3)) << "orientation may change any time";
  EXPECT_THROW(world.setDeviceOrientation(7), std::invalid_argument);
}

TEST_F(WorldTest, NonsenseValuesNameTheirSetting) {
  EXPECT_THROW(world.setPlatformVersion(0), std::invalid_argument);
  EXPECT_THROW(world.setScreen(-1, 10), std::invalid_argument);
  EXPECT_THROW(world.advance(-1), std::invalid_argument);
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
