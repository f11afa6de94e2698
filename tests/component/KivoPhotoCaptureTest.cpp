// Photo capture where the scenario traces do not reach: a replaced
// orientation estimator, the shutter and reticle at their moments, and the
// per-capture processor on its own (the raw-buffer path, and a capture ended
// by the guard).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "AVFoundation/AVCapturePhotoOutput.h"
#include "KivoCamera.h"
#include "KivoCameraInspector.h"
#include "KivoFocusView.h"
#include "KivoOrientation.h"
#include "KivoPhotoCapture.h"
#include "UIKit/UIDevice.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"
#include "support/ShownCamera.h"

using ::testing::ElementsAre;

namespace {

constexpr const char* kErrorLine =
    R"("[KivoCamera](photoOutput) Error capturing photo: Error Domain=AVFoundationErrorDomain Code=-11800 \"The operation could not be completed\"")";

bool isJpeg(const std::optional<Data>& data) { return data && data->size() > 2 && (*data)[0] == 0xFF && (*data)[1] == 0xD8; }

class KivoPhotoCaptureTest : public ::testing::Test {
 protected:
  // No samples: the orientation estimate stays at its seed and the motion
  // detector stays quiet unless a test calls its hook.
  KivoPhotoCaptureTest() { world.setAccelerometerAvailable(false); }

  // Creates the controller, attaches and shows it, and lets its setup run.
  void show(std::function<void(KivoCamera&)> configure = {}) {
    shown.emplace(world, kivotest::ShownCamera::Setup{.configure = std::move(configure)});
    camera = &shown->camera();
    world.trace().clear();
  }
  std::vector<std::optional<Data>> deliveries() { return shown->delegate().photos(); }

  sim::World world;
  std::optional<kivotest::ShownCamera> shown;
  KivoCamera* camera = nullptr;
};

// The scenario traces tag photos with the controller's own estimator; a
// replacement estimator (its own flag off) gives no value, so no tag is set.
TEST_F(KivoPhotoCaptureTest, AReplacedEstimatorWithoutAValueSetsNoOrientationTag) {
  world.setDeviceOrientation(3);  // landscape left
  show([](KivoCamera& camera) {
    camera.setShouldUseDeviceOrientation(true);
    camera.setOrientation(KivoOrientation::create());
  });
  camera->capturePhoto();
  world.advance(0.5);
  std::vector<std::string> requestLines;
  for (const auto& line : world.trace().take())
    if (line.find("photo-connection") != std::string::npos || line.find("capturePhoto") != std::string::npos)
      requestLines.push_back(line);
  EXPECT_THAT(requestLines, ElementsAre("platform photo-output capturePhotoWithSettings:delegate: id=1 flash=0 "
                                        "highres=false @com.kivocamera.session.queue"));
  ASSERT_EQ(deliveries().size(), 1u);
  EXPECT_TRUE(isJpeg(deliveries()[0]));
}

// --- End of a capture ------------------------------------------------------------------

TEST_F(KivoPhotoCaptureTest, TheShutterFlashesAtExposureAndTheReticleStopsAtDelivery) {
  show();
  world.advance(1);  // the launch focus has ended
  camera->focusView()->setHidden(false);
  camera->capturePhoto();
  world.advance(0.04);
  EXPECT_EQ(KivoCameraInspector::captureAnimationView(*camera)->presentationAlpha(), 0.0);
  world.advance(0.01);
  EXPECT_EQ(KivoCameraInspector::captureAnimationView(*camera)->presentationAlpha(), 1.0) << "black at the will-capture callback";
  EXPECT_FALSE(camera->focusView()->isHidden());
  world.advance(0.25);
  EXPECT_EQ(deliveries().size(), 1u);
  EXPECT_TRUE(camera->focusView()->isHidden());
}

// --- The processor on its own ------------------------------------------------------------

class KivoPhotoCaptureProcessorTest : public ::testing::Test {
 protected:
  using Resolved = AVCapturePhotoCaptureDelegate::Resolved;

  std::shared_ptr<KivoPhotoCaptureProcessor> make() {
    return KivoPhotoCaptureProcessor::create(
        std::make_shared<AVCapturePhotoSettings>(7), {},
        [this](const std::shared_ptr<KivoPhotoCaptureProcessor>& finished) { completions.push_back(finished.get()); });
  }

  sim::World world;
  std::shared_ptr<AVCapturePhotoOutput> output = AVCapturePhotoOutput::create();
  Resolved resolved = std::make_shared<const AVCaptureResolvedPhotoSettings>(
      7, false, CMTimeRangeMake(CMTimeMake(1, 4), CMTimeMake(1, 3)));
  NSError error{"AVFoundationErrorDomain", -11800, "The operation could not be completed"};
  std::vector<KivoPhotoCaptureProcessor*> completions;
};

TEST_F(KivoPhotoCaptureProcessorTest, TheRawBufferPathKeepsOnlyAValidJpeg) {
  auto processor = make();
  const Data jpeg{0xFF, 0xD8, 0xFF, 0xD9};
  const CMSampleBufferRef raw = CMSampleBuffer::create(kCMTimeZero, kCMVideoCodecType_JPEG, jpeg);
  processor->setPhotoData(Data{1});
  processor->didFinishProcessingRawPhotoSampleBuffer(*output, nullptr, nullptr, resolved, nullptr, std::nullopt);
  const CMSampleBufferRef invalidated = CMSampleBuffer::create(kCMTimeZero, kCMVideoCodecType_JPEG, jpeg);
  invalidated->invalidate();
  processor->didFinishProcessingRawPhotoSampleBuffer(*output, invalidated, nullptr, resolved, nullptr, std::nullopt);
  processor->didFinishProcessingRawPhotoSampleBuffer(*output, raw, nullptr, resolved, nullptr, error);
  EXPECT_EQ(processor->photoData(), Data{1}) << "missing, invalid or failed buffers leave the photo as it was";
  EXPECT_THAT(world.trace().take(), ElementsAre(kErrorLine));

  processor->didFinishProcessingRawPhotoSampleBuffer(*output, raw, nullptr, resolved, nullptr, std::nullopt);
  EXPECT_EQ(processor->photoData(), jpeg);
  const CMSampleBufferRef frame = CMSampleBuffer::create(kCMTimeZero, kCVPixelFormatType_32BGRA, jpeg);
  processor->didFinishProcessingRawPhotoSampleBuffer(*output, frame, nullptr, resolved, nullptr, std::nullopt);
  EXPECT_EQ(processor->photoData(), std::nullopt) << "a buffer that is not a JPEG gives no photo";
}

TEST_F(KivoPhotoCaptureProcessorTest, ItEndsOnceAndIgnoresTheOutputAfterBeingEndedByTheGuard) {
  auto processor = make();
  processor->endUnfinishedCapture();
  processor->endUnfinishedCapture();
  const auto photo = std::make_shared<AVCapturePhoto>(resolved, kCMTimeZero, Data{0xFF, 0xD8});
  processor->didFinishProcessingPhoto(*output, photo, std::nullopt);
  processor->didFinishCaptureForResolvedSettings(*output, resolved, std::nullopt);
  EXPECT_EQ(completions.size(), 1u);
  EXPECT_EQ(processor->photoData(), std::nullopt);

  auto finished = make();
  finished->didFinishCaptureForResolvedSettings(*output, resolved, error);
  finished->endUnfinishedCapture();
  EXPECT_EQ(completions.size(), 2u);
  EXPECT_DEBUG_DEATH(finished->didFinishCaptureForResolvedSettings(*output, resolved, std::nullopt),
                     "called back after the capture finished");
}

}  // namespace
