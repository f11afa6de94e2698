// Capture devices over the simulated layer, where the scenario traces do not
// reach: a change without the configuration lock, and observations that end
// with their token and do not keep their device.

#include "Foundation/TraceFormat.h"
#include "platform/CaptureWorldTest.h"

using ::testing::ElementsAre;

namespace {

struct AVDeviceTest : CaptureWorldTest {
  std::shared_ptr<AVCaptureDevice> device = world.camera("back-wide");
};

#ifndef NDEBUG
TEST(AVDeviceDeathTest, AChangeWithoutTheLockStopsADebugBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  void (*const changes[])(AVCaptureDevice&) = {
      [](auto& d) { d.setVideoZoomFactor(2); }, [](auto& d) { d.rampToVideoZoomFactor(2, 1); },
      [](auto& d) { d.setFocusPointOfInterest({0.1, 0.2}); }, [](auto& d) { d.setExposureTargetBias(1); },
      [](auto& d) { d.setTorchModeOnWithLevel(0.5f); }};
  for (const auto change : changes) {
    EXPECT_DEATH(
        {
          DeterministicExecutor executor;
          sim::CaptureSimulation world;
          auto device = world.camera("back-wide");
          ASSERT_TRUE(device->lockForConfiguration());
          device->unlockForConfiguration();
          change(*device);
        },
        "without lockForConfiguration");
  }
}
#endif

TEST_F(AVDeviceTest, AnObservationEndsWithItsTokenAndDoesNotKeepItsDevice) {
  std::vector<std::string> seen;
  auto iso = device->observeISO(NSKeyValueObservingOptionNew,
                                [&](auto&, auto& c) { seen.push_back("iso " + formatNumber(*c.newValue)); });
  auto focus = device->observeAdjustingFocus(
      NSKeyValueObservingOptionNew, [&](auto&, auto& c) { seen.push_back("focus " + formatBool(*c.newValue)); });
  world.setISO("back-wide", 400);
  executor.runUntilIdle();
  iso = KeyValueObservation();
  world.setISO("back-wide", 800);
  world.setAdjustingFocus("back-wide", true);
  executor.runUntilIdle();
  EXPECT_THAT(seen, ElementsAre("iso 400", "focus true"));
  EXPECT_EQ(device->isoObserverCount(), 0u);
  std::weak_ptr<AVCaptureDevice> weak = std::exchange(device, nullptr);
  world.setNoCameras();
  EXPECT_TRUE(weak.expired()) << "the live focus token keeps its device";
}

}  // namespace
