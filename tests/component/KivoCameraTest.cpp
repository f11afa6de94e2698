// The controller on the simulated platform where the scenario traces do not
// reach: the preset and camera choices at their boundaries, layout without a
// point, host calls in orders the host screen refuses, the preview check's
// findings, and a controller held past its world.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "AVFoundation/AVCaptureSession.h"
#include "Foundation/NotificationCenter.h"
#include "KivoCamera.h"
#include "KivoCameraInspector.h"
#include "KivoMotionManager.h"
#include "KivoPreviewView.h"
#include "sim/World.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class KivoCameraTest : public ::testing::Test {
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
};

// --- Presets and cameras ---------------------------------------------------------

// A fresh world with `configureWorld`, and a controller configured and loaded in it.
template <class World, class Camera>
std::shared_ptr<KivoCamera> loadedIn(sim::World& world, World configureWorld, Camera configureCamera) {
  configureWorld(world);
  auto camera = KivoCamera::create();
  configureCamera(*camera);
  camera->view();  // the setup
  world.runUntilIdle();
  return camera;
}

// 700 MiB of free memory or more keeps the photo preset and high resolution.
TEST(KivoCameraAutoResolutionTest, ChoosesThePresetFromFreeMemoryAtTheThreshold) {
  for (const auto& [bytes, preset, highResolution] : {std::tuple{734003200ull, "AVCaptureSessionPresetPhoto", true},
                                                      std::tuple{734003199ull, "AVCaptureSessionPreset1920x1080", false}}) {
    sim::World world;
    const auto camera = loadedIn(world, [&](sim::World& w) { w.setMemory(bytes); }, [](KivoCamera& c) {
      c.setShouldUseAutoResolution(true);
      c.setShouldHighResolutionPhotoEnabled(true);
      c.setSessionPreset("AVCaptureSessionPreset640x480");
    });
    EXPECT_EQ(KivoCameraInspector::session(*camera)->sessionPreset(), preset) << bytes;
    EXPECT_EQ(camera->shouldHighResolutionPhotoEnabled(), highResolution) << bytes;
  }
}

TEST(KivoCameraChoiceTest, PicksTheCameraByPositionAndPreference) {
  using P = AVCaptureDevicePosition;
  using T = sim::CameraType;
  struct Choice {
    std::vector<std::pair<P, T>> cameras;
    bool multi;
    std::int64_t position;
    const char* chosen;
  };
  for (const auto& [cameras, multi, position, chosen] :
       {Choice{{{P::back, T::wide}, {P::back, T::dual}}, true, 1, "back-dual"},
        Choice{{{P::back, T::wide}}, true, 1, "back-wide"},
        Choice{{{P::back, T::wide}, {P::front, T::wide}}, false, 0, "back-wide"},
        Choice{{{P::back, T::wide}, {P::front, T::wide}}, true, 2, "front-wide"}}) {
    sim::World world;
    const auto camera = loadedIn(
        world, [&](sim::World& w) { for (const auto& [p, t] : cameras) w.addCamera(sim::camera(p, t)); },
        [&](KivoCamera& c) {
          c.setShouldAutoUseMultiCamera(multi);
          c.setCameraPosition(position);
        });
    ASSERT_NE(KivoCameraInspector::videoDevice(*camera), nullptr) << chosen;
    EXPECT_EQ(KivoCameraInspector::videoDevice(*camera)->uniqueID(), chosen);
  }
}

// --- Geometry, layout and ownership ------------------------------------------------------

TEST_F(KivoCameraTest, WithoutAPointTheControllerNeverSetsItsOwnFrame) {
  attach();
  camera->view()->setFrame(CGRectMake(5, 5, 200, 300));
  host->view()->layoutIfNeeded();
  EXPECT_EQ(camera->view()->frame(), CGRectMake(5, 5, 200, 300));
  EXPECT_EQ(camera->previewView()->frame(), CGRectMake(0, 0, 200, 300));
}

TEST_F(KivoCameraTest, OddOrdersOfHostCallsDoNotBreakAnything) {
  camera = KivoCamera::create();
  camera->startSession();  // before the view loads: queued, then ignored until setup
  camera->stopSession();
  camera->addToController(host);
  host->viewDidDisappear(false);  // disappear before appear
  appear();
  appear();  // twice
  world.runUntilIdle();
  EXPECT_TRUE(KivoCameraInspector::session(*camera)->isRunning());
  disappear();
  disappear();
  EXPECT_FALSE(KivoCameraInspector::session(*camera)->isRunning());
}

// --- Preview check ----------------------------------------------------------------

// The scenario traces reach the hidden view and preview (10012, 10013) only.
TEST_F(KivoCameraTest, ThePreviewCheckReportsEachFindingOnTheMainQueue) {
  camera = KivoCamera::create();
  camera->view();  // builds the preview bound to the session
  auto preview = camera->previewView();
  world.runUntilIdle();
  world.trace().clear();
  preview->setHidden(true);
  preview->setSession(nullptr);
  KivoCameraInspector::checkPreview(*camera, KivoCameraPerfomanceStep::startSession);
  world.runUntilIdle();  // the check reads the views when it runs
  camera->setPreviewView(nullptr);
  KivoCameraInspector::checkPreview(*camera, KivoCameraPerfomanceStep::capture);
  world.runUntilIdle();
  EXPECT_THAT(world.trace().take(),
              ElementsAre(R"(event kivo_camera {"code":"10013","step":"startSession"} @main)",
                          R"(event kivo_camera {"code":"10015","step":"startSession"} @main)",
                          R"(event kivo_camera {"code":"10014","step":"capture"} @main)"));
}

#ifndef NDEBUG
class WrongLayerPreview : public KivoPreviewView {
 public:
  using KivoPreviewView::KivoPreviewView;

 protected:
  std::shared_ptr<CALayer> makeLayer() const override { return CALayer::layer(); }
};

TEST(KivoPreviewViewDeathTest, ALayerOfTheWrongClassIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        WrongLayerPreview preview(CGRectZero, "AVLayerVideoGravityResize");
        (void)preview.previewLayer();
      },
      "Expected `AVCaptureVideoPreviewLayer` type for layer. Check PreviewView.layerClass implementation.");
}
#endif

// --- A controller held past its world ------------------------------------------------

struct LeftoverCall {
  const char* name;
  std::function<void(KivoCamera&)> call;
};

void PrintTo(const LeftoverCall& c, std::ostream* os) { *os << c.name; }

class KivoCameraPastItsWorldTest : public ::testing::TestWithParam<LeftoverCall> {};

// The host still holds a shown controller when its world is torn down; every
// public operation then does nothing harmful, and the controller goes when
// the host lets go.
TEST_P(KivoCameraPastItsWorldTest, AnOperationDoesNothingAndTheControllerStillGoes) {
  std::shared_ptr<KivoCamera> camera;
  auto host = UIViewController::create();
  {
    sim::World world;
    host->view();
    camera = KivoCamera::create();
    camera->addToController(host);
    host->viewWillAppear(false);
    host->view()->layoutIfNeeded();
    host->viewDidAppear(false);
    world.runUntilIdle();
    ASSERT_TRUE(KivoCameraInspector::session(*camera)->isRunning());
  }
  GetParam().call(*camera);
  camera->removeFromParentViewController();
  camera->view()->removeFromSuperview();
  std::weak_ptr<KivoCamera> watch = camera;
  camera.reset();
  EXPECT_TRUE(watch.expired());
}

INSTANTIATE_TEST_SUITE_P(
    Operations, KivoCameraPastItsWorldTest,
    ::testing::Values(LeftoverCall{"capturePhoto", [](KivoCamera& c) { c.capturePhoto(); }},
                      LeftoverCall{"capturePhotoAnimation", [](KivoCamera& c) { c.capturePhotoAnimation(); }},
                      LeftoverCall{"toggleTorch", [](KivoCamera& c) { c.toggleTorch(true); }},
                      LeftoverCall{"toggleFlash", [](KivoCamera& c) { c.toggleFlash(1); }},
                      LeftoverCall{"toggleCameraPosition", [](KivoCamera& c) { c.toggleCameraPosition(false); }},
                      LeftoverCall{"zoomWithScale", [](KivoCamera& c) { c.zoomWithScale(2, true); }},
                      LeftoverCall{"focusAtPoint", [](KivoCamera& c) { c.focusAtPoint({10, 10}, true); }},
                      LeftoverCall{"setExposureTargetBias", [](KivoCamera& c) { c.setExposureTargetBias(1); }},
                      LeftoverCall{"startAndStopSession",
                                   [](KivoCamera& c) {
                                     c.stopSession();
                                     c.startSession();
                                   }}),
    [](const auto& info) { return std::string(info.param.name); });

// A host that forgot to install an executor is told what to set up.
TEST(KivoCameraCreateTest, WithoutAnExecutorCreationSaysWhatTheHostMustInstall) {
  ASSERT_FALSE(isExecutorInstalled());
  EXPECT_THAT([] { KivoCamera::create(); },
              ::testing::ThrowsMessage<std::logic_error>(::testing::HasSubstr("no dispatch executor is installed")));
}

}  // namespace
