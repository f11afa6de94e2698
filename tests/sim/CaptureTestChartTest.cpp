// The photos of the simulated camera: real JPEGs of the test chart at the
// world's picture size, whose structure shows the zoom and the orientation.

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "AVFoundation/AVFoundation.h"
#include "Dispatch/Executor.h"
#include "sim/capture/CaptureSimulation.h"
#include "sim/capture/TestChart.h"

namespace {

constexpr auto kPortrait = AVCaptureVideoOrientation::portrait;
constexpr auto kUpsideDown = AVCaptureVideoOrientation::portraitUpsideDown;
constexpr auto kRight = AVCaptureVideoOrientation::landscapeRight;
constexpr auto kLeft = AVCaptureVideoOrientation::landscapeLeft;

bool isMarker(const std::uint8_t* p) { return p[0] > 180 && p[1] < 90 && p[2] < 90; }

// Light/dark changes of the checkerboard along a row, ignoring the coloured
// marks and the blur at edges.
int checkerTransitions(const sim::RGBImage& image, int y) {
  int transitions = 0;
  int last = -1;
  for (int x = 0; x < image.width; ++x) {
    const std::uint8_t* p = image.at(x, y);
    if (std::abs(p[0] - p[1]) > 40 || std::abs(p[1] - p[2]) > 40) continue;
    const int level = p[1] < 90 ? 0 : (p[1] > 170 ? 1 : -1);
    if (level < 0) continue;
    if (last >= 0 && level != last) ++transitions;
    last = level;
  }
  return transitions;
}

struct Corner {
  AVCaptureVideoOrientation orientation;
  int width, height;
  double markerX, markerY;  // where the marker's centre lands, in fractions of the picture
};

void PrintTo(const Corner& c, std::ostream* os) {
  switch (c.orientation) {
    case kPortrait: *os << "portrait"; break;
    case kUpsideDown: *os << "portraitUpsideDown"; break;
    case kRight: *os << "landscapeRight"; break;
    case kLeft: *os << "landscapeLeft"; break;
  }
}

class CaptureChartOrientationTest : public ::testing::TestWithParam<Corner> {};

TEST_P(CaptureChartOrientationTest, DecodesAtTheRotatedSizeWithTheMarkerInItsCorner) {
  const auto& c = GetParam();
  const auto decoded = sim::decodeJPEG(sim::encodeJPEG(sim::renderTestChart(640, 480, 1, c.orientation)));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, c.width);
  EXPECT_EQ(decoded->height, c.height);
  const auto pixelAt = [&](double fx, double fy) {
    return decoded->at(static_cast<int>(fx * decoded->width), static_cast<int>(fy * decoded->height));
  };
  EXPECT_TRUE(isMarker(pixelAt(c.markerX, c.markerY)));
  // The mirrored corners do not show it.
  EXPECT_FALSE(isMarker(pixelAt(1 - c.markerX, c.markerY)));
  EXPECT_FALSE(isMarker(pixelAt(c.markerX, 1 - c.markerY)));
}

INSTANTIATE_TEST_SUITE_P(Orientations, CaptureChartOrientationTest,
                         ::testing::Values(Corner{kRight, 640, 480, 0.15, 0.15}, Corner{kLeft, 640, 480, 0.85, 0.85},
                                           Corner{kPortrait, 480, 640, 0.85, 0.15},
                                           Corner{kUpsideDown, 480, 640, 0.15, 0.85}));

class CaptureChartZoomTest : public ::testing::TestWithParam<std::pair<double, int>> {};

TEST_P(CaptureChartZoomTest, ShowsTheCentreOneOverZoomOfTheChart) {
  const auto [zoom, transitions] = GetParam();
  const auto decoded = sim::decodeJPEG(sim::encodeJPEG(sim::renderTestChart(640, 480, zoom, kRight)));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(checkerTransitions(*decoded, decoded->height * 3 / 10), transitions);
  EXPECT_EQ(isMarker(decoded->at(96, 72)), zoom <= 1);
}

// Eight cells across at zoom 1; 8/zoom cells show.
INSTANTIATE_TEST_SUITE_P(Zooms, CaptureChartZoomTest,
                         ::testing::Values(std::pair{1.0, 7}, std::pair{0.5, 7}, std::pair{2.0, 3},
                                           std::pair{4.0, 1}));

TEST(CaptureChartCodec, RejectsWhatIsNotAJPEG) {
  EXPECT_FALSE(sim::decodeJPEG(Data{}));
  EXPECT_FALSE(sim::decodeJPEG(Data{'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}));
}

class CapturedPhoto : public AVCapturePhotoCaptureDelegate {
 public:
  void didFinishProcessingPhoto(AVCapturePhotoOutput&, const std::shared_ptr<AVCapturePhoto>& photo,
                                const std::optional<NSError>&) override {
    data = photo->fileDataRepresentation();
  }
  std::optional<Data> data;
};

TEST(CaptureChartCapture, APhotoIsTheChartAtTheWorldSizeAndZoom) {
  DeterministicExecutor executor;
  sim::CaptureSimulation world;
  world.setPhotoSize(320, 240);
  auto session = AVCaptureSession::create();
  auto device = world.camera("back-wide");
  auto output = AVCapturePhotoOutput::create();
  session->addInput(AVCaptureDeviceInput::createWithDevice(device));
  session->addOutput(output);
  ASSERT_TRUE(device->lockForConfiguration());
  device->setVideoZoomFactor(2);
  device->unlockForConfiguration();
  output->videoConnection()->setVideoOrientation(kRight);

  auto delegate = std::make_shared<CapturedPhoto>();
  output->capturePhotoWithSettings(AVCapturePhotoSettings::create(), delegate);
  executor.advance(1);
  ASSERT_TRUE(delegate->data);
  const auto decoded = sim::decodeJPEG(*delegate->data);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 320);
  EXPECT_EQ(decoded->height, 240);
  EXPECT_EQ(checkerTransitions(*decoded, decoded->height * 3 / 10), 3);

}

}  // namespace
