// sim::World's own duties: the trace of log lines and platform calls with
// the queue that made them, the event line format, the memory the kernel
// statistics report, and the rules for world settings.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Dispatch/Dispatch.h"
#include "Foundation/DebugPrint.h"
#include "Foundation/PlatformTrace.h"
#include "Foundation/ProcessInfo.h"
#include "KivoCameraHelper.h"
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
    world.setPlatformVersion(15);
    world.setMemoryUnavailable();
    EXPECT_TRUE(isPlatformCallTraced());
  }
  EXPECT_FALSE(isPlatformCallTraced());
  EXPECT_EQ(ProcessInfo::operatingSystemVersion().majorVersion, 17);
  EXPECT_NE(KivoCameraHelper::availableMemory(), 9223372036854775807u) << "the real probe is back";
}

}  // namespace
