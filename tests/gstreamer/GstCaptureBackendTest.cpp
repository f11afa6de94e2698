// The GStreamer device layer with its test camera (videotestsrc's SMPTE
// bars) behind the capture framework, on real threads: frames and photos
// carry the bars in the right places and colours, whatever the format, zoom
// and orientation; starting and stopping leaves no pipeline and no thread; a
// pipeline error reaches the session, which can then start again. Time
// limits only keep a hung run from hanging the suite.

#include <gtest/gtest.h>

#include <glib.h>

#include <array>
#include <cmath>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "AVFoundation/AVFoundation.h"
#include "Dispatch/Executor.h"
#include "Foundation/NotificationCenter.h"
#include "GstCaptureBackend.h"
#include "sim/World.h"
#include "sim/capture/TestChart.h"

namespace {

constexpr double kTimeout = 30.0;
using Orientation = AVCaptureVideoOrientation;

// The top band of the bars, left to right on the upright sensor: grey, yellow,
// cyan, green, magenta, red, blue, each as which of R, G and B are lit.
struct Lit {
  bool r, g, b;
};
constexpr std::array<Lit, 7> kBars{{{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}, {0, 0, 1}}};

// The bars are at full strength: room for rounding, chroma subsampling and
// JPEG at a bar's middle, none for swapped channels or planes, nor for a
// video-range picture taken for a full-range one (235 and 16).
testing::AssertionResult shows(const std::array<std::uint8_t, 3>& rgb, int bar) {
  const Lit want = kBars.at(static_cast<std::size_t>(bar));
  const bool lit[3] = {want.r, want.g, want.b};
  for (int c = 0; c < 3; ++c)
    if (lit[c] ? rgb[c] < 242 : rgb[c] > 13)
      return testing::AssertionFailure() << "bar " << bar << " reads " << int(rgb[0]) << "," << int(rgb[1]) << ","
                                         << int(rgb[2]);
  return testing::AssertionSuccess();
}

// Where the point (u, v) of the upright picture lands in a w x h picture
// turned to `orientation` (portrait: 90 degrees clockwise).
std::pair<int, int> place(double u, double v, Orientation orientation, int w, int h) {
  switch (orientation) {
    case Orientation::landscapeRight: return {int(u * w), int(v * h)};
    case Orientation::landscapeLeft: return {int((1 - u) * w), int((1 - v) * h)};
    case Orientation::portrait: return {int((1 - v) * w), int(u * h)};
    case Orientation::portraitUpsideDown: return {int(v * w), int((1 - u) * h)};
  }
  return {0, 0};
}

std::size_t threadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

struct FrameLog final : AVCaptureVideoDataOutputSampleBufferDelegate {
  std::mutex mutex;
  std::vector<CMSampleBufferRef> frames;
  std::size_t total = 0;
  void captureOutput(AVCaptureOutput&, const CMSampleBufferRef& frame, AVCaptureConnection&) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (frames.size() == 8) frames.erase(frames.begin() + 1);  // keep the first and the newest
    frames.push_back(frame);
    ++total;
  }
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return total;
  }
};

struct PhotoLog final : AVCapturePhotoCaptureDelegate {
  std::mutex mutex;
  std::vector<std::string> moments;
  std::optional<Data> data;
  std::atomic<bool> finished{false};
  void note(const char* moment) {
    std::lock_guard<std::mutex> lock(mutex);
    moments.push_back(moment);
  }
  void willBeginCaptureForResolvedSettings(AVCapturePhotoOutput&, const Resolved&) override { note("begin"); }
  void willCapturePhotoForResolvedSettings(AVCapturePhotoOutput&, const Resolved&) override { note("expose"); }
  void didFinishProcessingPhoto(AVCapturePhotoOutput&, const std::shared_ptr<AVCapturePhoto>& photo,
                                const std::optional<NSError>& error) override {
    note(error ? "processed with error" : "processed");
    std::lock_guard<std::mutex> lock(mutex);
    data = photo->fileDataRepresentation();
  }
  void didFinishCaptureForResolvedSettings(AVCapturePhotoOutput&, const Resolved&,
                                           const std::optional<NSError>& error) override {
    note(error ? "finished with error" : "finished");
    finished = true;
  }
};

class GstCaptureBackendTest : public testing::Test {
 protected:
  void SetUp() override {
    session->setSessionPreset(AVCaptureSessionPreset640x480);
    session->addInput(AVCaptureDeviceInput::createWithDevice(camera));
    ASSERT_EQ(session->inputs().size(), 1u);
    output->setSampleBufferDelegate(frames, DispatchQueue("test.frames"));
    session->addOutput(output);
    session->addOutput(photos);
  }
  void TearDown() override { session->stopRunning(); }

  bool waitFor(const std::function<bool()>& done) { return loop.runMainLoopUntil(done, kTimeout); }
  bool startAndWaitForFrames() {
    const std::size_t before = frames->count();
    session->startRunning();
    return waitFor([&] { return frames->count() >= before + 3; });
  }
  CMSampleBufferRef newestFrame() {
    std::lock_guard<std::mutex> lock(frames->mutex);
    return frames->frames.back();
  }
  void zoom(double factor) {
    ASSERT_TRUE(camera->lockForConfiguration());
    camera->setVideoZoomFactor(factor);
    camera->unlockForConfiguration();
  }

  sim::World world{sim::World::Mode::realtime};
  ThreadedExecutor& loop = *world.threadedExecutor();
  const std::shared_ptr<AVCaptureBackend> layer = gstcam::makeCaptureBackend({.onlyCamera = "test", .placements = {}});
  ScopedAVCaptureBackend installed{layer};
  const std::shared_ptr<AVCaptureDevice> camera = AVCaptureDevice::defaultDeviceWithDeviceType(
      AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePosition::back);
  const std::shared_ptr<AVCaptureSession> session = AVCaptureSession::create();
  const std::shared_ptr<AVCaptureVideoDataOutput> output = AVCaptureVideoDataOutput::create();
  const std::shared_ptr<AVCapturePhotoOutput> photos = AVCapturePhotoOutput::create();
  const std::shared_ptr<FrameLog> frames = std::make_shared<FrameLog>();
  // The stream's size: the test camera's mode for the session's preset.
  const gstcam::VideoMode mode =
      gstcam::modeForPreset(gstcam::testCamera().modes, AVCaptureSessionPreset640x480).value_or(gstcam::VideoMode{});
};

// --- Frames in every format and orientation ---------------------------------

struct FrameCase {
  OSType format;
  Orientation orientation;
};

class GstFrameTest : public GstCaptureBackendTest, public testing::WithParamInterface<FrameCase> {};

TEST_P(GstFrameTest, FramesShowTheBarsInOrderInTheOutputsFormat) {
  const auto [format, orientation] = GetParam();
  output->setVideoSettings({{std::string(kCVPixelBufferPixelFormatTypeKey), format}});
  output->videoConnection()->setVideoOrientation(orientation);
  ASSERT_TRUE(startAndWaitForFrames()) << "no frames came";

  const auto frame = newestFrame();
  const auto picture = CMSampleBufferGetImageBuffer(frame);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->pixelFormatType(), format);
  const bool portrait = orientation == Orientation::portrait || orientation == Orientation::portraitUpsideDown;
  EXPECT_EQ(picture->width(), portrait ? mode.height : mode.width);
  EXPECT_EQ(picture->height(), portrait ? mode.width : mode.height);
  for (int bar = 0; bar < 7; ++bar) {
    const auto [x, y] = place((bar + 0.5) / 7, 0.1, orientation, picture->width(), picture->height());
    EXPECT_TRUE(shows(picture->rgbAt(x, y), bar)) << "at " << x << "," << y;
  }
  std::lock_guard<std::mutex> lock(frames->mutex);
  EXPECT_LT(CMTimeCompare(frames->frames.front()->presentationTimeStamp(), frame->presentationTimeStamp()), 0)
      << "presentation times do not advance";
}

INSTANTIATE_TEST_SUITE_P(Formats, GstFrameTest,
                         testing::Values(FrameCase{kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange,
                                                   Orientation::landscapeLeft},
                                         FrameCase{kCVPixelFormatType_420YpCbCr8BiPlanarFullRange,
                                                   Orientation::portrait},
                                         FrameCase{kCVPixelFormatType_32BGRA, Orientation::landscapeRight},
                                         FrameCase{kCVPixelFormatType_32BGRA, Orientation::portraitUpsideDown}));

// The test camera's frames come whole frames of its rate apart: 1/30 s by
// default, 1/60 s from the start after the device asked for that. The second
// run is at another size, so a late frame of the first is told apart.
TEST_F(GstCaptureBackendTest, TheDevicesMinimumFrameDurationSetsTheRateFromTheNextStart) {
  // Whether a frame of `width` pixels is an odd number of 60ths after the first such.
  const auto oddSixtieth = [&](int width) {
    std::lock_guard<std::mutex> lock(frames->mutex);
    std::optional<double> first;
    bool odd = false;
    for (const auto& frame : frames->frames) {
      if (CMSampleBufferGetImageBuffer(frame)->width() != width) continue;
      const double at = CMTimeGetSeconds(frame->presentationTimeStamp());
      if (!first) first = at;
      const double sixtieths = (at - *first) * 60;
      EXPECT_NEAR(sixtieths, std::round(sixtieths), 1e-3) << "a frame between frames of 60 a second";
      odd = odd || std::llround(sixtieths) % 2 == 1;
    }
    return odd;
  };
  ASSERT_TRUE(startAndWaitForFrames());
  EXPECT_FALSE(oddSixtieth(mode.height)) << "60 frames a second before anyone asked";
  session->stopRunning();

  session->setSessionPreset(AVCaptureSessionPreset1280x720);
  ASSERT_TRUE(camera->lockForConfiguration());
  camera->setActiveVideoMinFrameDuration(CMTimeMake(1, 60));
  camera->unlockForConfiguration();
  session->startRunning();
  EXPECT_TRUE(waitFor([&] { return oddSixtieth(720); })) << "no frame between the frames of 30 a second";
}

// --- Photos ------------------------------------------------------------------

struct PhotoCase {
  double zoom;
  Orientation orientation;
  // Points across the top band of the upright photo, and the bar each shows.
  std::vector<std::pair<double, int>> bars;
};

class GstPhotoTest : public GstCaptureBackendTest, public testing::WithParamInterface<PhotoCase> {};

TEST_P(GstPhotoTest, APhotoIsAJPEGOfTheBarsAtTheZoomAndOrientation) {
  const PhotoCase& c = GetParam();
  photos->videoConnection()->setVideoOrientation(c.orientation);
  ASSERT_TRUE(startAndWaitForFrames());
  zoom(c.zoom);
  const auto photo = std::make_shared<PhotoLog>();
  photos->capturePhotoWithSettings(AVCapturePhotoSettings::create(), photo);
  ASSERT_TRUE(waitFor([&] { return photo->finished.load(); })) << "the capture never finished";

  std::lock_guard<std::mutex> lock(photo->mutex);
  EXPECT_EQ(photo->moments, (std::vector<std::string>{"begin", "expose", "processed", "finished"}));
  ASSERT_TRUE(photo->data);
  const auto image = sim::decodeJPEG(*photo->data);
  ASSERT_TRUE(image) << "the photo is not a JPEG";
  const bool portrait = c.orientation == Orientation::portrait;
  EXPECT_EQ(image->width, portrait ? mode.height : mode.width);
  EXPECT_EQ(image->height, portrait ? mode.width : mode.height);
  for (const auto& [u, bar] : c.bars) {
    const auto [x, y] = place(u, 0.1, c.orientation, image->width, image->height);
    const std::uint8_t* rgb = image->at(x, y);
    EXPECT_TRUE(shows({rgb[0], rgb[1], rgb[2]}, bar)) << "at " << u;
  }
}

INSTANTIATE_TEST_SUITE_P(
    ZoomAndOrientation, GstPhotoTest,
    testing::Values(PhotoCase{1, Orientation::landscapeRight,
                              {{0.5 / 7, 0}, {1.5 / 7, 1}, {2.5 / 7, 2}, {3.5 / 7, 3}, {4.5 / 7, 4}, {5.5 / 7, 5},
                               {6.5 / 7, 6}}},
                    // Zoom 2 shows the middle half: from within yellow to within red.
                    PhotoCase{2, Orientation::landscapeRight, {{0.01, 1}, {0.2, 2}, {0.5, 3}, {0.8, 4}, {0.99, 5}}},
                    PhotoCase{2, Orientation::portrait, {{0.01, 1}, {0.5, 3}, {0.99, 5}}}));

// --- Lifetimes -----------------------------------------------------------------

TEST_F(GstCaptureBackendTest, StartsStopsAndRestartsLeaveNoPipelineAndNoThread) {
  // GLib keeps idle pool threads for a while; they are its cache, not ours.
  const auto settledAt = [&](std::size_t most) {
    return waitFor([&] {
      g_thread_pool_stop_unused_threads();
      return threadCount() <= most && gstcam::livePipelineCount() == 0;
    });
  };
  ASSERT_TRUE(startAndWaitForFrames());  // warms GStreamer up: its one-time threads and plugins
  session->stopRunning();
  ASSERT_TRUE(settledAt(10'000));
  const std::size_t threadsBefore = threadCount();

  for (int cycle = 0; cycle < 4; ++cycle) {
    ASSERT_TRUE(startAndWaitForFrames()) << "cycle " << cycle;
    EXPECT_EQ(gstcam::livePipelineCount(), 1u) << "streams of one camera share its pipeline";
    if (cycle % 2 == 1) {
      // As a camera switch does: the input goes and comes back while running.
      const auto input = session->inputs().front();
      session->removeInput(input);
      session->addInput(input);
      ASSERT_TRUE(startAndWaitForFrames()) << "no frames after the input came back";
    }
    const auto photo = std::make_shared<PhotoLog>();
    photos->capturePhotoWithSettings(AVCapturePhotoSettings::create(), photo);
    ASSERT_TRUE(waitFor([&] { return photo->finished.load(); }));
    session->stopRunning();
  }
  // The session's outputs go too, as a released controller's do.
  session->removeOutput(output);
  session->removeOutput(photos);
  EXPECT_TRUE(settledAt(threadsBefore)) << threadCount() << " threads for " << threadsBefore << " before, "
                                        << gstcam::livePipelineCount() << " pipelines";
}

TEST_F(GstCaptureBackendTest, APipelineErrorReachesTheSessionWhichThenStartsAgain) {
  struct Heard {
    std::mutex mutex;
    std::vector<NSError> errors;
  };
  const auto heard = std::make_shared<Heard>();
  NotificationCenter::defaultCenter().addObserver(
      heard,
      [heard](const Notification& notification) {
        if (!notification.userInfo) return;
        const auto found = notification.userInfo->find(AVCaptureSessionErrorKey);
        const auto* error = found != notification.userInfo->end() ? std::get_if<NSError>(&found->second) : nullptr;
        std::lock_guard<std::mutex> lock(heard->mutex);
        if (error) heard->errors.push_back(*error);
      },
      std::string(AVCaptureSessionRuntimeErrorNotification), session.get());

  ASSERT_TRUE(startAndWaitForFrames());
  EXPECT_TRUE(session->currentFrame()) << "the preview shows nothing";
  ASSERT_TRUE(gstcam::postPipelineError(*layer, "test", "forced failure"));
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard<std::mutex> lock(heard->mutex);
    return !heard->errors.empty();
  })) << "the session heard of no runtime error";
  {
    std::lock_guard<std::mutex> lock(heard->mutex);
    ASSERT_EQ(heard->errors.size(), 1u);
    EXPECT_EQ(heard->errors[0].domain, AVFoundationErrorDomain);
    EXPECT_NE(heard->errors[0].localizedDescription.find("forced failure"), std::string::npos);
  }
  // Torn down before the session heard of it.
  EXPECT_FALSE(session->currentFrame()) << "the failed pipeline still shows its picture";
  EXPECT_FALSE(gstcam::postPipelineError(*layer, "test", "again")) << "the failed pipeline still runs";

  session->stopRunning();
  ASSERT_TRUE(startAndWaitForFrames()) << "no frames after the restart";
}

}  // namespace
