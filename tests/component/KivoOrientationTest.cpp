// The orientation estimator: samples to device orientation, and the two
// mapping tables.

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "Dispatch/Executor.h"
#include "KivoOrientation.h"
#include "sim/motion/MotionSimulation.h"

namespace {

class KivoOrientationTest : public ::testing::Test {
 protected:
  DeterministicExecutor executor;
  sim::MotionSimulation motion;
  std::shared_ptr<KivoOrientation> orientation = KivoOrientation::create();

  void TearDown() override { UIDevice::current().resetToDefaults(); }

  std::optional<UIDeviceOrientation> after(double x, double y, double z) {
    motion.setAcceleration(x, y, z);
    executor.advance(0.1);
    return orientation->deviceOrientation();
  }
};

TEST_F(KivoOrientationTest, SamplesPickTheDominantAxis) {
  orientation->start();
  EXPECT_EQ(after(0.7, -0.7, 0), UIDeviceOrientation::portrait) << "|x| = |y| is upright";
  EXPECT_EQ(after(0.71, -0.7, 0), UIDeviceOrientation::landscapeRight);
  EXPECT_EQ(after(-0.71, -0.7, 0), UIDeviceOrientation::landscapeLeft);
  EXPECT_EQ(after(0, 0.5, 0), UIDeviceOrientation::portraitUpsideDown);
  EXPECT_EQ(after(0, 0, -1), UIDeviceOrientation::portrait) << "flat: y = 0 is not above 0";
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(after(nan, nan, 0), UIDeviceOrientation::portrait) << "NaN falls to upright";
}

// Every device orientation → video orientation, image orientation back / front.
TEST_F(KivoOrientationTest, StartSeedsFromTheDeviceEvenWithoutAccelerometerAndMapsAsTheTablesSay) {
  using D = UIDeviceOrientation;
  using V = AVCaptureVideoOrientation;
  using I = KivoImageOrientation;
  motion.setAccelerometerAvailable(false);  // keep the seeded value
  for (const auto& [device, video, back, front] : std::vector<std::tuple<D, V, I, I>>{
           {D::unknown, V::portrait, I::right, I::leftMirrored},
           {D::portrait, V::portrait, I::right, I::leftMirrored},
           {D::portraitUpsideDown, V::portraitUpsideDown, I::left, I::rightMirrored},
           // Raw 3 and 4 pass through: the device's landscape left is the video's landscape right.
           {D::landscapeLeft, V::landscapeRight, I::up, I::downMirrored},
           {D::landscapeRight, V::landscapeLeft, I::down, I::upMirrored},
           {D::faceUp, V::portrait, I::right, I::leftMirrored},
           {D::faceDown, V::portrait, I::right, I::leftMirrored}}) {
    SCOPED_TRACE(static_cast<int>(device));
    auto orientation = KivoOrientation::create();
    orientation->setShouldUseDeviceOrientation(true);
    UIDevice::current().setOrientation(device);
    orientation->start();
    EXPECT_FALSE(orientation->isActive());
    EXPECT_EQ(orientation->deviceOrientation(), device);
    EXPECT_EQ(orientation->videoOrientation(), video);
    EXPECT_EQ(orientation->imageOrientation(1), back);
    EXPECT_EQ(orientation->imageOrientation(2), front);
    EXPECT_EQ(orientation->imageOrientation(0), front) << "unspecified counts as front";
    orientation->stop();  // clears the estimate: the tables' portrait row, without a video orientation
    EXPECT_EQ(orientation->deviceOrientation(), std::nullopt);
    EXPECT_EQ(orientation->videoOrientation(), std::nullopt);
    EXPECT_EQ(orientation->imageOrientation(1), KivoImageOrientation::right);
  }
}

}  // namespace
