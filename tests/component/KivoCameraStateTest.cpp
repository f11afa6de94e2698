// The controller's state: the point initialiser's geometry, the setters with
// effects, the delegate delivery rule, the preview check and the frame
// callback.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>

#include "AVFoundation/AVCaptureVideoPreviewLayer.h"
#include "KivoCamera.h"
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

struct PointCase {
  CGPoint point;
  CGRect expected;
};

void PrintTo(const PointCase& c, std::ostream* os) { *os << '(' << c.point.x << ", " << c.point.y << ')'; }

class KivoCameraPointTest : public KivoCameraStateTest, public ::testing::WithParamInterface<PointCase> {};

TEST_P(KivoCameraPointTest, ThePointSetsAThreeByFourAreaInsetOnBothSides) {
  auto camera = KivoCamera::createWithPoint(GetParam().point);
  EXPECT_TRUE(camera->isViewLoaded()) << "the initialiser read the view";
  EXPECT_EQ(camera->previewFrame(), GetParam().expected);
  EXPECT_EQ(camera->view()->frame(), GetParam().expected);
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
  camera->motionManager()->setMotionState(KivoMotionState::moving);
  frame();
  camera->setMotionManager(nullptr);
  frame();

  second.reset();  // held weakly: frames stop
  frame();
  camera->setDelegate(first);
  frame();
  EXPECT_THAT(frames, ElementsAre("first still", "second still", "second not-still", "second still",
                                  "second not-still", "second not-still", "first not-still"));
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
