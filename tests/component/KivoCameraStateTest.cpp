// The controller's state: defaults, the point initialiser's geometry, the
// setters with effects, read-only device values, the delegate delivery rule,
// the preview check and the frame callback; the preview view.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>

#include "AVFoundation/AVCaptureSession.h"
#include "AVFoundation/AVCaptureVideoPreviewLayer.h"
#include "Kivo/KivoResource.h"
#include "KivoCamera.h"
#include "KivoFocusView.h"
#include "KivoMotionManager.h"
#include "KivoOrientation.h"
#include "KivoPreviewView.h"
#include "sim/World.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class KivoCameraStateTest : public ::testing::Test {
 protected:
  sim::World world;
};

TEST_F(KivoCameraStateTest, ANewControllerHasEveryDefaultAndNoView) {
  auto camera = KivoCamera::create();
  EXPECT_EQ(camera->delegate(), nullptr);
  EXPECT_TRUE(camera->shouldShowFocus());
  EXPECT_FALSE(camera->shouldUseDeviceOrientation());
  EXPECT_FALSE(camera->shouldPromptToAppSettings());
  EXPECT_TRUE(camera->shouldResetFocusAfterMove());
  EXPECT_TRUE(camera->shouldShowFocusAfterLaunch());
  EXPECT_TRUE(camera->shouldShowCaptureAnimation());
  EXPECT_FALSE(camera->enableVideoDataOutput());
  EXPECT_EQ(camera->videoOutputSettingFormatType(), std::nullopt);
  EXPECT_FALSE(camera->shouldKeepSessionStopping());
  EXPECT_FALSE(camera->shouldHighResolutionPhotoEnabled());
  EXPECT_FALSE(camera->shouldCheckSupportedColorSpaces());
  EXPECT_EQ(camera->cameraPosition(), 1);
  EXPECT_EQ(camera->videoGravity(), "AVLayerVideoGravityResizeAspect");
  EXPECT_EQ(camera->flashMode(), 0);
  EXPECT_EQ(camera->previewView(), nullptr);
  EXPECT_EQ(camera->focusView(), nullptr);
  EXPECT_EQ(camera->focusPoint(), std::nullopt);
  EXPECT_TRUE(camera->shouldPinchToZoom());
  EXPECT_EQ(camera->maxZoomScale(), 4.0);
  EXPECT_EQ(camera->minZoomScale(), 1.0);
  EXPECT_EQ(camera->zoomScale(), 1.0);
  EXPECT_NE(camera->motionManager(), nullptr);
  EXPECT_NE(camera->orientation(), nullptr);
  EXPECT_EQ(camera->sessionPreset(), "AVCaptureSessionPresetPhoto");
  EXPECT_FALSE(camera->shouldListeningToExposure());
  EXPECT_FALSE(camera->shouldListeningToAutoFocus());
  EXPECT_FALSE(camera->shouldUseAutoResolution());
  EXPECT_FALSE(camera->shouldAutoUseMultiCamera());
  EXPECT_EQ(camera->videoDevice(), nullptr);
  EXPECT_EQ(camera->sessionSetupResult(), SessionSetupResult::success);
  EXPECT_FALSE(camera->isViewLoaded());
  EXPECT_EQ(camera->capturesInProgress(), 0u);
  EXPECT_FALSE(camera->isLivePhotoCaptureEnabled());
}

TEST_F(KivoCameraStateTest, WithoutADeviceExposureValuesAreZeroAndThereIsNoFlash) {
  auto camera = KivoCamera::create();
  EXPECT_EQ(camera->exposureTargetBias(), 0.0f);
  EXPECT_EQ(camera->minExposureTargetBias(), 0.0f);
  EXPECT_EQ(camera->maxExposureTargetBias(), 0.0f);
  EXPECT_FALSE(camera->isFlashAvailable());
}

struct PointCase {
  CGPoint point;
  CGRect expected;
};

void PrintTo(const PointCase& c, std::ostream* os) { *os << '(' << c.point.x << ", " << c.point.y << ')'; }

class KivoCameraPointTest : public ::testing::TestWithParam<PointCase> {
 protected:
  sim::World world;
};

TEST_P(KivoCameraPointTest, ThePointSetsAThreeByFourAreaInsetOnBothSides) {
  auto camera = KivoCamera::createWithPoint(GetParam().point);
  EXPECT_TRUE(camera->isViewLoaded()) << "the initialiser read the view";
  ASSERT_TRUE(camera->previewFrame().has_value());
  const CGRect frame = *camera->previewFrame();
  EXPECT_DOUBLE_EQ(frame.origin.x, GetParam().expected.origin.x);
  EXPECT_DOUBLE_EQ(frame.origin.y, GetParam().expected.origin.y);
  EXPECT_DOUBLE_EQ(frame.size.width, GetParam().expected.size.width);
  EXPECT_DOUBLE_EQ(frame.size.height, GetParam().expected.size.height);
  EXPECT_EQ(camera->view()->frame(), frame);
}

INSTANTIATE_TEST_SUITE_P(On375PointScreen, KivoCameraPointTest,
                         ::testing::Values(PointCase{{10, 20}, CGRectMake(10, 20, 355, 355.0 / 3 * 4)},
                                           PointCase{{0, 0}, CGRectMake(0, 0, 375, 500)}));

TEST_F(KivoCameraStateTest, DeviceOrientationFlagIsCopiedOnlyIntoTheCurrentEstimator) {
  auto camera = KivoCamera::create();
  auto first = camera->orientation();
  camera->setShouldUseDeviceOrientation(true);
  EXPECT_TRUE(first->shouldUseDeviceOrientation());
  auto replacement = KivoOrientation::create();
  camera->setOrientation(replacement);
  EXPECT_FALSE(replacement->shouldUseDeviceOrientation()) << "assigning does not copy";
  camera->setShouldUseDeviceOrientation(true);
  EXPECT_TRUE(replacement->shouldUseDeviceOrientation()) << "every store copies";
}

TEST_F(KivoCameraStateTest, GravityReachesThePreviewLayerOnlyUntilItsNextRead) {
  auto camera = KivoCamera::create();
  camera->setVideoGravity("AVLayerVideoGravityResize");  // no preview view yet: stored only
  EXPECT_EQ(camera->videoGravity(), "AVLayerVideoGravityResize");
  auto preview = KivoPreviewView::create(CGRectZero, "AVLayerVideoGravityResizeAspectFill");
  camera->setPreviewView(preview);
  camera->setVideoGravity("AVLayerVideoGravityResize");
  auto layer = std::dynamic_pointer_cast<AVCaptureVideoPreviewLayer>(preview->layer());
  ASSERT_NE(layer, nullptr);
  EXPECT_EQ(layer->videoGravity(), "AVLayerVideoGravityResize") << "set on the layer at once";
  (void)preview->previewLayer();  // any reader, such as the preview check
  EXPECT_EQ(layer->videoGravity(), "AVLayerVideoGravityResizeAspectFill") << "the view's own gravity is back";
  EXPECT_EQ(camera->videoGravity(), "AVLayerVideoGravityResize");
}

TEST_F(KivoCameraStateTest, AReleasedControllerIsDestroyed) {
  auto camera = KivoCamera::createWithPoint({0, 0});
  std::weak_ptr<KivoCamera> watch = camera;
  camera.reset();
  world.runUntilIdle();
  EXPECT_TRUE(watch.expired());
}

// --- Delivery to the delegate --------------------------------------------------

TEST_F(KivoCameraStateTest, CallbacksSkipAGoneOrUnrespondingDelegateBeforeComputingAnything) {
  auto camera = KivoCamera::create();
  int computed = 0;
  int delivered = 0;
  auto send = [&] {
    camera->notifyDelegate(KivoCameraDelegateSelector::cameraDidChangeTorch, [&](KivoCameraDelegate& d) {
      ++computed;
      d.cameraDidChangeTorch(*camera, true);
    });
  };
  send();  // no delegate
  auto delegate = std::make_shared<KivoCameraDelegateBlocks>();
  delegate->didCapturePhoto = [](KivoCamera&, const std::optional<Data>&) {};
  camera->setDelegate(delegate);
  send();  // does not respond
  delegate->didChangeTorch = [&](KivoCamera&, bool on) { delivered += on ? 1 : 0; };
  send();
  EXPECT_EQ(computed, 1);
  EXPECT_EQ(delivered, 1);
  delegate.reset();  // the controller's reference is weak
  send();
  EXPECT_EQ(computed, 1);
}

TEST_F(KivoCameraStateTest, FramesReportStillOnlyForTheStillState) {
  auto camera = KivoCamera::create();
  auto delegate = std::make_shared<KivoCameraDelegateBlocks>();
  std::vector<bool> stills;
  delegate->didCapturePhoto = [](KivoCamera&, const std::optional<Data>&) {};
  delegate->didOutput = [&](KivoCamera&, const CMSampleBufferRef&, bool isStill) { stills.push_back(isStill); };
  camera->setDelegate(delegate);
  auto output = AVCaptureVideoDataOutput::create();
  auto connection = AVCaptureConnection::create("video-connection");
  for (auto state : {KivoMotionState::undetermined, KivoMotionState::still, KivoMotionState::moving}) {
    camera->motionManager()->setMotionState(state);
    camera->captureOutput(*output, nullptr, *connection);
  }
  EXPECT_THAT(stills, ElementsAre(false, true, false));
}

TEST_F(KivoCameraStateTest, FramesFollowAReplacedDelegateOrMotionManagerFromTheNextFrame) {
  auto camera = KivoCamera::create();
  std::vector<std::string> frames;
  auto makeDelegate = [&](std::string name) {
    auto delegate = std::make_shared<KivoCameraDelegateBlocks>();
    delegate->didCapturePhoto = [](KivoCamera&, const std::optional<Data>&) {};
    delegate->didOutput = [&frames, name](KivoCamera&, const CMSampleBufferRef&, bool isStill) {
      frames.push_back(name + (isStill ? " still" : " not-still"));
    };
    return delegate;
  };
  auto output = AVCaptureVideoDataOutput::create();
  auto connection = AVCaptureConnection::create("video-connection");
  auto frame = [&] { camera->captureOutput(*output, nullptr, *connection); };

  auto first = makeDelegate("first");
  camera->setDelegate(first);
  camera->motionManager()->setMotionState(KivoMotionState::still);
  frame();
  auto second = makeDelegate("second");
  camera->setDelegate(second);
  frame();

  std::weak_ptr<KivoMotionManager> replaced = camera->motionManager();
  camera->setMotionManager(KivoMotionManager::create());  // undetermined
  EXPECT_TRUE(replaced.expired()) << "the frames read it, but only the controller held it";
  frame();
  camera->motionManager()->setMotionState(KivoMotionState::still);
  frame();
  camera->setMotionManager(nullptr);
  frame();

  second.reset();  // held weakly: frames stop
  frame();
  camera->setDelegate(first);
  frame();
  EXPECT_THAT(frames, ElementsAre("first still", "second still", "second not-still", "second still",
                                  "second not-still", "first not-still"));
}

// --- Preview check ----------------------------------------------------------------

TEST_F(KivoCameraStateTest, ThePreviewCheckReportsEachFindingOnTheMainQueue) {
  auto camera = KivoCamera::create();
  auto loaded = camera->view();  // builds the preview bound to the session
  world.runUntilIdle();
  world.trace().clear();
  camera->analyticsPreviewPossibleError(KivoCameraPerfomanceStep::capture);
  world.runUntilIdle();
  EXPECT_THAT(world.trace().take(), IsEmpty()) << "visible and bound: nothing to report";

  auto preview = camera->previewView();
  camera->view()->setHidden(true);
  preview->setHidden(true);
  preview->setSession(nullptr);
  camera->analyticsPreviewPossibleError(KivoCameraPerfomanceStep::startSession);
  EXPECT_THAT(world.trace().take(), IsEmpty()) << "queued, not run";
  world.runUntilIdle();
  EXPECT_THAT(world.trace().take(),
              ElementsAre(R"(event kivo_camera {"code":"10012","step":"startSession"} @main)",
                          R"(event kivo_camera {"code":"10013","step":"startSession"} @main)",
                          R"(event kivo_camera {"code":"10015","step":"startSession"} @main)"));

  camera->view()->setHidden(false);
  camera->setPreviewView(nullptr);
  camera->analyticsPreviewPossibleError(KivoCameraPerfomanceStep::capture);
  world.runUntilIdle();
  EXPECT_THAT(world.trace().take(),
              ElementsAre(R"(event kivo_camera {"code":"10014","step":"capture"} @main)"));
}

// --- Preview view -------------------------------------------------------------------

TEST_F(KivoCameraStateTest, ThePreviewViewPutsItsGravityBackOnEveryRead) {
  auto preview = KivoPreviewView::create(CGRectMake(0, 0, 10, 10), "AVLayerVideoGravityResizeAspectFill");
  auto layer = preview->previewLayer();
  EXPECT_EQ(layer->videoGravity(), "AVLayerVideoGravityResizeAspectFill");
  layer->setVideoGravity("AVLayerVideoGravityResize");
  EXPECT_EQ(preview->previewLayer()->videoGravity(), "AVLayerVideoGravityResizeAspectFill");
  EXPECT_EQ(KivoPreviewView::createFromArchive(CGRectZero)->previewLayer()->videoGravity(),
            "AVLayerVideoGravityResizeAspect");
  auto session = AVCaptureSession::create();
  preview->setSession(session);
  EXPECT_EQ(preview->session(), session);
  preview->setSession(nullptr);
  EXPECT_EQ(preview->session(), nullptr);
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

}  // namespace
