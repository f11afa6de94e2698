// An embedded controller's setup and lifecycle on the simulated platform:
// each failing setup step on its own, the preset and camera choices at their
// boundaries, layout without a point, ownership and odd orders of host calls.
// Whole lifecycles, permission outcomes and notifications are checked line by
// line by the scenario traces (lifecycle, permission-*, notifications,
// camera-choices, create-at, no-camera).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "AVFoundation/AVCaptureSession.h"
#include "Foundation/NotificationCenter.h"
#include "KivoCamera.h"
#include "KivoPreviewView.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"

using ::testing::ElementsAre;

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

// --- Presets and cameras ---------------------------------------------------------

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

// --- Layout and ownership ------------------------------------------------------------------

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
