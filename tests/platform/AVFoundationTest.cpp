// Capture devices, sessions and their outputs over the simulated layer, where
// the scenario traces do not reach: a change without the configuration lock,
// observations that end with their token and do not keep their device, the
// preview's picture, the frames of a swapped camera and of a faster rate, a capture without an active connection, and the photo
// output's weak hold on its delegate.

#include "Foundation/TraceFormat.h"
#include "platform/CaptureWorldTest.h"
#include "sim/capture/CameraSetup.h"

using ::testing::ElementsAre;

namespace {

struct AVDeviceTest : CaptureWorldTest {
  std::shared_ptr<AVCaptureDevice> device = world.camera("back-wide");
};

#ifndef NDEBUG
TEST(AVDeviceDeathTest, AChangeWithoutTheLockStopsADebugBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  void (*const changes[])(AVCaptureDevice&) = {
      [](auto& d) { d.setVideoZoomFactor(2); }, [](auto& d) { d.rampToVideoZoomFactor(2, 1); },
      [](auto& d) { d.setFocusPointOfInterest({0.1, 0.2}); }, [](auto& d) { d.setExposureTargetBias(1); },
      [](auto& d) { d.setTorchModeOnWithLevel(0.5f); }, [](auto& d) { d.setActiveVideoMinFrameDuration(CMTimeMake(1, 60)); }};
  for (const auto change : changes) {
    EXPECT_DEATH(
        {
          DeterministicExecutor executor;
          sim::CaptureSimulation world;
          auto device = world.camera("back-wide");
          ASSERT_TRUE(device->lockForConfiguration());
          device->unlockForConfiguration();
          change(*device);
        },
        "without lockForConfiguration");
  }
}
#endif

TEST_F(AVDeviceTest, AnObservationEndsWithItsTokenAndDoesNotKeepItsDevice) {
  std::vector<std::string> seen;
  auto iso = device->observeISO(NSKeyValueObservingOptionNew,
                                [&](auto&, auto& c) { seen.push_back("iso " + formatNumber(*c.newValue)); });
  auto focus = device->observeAdjustingFocus(
      NSKeyValueObservingOptionNew, [&](auto&, auto& c) { seen.push_back("focus " + formatBool(*c.newValue)); });
  world.setISO("back-wide", 400);
  executor.runUntilIdle();
  iso = KeyValueObservation();
  world.setISO("back-wide", 800);
  world.setAdjustingFocus("back-wide", true);
  executor.runUntilIdle();
  EXPECT_THAT(seen, ElementsAre("iso 400", "focus true"));
  EXPECT_EQ(device->isoObserverCount(), 0u);
  std::weak_ptr<AVCaptureDevice> weak = std::exchange(device, nullptr);
  world.setNoCameras();
  EXPECT_TRUE(weak.expired()) << "the live focus token keeps its device";
}

using AVSessionTest = CaptureWorldTest;

// --- The preview ---------------------------------------------

TEST_F(AVSessionTest, ThePreviewShowsAPictureExactlyWhileTheSessionRunsWithACamera) {
  session->addInput(inputFor("back-wide"));
  auto layer = AVCaptureVideoPreviewLayer::layerWithSession(session);
  std::vector<bool> shown{bool(layer->currentFrame())};
  session->startRunning();
  const auto picture = layer->currentFrame();
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->pixelFormatType(), kCVPixelFormatType_32BGRA);
  EXPECT_LT(picture->width(), picture->height());  // portrait
  const auto input = session->inputs().at(0);
  session->removeInput(input);
  shown.push_back(bool(layer->currentFrame()));
  session->addInput(input);
  shown.push_back(bool(layer->currentFrame()));
  session->stopRunning();
  shown.push_back(bool(layer->currentFrame()));
  EXPECT_THAT(shown, ElementsAre(false, false, true, false));
}

// A running session's frames follow its camera when the input is swapped:
// the front camera here runs at 10 frames a second, the back one at 30.
TEST_F(AVSessionTest, FramesComeFromTheCameraThatIsInTheSessionNow) {
  world.setNoCameras();
  world.addCamera(sim::camera(AVCaptureDevicePosition::back, sim::CameraType::wide));
  world.addCamera(sim::camera(AVCaptureDevicePosition::front, sim::CameraType::wide,
                              [](auto& d) { d.frameRate = 10; }));
  auto output = AVCaptureVideoDataOutput::create();
  auto frames = std::make_shared<FrameRecorder>();
  output->setSampleBufferDelegate(frames, DispatchQueue("frames"));
  session->addInput(inputFor("back-wide"));
  session->addOutput(output);
  session->startRunning();
  std::vector<std::size_t> perSecond;
  auto second = [&] {
    const std::size_t before = frames->frames.size();
    executor.advance(1);
    perSecond.push_back(frames->frames.size() - before);
  };
  second();
  session->removeInput(session->inputs().at(0));
  second();
  session->addInput(inputFor("front-wide"));
  second();
  EXPECT_THAT(perSecond, ElementsAre(30, 0, 10));
}

// A camera of 30 frames a second whose format goes to 60: it runs faster
// from its next start when asked, and back at its own rate for an invalid
// duration. Faster than the format allows stops a debug build.
TEST_F(AVSessionTest, TheMinimumFrameDurationSetsTheRateOfTheNextStart) {
  world.setNoCameras();
  world.addCamera(sim::camera(AVCaptureDevicePosition::back, sim::CameraType::wide,
                              [](auto& d) { d.maxFrameRate = 60; }));
  const auto device = world.camera("back-wide");
  auto output = AVCaptureVideoDataOutput::create();
  auto frames = std::make_shared<FrameRecorder>();
  output->setSampleBufferDelegate(frames, DispatchQueue("frames"));
  session->addInput(inputFor("back-wide"));
  session->addOutput(output);
  std::vector<std::size_t> perSecond;
  for (const CMTime duration : {CMTimeMake(1, 60), kCMTimeInvalid}) {
    ASSERT_TRUE(device->lockForConfiguration());
    device->setActiveVideoMinFrameDuration(duration);
    device->unlockForConfiguration();
    session->startRunning();
    const std::size_t before = frames->frames.size();
    executor.advance(1);
    perSecond.push_back(frames->frames.size() - before);
    session->stopRunning();
  }
  EXPECT_THAT(perSecond, ElementsAre(60, 30));
#ifndef NDEBUG
  ASSERT_TRUE(device->lockForConfiguration());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(device->setActiveVideoMinFrameDuration(CMTimeMake(1, 61)), "unsupported frame duration");
  device->unlockForConfiguration();
#endif
}

// --- Photos -------------------------------------------------------------------

const std::string kPhotoQueue = "com.kivocamera.platform.photo-output";

class AVPhotoTest : public CaptureWorldTest {
 protected:
  void SetUp() override { runBackCamera(); }
};

struct InactiveCase {
  const char* name;
  void (*change)(AVCaptureSession&, sim::CaptureSimulation&);
  bool connected;  // a connection, if not an active one
};

class AVPhotoInactiveTest : public AVPhotoTest, public ::testing::WithParamInterface<InactiveCase> {};

TEST_P(AVPhotoInactiveTest, WithoutAnActiveConnectionACaptureFailsAtOnceWithoutExposure) {
  GetParam().change(*session, world);
  EXPECT_EQ(bool(photoOutput->connectionWithMediaType(AVMediaTypeVideo)), GetParam().connected);
  auto recorder = capture();
  executor.runUntilIdle();
  ASSERT_THAT(recorder->names(), ElementsAre("willBegin", "processed", "finished"));
  for (const auto& c : recorder->calls) EXPECT_EQ(c.queue + " +" + std::to_string(c.at), kPhotoQueue + " +0.000000");
  EXPECT_FALSE((*recorder)["processed"].data);
  ASSERT_TRUE((*recorder)["processed"].error && (*recorder)["finished"].error);
  EXPECT_EQ((*recorder)["finished"].error->code, AVErrorSessionNotRunning);
  EXPECT_EQ(photoOutput->capturesInFlight(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Connections, AVPhotoInactiveTest,
    ::testing::Values(InactiveCase{"stopped", [](auto& s, auto&) { s.stopRunning(); }, true},
                      InactiveCase{"noCamera", [](auto& s, auto&) { s.removeInput(s.inputs().at(0)); }, false},
                      InactiveCase{"noConnection", [](auto&, auto& w) { w.setPhotoConnectionMissing(true); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AVPhotoTest, TheOutputHoldsItsDelegateWeakly) {
  auto recorder = capture();
  executor.advance(0.1);
  EXPECT_EQ(recorder->calls.size(), 2u);
  std::weak_ptr<PhotoRecorder> weak = recorder;
  recorder.reset();
  EXPECT_TRUE(weak.expired());
  executor.advance(1);  // the remaining callbacks find nobody
  EXPECT_EQ(photoOutput->capturesInFlight(), 0u);
}

}  // namespace
