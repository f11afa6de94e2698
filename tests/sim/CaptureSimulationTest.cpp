// The simulated capture world: camera options and discovery, the permission
// request and the user's answer, the focus timetable, drivers, inspection,
// and what destroying the world leaves behind.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "AVFoundation/AVFoundation.h"
#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "sim/capture/CaptureSimulation.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

class CaptureSimulationTest : public ::testing::Test {
 protected:
  DeterministicExecutor executor;
  sim::CaptureSimulation world;

  void add(AVCaptureDevicePosition position, sim::CameraType type, std::vector<std::string> options = {}) {
    world.addCamera(sim::parseCameraOptions(position, type, options));
  }
  static std::shared_ptr<AVCaptureDevice> find(AVCaptureDeviceType type, AVCaptureDevicePosition position) {
    return AVCaptureDevice::defaultDeviceWithDeviceType(type, AVMediaTypeVideo, position);
  }
  static std::string nameOf(const std::shared_ptr<AVCaptureDevice>& device) {
    return device ? device->uniqueID() : "none";
  }
};

constexpr auto kBack = AVCaptureDevicePosition::back;
constexpr auto kFront = AVCaptureDevicePosition::front;
constexpr auto kAny = AVCaptureDevicePosition::unspecified;

// --- Cameras and discovery --------------------------------------------------

TEST_F(CaptureSimulationTest, TheDefaultWorldHasABackAndAFrontWideCamera) {
  EXPECT_EQ(nameOf(find(AVCaptureDeviceTypeBuiltInWideAngleCamera, kBack)), "back-wide");
  EXPECT_EQ(nameOf(find(AVCaptureDeviceTypeBuiltInWideAngleCamera, kFront)), "front-wide");
  EXPECT_EQ(nameOf(find(AVCaptureDeviceTypeBuiltInDualCamera, kBack)), "none");
  EXPECT_FALSE(AVCaptureDevice::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInWideAngleCamera,
                                                            AVMediaTypeAudio, kBack));
  // The same camera is always the same device.
  EXPECT_EQ(find(AVCaptureDeviceTypeBuiltInWideAngleCamera, kBack), world.camera("back-wide"));
}

TEST_F(CaptureSimulationTest, ConfiguredCamerasReplaceTheDefaultsAndAreFoundInConfigurationOrder) {
  add(kFront, sim::CameraType::wide);
  add(kBack, sim::CameraType::dual);
  add(kBack, sim::CameraType::wide);
  std::vector<std::string> names;
  for (const auto& device : world.cameras()) names.push_back(device->uniqueID());
  EXPECT_THAT(names, ElementsAre("front-wide", "back-dual", "back-wide"));
  EXPECT_EQ(nameOf(find(AVCaptureDeviceTypeBuiltInWideAngleCamera, kAny)), "front-wide");
  EXPECT_EQ(nameOf(find(AVCaptureDeviceTypeBuiltInWideAngleCamera, kBack)), "back-wide");
  EXPECT_EQ(nameOf(find(AVCaptureDeviceTypeBuiltInDualCamera, kBack)), "back-dual");
  EXPECT_EQ(nameOf(find(AVCaptureDeviceTypeBuiltInTripleCamera, kBack)), "none");
  EXPECT_EQ(find(AVCaptureDeviceTypeBuiltInDualCamera, kBack)->deviceType(), "AVCaptureDeviceTypeBuiltInDualCamera");
  EXPECT_THROW(add(kBack, sim::CameraType::dual), std::invalid_argument);
  world.setNoCameras();
  EXPECT_THAT(world.cameras(), IsEmpty());
  EXPECT_FALSE(find(AVCaptureDeviceTypeBuiltInWideAngleCamera, kAny));
}

// --- Permission -------------------------------------------------------------

struct Answer {
  bool granted;
  std::string queue;
  bool operator==(const Answer&) const = default;
};

class CapturePermissionTest : public CaptureSimulationTest {
 protected:
  void request() {
    AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [this](bool granted) {
      answers.push_back({granted, DispatchQueue::currentLabel()});
    });
  }
  std::vector<Answer> answers;
  const std::string kQueue = "com.kivocamera.platform.permission";
};

TEST_F(CapturePermissionTest, ADecidedStatusIsAnsweredAsynchronouslyOnThePermissionQueue) {
  const std::vector<std::pair<AVAuthorizationStatus, bool>> cases{{AVAuthorizationStatus::authorized, true},
                                                                  {AVAuthorizationStatus::denied, false},
                                                                  {AVAuthorizationStatus::restricted, false}};
  for (const auto& [status, granted] : cases) {
    answers.clear();
    world.setAuthorizationStatus(status);
    EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo), status);
    request();
    EXPECT_THAT(answers, IsEmpty());
    executor.runUntilIdle();
    EXPECT_THAT(answers, ElementsAre(Answer{granted, kQueue}));
    EXPECT_FALSE(world.hasOpenPermissionRequest());
  }
}

TEST_F(CapturePermissionTest, AnUndecidedRequestWaitsForTheUser) {
  world.setAuthorizationStatus(AVAuthorizationStatus::notDetermined);
  EXPECT_THROW(world.answerPermissionRequest(true), std::invalid_argument);
  request();
  request();
  executor.advance(60);
  EXPECT_THAT(answers, IsEmpty());
  EXPECT_TRUE(world.hasOpenPermissionRequest());
  world.answerPermissionRequest(false);
  EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo), AVAuthorizationStatus::denied);
  executor.runUntilIdle();
  EXPECT_THAT(answers, ElementsAre(Answer{false, kQueue}, Answer{false, kQueue}));
  EXPECT_FALSE(world.hasOpenPermissionRequest());
}

// --- Physics and drivers ----------------------------------------------------

class CaptureCameraTimetableTest : public CaptureSimulationTest {
 protected:
  void SetUp() override {
    token = device->observeAdjustingFocus(NSKeyValueObservingOptionNew, [this](const auto&, const auto& change) {
      changes.push_back({*change.newValue, executor.now() - start, DispatchQueue::currentLabel()});
    });
  }
  void focusAt(CGPoint point) {
    ASSERT_TRUE(device->lockForConfiguration());
    device->setFocusPointOfInterest(point);
    device->unlockForConfiguration();
  }
  struct Change {
    bool adjusting;
    double at;
    std::string queue;
  };
  std::shared_ptr<AVCaptureDevice> device = world.camera("back-wide");
  KeyValueObservation token;
  std::vector<Change> changes;
  double start = executor.now();
};

TEST_F(CaptureCameraTimetableTest, FocusAdjustsAtOnceAndSettlesAfterThreeTenthsOnTheCameraQueue) {
  focusAt({0.25, 0.2});
  EXPECT_EQ(device->focusPointOfInterest(), (CGPoint{0.25, 0.2}));
  executor.runUntilIdle();
  EXPECT_TRUE(device->isAdjustingFocus());
  executor.advance(0.299);
  EXPECT_TRUE(device->isAdjustingFocus());
  executor.advance(0.001);
  EXPECT_FALSE(device->isAdjustingFocus());
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_TRUE(changes[0].adjusting);
  EXPECT_DOUBLE_EQ(changes[0].at, 0);
  EXPECT_FALSE(changes[1].adjusting);
  EXPECT_NEAR(changes[1].at, 0.3, 1e-9);
  for (const auto& c : changes) EXPECT_EQ(c.queue, "com.kivocamera.platform.camera.back-wide");
}

TEST_F(CaptureCameraTimetableTest, ANewFocusPointRestartsTheWaitWithoutRepeatingTheStart) {
  focusAt({0.5, 0.5});
  executor.advance(0.2);
  focusAt({0.1, 0.9});
  executor.advance(0.2);  // 0.4: the first settle time has passed
  EXPECT_TRUE(device->isAdjustingFocus());
  executor.advance(0.1);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_FALSE(changes[1].adjusting);
  EXPECT_NEAR(changes[1].at, 0.5, 1e-9);
}

TEST_F(CaptureCameraTimetableTest, DriversReportEveryChangeOnTheNamedOrCurrentCamera) {
  world.setAdjustingFocus("back-wide", false);
  world.setAdjustingFocus("back-wide", false);
  executor.runUntilIdle();
  EXPECT_EQ(changes.size(), 2u);  // reported even when unchanged
  EXPECT_THROW(world.setAdjustingFocus("back-triple", true), std::invalid_argument);
  EXPECT_THROW(world.setISO(std::nullopt, 50), std::invalid_argument);  // no session yet

  auto session = AVCaptureSession::create();
  session->addInput(AVCaptureDeviceInput::createWithDevice(device));
  EXPECT_EQ(world.currentCamera(), device);
  world.setAdjustingFocus(std::nullopt, true);
  world.setISO(std::nullopt, 50);
  executor.runUntilIdle();
  EXPECT_TRUE(device->isAdjustingFocus());
  EXPECT_FLOAT_EQ(device->ISO(), 50);
}

// --- Destroying the world ---------------------------------------------------

class PhotoSink : public AVCapturePhotoCaptureDelegate {
 public:
  void didFinishCaptureForResolvedSettings(AVCapturePhotoOutput&, const Resolved&,
                                           const std::optional<NSError>&) override {
    ++finished;
  }
  int finished = 0;
};

TEST(CaptureSimulationLifetime, PlatformObjectsOutliveTheWorldAndFindItEmpty) {
  DeterministicExecutor executor;
  auto world = std::make_unique<sim::CaptureSimulation>();
  world->setAuthorizationStatus(AVAuthorizationStatus::notDetermined);
  auto device = world->camera("back-wide");
  auto session = AVCaptureSession::create();
  auto output = AVCapturePhotoOutput::create();
  session->addInput(AVCaptureDeviceInput::createWithDevice(device));
  session->addOutput(output);
  bool answered = false;
  AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [&](bool) { answered = true; });
  auto sink = std::make_shared<PhotoSink>();
  output->capturePhotoWithSettings(AVCapturePhotoSettings::create(), sink);
  executor.advance(0.1);

  std::weak_ptr<AVCaptureDevice> weakDevice = device;
  world.reset();
  executor.advance(1);
  EXPECT_FALSE(answered);  // the open request went with the world
  EXPECT_EQ(sink->finished, 1);
  EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo), AVAuthorizationStatus::notDetermined);
  EXPECT_FALSE(AVCaptureDevice::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo,
                                                            AVCaptureDevicePosition::back));
  ASSERT_TRUE(device->lockForConfiguration());
  device->setFocusPointOfInterest({0.5, 0.5});
  device->unlockForConfiguration();
  executor.advance(1);
  EXPECT_FALSE(device->isAdjustingFocus());  // no camera physics without a world

  AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [&](bool granted) { answered = !granted; });
  executor.runUntilIdle();
  EXPECT_TRUE(answered);  // the empty world answers "denied"

  session.reset();
  output.reset();
  device.reset();
  EXPECT_TRUE(weakDevice.expired());  // the world kept no reference
}

}  // namespace
