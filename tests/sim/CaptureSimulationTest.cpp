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

struct OptionCase {
  std::string name;
  AVCaptureDevicePosition position;
  std::vector<std::string> options;
  std::function<void(const AVCaptureDevice&)> check;
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class CaptureCameraOptionTest : public CaptureSimulationTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(CaptureCameraOptionTest, OptionsReachTheDevice) {
  const auto& c = GetParam();
  add(c.position, sim::CameraType::wide, c.options);
  c.check(*world.cameras().at(0));
}

INSTANTIATE_TEST_SUITE_P(
    Options, CaptureCameraOptionTest,
    ::testing::Values(
        OptionCase{"backDefaults", kBack, {},
                   [](const AVCaptureDevice& d) {
                     EXPECT_TRUE(d.isTorchAvailable());
                     EXPECT_TRUE(d.isFlashAvailable());
                     EXPECT_EQ(d.minimumFocusDistance(), 120);
                     EXPECT_TRUE(d.isFocusModeSupported(AVCaptureFocusMode::continuousAutoFocus));
                     EXPECT_TRUE(d.supportsAVCaptureSessionPreset(AVCaptureSessionPreset1920x1080));
                     EXPECT_EQ(d.activeFormat().supportedColorSpaces, (std::vector<std::int64_t>{0, 1}));
                   }},
        OptionCase{"frontDefaults", kFront, {},
                   [](const AVCaptureDevice& d) {
                     EXPECT_FALSE(d.isTorchAvailable());
                     EXPECT_FALSE(d.isFlashAvailable());
                     EXPECT_EQ(d.minimumFocusDistance(), 200);
                     EXPECT_EQ(d.uniqueID(), "front-wide");
                   }},
        OptionCase{"switches", kFront, {"+torch", "+flash", "-poi", "-smooth-focus", "-low-light-boost"},
                   [](const AVCaptureDevice& d) {
                     EXPECT_TRUE(d.isTorchAvailable());
                     EXPECT_TRUE(d.isFlashAvailable());
                     EXPECT_FALSE(d.isFocusPointOfInterestSupported());
                     EXPECT_FALSE(d.isSmoothAutoFocusSupported());
                     EXPECT_FALSE(d.isLowLightBoostSupported());
                   }},
        OptionCase{"continuousModesOff", kBack, {"-continuous-focus", "-continuous-exposure", "-continuous-wb"},
                   [](const AVCaptureDevice& d) {
                     EXPECT_FALSE(d.isFocusModeSupported(AVCaptureFocusMode::continuousAutoFocus));
                     EXPECT_FALSE(d.isExposureModeSupported(AVCaptureExposureMode::continuousAutoExposure));
                     EXPECT_FALSE(d.isWhiteBalanceModeSupported(AVCaptureWhiteBalanceMode::continuousAutoWhiteBalance));
                     EXPECT_EQ(d.focusMode(), AVCaptureFocusMode::locked);
                   }},
        OptionCase{"numbers", kBack, {"min-focus=80", "bias=-2.5..1", "iso=640", "fps=60", "max-zoom=5"},
                   [](const AVCaptureDevice& d) {
                     EXPECT_EQ(d.minimumFocusDistance(), 80);
                     EXPECT_FLOAT_EQ(d.minExposureTargetBias(), -2.5f);
                     EXPECT_FLOAT_EQ(d.maxExposureTargetBias(), 1.0f);
                     EXPECT_FLOAT_EQ(d.ISO(), 640.0f);
                     EXPECT_DOUBLE_EQ(d.activeFormat().maxFrameRate, 60);
                     EXPECT_DOUBLE_EQ(d.activeFormat().videoMaxZoomFactor, 5);
                   }},
        OptionCase{"fastestFrameRate", kBack, {"fps=1000"},
                   [](const AVCaptureDevice& d) { EXPECT_DOUBLE_EQ(d.activeFormat().maxFrameRate, 1000); }},
        OptionCase{"slowestFrameRate", kBack, {"fps=1"},
                   [](const AVCaptureDevice& d) { EXPECT_DOUBLE_EQ(d.activeFormat().maxFrameRate, 1); }},
        OptionCase{"colourSpaces", kBack, {"color-spaces=", "active-color-space=2"},
                   [](const AVCaptureDevice& d) {
                     EXPECT_THAT(d.activeFormat().supportedColorSpaces, IsEmpty());
                     EXPECT_EQ(d.activeColorSpace(), 2);
                   }},
        OptionCase{"presets", kBack, {"presets=AVCaptureSessionPresetPhoto,AVCaptureSessionPreset640x480"},
                   [](const AVCaptureDevice& d) {
                     EXPECT_TRUE(d.supportsAVCaptureSessionPreset(AVCaptureSessionPresetPhoto));
                     EXPECT_TRUE(d.supportsAVCaptureSessionPreset(AVCaptureSessionPreset640x480));
                     EXPECT_FALSE(d.supportsAVCaptureSessionPreset(AVCaptureSessionPreset1920x1080));
                   }}),
    [](const auto& info) { return info.param.name; });

class CaptureBadOptionTest : public ::testing::TestWithParam<std::string> {};

TEST_P(CaptureBadOptionTest, IsRejectedByName) {
  try {
    sim::parseCameraOptions(kBack, sim::CameraType::wide, {"+torch", GetParam()});
    FAIL() << "accepted " << GetParam();
  } catch (const std::invalid_argument& error) {
    EXPECT_THAT(error.what(), HasSubstr("'" + GetParam() + "'"));
  }
}

INSTANTIATE_TEST_SUITE_P(Options, CaptureBadOptionTest,
                         ::testing::Values("fps=0", "fps=-30", "fps=fast", "fps=0.5", "fps=1000.5", "fps=1e9", "bias=3..-3", "bias=1", "bias=..2",
                                           "min-focus=-1", "min-focus=1.5", "color-spaces=1,x", "presets=Bogus",
                                           "+laser", "-torch=1", "zoom", "max-zoom=0.5", "iso=-1"));

TEST(CaptureCameraWords, PositionsTypesAndFaultsParseOrNameTheBadWord) {
  EXPECT_EQ(sim::parseCameraType("dual-wide"), sim::CameraType::dualWide);
  EXPECT_EQ(sim::CameraSetup::defaults(kBack, sim::CameraType::dualWide).description.uniqueID, "back-dual-wide");
  EXPECT_EQ(sim::parseCameraPosition("front"), kFront);
  EXPECT_EQ(sim::parsePhotoFault("never-finishes"), sim::PhotoFault::neverFinishes);
  EXPECT_THROW(sim::parseCameraType("tele"), std::invalid_argument);
  EXPECT_THROW(sim::parseCameraPosition("side"), std::invalid_argument);
  EXPECT_THROW(sim::parsePhotoFault("explodes"), std::invalid_argument);
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

// --- Inspection -------------------------------------------------------------

TEST_F(CaptureSimulationTest, InspectionPrintsTheNewestSessionAndItsCamera) {
  EXPECT_EQ(world.inspect("session.running"), "nil");
  EXPECT_EQ(world.inspect("device.name"), "nil");
  EXPECT_EQ(world.inspect("connection.videoOrientation"), "nil");
  EXPECT_FALSE(world.inspect("session.colour"));
  EXPECT_FALSE(world.inspect("device.flavour"));

  auto session = AVCaptureSession::create();
  auto device = world.camera("back-wide");
  session->addInput(AVCaptureDeviceInput::createWithDevice(device));
  session->addOutput(AVCapturePhotoOutput::create());
  session->addOutput(AVCaptureVideoDataOutput::create());
  session->setSessionPreset(AVCaptureSessionPresetPhoto);
  session->startRunning();
  ASSERT_TRUE(device->lockForConfiguration());
  device->setVideoZoomFactor(2.5);
  device->setFocusPointOfInterest({0.25, 0.75});
  device->setExposureTargetBias(-1.5f);
  device->unlockForConfiguration();
  world.photoOutput()->videoConnection()->setVideoOrientation(AVCaptureVideoOrientation::landscapeRight);

  EXPECT_EQ(world.inspect("session.running"), "true");
  EXPECT_EQ(world.inspect("session.preset"), "AVCaptureSessionPresetPhoto");
  EXPECT_EQ(world.inspect("session.inputs"), "[back-wide]");
  EXPECT_EQ(world.inspect("session.outputs"), "[photo, video]");
  EXPECT_EQ(world.inspect("device.name"), "back-wide");
  EXPECT_EQ(world.inspect("device.videoZoomFactor"), "2.5");
  EXPECT_EQ(world.inspect("device.focusPointOfInterest"), "(0.25, 0.75)");
  EXPECT_EQ(world.inspect("device.focusMode"), "2");
  EXPECT_EQ(world.inspect("device.exposureTargetBias"), "-1.5");
  EXPECT_EQ(world.inspect("device.torchActive"), "false");
  EXPECT_EQ(world.inspect("device.isAdjustingFocus"), "false");
  EXPECT_EQ(world.inspect("connection.videoOrientation"), "3");
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
