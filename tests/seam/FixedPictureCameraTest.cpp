// A second device layer behind the capture framework: one back camera that
// always sees the same picture, with no simulated world behind it (no faults,
// no timetable: only dispatch queues and the media clock). The component runs
// on it end to end, so a layer needs nothing beyond what AVCaptureBackend.h names.

#include <gtest/gtest.h>

#include <atomic>

#include "AVFoundation/AVFoundation.h"
#include "Dispatch/Executor.h"
#include "KivoCamera.h"
#include "UIKit/UIApplication.h"
#include "sim/capture/TestChart.h"
#include "support/RecordingDelegate.h"

namespace {

// 64 x 48: red grows to the right, green downwards, over a constant blue.
const sim::RGBImage& picture() {
  static const sim::RGBImage image = [] {
    sim::RGBImage made{64, 48, std::vector<std::uint8_t>(64 * 48 * 3)};
    for (std::size_t i = 0; i < made.pixels.size(); i += 3) {
      const auto pixel = static_cast<int>(i / 3);
      made.pixels[i] = static_cast<std::uint8_t>(pixel % 64 * 4);
      made.pixels[i + 1] = static_cast<std::uint8_t>(pixel / 64 * 5);
      made.pixels[i + 2] = 128;
    }
    return made;
  }();
  return image;
}

void paint(const CVPixelBuffer& buffer, std::uint8_t* const* planes) {
  CVPixelBufferWriteRGB(buffer, planes, picture().pixels.data());
}

// Ticks on a queue of its own, holding the state weakly; the state owns the
// queue, so destroying the stream drops the next tick.
struct StreamState {
  std::atomic<OSType> format;
  std::weak_ptr<AVCaptureStreamSink> sink;
  DispatchQueue queue{"fixed-camera.frames"};
};

void tick(const std::shared_ptr<StreamState>& state, double interval) {
  state->queue.asyncAfter(interval, [weakState = std::weak_ptr<StreamState>(state), interval] {
    const auto state = weakState.lock();
    if (!state) return;
    if (const auto sink = state->sink.lock())
      sink->streamDidOutputFrame(CMSampleBuffer::createWithPainter(CMTimeMakeWithSeconds(CACurrentMediaTime(), 1000000),
                                                                   64, 48, state->format.load(), paint));
    tick(state, interval);
  });
}

class FixedPictureStream final : public AVCaptureStream {
 public:
  explicit FixedPictureStream(std::shared_ptr<StreamState> state) : state_(std::move(state)) {}
  CVPixelBufferRef currentFrame() override { return std::make_shared<CVPixelBuffer>(64, 48, state_->format, paint); }
  void setPixelFormat(OSType format) override { state_->format.store(format); }

 private:
  const std::shared_ptr<StreamState> state_;
};

class FixedPictureCamera final : public AVCaptureBackend {
 public:
  const Data photo = sim::encodeJPEG(picture());

  std::vector<std::shared_ptr<AVCaptureDevice>> devices() override { return {camera_}; }
  AVAuthorizationStatus authorizationStatus(AVMediaType) override { return AVAuthorizationStatus::authorized; }
  void requestAccess(AVMediaType, std::function<void(bool)> completion) override {
    DispatchQueue queue("fixed-camera.permission");  // lives until the answer has run
    queue.async([queue, completion = std::move(completion)] { completion(true); });
  }
  std::optional<NSError> applyControl(const std::shared_ptr<AVCaptureDevice>&, const AVCaptureControlChange&) override {
    return std::nullopt;
  }
  std::optional<NSError> openDevice(AVCaptureDevice&) override { return std::nullopt; }
  std::unique_ptr<AVCaptureStream> startStream(const std::shared_ptr<AVCaptureDevice>& device,
                                               const AVCaptureStreamRequest& request,
                                               std::weak_ptr<AVCaptureStreamSink> sink) override {
    auto state = std::make_shared<StreamState>(request.pixelFormat, std::move(sink));
    if (request.everyFrame) tick(state, 1 / device->activeFormat().maxFrameRate);
    return std::make_unique<FixedPictureStream>(std::move(state));
  }
  void captureStill(const std::shared_ptr<AVCaptureDevice>&, const AVCaptureStillRequest& request,
                    std::shared_ptr<AVCaptureStillObserver> observer) override {
    const auto range = CMTimeRangeMake(CMTimeMake(10, 1000), CMTimeMake(10, 1000));  // exposure to photo
    request.queue.async([observer, range] { observer->stillWillBegin(range); });
    request.queue.asyncAfter(0.01, [observer] { observer->stillWillExpose(); });
    request.queue.asyncAfter(0.02, [observer, photo = photo] { observer->stillDidProcess(photo, std::nullopt); });
    request.queue.asyncAfter(0.03, [observer] { observer->stillDidFinish(std::nullopt); });
  }
  std::int64_t nextPhotoSettingsID() override { return ++lastSettingsID_; }

 private:
  const std::shared_ptr<AVCaptureDevice> camera_ = AVCaptureDevice::create({.uniqueID = "back-wide"});
  std::atomic<std::int64_t> lastSettingsID_{0};
};

TEST(FixedPictureCameraTest, TheComponentShowsAndCapturesTheLayersPicture) {
  DeterministicExecutor executor;
  const auto layer = std::make_shared<FixedPictureCamera>();
  ScopedAVCaptureBackend installed(layer);
  CMSampleBufferRef lastFrame;
  auto delegate = std::make_shared<kivotest::RecordingDelegate>();
  delegate->onFrame = [&](const CMSampleBufferRef& frame, bool) { lastFrame = frame; };
  auto host = UIViewController::create();
  auto camera = KivoCamera::create();
  camera->setDelegate(delegate);
  camera->setEnableVideoDataOutput(true);
  camera->addToController(host);
  host->viewWillAppear(false);
  host->view()->layoutIfNeeded();
  host->viewDidAppear(false);
  executor.advance(1.01);

  ASSERT_EQ(delegate->frameCount(), 30u);  // the camera's 30 a second
  const auto shown = CMSampleBufferGetImageBuffer(lastFrame);
  ASSERT_TRUE(shown && shown->width() == 64 && shown->height() == 48);
  for (const auto& [x, y] : {std::pair{0, 0}, {63, 0}, {20, 30}, {63, 47}}) {
    const auto read = shown->rgbAt(x, y);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(read[k], picture().at(x, y)[k], 4) << x << "," << y << " #" << k;
  }
  camera->capturePhoto();
  executor.advance(0.1);
  EXPECT_EQ(delegate->photos(), std::vector<std::optional<Data>>{layer->photo});
  UIApplication::shared().resetToDefaults();  // the component turned the idle timer off
}

}  // namespace
