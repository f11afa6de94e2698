// Whole lifecycles of an embedded controller on the simulated platform,
// checked against the trace: permission outcomes, the setup pipeline and its
// failures, starting and stopping, notifications, the idle timer, layout and
// ownership. Expected traces are written from the documented behaviour.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "AVFoundation/AVCaptureSession.h"
#include "Foundation/NotificationCenter.h"
#include "KivoCamera.h"
#include "KivoPreviewView.h"
#include "UIKit/UIAlertController.h"
#include "UIKit/UIApplication.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

constexpr const char* kSession = "@com.kivocamera.session.queue";

class KivoCameraLifecycleTest : public ::testing::Test {
 protected:
  sim::World world;
  std::shared_ptr<UIViewController> host = UIViewController::create();
  std::shared_ptr<KivoCamera> camera;

  void SetUp() override { host->view(); }

  std::shared_ptr<KivoCamera> attach(std::function<void(KivoCamera&)> configure = nullptr) {
    camera = KivoCamera::create();
    world.markControllerCreated();
    if (configure) configure(*camera);
    camera->addToController(host);
    world.runUntilIdle();
    return camera;
  }
  void appear() {
    host->viewWillAppear(false);
    host->view()->layoutIfNeeded();
    host->viewDidAppear(false);
    world.runUntilIdle();
  }
  void disappear() {
    host->viewWillDisappear(false);
    host->viewDidDisappear(false);
    world.runUntilIdle();
  }
  std::vector<std::string> take() { return world.trace().take(); }
  static std::vector<std::string> matching(const std::vector<std::string>& lines, std::string_view needle) {
    std::vector<std::string> out;
    for (const auto& line : lines)
      if (line.find(needle) != std::string::npos) out.push_back(line);
    return out;
  }
  static std::string at(std::string line, const char* queue) { return line + " " + queue; }
};

// --- Authorised ---------------------------------------------------------------------

TEST_F(KivoCameraLifecycleTest, AuthorisedSetupStartsAtAppearanceAndStopsAtDisappearance) {
  attach();
  EXPECT_THAT(take(), ElementsAre(
      R"(event kivo_camera {"status":"0"} @main)",
      at("platform session beginConfiguration", kSession),
      R"("[KivoCamera] AVCaptureDeviceTypeBuiltInWideAngleCamera minimumFocusDistance: 120")",
      at("platform session setSessionPreset: AVCaptureSessionPresetPhoto", kSession),
      at("platform back-wide setFocusMode: 2", kSession),
      at("platform back-wide setSmoothAutoFocusEnabled: true", kSession),
      at("platform back-wide setExposureMode: 2", kSession),
      at("platform back-wide setWhiteBalanceMode: 2", kSession),
      at("platform back-wide setAutomaticallyEnablesLowLightBoostWhenAvailable: true", kSession),
      at("platform session addInput: back-wide", kSession),
      at("platform session addOutput: photo", kSession),
      at("platform photo-output setHighResolutionCaptureEnabled: true", kSession),
      at("platform photo-output setLivePhotoCaptureEnabled: true", kSession),
      at("platform session commitConfiguration", kSession),
      at(R"(event kivo_camera {"mode":"AVCaptureSessionPresetPhoto","step":"launch","time":0})", kSession)));
  EXPECT_EQ(camera->sessionSetupResult(), SessionSetupResult::success);
  appear();
  // The preview is centred on a 375 x 812 screen: its centre focuses (0.5, 0.5).
  EXPECT_THAT(take(), ElementsAre("platform application setIdleTimerDisabled: true @main",
                                  "platform back-wide setFocusPointOfInterest: (0.5, 0.5) @main",
                                  "platform back-wide setFocusMode: 2 @main",
                                  "platform back-wide setSmoothAutoFocusEnabled: true @main",
                                  at("platform session startRunning", kSession)));
  EXPECT_TRUE(camera->session()->isRunning());
  EXPECT_TRUE(camera->isViewDidAppear());
  disappear();
  EXPECT_THAT(take(), ElementsAre("platform application setIdleTimerDisabled: false @main",
                                  at("platform session stopRunning", kSession)));
  EXPECT_FALSE(camera->isViewDidAppear());
}

TEST_F(KivoCameraLifecycleTest, ThePreviewIsHiddenBetweenWillAppearAndDidAppear) {
  attach();
  host->viewWillAppear(false);
  EXPECT_TRUE(camera->previewView()->isHidden());
  world.runUntilIdle();  // the start and its preview check run in between
  EXPECT_THAT(take(), Contains(R"(event kivo_camera {"code":"10013","step":"startSession"} @main)"));
  host->viewDidAppear(false);
  EXPECT_FALSE(camera->previewView()->isHidden());
}

// --- Permission -------------------------------------------------------------------------

class KivoCameraRefusedTest : public KivoCameraLifecycleTest,
                              public ::testing::WithParamInterface<AVAuthorizationStatus> {};

TEST_P(KivoCameraRefusedTest, NoConfigurationAndThePromptAtEveryAppearanceWhenAsked) {
  world.setPermission(GetParam());
  attach([](KivoCamera& c) { c.setShouldPromptToAppSettings(true); });
  EXPECT_THAT(take(), ElementsAre(R"(event kivo_camera {"status":"1"} @main)"));
  EXPECT_EQ(camera->sessionSetupResult(), SessionSetupResult::unauthorized);
  for (int appearance = 0; appearance < 2; ++appearance) {
    appear();
    const auto lines = take();
    EXPECT_THAT(matching(lines, "presentViewController:"), ::testing::SizeIs(1)) << "appearance " << appearance;
    EXPECT_THAT(matching(lines, "startRunning"), IsEmpty());
    auto alert = std::dynamic_pointer_cast<UIAlertController>(camera->presentedViewController());
    ASSERT_NE(alert, nullptr);
    alert->tapActionWithStyle(UIAlertActionStyle::cancel);
    disappear();
    EXPECT_THAT(matching(take(), "stopRunning"), IsEmpty()) << "no stop after a failed setup";
  }
}

TEST_P(KivoCameraRefusedTest, WithoutThePromptNothingHappensAtAppearance) {
  world.setPermission(GetParam());
  attach();
  take();
  appear();
  EXPECT_THAT(take(), ElementsAre("platform application setIdleTimerDisabled: true @main"));
}

INSTANTIATE_TEST_SUITE_P(DeniedAndRestricted, KivoCameraRefusedTest,
                         ::testing::Values(AVAuthorizationStatus::denied, AVAuthorizationStatus::restricted));

TEST_F(KivoCameraLifecycleTest, AnOpenPermissionRequestHoldsBackTheSessionQueueUntilGranted) {
  world.setPermission(AVAuthorizationStatus::notDetermined);
  attach();
  appear();
  const auto before = take();
  EXPECT_THAT(matching(before, kSession), IsEmpty()) << "nothing on the session queue before the answer";
  EXPECT_TRUE(world.capture().hasOpenPermissionRequest());
  world.capture().answerPermissionRequest(true);
  world.runUntilIdle();
  const auto after = take();
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.front(), R"(event kivo_camera {"status":"0"} @com.kivocamera.platform.permission)");
  EXPECT_THAT(after, Contains(at("platform session commitConfiguration", kSession)));
  EXPECT_EQ(after.back(), at("platform session startRunning", kSession)) << "the appearance step ran after setup";
}

TEST_F(KivoCameraLifecycleTest, ARefusedRequestEndsUnauthorisedWithoutConfiguration) {
  world.setPermission(AVAuthorizationStatus::notDetermined);
  attach();
  world.capture().answerPermissionRequest(false);
  world.runUntilIdle();
  EXPECT_THAT(take(), ElementsAre(R"(event kivo_camera {"status":"1"} @com.kivocamera.platform.permission)"));
  EXPECT_EQ(camera->sessionSetupResult(), SessionSetupResult::unauthorized);
}

// --- Configuration failures ----------------------------------------------------------------

struct FailureCase {
  const char* name;
  std::function<void(sim::World&)> inject;
  const char* event;
  const char* line;
};

void PrintTo(const FailureCase& failure, std::ostream* os) { *os << failure.name; }

class KivoCameraSetupFailureTest : public KivoCameraLifecycleTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(KivoCameraSetupFailureTest, ReportsCommitsStillTimesAndReportsConfigFailedAtEveryAppearance) {
  GetParam().inject(world);
  attach();
  const auto lines = take();
  const auto eventLine = at(std::string(R"(event kivo_camera {"code":")") + GetParam().event + "\"}", kSession);
  const auto failure = std::find(lines.begin(), lines.end(), eventLine);
  ASSERT_NE(failure, lines.end()) << eventLine;
  ASSERT_LT(failure + 2, lines.end());
  EXPECT_EQ(*(failure + 1), GetParam().line) << "the log line follows its event";
  EXPECT_EQ(*(failure + 2), at("platform session commitConfiguration", kSession)) << "the failing step commits";
  EXPECT_EQ(lines.back(),
            at(R"(event kivo_camera {"mode":"AVCaptureSessionPresetPhoto","step":"launch","time":0})", kSession));
  EXPECT_EQ(matching(lines, "commitConfiguration").size(), 2u) << "and the closing commit follows";
  EXPECT_EQ(camera->sessionSetupResult(), SessionSetupResult::configurationFailed);
  for (int appearance = 0; appearance < 2; ++appearance) {
    appear();
    EXPECT_THAT(take(), ElementsAre("platform application setIdleTimerDisabled: true @main",
                                    R"(event kivo_camera {"code":"10000"} @main)", "\"[KivoCamera](configFailed)\""));
    disappear();
    EXPECT_THAT(take(), ElementsAre("platform application setIdleTimerDisabled: false @main"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, KivoCameraSetupFailureTest,
    ::testing::Values(
        FailureCase{"NoCamera", [](sim::World& w) { w.setNoCameras(); }, "10002",
                    R"("[KivoCamera](videoDevice) Default video device is unavailable.")"},
        FailureCase{"Lock", [](sim::World& w) { w.capture().failLock(1); }, "10001",
                    R"("[KivoCamera](lockingConfiguration) Error locking configuration.")"},
        FailureCase{"InputCreation", [](sim::World& w) { w.capture().failNextDeviceInput(); }, "10003",
                    R"("[KivoCamera](videoDeviceInput) Couldn\'t create video device input: Error Domain=AVFoundationErrorDomain Code=-11814 \"Cannot use back-wide\"")"},
        FailureCase{"InputRefused", [](sim::World& w) { w.capture().setRefusesInputs(true); }, "10004",
                    R"("[KivoCamera](addVideoDeviceInput) Couldn\'t add video device input to the session.")"},
        FailureCase{"PhotoOutputRefused", [](sim::World& w) { w.capture().setRefusesPhotoOutput(true); }, "10006",
                    R"("[KivoCamera](addPhotoOutput) Could not add photo output to the session.")"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(KivoCameraLifecycleTest, WithoutACameraTheDeviceLineSaysNilAndThePhotoOutputIsStillAdded) {
  world.setNoCameras();
  attach();
  const auto lines = take();
  EXPECT_THAT(lines, Contains(R"("[KivoCamera] nil minimumFocusDistance: 0")"));
  EXPECT_THAT(lines, Contains(at("platform session addOutput: photo", kSession)));
  EXPECT_THAT(matching(lines, "addInput"), IsEmpty());
  EXPECT_EQ(camera->videoDevice(), nullptr);
}

TEST_F(KivoCameraLifecycleTest, BeforePlatformVersion15ThereIsNoDeviceLine) {
  world.setPlatformVersion(14);
  attach();
  EXPECT_THAT(matching(take(), "minimumFocusDistance"), IsEmpty());
}

// --- Presets, cameras, colour spaces ---------------------------------------------------------

struct MemoryCase {
  std::optional<std::uint64_t> bytes;
  const char* preset;
  bool highResolutionKept;
};

void PrintTo(const MemoryCase& memory, std::ostream* os) {
  if (memory.bytes) *os << *memory.bytes << " bytes free";
  else *os << "free memory unknown";
}

class KivoCameraAutoResolutionTest : public KivoCameraLifecycleTest,
                                     public ::testing::WithParamInterface<MemoryCase> {};

TEST_P(KivoCameraAutoResolutionTest, ChoosesThePresetFromFreeMemory) {
  if (GetParam().bytes)
    world.setMemory(*GetParam().bytes);
  else
    world.setMemoryUnavailable();
  attach([](KivoCamera& c) {
    c.setShouldUseAutoResolution(true);
    c.setShouldHighResolutionPhotoEnabled(true);
    c.setSessionPreset("AVCaptureSessionPreset640x480");
  });
  EXPECT_EQ(camera->sessionPreset(), GetParam().preset);
  EXPECT_EQ(camera->session()->sessionPreset(), GetParam().preset);
  EXPECT_EQ(camera->shouldHighResolutionPhotoEnabled(), GetParam().highResolutionKept);
}

INSTANTIATE_TEST_SUITE_P(AroundSevenHundredMiB, KivoCameraAutoResolutionTest,
                         ::testing::Values(MemoryCase{734003200, "AVCaptureSessionPresetPhoto", true},
                                           MemoryCase{734003199, "AVCaptureSessionPreset1920x1080", false},
                                           MemoryCase{std::nullopt, "AVCaptureSessionPresetPhoto", true}));

TEST_F(KivoCameraLifecycleTest, AnUnsupportedPresetGivesThePhotoPresetButTheTimingReportsTheOneAskedFor) {
  world.addCamera(sim::camera(AVCaptureDevicePosition::back, sim::CameraType::wide, [](auto& d) {
    d.supportedSessionPresets = {std::string(AVCaptureSessionPresetPhoto), std::string(AVCaptureSessionPresetHigh)};
  }));
  attach([](KivoCamera& c) { c.setSessionPreset("AVCaptureSessionPreset1920x1080"); });
  const auto lines = take();
  EXPECT_THAT(lines, Contains(at("platform session setSessionPreset: AVCaptureSessionPresetPhoto", kSession)));
  EXPECT_EQ(lines.back(),
            at(R"(event kivo_camera {"mode":"AVCaptureSessionPreset1920x1080","step":"launch","time":0})", kSession));
  EXPECT_EQ(camera->sessionPreset(), "AVCaptureSessionPreset1920x1080");
}

struct MultiCameraCase {
  std::vector<std::pair<AVCaptureDevicePosition, sim::CameraType>> cameras;
  bool multi;
  std::int64_t position;
  const char* chosen;
};

void PrintTo(const MultiCameraCase& choice, std::ostream* os) { *os << choice.chosen; }

class KivoCameraChoiceTest : public KivoCameraLifecycleTest, public ::testing::WithParamInterface<MultiCameraCase> {};

constexpr auto kBack = AVCaptureDevicePosition::back;
constexpr auto kFront = AVCaptureDevicePosition::front;
constexpr auto kWide = sim::CameraType::wide;
constexpr auto kDual = sim::CameraType::dual;
constexpr auto kTriple = sim::CameraType::triple;

TEST_P(KivoCameraChoiceTest, PicksTheCameraByPositionAndPreference) {
  for (const auto& [position, type] : GetParam().cameras) world.addCamera(sim::camera(position, type));
  attach([](KivoCamera& c) {
    c.setShouldAutoUseMultiCamera(GetParam().multi);
    c.setCameraPosition(GetParam().position);
  });
  ASSERT_NE(camera->videoDevice(), nullptr);
  EXPECT_EQ(camera->videoDevice()->uniqueID(), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, KivoCameraChoiceTest,
    ::testing::Values(MultiCameraCase{{{kBack, kWide}, {kBack, kDual}}, true, 1, "back-dual"},
                      MultiCameraCase{{{kBack, kWide}, {kBack, kDual}, {kBack, kTriple}}, true, 1, "back-triple"},
                      MultiCameraCase{{{kBack, kWide}, {kBack, kDual}}, false, 1, "back-wide"},
                      MultiCameraCase{{{kBack, kWide}}, true, 1, "back-wide"},
                      MultiCameraCase{{{kBack, kWide}, {kFront, kWide}}, false, 0, "back-wide"},
                      MultiCameraCase{{{kBack, kWide}, {kFront, kWide}}, true, 2, "front-wide"}));

TEST_F(KivoCameraLifecycleTest, AnActiveColourSpaceOutsideTheFormatIsReportedAndSetupGoesOn) {
  world.addCamera(sim::camera(AVCaptureDevicePosition::back, sim::CameraType::wide, [](auto& d) {
    d.supportedColorSpaces = {0, 1};
    d.activeColorSpace = 2;
  }));
  attach();
  EXPECT_THAT(take(), Contains(at(R"(event kivo_camera {"code":"30000","content":"{\"ActiveColorSpace\":\"2\",\"SupportedColorSpaces\":\"0,1\"}"})",
                                  kSession)));
  EXPECT_EQ(camera->sessionSetupResult(), SessionSetupResult::success);
}

// --- Notifications -------------------------------------------------------------------------------

TEST_F(KivoCameraLifecycleTest, RuntimeErrorsAreLoggedThenReportedAndMalformedOnesIgnored) {
  attach();
  appear();
  take();
  world.capture().postRuntimeErrorWithoutUserInfo();
  world.capture().postRuntimeErrorWithoutError();
  world.capture().postRuntimeErrorWithValue("not an error");
  world.capture().postRuntimeError(-11819, std::string("OtherDomain"));
  world.runUntilIdle();
  EXPECT_THAT(take(), IsEmpty());
  world.capture().postRuntimeError();
  world.runUntilIdle();
  EXPECT_THAT(take(),
              ElementsAre(R"("[KivoCamera](sessionRuntimeError) Capture session runtime error: Error Domain=AVFoundationErrorDomain Code=-11800 \"The operation could not be completed\"")",
                          R"(event kivo_camera {"code":"20000","content":"-11800"} @com.kivocamera.platform.session)"));
  EXPECT_TRUE(camera->session()->isRunning()) << "no recovery is attempted";
}

TEST_F(KivoCameraLifecycleTest, InterruptionsNeedANumericReasonAndTheirEndIsAlwaysReported) {
  attach();
  appear();
  take();
  world.capture().postInterrupted();
  world.capture().postInterrupted(std::string("soon"));
  world.runUntilIdle();
  EXPECT_THAT(take(), IsEmpty());
  world.capture().postInterrupted(NSNumber(std::int64_t{3}));
  world.capture().postInterruptionEnded();
  world.runUntilIdle();
  EXPECT_THAT(take(),
              ElementsAre(R"("[KivoCamera](sessionWasInterrupted) Capture session was interrupted with reason 3")",
                          R"(event kivo_camera {"code":"20001","content":"3"} @com.kivocamera.platform.session)",
                          R"(event kivo_camera {"code":"20002"} @com.kivocamera.platform.session)",
                          R"("[KivoCamera](sessionInterruptionEnded) Capture session interruption ended")"));
}

TEST_F(KivoCameraLifecycleTest, ObserversAreAddedOncePerAppearanceAndRemovedAtDisappearance) {
  attach();
  appear();
  disappear();
  appear();
  take();
  world.capture().postInterruptionEnded();
  world.runUntilIdle();
  EXPECT_EQ(matching(take(), "20002").size(), 1u);
  disappear();
  take();
  world.capture().postInterruptionEnded();
  world.runUntilIdle();
  EXPECT_THAT(take(), IsEmpty());
}

TEST_F(KivoCameraLifecycleTest, BackgroundStopsForegroundRestartsUnlessKeptStopped) {
  attach();
  appear();
  take();
  world.notifyWillResignActive();
  world.runUntilIdle();
  EXPECT_THAT(take(), ElementsAre(at("platform session stopRunning", kSession)));
  camera->setShouldKeepSessionStopping(true);
  world.notifyBecameActive();
  world.runUntilIdle();
  EXPECT_THAT(take(), IsEmpty());
  camera->startSession();
  EXPECT_FALSE(camera->shouldKeepSessionStopping());
  world.runUntilIdle();
  EXPECT_THAT(take(), ElementsAre(at("platform session startRunning", kSession)));
  camera->startSession();  // already running: nothing, not even a preview check
  world.notifyWillResignActive();
  world.notifyBecameActive();
  world.runUntilIdle();
  EXPECT_THAT(take(), ElementsAre(at("platform session stopRunning", kSession),
                                  at("platform session startRunning", kSession)));
}

TEST_F(KivoCameraLifecycleTest, KeptStoppedTheAppearanceDoesNotStartTheSession) {
  attach([](KivoCamera& c) { c.setShouldKeepSessionStopping(true); });
  appear();
  EXPECT_THAT(matching(take(), "startRunning"), IsEmpty());
}

// --- Idle timer, layout, ownership ------------------------------------------------------------------

class KivoCameraIdleTimerTest : public KivoCameraLifecycleTest, public ::testing::WithParamInterface<bool> {};

TEST_P(KivoCameraIdleTimerTest, IsDisabledWhileShownAndRestoredAfterwards) {
  world.setIdleTimerDisabled(GetParam());
  attach();
  appear();
  EXPECT_TRUE(UIApplication::shared().isIdleTimerDisabled());
  disappear();
  EXPECT_EQ(UIApplication::shared().isIdleTimerDisabled(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(EitherWay, KivoCameraIdleTimerTest, ::testing::Bool());

TEST_F(KivoCameraLifecycleTest, APointControllerForcesItsFrameAtEveryLayout) {
  camera = KivoCamera::createWithPoint({10, 20});
  EXPECT_EQ(camera->previewView()->frame(), CGRectZero) << "made inside the initialiser, before the frame";
  camera->addToController(host);
  world.runUntilIdle();
  host->view()->layoutIfNeeded();
  const CGRect expected = CGRectMake(10, 20, 355, 355.0 / 3 * 4);
  EXPECT_EQ(camera->view()->frame(), expected);
  EXPECT_EQ(camera->previewView()->frame(), CGRectMake(0, 0, 355, 355.0 / 3 * 4));
  EXPECT_EQ(camera->captureAnimationView()->frame(), camera->previewView()->frame());
  camera->view()->setFrame(CGRectMake(0, 0, 100, 100));  // the host moves it
  host->view()->layoutIfNeeded();
  EXPECT_EQ(camera->view()->frame(), expected);
}

TEST_F(KivoCameraLifecycleTest, WithoutAPointTheControllerNeverSetsItsOwnFrame) {
  attach();
  camera->view()->setFrame(CGRectMake(5, 5, 200, 300));
  host->view()->layoutIfNeeded();
  EXPECT_EQ(camera->view()->frame(), CGRectMake(5, 5, 200, 300));
  EXPECT_EQ(camera->previewView()->frame(), CGRectMake(0, 0, 200, 300));
}

TEST_F(KivoCameraLifecycleTest, AReleasedControllerIsDestroyedOnceItsQueuedWorkHasRun) {
  attach();
  appear();
  std::weak_ptr<KivoCamera> watch = camera;
  host->viewWillDisappear(false);  // queues the stop, holding the controller
  host->viewDidDisappear(false);
  camera->removeFromParentViewController();
  camera->view()->removeFromSuperview();
  camera.reset();
  EXPECT_FALSE(watch.expired()) << "queued work still holds it";
  world.runUntilIdle();
  world.advance(1);
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(NotificationCenter::defaultCenter().registrationCount(), 0u);
}

TEST_F(KivoCameraLifecycleTest, OddOrdersOfHostCallsDoNotBreakAnything) {
  camera = KivoCamera::create();
  camera->startSession();  // before the view loads: queued, then ignored until setup
  camera->stopSession();
  camera->addToController(host);
  host->viewDidDisappear(false);  // disappear before appear
  appear();
  appear();  // twice
  world.runUntilIdle();
  EXPECT_TRUE(camera->session()->isRunning());
  disappear();
  disappear();
  EXPECT_FALSE(camera->session()->isRunning());
}

}  // namespace
