// Capture devices over the simulated layer: the configuration lock, clamping
// of zoom and exposure bias, the zoom ramp as the layer reports it, torch
// refusals, and ISO and focus-activity observations with their tokens.

#include "Foundation/TraceFormat.h"
#include "platform/CaptureWorldTest.h"
#include "sim/capture/CameraSetup.h"

using ::testing::ElementsAre;

namespace {

struct AVDeviceTest : CaptureWorldTest {
  std::shared_ptr<AVCaptureDevice> device = world.camera("back-wide");
};

TEST_F(AVDeviceTest, TheLockCountsAndARefusedOneIsAnErrorThatHoldsNothing) {
  ASSERT_TRUE(device->lockForConfiguration() && device->lockForConfiguration());
  device->unlockForConfiguration();
  EXPECT_TRUE(device->isLockedForConfiguration());
  device->unlockForConfiguration();
  device->unlockForConfiguration();  // one too many: nothing is owed afterwards
  EXPECT_FALSE(device->isLockedForConfiguration());
  world.failLock(2);
  std::vector<std::string> results;
  for (int i = 0; i < 3; ++i) {
    NSError error;
    const bool locked = device->lockForConfiguration(&error);
    results.push_back(formatBool(locked) + " " + formatBool(device->isLockedForConfiguration()) + " " + error.domain);
    device->unlockForConfiguration();
  }
  EXPECT_THAT(results, ElementsAre("false false AVFoundationErrorDomain", "false false AVFoundationErrorDomain",
                                   "true true "));
  EXPECT_THAT(calls, ElementsAre("back-wide lockForConfiguration: failed", "back-wide lockForConfiguration: failed"));
}

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

struct ClampCase {
  double requested, zoom;  // zoom within 1 ... 6
  float bias;              // within -2 ... 3.5
};

class AVClampTest : public CaptureWorldTest, public ::testing::WithParamInterface<ClampCase> {};

TEST_P(AVClampTest, ZoomAndBiasStayInTheCameraRangesWhileTheTraceShowsTheRequest) {
  world.addCamera(sim::camera(AVCaptureDevicePosition::back, sim::CameraType::wide, [](auto& d) {
    d.maxVideoZoomFactor = 6;
    d.minExposureTargetBias = -2;
    d.maxExposureTargetBias = 3.5f;
  }));
  const auto& c = GetParam();
  auto device = world.camera("back-wide");
  ASSERT_TRUE(device->lockForConfiguration());
  std::vector<std::string> done;
  device->setExposureTargetBias(float(c.requested), [&](CMTime) { done.push_back(DispatchQueue::currentLabel()); });
  device->setVideoZoomFactor(c.requested);
  const double set = device->videoZoomFactor();
  device->rampToVideoZoomFactor(1, 0);
  device->rampToVideoZoomFactor(c.requested, 100);
  executor.advance(1);
  device->unlockForConfiguration();
  EXPECT_EQ(std::pair(set, device->videoZoomFactor()), std::pair(c.zoom, c.zoom));
  EXPECT_FLOAT_EQ(device->exposureTargetBias(), c.bias);
  EXPECT_THAT(done, ElementsAre("com.kivocamera.platform.camera.back-wide"));
  EXPECT_EQ(calls.at(3), "back-wide rampToVideoZoomFactor:withRate: " + formatNumber(c.requested) + " 100");
}

INSTANTIATE_TEST_SUITE_P(Sweep, AVClampTest,
                         ::testing::Values(ClampCase{-8, 1, -2}, ClampCase{0.5, 1, 0.5f}, ClampCase{2.5, 2.5, 2.5f},
                                           ClampCase{40, 6, 3.5f}));

TEST_F(AVDeviceTest, TheZoomFactorFollowsTheRampTheLayerReports) {
  ASSERT_TRUE(device->lockForConfiguration());
  const auto after = [&](double seconds) {
    executor.advance(seconds);
    return device->videoZoomFactor();
  };
  device->rampToVideoZoomFactor(4, 2);  // two powers of two a second
  std::vector<double> seen{after(0), after(0.5), after(0.75)};
  device->rampToVideoZoomFactor(1, 1);
  seen.push_back(after(1));
  device->rampToVideoZoomFactor(8, 1);  // turns round from where the last ramp got to
  seen.push_back(after(1));
  device->setVideoZoomFactor(3);  // a set ends the ramp at once
  seen.push_back(after(0));
  device->rampToVideoZoomFactor(5, -1);  // no usable rate: a jump
  seen.push_back(after(0));
  device->unlockForConfiguration();
  EXPECT_THAT(seen, ElementsAre(1, 2, 4, 2, 4, 3, 5));
}

struct TorchCase {
  const char *name, *camera;
  float level;
  bool layerRefuses, on;
};

class AVTorchTest : public CaptureWorldTest, public ::testing::WithParamInterface<TorchCase> {};

TEST_P(AVTorchTest, ALevelTurnsTheTorchOnUnlessItIsRefused) {
  const auto& c = GetParam();
  if (c.layerRefuses) world.failNextTorch();
  auto device = world.camera(c.camera);
  ASSERT_TRUE(device->lockForConfiguration());
  NSError error;
  EXPECT_EQ(device->setTorchModeOnWithLevel(c.level, &error), c.on);
  device->unlockForConfiguration();
  EXPECT_EQ(device->isTorchActive(), c.on);
  EXPECT_FLOAT_EQ(device->torchLevel(), c.on ? c.level : 0.0f);
  EXPECT_EQ(error.domain, c.on ? "" : "AVFoundationErrorDomain");
  EXPECT_THAT(calls, ElementsAre(std::string(c.camera) + " setTorchModeOnWithLevel:error: " + formatNumber(c.level) +
                                 (c.on ? "" : " failed")));
}

INSTANTIATE_TEST_SUITE_P(Levels, AVTorchTest,
                         ::testing::Values(TorchCase{"quarter", "back-wide", 0.25f, false, true},
                                           TorchCase{"layerRefuses", "back-wide", 1, true, false},
                                           TorchCase{"zero", "back-wide", 0, false, false},
                                           TorchCase{"aboveOne", "back-wide", 1.5f, false, false},
                                           TorchCase{"noTorch", "front-wide", 1, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AVDeviceTest, ObservationsReportTheLayersChangesOnTheCameraQueueUntilTheTokenGoes) {
  std::vector<std::string> seen;
  const auto note = [&](std::string line) { seen.push_back(line + " @" + DispatchQueue::currentLabel()); };
  const auto both = NSKeyValueObservingOptionNew | NSKeyValueObservingOptionOld;
  auto iso = device->observeISO(both, [&](auto& d, auto& c) {
    note(d->uniqueID() + " " + formatNumber(*c.newValue) + " was " + formatNumber(*c.oldValue));
  });
  auto focus = device->observeAdjustingFocus(NSKeyValueObservingOptionNew, [&](auto&, auto& c) {
    note(formatBool(*c.newValue) + (c.oldValue ? " was given" : ""));
  });
  world.setISO("back-wide", 400);  // the drivers name a camera, or mean the newest session's
  world.setAdjustingFocus("back-wide", false);  // reported even when unchanged
  EXPECT_THROW(world.setISO(std::nullopt, 50), std::invalid_argument);
  EXPECT_THROW(world.setISO("back-triple", 50), std::invalid_argument);
  EXPECT_TRUE(seen.empty());
  executor.runUntilIdle();
  iso = KeyValueObservation();
  session->addInput(inputFor("back-wide"));
  world.setISO(std::nullopt, 800);
  world.setAdjustingFocus(std::nullopt, true);
  executor.runUntilIdle();
  EXPECT_FLOAT_EQ(device->ISO(), 800);
  EXPECT_EQ(device->isoObserverCount(), 0u);
  EXPECT_THAT(seen, ElementsAre("back-wide 400 was 100 @com.kivocamera.platform.camera.back-wide",
                                "false @com.kivocamera.platform.camera.back-wide",
                                "true @com.kivocamera.platform.camera.back-wide"));
  std::weak_ptr<AVCaptureDevice> weak = std::exchange(device, nullptr);
  session.reset();
  world.setNoCameras();
  EXPECT_TRUE(weak.expired());  // the live token does not keep its device
}

}  // namespace
