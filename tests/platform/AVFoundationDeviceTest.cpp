// Capture devices: the configuration lock and its injected failures, clamping
// of zoom and exposure bias, zoom ramps on the media clock, the torch and its
// failures, and the lifetime of ISO and focus-activity observations.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "AVFoundation/AVFoundation.h"
#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "platform/CaptureWorldTest.h"
#include "sim/capture/CaptureSimulation.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace {

class AVDeviceTest : public CaptureWorldTest {
 protected:
  void useCamera(const std::vector<std::string>& options) {
    world.addCamera(sim::parseCameraOptions(AVCaptureDevicePosition::back, sim::CameraType::wide, options));
  }
  std::shared_ptr<AVCaptureDevice> back() { return world.camera("back-wide"); }
};

// --- The configuration lock -------------------------------------------------

struct LockCase {
  std::string name;
  std::function<void(sim::CaptureSimulation&)> fault;
  std::vector<bool> expected;  // results of successive lock attempts
};

void PrintTo(const LockCase& c, std::ostream* os) { *os << c.name; }

class AVLockFaultTest : public AVDeviceTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(AVLockFaultTest, FailsExactlyTheInjectedAttemptsAndTracesOnlyFailures) {
  const auto& c = GetParam();
  c.fault(world);
  auto device = back();
  std::vector<bool> results;
  std::size_t failures = 0;
  for (std::size_t i = 0; i < c.expected.size(); ++i) {
    NSError error;
    const bool locked = device->lockForConfiguration(&error);
    results.push_back(locked);
    if (locked) {
      device->unlockForConfiguration();
    } else {
      ++failures;
      EXPECT_EQ(error.domain, "AVFoundationErrorDomain");
      EXPECT_FALSE(device->isLockedForConfiguration());
    }
  }
  EXPECT_EQ(results, c.expected);
  EXPECT_EQ(calls, std::vector<std::string>(failures, "back-wide lockForConfiguration: failed"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AVLockFaultTest,
    ::testing::Values(LockCase{"none", [](auto&) {}, {true, true}},
                      LockCase{"next", [](auto& w) { w.failLock(); }, {false, true, true}},
                      LockCase{"nextThree", [](auto& w) { w.failLock(3); }, {false, false, false, true}},
                      LockCase{"always", [](auto& w) { w.failLockAlways(); }, {false, false, false, false, false}},
                      LockCase{"alwaysThenOff",
                               [](auto& w) {
                                 w.failLockAlways();
                                 w.stopLockFailures();
                               },
                               {true, true}},
                      LockCase{"laterCountReplacesEarlier",
                               [](auto& w) {
                                 w.failLock(3);
                                 w.failLock(1);
                               },
                               {false, true}}),
    [](const auto& info) { return info.param.name; });

TEST_F(AVDeviceTest, LockFailuresAreSharedByAllDevices) {
  world.failLock(2);
  auto front = world.camera("front-wide");
  EXPECT_FALSE(back()->lockForConfiguration());
  EXPECT_FALSE(front->lockForConfiguration());
  EXPECT_TRUE(back()->lockForConfiguration());
  EXPECT_THAT(calls, ElementsAre("back-wide lockForConfiguration: failed", "front-wide lockForConfiguration: failed"));
}

#ifndef NDEBUG
using Setter = std::function<void(AVCaptureDevice&)>;
class AVUnlockedChangeDeathTest : public ::testing::TestWithParam<std::pair<std::string, Setter>> {};

}  // namespace

// The pair is found through the setter's device argument, so its printer
// lives in the global namespace; it prints the setter's name.
static void PrintTo(const std::pair<std::string, Setter>& setter, std::ostream* os) { *os << setter.first; }

namespace {

TEST_P(AVUnlockedChangeDeathTest, StopsTheProgramInDebugBuilds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        DeterministicExecutor executor;
        sim::CaptureSimulation world;
        auto device = world.camera("back-wide");
        ASSERT_TRUE(device->lockForConfiguration());
        device->unlockForConfiguration();
        GetParam().second(*device);
      },
      HasSubstr("without lockForConfiguration"));
}

INSTANTIATE_TEST_SUITE_P(
    Setters, AVUnlockedChangeDeathTest,
    ::testing::Values(
        std::pair<std::string, Setter>{"zoom", [](AVCaptureDevice& d) { d.setVideoZoomFactor(2); }},
        std::pair<std::string, Setter>{"focusPoint", [](AVCaptureDevice& d) { d.setFocusPointOfInterest({0.1, 0.2}); }},
        std::pair<std::string, Setter>{"focusMode",
                                       [](AVCaptureDevice& d) { d.setFocusMode(AVCaptureFocusMode::autoFocus); }},
        std::pair<std::string, Setter>{"bias", [](AVCaptureDevice& d) { d.setExposureTargetBias(1); }},
        std::pair<std::string, Setter>{"torch", [](AVCaptureDevice& d) { d.setTorchMode(AVCaptureTorchMode::on); }}),
    [](const auto& info) { return info.param.first; });
#endif

// --- Clamping and ramps -------------------------------------------------------

struct ClampCase {
  double requested;
  double expected;
};

void PrintTo(const ClampCase& c, std::ostream* os) { *os << "requested " << c.requested; }

class AVZoomClampTest : public AVDeviceTest, public ::testing::WithParamInterface<ClampCase> {};

TEST_P(AVZoomClampTest, SetAndRampStayWithinOneAndTheFormatMaximum) {
  useCamera({"max-zoom=6"});
  auto device = back();
  ASSERT_TRUE(device->lockForConfiguration());
  device->setVideoZoomFactor(GetParam().requested);
  EXPECT_DOUBLE_EQ(device->videoZoomFactor(), GetParam().expected);
  device->setVideoZoomFactor(3);
  device->rampToVideoZoomFactor(GetParam().requested, 1000);
  executor.advance(1);
  EXPECT_DOUBLE_EQ(device->videoZoomFactor(), GetParam().expected);
  device->unlockForConfiguration();
}

INSTANTIATE_TEST_SUITE_P(Sweep, AVZoomClampTest,
                         ::testing::Values(ClampCase{0.5, 1}, ClampCase{1, 1}, ClampCase{2.5, 2.5}, ClampCase{6, 6},
                                           ClampCase{40, 6}));

TEST_F(AVDeviceTest, RampsMoveByPowersOfTwoPerSecondOfTheMediaClock) {
  auto device = back();
  ASSERT_TRUE(device->lockForConfiguration());
  device->rampToVideoZoomFactor(4, 2);
  EXPECT_DOUBLE_EQ(device->videoZoomFactor(), 1);
  executor.advance(0.5);
  EXPECT_DOUBLE_EQ(device->videoZoomFactor(), 2);
  executor.advance(0.75);
  EXPECT_DOUBLE_EQ(device->videoZoomFactor(), 4);

  device->rampToVideoZoomFactor(1, 1);
  executor.advance(1);
  EXPECT_DOUBLE_EQ(device->videoZoomFactor(), 2);
  // A direct set ends the ramp where it is asked to.
  device->setVideoZoomFactor(3);
  executor.advance(5);
  EXPECT_DOUBLE_EQ(device->videoZoomFactor(), 3);
  // A rate that is not positive jumps.
  device->rampToVideoZoomFactor(5, 0);
  EXPECT_DOUBLE_EQ(device->videoZoomFactor(), 5);
  device->unlockForConfiguration();
  EXPECT_THAT(calls, ElementsAre("back-wide rampToVideoZoomFactor:withRate: 4 2",
                                 "back-wide rampToVideoZoomFactor:withRate: 1 1", "back-wide setVideoZoomFactor: 3",
                                 "back-wide rampToVideoZoomFactor:withRate: 5 0"));
}

class AVBiasClampTest : public AVDeviceTest, public ::testing::WithParamInterface<ClampCase> {};

TEST_P(AVBiasClampTest, BiasStaysInTheDeviceRangeAndTheCallShowsWhatWasAsked) {
  useCamera({"bias=-2..3.5"});
  auto device = back();
  ASSERT_TRUE(device->lockForConfiguration());
  std::optional<std::string> completionQueue;
  device->setExposureTargetBias(static_cast<float>(GetParam().requested),
                                [&](CMTime) { completionQueue = DispatchQueue::currentLabel(); });
  device->unlockForConfiguration();
  EXPECT_FLOAT_EQ(device->exposureTargetBias(), static_cast<float>(GetParam().expected));
  EXPECT_FALSE(completionQueue);
  executor.runUntilIdle();
  EXPECT_EQ(completionQueue, "com.kivocamera.platform.camera.back-wide");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_THAT(calls[0], HasSubstr("back-wide setExposureTargetBias:completionHandler: "));
}

INSTANTIATE_TEST_SUITE_P(Sweep, AVBiasClampTest,
                         ::testing::Values(ClampCase{-8, -2}, ClampCase{-2, -2}, ClampCase{1.5, 1.5},
                                           ClampCase{3.5, 3.5}, ClampCase{100, 3.5}));

// --- Torch ------------------------------------------------------------------

TEST_F(AVDeviceTest, AnInjectedTorchFailureFailsOnceAndIsTraced) {
  auto device = back();
  world.failNextTorch();
  ASSERT_TRUE(device->lockForConfiguration());
  NSError error;
  EXPECT_FALSE(device->setTorchModeOnWithLevel(1.0f, &error));
  EXPECT_EQ(error.domain, "AVFoundationErrorDomain");
  EXPECT_FALSE(device->isTorchActive());
  EXPECT_TRUE(device->setTorchModeOnWithLevel(1.0f));
  EXPECT_TRUE(device->isTorchActive());
  device->setTorchMode(AVCaptureTorchMode::off);
  EXPECT_FALSE(device->isTorchActive());
  device->unlockForConfiguration();
  EXPECT_THAT(calls, ElementsAre("back-wide setTorchModeOnWithLevel:error: 1 failed",
                                 "back-wide setTorchModeOnWithLevel:error: 1", "back-wide setTorchMode: 0"));
}

TEST_F(AVDeviceTest, TorchLevelsOutsideTheRangeAndCamerasWithoutTorchFail) {
  auto device = back();
  ASSERT_TRUE(device->lockForConfiguration());
  EXPECT_FALSE(device->setTorchModeOnWithLevel(0.0f));
  EXPECT_FALSE(device->setTorchModeOnWithLevel(1.5f));
  EXPECT_TRUE(device->setTorchModeOnWithLevel(0.25f));
  EXPECT_FLOAT_EQ(device->torchLevel(), 0.25f);
  device->unlockForConfiguration();

  auto front = world.camera("front-wide");
  ASSERT_FALSE(front->isTorchAvailable());
  ASSERT_TRUE(front->lockForConfiguration());
  EXPECT_FALSE(front->setTorchModeOnWithLevel(1.0f));
  front->unlockForConfiguration();
  EXPECT_FALSE(front->isTorchActive());
}

// --- Observation ------------------------------------------------------------

struct Seen {
  std::optional<float> newValue;
  std::optional<float> oldValue;
  std::string queue;
};

TEST_F(AVDeviceTest, ObservationsReportTheAskedValuesUntilTheTokenGoes) {
  auto device = back();
  std::vector<Seen> newOnly, both;
  auto a = device->observeISO(NSKeyValueObservingOptionNew, [&](const auto& d, const KeyValueChange<float>& c) {
    EXPECT_EQ(d, device);
    newOnly.push_back({c.newValue, c.oldValue, DispatchQueue::currentLabel()});
  });
  auto b = device->observeISO(NSKeyValueObservingOptionNew | NSKeyValueObservingOptionOld,
                              [&](const auto&, const KeyValueChange<float>& c) {
                                both.push_back({c.newValue, c.oldValue, DispatchQueue::currentLabel()});
                              });
  world.setISO("back-wide", 400);
  EXPECT_TRUE(newOnly.empty());  // reported on the camera's queue, not here
  executor.runUntilIdle();
  ASSERT_EQ(newOnly.size(), 1u);
  EXPECT_EQ(newOnly[0].newValue, 400.0f);
  EXPECT_FALSE(newOnly[0].oldValue);
  EXPECT_EQ(newOnly[0].queue, "com.kivocamera.platform.camera.back-wide");
  ASSERT_EQ(both.size(), 1u);
  EXPECT_EQ(both[0].oldValue, 100.0f);

  a = KeyValueObservation();
  world.setISO("back-wide", 800);
  executor.runUntilIdle();
  EXPECT_EQ(newOnly.size(), 1u);
  EXPECT_EQ(both.size(), 2u);
  EXPECT_EQ(device->isoObserverCount(), 1u);
  EXPECT_FLOAT_EQ(device->ISO(), 800);
}

TEST(AVDeviceLifetime, ATokenOutlivingItsDeviceEndsQuietly) {
  DeterministicExecutor executor;
  int calls = 0;
  KeyValueObservation token;
  std::weak_ptr<AVCaptureDevice> weak;
  {
    auto device = AVCaptureDevice::create(AVCaptureDeviceDescription{.uniqueID = "back-wide"});
    weak = device;
    token = device->observeAdjustingFocus(NSKeyValueObservingOptionNew, [&](const auto&, const auto&) { ++calls; });
    device->cameraQueue().async([device] { device->reportAdjustingFocus(true); });
  }
  // The queued change keeps the device alive until it has been reported.
  EXPECT_FALSE(weak.expired());
  executor.runUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(token.isActive());
  token.invalidate();
  EXPECT_FALSE(token.isActive());
}

}  // namespace
