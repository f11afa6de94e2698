// The controller's controls on a running camera: taps and focus with the
// point-of-interest mapping, re-focus after rest, zoom and pinch, torch, flash
// and the camera switch. Each test reads the world's trace, into which the
// host's delegate also writes its callbacks with the queue that ran them, so
// orderings across queues are checked in one place.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "AVFoundation/AVCaptureDevice.h"
#include "Foundation/TraceFormat.h"
#include "KivoCamera.h"
#include "KivoFocusView.h"
#include "KivoMotionManager.h"
#include "KivoPreviewView.h"
#include "UIKit/UIGestureRecognizer.h"
#include "sim/Trace.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"
#include "sim/motion/MotionSimulation.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

using State = UIGestureRecognizerState;
constexpr CGPoint kScreenCentre{187.5, 406};
const std::string kSession = "@com.kivocamera.session.queue";

// Every callback goes into the trace as "delegate SELECTOR ARGS @QUEUE".
std::shared_ptr<KivoCameraDelegateBlocks> recordingDelegate(sim::Trace& trace) {
  auto delegate = std::make_shared<KivoCameraDelegateBlocks>();
  auto add = [&trace](const std::string& line) {
    trace.add("delegate " + line + " @" + DispatchQueue::currentLabel());
  };
  delegate->didCapturePhoto = [](KivoCamera&, const std::optional<Data>&) {};
  delegate->didChangeFlashMode = [add](KivoCamera&, std::int64_t m) {
    add("camera:didChangeFlashMode: " + formatInteger(m));
  };
  delegate->didChangeTorch = [add](KivoCamera&, bool on) { add("camera:didChangeTorch: " + formatBool(on)); };
  delegate->didToggleCameraPosition = [add](KivoCamera&, bool back) {
    add("camera:didToggleCameraPosition: " + formatBool(back));
  };
  delegate->didChangeZoomLevel = [add](KivoCamera&, double level, double scale) {
    add("camera:didChangeZoomLevel:zoomScale: " + formatNumber(level) + " " + formatNumber(scale));
  };
  delegate->didTapEndPoint = [add](KivoCamera&, CGPoint p) { add("camera:didTapEndPoint: " + formatPoint(p)); };
  delegate->didPinchEndZoomLevel = [add](KivoCamera&, double level, double scale) {
    add("camera:didPinchEndZoomLevel:zoomScale: " + formatNumber(level) + " " + formatNumber(scale));
  };
  return delegate;
}

template <class R>
std::shared_ptr<R> recognizer(KivoCamera& camera) {
  for (const auto& r : camera.previewView()->gestureRecognizers())
    if (auto found = std::dynamic_pointer_cast<R>(r)) return found;
  return nullptr;
}

void pinchPreview(KivoCamera& camera, State state, double factor) {
  recognizer<UIPinchGestureRecognizer>(camera)->deliverPinch(state, factor, kScreenCentre);
}

class KivoCameraControlsTest : public ::testing::Test {
 protected:
  // World settings (cameras, permission) go before this.
  void launch(const std::function<void(KivoCamera&)>& configure = {}) {
    attach(configure);
    appear();
  }
  void attach(const std::function<void(KivoCamera&)>& configure = {}) {
    world.markControllerCreated();
    camera = KivoCamera::create();
    camera->setDelegate(delegate);
    if (configure) configure(*camera);
    camera->addToController(host);
    world.runUntilIdle();  // the setup, as a host's run loop would before the screen appears
  }
  void appear() {
    host->viewWillAppear(false);
    host->view()->layoutIfNeeded();
    host->viewDidAppear(false);
    world.runUntilIdle();
    world.trace().clear();
  }

  // The camera's view fills the screen, so window and preview points agree.
  void tap(CGPoint point) { recognizer<UITapGestureRecognizer>(*camera)->deliver(State::ended, point); }
  void pinch(State state, double factor) { pinchPreview(*camera, state, factor); }
  std::vector<std::string> runAndTake() {
    world.runUntilIdle();
    return world.trace().take();
  }
  std::shared_ptr<AVCaptureDevice> back() { return world.capture().camera("back-wide"); }
  std::string pointOfInterest() { return formatPoint(world.capture().currentCamera()->focusPointOfInterest()); }
  double zoomFactor() { return world.capture().currentCamera()->videoZoomFactor(); }

  sim::World world;
  std::shared_ptr<KivoCameraDelegateBlocks> delegate = recordingDelegate(world.trace());
  std::shared_ptr<UIViewController> host = UIViewController::create();
  std::shared_ptr<KivoCamera> camera;
};

// --- Focus ---------------------------------------------------------------------------

struct TapCase {
  CGPoint tap;
  CGPoint pointOfInterest;
};

void PrintTo(const TapCase& c, std::ostream* os) { *os << formatPoint(c.tap); }

class KivoCameraControlsTapTest : public KivoCameraControlsTest, public ::testing::WithParamInterface<TapCase> {};

TEST_P(KivoCameraControlsTapTest, ATapFocusesWithThePreviewAxesTurnedAndReportsItsPoint) {
  launch();
  tap(GetParam().tap);
  const auto lines = world.trace().take();  // the tap's callback is not queued
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_THAT(lines[0], StartsWith("platform back-wide setFocusPointOfInterest: "));
  EXPECT_THAT(lines, ElementsAre(lines[0], "platform back-wide setFocusMode: 2 @main",
                                 "platform back-wide setSmoothAutoFocusEnabled: true @main",
                                 "delegate camera:didTapEndPoint: " + formatPoint(GetParam().tap) + " @main"));
  const CGPoint poi = back()->focusPointOfInterest();
  EXPECT_DOUBLE_EQ(poi.x, GetParam().pointOfInterest.x);
  EXPECT_DOUBLE_EQ(poi.y, GetParam().pointOfInterest.y);
  EXPECT_FALSE(camera->focusView()->isHidden()) << "a tap shows the reticle where it focuses";
  EXPECT_EQ(camera->focusView()->center(), GetParam().tap);
  EXPECT_FALSE(back()->isLockedForConfiguration());
}

INSTANTIATE_TEST_SUITE_P(In375x812Preview, KivoCameraControlsTapTest,
                         ::testing::Values(TapCase{{187.5, 406}, {0.5, 0.5}}, TapCase{{0, 0}, {0, 1}},
                                           TapCase{{375, 812}, {1, 0}}, TapCase{{300, 203}, {0.25, 0.2}}),
                         [](const auto& info) { return "At" + std::to_string(info.index); });

TEST_F(KivoCameraControlsTest, FocusingIsHeldExactlyAroundTheFocusCallAlsoWhenTheLockFails) {
  launch();
  std::vector<std::string> seen;  // each line with the motion manager's flag at that moment
  world.trace().setSink([&](std::string_view line) {
    seen.push_back(std::string(line) + (camera->motionManager()->isFocusing() ? " [focusing]" : ""));
  });
  tap({0, 0});
  world.capture().failLock(1);
  tap({10, 10});
  world.trace().setSink(nullptr);
  EXPECT_THAT(seen, ElementsAre("platform back-wide setFocusPointOfInterest: (0, 1) @main [focusing]",
                                "platform back-wide setFocusMode: 2 @main [focusing]",
                                "platform back-wide setSmoothAutoFocusEnabled: true @main [focusing]",
                                "delegate camera:didTapEndPoint: (0, 0) @main",
                                "platform back-wide lockForConfiguration: failed @main [focusing]",
                                R"(event kivo_camera {"code":"10007"} @main [focusing])",
                                R"("[KivoCamera](focus) Error Focus" [focusing])",
                                "delegate camera:didTapEndPoint: (10, 10) @main"));
  EXPECT_FALSE(camera->motionManager()->isFocusing());
  EXPECT_EQ(pointOfInterest(), "(0, 1)") << "unchanged by the failure";
}

TEST_F(KivoCameraControlsTest, FocusAimsAtThePreviewCentreInItsSuperviewUntilAPointIsSet) {
  launch();
  world.advance(1);  // the appearance's focus has settled and its reticle is gone
  // The centre is in the superview's space: (150, 300) in a 200 x 400 preview.
  camera->previewView()->setFrame(CGRectMake(50, 100, 200, 400));
  camera->focusWithAnimated(false);
  EXPECT_EQ(pointOfInterest(), "(0.75, 0.25)");
  EXPECT_TRUE(camera->focusView()->isHidden()) << "no reticle without animation";

  camera->setFocusPoint({100, 100});
  EXPECT_EQ(pointOfInterest(), "(0.75, 0.25)") << "storing focuses nothing";
  camera->focusCenterWithAnimated(false);
  EXPECT_EQ(pointOfInterest(), "(0.75, 0.25)");
  pinch(State::began, 1);
  pinch(State::ended, 1.5);  // every re-focus now aims at the stored point
  EXPECT_EQ(pointOfInterest(), "(0.25, 0.5)");
}

// Shows the reticle, moves the device to (x, -1, 0) g and lets it rest.
struct MoveOutcome {
  bool reticleStopped;  // by the move, well before the camera has focused (0.3 s)
  bool refocused;       // at the preview's centre, after the rest
};

MoveOutcome moveAndRest(sim::World& world, KivoCamera& camera, double x) {
  camera.focusAtPoint({10, 10}, true);
  world.trace().clear();
  world.motion().setAcceleration(x, -1, 0);
  world.advance(0.15);
  const bool stopped = camera.focusView()->isHidden();
  world.advance(1.5);
  const auto lines = world.trace().take();
  const bool refocused = std::ranges::count(lines, "platform back-wide setFocusPointOfInterest: (0.5, 0.5) @main") > 0;
  return {stopped, refocused};
}

TEST_F(KivoCameraControlsTest, RestAfterAMoveRefocusesOnlyOnceTheViewHasAppeared) {
  attach();
  host->viewWillAppear(false);
  host->view()->layoutIfNeeded();
  world.advance(0.2);  // the first samples seed the detector
  const auto before = moveAndRest(world, *camera, 0.5);
  EXPECT_FALSE(before.reticleStopped);
  EXPECT_FALSE(before.refocused);

  host->viewDidAppear(false);
  world.advance(1.0);  // the appearance's focus has settled
  const auto after = moveAndRest(world, *camera, 0);
  EXPECT_TRUE(after.reticleStopped);
  EXPECT_TRUE(after.refocused);
}

TEST_F(KivoCameraControlsTest, TheReticleStopsOnlyOnceTheCameraHasFocused) {
  launch();
  auto focusView = camera->focusView();
  ASSERT_FALSE(focusView->isHidden()) << "the appearance's focus shows it";
  world.capture().setAdjustingFocus(std::nullopt, true);  // reported again while still adjusting
  world.advance(0.25);
  EXPECT_FALSE(focusView->isHidden());
  EXPECT_THAT(focusView->focusImageView()->layer()->animationKeys(), ElementsAre("FocusAnimation"));
  world.advance(0.1);  // settled
  EXPECT_TRUE(focusView->isHidden());
  EXPECT_THAT(focusView->focusImageView()->layer()->animationKeys(), IsEmpty());
}

// --- Zoom ------------------------------------------------------------------------------

struct ZoomCase {
  const char* name;
  double minScale, maxScale;
  std::function<void(KivoCamera&)> zoom;
  const char* deviceCall;  // nullptr: nothing may happen
  double zoomScale;
};

void PrintTo(const ZoomCase& c, std::ostream* os) { *os << c.name; }

class KivoCameraControlsZoomTest : public KivoCameraControlsTest, public ::testing::WithParamInterface<ZoomCase> {};

TEST_P(KivoCameraControlsZoomTest, PublicZoomMapsClampsAndNeverCallsBack) {
  launch([](KivoCamera& c) { c.setZoomScale(1.5); });
  camera->setMinZoomScale(GetParam().minScale);
  camera->setMaxZoomScale(GetParam().maxScale);
  GetParam().zoom(*camera);
  const auto lines = runAndTake();
  if (GetParam().deviceCall) {
    EXPECT_THAT(lines, ElementsAre(std::string("platform back-wide ") + GetParam().deviceCall + " @main"));
  } else {
    EXPECT_THAT(lines, IsEmpty());
  }
  EXPECT_DOUBLE_EQ(camera->zoomScale(), GetParam().zoomScale);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KivoCameraControlsZoomTest,
    ::testing::Values(
        ZoomCase{"HalfLevel", 1, 4, [](KivoCamera& c) { c.zoomWithLevel(0.5); }, "setVideoZoomFactor: 2.5", 2.5},
        ZoomCase{"Scale", 1, 4, [](KivoCamera& c) { c.zoomWithScale(3.0); }, "setVideoZoomFactor: 3", 3},
        ZoomCase{"ScaleAboveMax", 1, 4, [](KivoCamera& c) { c.zoomWithScale(10); }, "setVideoZoomFactor: 4", 4},
        ZoomCase{"ScaleBelowMin", 1, 4, [](KivoCamera& c) { c.zoomWithScale(0.2); }, "setVideoZoomFactor: 1", 1},
        ZoomCase{"NegativeLevel", 1, 4, [](KivoCamera& c) { c.zoomWithLevel(-1); }, "setVideoZoomFactor: 1", 1},
        ZoomCase{"LevelAboveOne", 1, 4, [](KivoCamera& c) { c.zoomWithLevel(7); }, "setVideoZoomFactor: 4", 4},
        ZoomCase{"NeverBelowOne", 0.5, 4, [](KivoCamera& c) { c.zoomWithLevel(0); }, "setVideoZoomFactor: 1", 1},
        ZoomCase{"Animated", 1, 4, [](KivoCamera& c) { c.zoomWithScale(3.0, true); },
                 "rampToVideoZoomFactor:withRate: 3 2", 3},
        ZoomCase{"EqualBounds", 2, 2, [](KivoCamera& c) { c.zoomWithLevel(0.5); }, nullptr, 1.5},
        ZoomCase{"InvertedBounds", 4, 1, [](KivoCamera& c) { c.zoomWithScale(2); }, nullptr, 1.5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(KivoCameraControlsTest, AZoomLockFailureKeepsTheNewScaleAndSkipsTheCallback) {
  launch();
  world.capture().failLock(1);
  pinch(State::began, 1);  // level 0 at 1.0: the refused zoom
  pinch(State::ended, 2);  // the lock works again
  EXPECT_THAT(runAndTake(),
              ElementsAre("platform back-wide lockForConfiguration: failed @main",
                          R"(event kivo_camera {"code":"10010"} @main)", R"("[KivoCamera](zoom) Error Zoom")",
                          "platform back-wide setVideoZoomFactor: 2 @main",
                          "delegate camera:didPinchEndZoomLevel:zoomScale: 0.3333333333333333 2 @main",
                          "platform back-wide setFocusPointOfInterest: (0.5, 0.5) @main",
                          "platform back-wide setFocusMode: 2 @main",
                          "platform back-wide setSmoothAutoFocusEnabled: true @main",
                          "delegate camera:didChangeZoomLevel:zoomScale: 0.3333333333333333 2 @main"));

  world.capture().failLock(1);
  camera->zoomWithScale(3.5);
  EXPECT_EQ(camera->zoomScale(), 3.5) << "stored before the lock";
  EXPECT_EQ(zoomFactor(), 2.0);
}

struct PinchEndCase {
  const char* name;
  State state;
};

void PrintTo(const PinchEndCase& c, std::ostream* os) { *os << c.name; }

class KivoCameraControlsPinchEndTest : public KivoCameraControlsTest,
                                       public ::testing::WithParamInterface<PinchEndCase> {};

TEST_P(KivoCameraControlsPinchEndTest, AnOvershootStaysClampedUntilPinchedBackAndEndsWithALevelAboveOne) {
  launch();
  pinch(State::began, 1);
  pinch(State::changed, 6);  // past 4: clamped
  pinch(State::changed, 5);  // still past 4 after pinching back a little
  pinch(State::changed, 3);
  pinch(GetParam().state, 6);
  EXPECT_THAT(
      world.trace().take(),
      ElementsAre("platform back-wide setVideoZoomFactor: 1 @main", "platform back-wide setVideoZoomFactor: 4 @main",
                  "platform back-wide setVideoZoomFactor: 4 @main", "platform back-wide setVideoZoomFactor: 3 @main",
                  "platform back-wide setVideoZoomFactor: 4 @main",
                  "delegate camera:didPinchEndZoomLevel:zoomScale: 1.6666666666666667 4 @main",
                  StartsWith("platform back-wide setFocusPointOfInterest:"), HasSubstr("setFocusMode: 2"),
                  HasSubstr("setSmoothAutoFocusEnabled: true")));
}

TEST_F(KivoCameraControlsTest, APinchWithoutAZoomRangeEndsAtLevelZero) {
  launch();
  camera->setMinZoomScale(2);
  camera->setMaxZoomScale(2);
  pinch(State::began, 1);
  pinch(State::ended, 3);
  EXPECT_THAT(world.trace().take(), Contains("delegate camera:didPinchEndZoomLevel:zoomScale: 0 1 @main"));
}

INSTANTIATE_TEST_SUITE_P(EndingStates, KivoCameraControlsPinchEndTest,
                         ::testing::Values(PinchEndCase{"ended", State::ended},
                                           PinchEndCase{"cancelled", State::cancelled},
                                           PinchEndCase{"failed", State::failed}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Torch, and controls that cannot act ------------------------------------------------

TEST_F(KivoCameraControlsTest, AFailedTorchIsReportedWithTheRequestAndLeavesTheDeviceUnlocked) {
  launch();
  world.capture().failNextTorch();
  camera->toggleTorch(true);
  EXPECT_THAT(runAndTake(), ElementsAre("platform back-wide setTorchModeOnWithLevel:error: 1 failed @main",
                                        R"(event kivo_camera {"code":"10008"} @main)",
                                        StartsWith(R"("[KivoCamera](torch) Error Domain=)"),
                                        "delegate camera:didChangeTorch: true @main"));
  EXPECT_FALSE(back()->isTorchActive());
  EXPECT_FALSE(back()->isLockedForConfiguration());
}

// Controls that cannot act change nothing on any camera and report nothing
// but, for a tap, the tap itself.
struct NoEffectCase {
  const char* name;
  std::function<void(sim::World&)> world;
  std::function<void(KivoCamera&)> control;
  const char* reported = nullptr;
};

void PrintTo(const NoEffectCase& c, std::ostream* os) { *os << c.name; }

class KivoCameraControlsNoEffectTest : public KivoCameraControlsTest,
                                       public ::testing::WithParamInterface<NoEffectCase> {};

TEST_P(KivoCameraControlsNoEffectTest, ChangesNothingAndReportsAtMostTheTap) {
  if (GetParam().world) GetParam().world(world);
  launch();
  GetParam().control(*camera);
  if (GetParam().reported) {
    EXPECT_THAT(runAndTake(), ElementsAre(std::string("delegate ") + GetParam().reported + " @main"));
  } else {
    EXPECT_THAT(runAndTake(), IsEmpty());
  }
  EXPECT_EQ(camera->flashMode(), 0);
  EXPECT_EQ(camera->cameraPosition(), 1);
  EXPECT_EQ(camera->zoomScale(), 1.0);
  for (const auto& device : world.capture().cameras()) EXPECT_FALSE(device->isLockedForConfiguration());
}

const auto kNoCamera = [](sim::World& w) { w.setNoCameras(); };
const auto kBackWithout = [](bool AVCaptureDeviceDescription::*feature) {
  return [feature](sim::World& w) {
    w.addCamera(sim::camera(AVCaptureDevicePosition::back, sim::CameraType::wide,
                            [feature](auto& d) { d.*feature = false; }));
  };
};
const auto kTap = [](KivoCamera& c) { recognizer<UITapGestureRecognizer>(c)->deliver(State::ended, {100, 100}); };
constexpr const char* kTapped = "camera:didTapEndPoint: (100, 100)";

INSTANTIATE_TEST_SUITE_P(
    Cases, KivoCameraControlsNoEffectTest,
    ::testing::Values(
        NoEffectCase{"TapWithoutPermission", [](sim::World& w) { w.setPermission(AVAuthorizationStatus::denied); },
                     kTap, kTapped},
        NoEffectCase{"TapWithoutDevice", kNoCamera, kTap, kTapped},
        NoEffectCase{"TapWithoutPointOfInterest",
                     kBackWithout(&AVCaptureDeviceDescription::focusPointOfInterestSupported), kTap, kTapped},
        NoEffectCase{"TapWithoutContinuousFocus",
                     kBackWithout(&AVCaptureDeviceDescription::continuousAutoFocusSupported), kTap, kTapped},
        NoEffectCase{"TorchWithoutDevice", kNoCamera, [](KivoCamera& c) { c.toggleTorch(true); }},
        NoEffectCase{"TorchWithoutTorch", kBackWithout(&AVCaptureDeviceDescription::hasTorch),
                     [](KivoCamera& c) { c.toggleTorch(true); }},
        NoEffectCase{"TorchOffTheBackPosition",
                     {},
                     [](KivoCamera& c) {
                       c.setCameraPosition(2);
                       c.toggleTorch(true);
                       c.setCameraPosition(1);
                     }},
        NoEffectCase{"FlashWithoutDevice", kNoCamera, [](KivoCamera& c) { c.toggleFlash(2); }},
        NoEffectCase{"FlashWithoutFlash", kBackWithout(&AVCaptureDeviceDescription::hasFlash),
                     [](KivoCamera& c) { c.toggleFlash(2); }},
        NoEffectCase{"ZoomWithoutDevice", kNoCamera, [](KivoCamera& c) { c.zoomWithLevel(0.5); }},
        NoEffectCase{"PinchWithPinchToZoomOff",
                     {},
                     [](KivoCamera& c) {
                       c.setShouldPinchToZoom(false);
                       pinchPreview(c, State::began, 1);
                       pinchPreview(c, State::ended, 2);
                     }},
        NoEffectCase{"SwitchToTheCurrentCamera", {}, [](KivoCamera& c) { c.toggleCameraPosition(true); }},
        NoEffectCase{"FocusOnAPreviewWithoutArea", {},
                     [](KivoCamera& c) {
                       c.previewView()->setFrame(CGRectMake(0, 0, 0, 0));
                       c.focusAtPoint({10, 10}, true);
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Flash -----------------------------------------------------------------------------

TEST_F(KivoCameraControlsTest, FlashIsStoredUncheckedAndTheCallbackReadsItWhenItRuns) {
  launch();
  camera->toggleFlash(2);
  EXPECT_EQ(camera->flashMode(), 2);
  EXPECT_THAT(world.trace().take(), IsEmpty()) << "the device is not configured and the callback waits";
  EXPECT_THAT(runAndTake(), ElementsAre("delegate camera:didChangeFlashMode: 2 @main"));
  camera->toggleFlash(7);
  camera->setFlashMode(1);
  EXPECT_THAT(runAndTake(), ElementsAre("delegate camera:didChangeFlashMode: 1 @main"));
}

// --- Camera switch ------------------------------------------------------------------------

TEST_F(KivoCameraControlsTest, ARebuildThatFailsStillCommitsAndReportsButDoesNotStart) {
  launch();
  camera->toggleCameraPosition(false);
  world.capture().failLock(1);  // the rebuild's device configuration
  const auto lines = runAndTake();
  EXPECT_THAT(lines, Contains(R"(event kivo_camera {"code":"10001"} @com.kivocamera.session.queue)"));
  EXPECT_THAT(lines, Contains("platform session addInput: front-wide " + kSession)) << "later steps still run";
  EXPECT_THAT(lines, Contains("delegate camera:didToggleCameraPosition: false @main"));
  EXPECT_THAT(lines, Not(Contains(HasSubstr("startRunning"))));
  EXPECT_EQ(camera->sessionSetupResult(), SessionSetupResult::configurationFailed);
}

// Each control's callback is the last thing queued that holds the controller.
struct ReleaseCase {
  const char* name;
  std::function<void(KivoCamera&)> control;
  const char* callback;
};

void PrintTo(const ReleaseCase& c, std::ostream* os) { *os << c.name; }

class KivoCameraControlsReleaseTest : public KivoCameraControlsTest,
                                      public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(KivoCameraControlsReleaseTest, AQueuedCallbackKeepsAReleasedControllerUntilItHasRun) {
  launch();
  GetParam().control(*camera);
  camera->removeFromParentViewController();
  camera->view()->removeFromSuperview();
  std::weak_ptr<KivoCamera> watch = camera;
  camera.reset();
  world.trace().clear();
  EXPECT_THAT(runAndTake(), Contains(std::string("delegate ") + GetParam().callback + " @main"));
  EXPECT_TRUE(watch.expired());
}

INSTANTIATE_TEST_SUITE_P(
    Controls, KivoCameraControlsReleaseTest,
    ::testing::Values(ReleaseCase{"Flash", [](KivoCamera& c) { c.toggleFlash(2); }, "camera:didChangeFlashMode: 2"},
                      ReleaseCase{"Torch", [](KivoCamera& c) { c.toggleTorch(true); }, "camera:didChangeTorch: true"},
                      ReleaseCase{"Switch", [](KivoCamera& c) { c.toggleCameraPosition(false); },
                                  "camera:didToggleCameraPosition: false"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
