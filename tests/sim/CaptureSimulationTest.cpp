// The simulated device layer where the scenario traces do not reach: the
// benchmarks' real-time costs (paid on the calling queue, through injected
// waits), platform objects that outlive the layer, and the scene its frames
// and photos show.

#include <cmath>

#include "platform/CaptureWorldTest.h"
#include "sim/capture/CameraSetup.h"
#include "sim/capture/SessionCosts.h"
#include "sim/capture/TestChart.h"

using ::testing::ElementsAre;

namespace {

using CaptureSimulationTest = CaptureWorldTest;

TEST_F(CaptureSimulationTest, StartAndCommitPayTheirCostsAfterTheReportOnTheCallingQueue) {
  std::vector<std::string> order;
  auto costs = std::make_unique<sim::ScopedSessionCosts>(
      sim::SessionCosts{0.3, 0.2}, [&](auto, std::string_view selector, auto) { order.emplace_back(selector); },
      [&](double s) { order.push_back(std::to_string(s) + " " + DispatchQueue::currentLabel()); });
  DispatchQueue queue("test.session");
  queue.async([this] {
    session->beginConfiguration();
    session->commitConfiguration();
    session->startRunning();
  });
  executor.runUntilIdle();
  costs.reset();
  session->stopRunning();  // free again, and the earlier sink is back
  EXPECT_THAT(order, ElementsAre("beginConfiguration", "commitConfiguration", "0.200000 test.session", "startRunning",
                                 "0.300000 test.session"));
  EXPECT_THAT(calls, ElementsAre("session stopRunning"));
  EXPECT_THROW(sim::ScopedSessionCosts({-0.1, 0}), std::invalid_argument);
}

TEST(CaptureSimulationLifetime, PlatformObjectsOutliveTheLayerAndFindAnEmptyOne) {
  DeterministicExecutor executor;
  auto world = std::make_unique<sim::CaptureSimulation>();
  world->setAuthorizationStatus(AVAuthorizationStatus::notDetermined);
  auto device = world->camera("back-wide");
  auto session = AVCaptureSession::create();
  auto output = AVCapturePhotoOutput::create();
  session->addInput(AVCaptureDeviceInput::createWithDevice(device));
  session->addOutput(output);
  session->startRunning();
  std::vector<bool> answers;
  const auto request = [&] {
    AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [&](bool granted) { answers.push_back(granted); });
  };
  request();
  std::weak_ptr<AVCaptureDevice> weakDevice = device;
  world.reset();
  EXPECT_FALSE(AVCaptureDevice::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo,
                                                            AVCaptureDevicePosition::unspecified));
  EXPECT_FALSE(AVCaptureDeviceInput::createWithDevice(device));
  ASSERT_TRUE(device->lockForConfiguration());
  device->setFocusPointOfInterest({0.5, 0.5});
  device->unlockForConfiguration();
  auto photo = std::make_shared<PhotoRecorder>();
  output->capturePhotoWithSettings(AVCapturePhotoSettings::create(), photo);
  request();
  executor.advance(1);
  EXPECT_FALSE(device->isAdjustingFocus());  // no physics without the layer
  EXPECT_THAT(photo->names(), ElementsAre("willBegin", "processed", "finished"));
  EXPECT_FALSE((*photo)["processed"].data);
  EXPECT_THAT(answers, ElementsAre(false));  // the open request went with the layer; the empty one says no
  EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo), AVAuthorizationStatus::notDetermined);
  session.reset();
  output.reset();
  device.reset();
  EXPECT_TRUE(weakDevice.expired());
}

// --- The scene: a frame and a photo of one moment show the same test chart, at
// the camera's zoom (its centre 1/zoom) and turned by the connection's
// orientation as TestChart.h describes.

using RGB = std::array<std::uint8_t, 3>;

// Light/dark changes of the checkerboard along row `y`, skipping the green
// cross, the marker and edge pixels between the two greys.
int checkerTransitions(const CVPixelBuffer& picture, int y) {
  int transitions = 0, last = -1;
  for (int x = 0; x < picture.width(); ++x) {
    const RGB p = picture.rgbAt(x, y);
    if (std::abs(p[0] - p[1]) > 40 || std::abs(p[1] - p[2]) > 40 || (p[1] >= 90 && p[1] <= 170)) continue;
    const int level = p[1] > 170;
    transitions += last >= 0 && level != last;
    last = level;
  }
  return transitions;
}

struct SceneCase {
  AVCaptureVideoOrientation orientation;
  double zoom;
  int width, height;
  double markerX, markerY;  // the marker's centre in fractions of the picture; negative: out of view
  int transitions;          // along the row three tenths down: 8 / zoom cells show
};

class CaptureSceneTest : public CaptureWorldTest, public ::testing::WithParamInterface<SceneCase> {};

TEST_P(CaptureSceneTest, FrameAndPhotoShowTheChartAtTheZoomAndOrientation) {
  const auto& c = GetParam();
  auto video = AVCaptureVideoDataOutput::create();
  auto frames = std::make_shared<FrameRecorder>();
  video->setSampleBufferDelegate(frames, DispatchQueue("test.frames"));
  session->addOutput(video);
  runBackCamera();
  photoOutput->videoConnection()->setVideoOrientation(c.orientation);
  video->videoConnection()->setVideoOrientation(c.orientation);
  auto device = world.camera("back-wide");
  ASSERT_TRUE(device->lockForConfiguration());
  device->setVideoZoomFactor(c.zoom);
  device->unlockForConfiguration();
  auto photo = capture();
  executor.advance(0.3);
  ASSERT_FALSE(frames->frames.empty());
  const auto frame = CMSampleBufferGetImageBuffer(frames->frames.back());
  const auto decoded = sim::decodeJPEG((*photo)["processed"].data.value());
  ASSERT_TRUE(decoded);
  ASSERT_EQ(std::tuple(frame->width(), frame->height(), decoded->width, decoded->height),
            std::tuple(c.width, c.height, c.width, c.height));

  double difference = 0, markerX = 0, markerY = 0, markerPixels = 0;
  for (int y = 0; y < c.height; ++y)
    for (int x = 0; x < c.width; ++x) {
      const RGB p = frame->rgbAt(x, y);
      for (int k = 0; k < 3; ++k) difference += std::abs(p[k] - decoded->at(x, y)[k]);
      if (p[0] > 180 && p[1] < 90 && p[2] < 90) {  // the red marker
        markerX += x;
        markerY += y;
        ++markerPixels;
      }
    }
  // The same picture but for compression: a turned or zoomed chart differs by far more.
  EXPECT_LT(difference / (c.width * c.height * 3), 4);
  EXPECT_EQ(markerPixels > 0, c.markerX >= 0);
  if (markerPixels > 0) {
    EXPECT_NEAR(markerX / markerPixels / c.width, c.markerX, 0.01);
    EXPECT_NEAR(markerY / markerPixels / c.height, c.markerY, 0.01);
  }
  EXPECT_EQ(checkerTransitions(*frame, c.height * 3 / 10), c.transitions);
}

using O = AVCaptureVideoOrientation;
constexpr double kNear = 5.0 / 32, kFar = 27.0 / 32;  // the marker spans 1/16 ... 1/4 of the chart
INSTANTIATE_TEST_SUITE_P(Scenes, CaptureSceneTest,
                         ::testing::Values(SceneCase{O::landscapeRight, 1, 640, 480, kNear, kNear, 7},
                                           SceneCase{O::landscapeLeft, 1, 640, 480, kFar, kFar, 7},
                                           SceneCase{O::portrait, 1, 480, 640, kFar, kNear, 7},
                                           SceneCase{O::portrait, 4, 480, 640, -1, -1, 1}));

}  // namespace
