#include "AVFoundation/AVCapturePhotoOutput.h"

#include <utility>

#include "AVFoundation/AVCaptureBackend.h"
#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCaptureSession.h"
#include "AVFoundation/AVTrace.h"
#include "Foundation/FatalError.h"
#include "Foundation/TraceFormat.h"

using av_detail::traceCall;

namespace {
constexpr std::string_view kReceiver = "photo-output";

CMTime mediaTime(double seconds) { return CMTimeMakeWithSeconds(seconds, kCMTimeMaxTimescale); }
}  // namespace

// ---------------------------------------------------------------------------
// Settings

std::shared_ptr<AVCapturePhotoSettings> AVCapturePhotoSettings::create() {
  return std::make_shared<AVCapturePhotoSettings>(AVCaptureCurrentBackend()->nextPhotoSettingsID());
}

std::vector<OSType> AVCapturePhotoSettings::availablePreviewPhotoPixelFormatTypes() const {
  return {kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange,
          kCVPixelFormatType_32BGRA};
}

// ---------------------------------------------------------------------------
// Delegate defaults: a delegate implements only what it needs.

void AVCapturePhotoCaptureDelegate::willBeginCaptureForResolvedSettings(AVCapturePhotoOutput&, const Resolved&) {}
void AVCapturePhotoCaptureDelegate::willCapturePhotoForResolvedSettings(AVCapturePhotoOutput&, const Resolved&) {}
void AVCapturePhotoCaptureDelegate::didFinishProcessingPhoto(AVCapturePhotoOutput&,
                                                             const std::shared_ptr<AVCapturePhoto>&,
                                                             const std::optional<NSError>&) {}
void AVCapturePhotoCaptureDelegate::didFinishProcessingRawPhotoSampleBuffer(
    AVCapturePhotoOutput&, const CMSampleBufferRef&, const CMSampleBufferRef&, const Resolved&,
    const std::shared_ptr<AVCaptureBracketedStillImageSettings>&, const std::optional<NSError>&) {}
void AVCapturePhotoCaptureDelegate::didFinishCaptureForResolvedSettings(AVCapturePhotoOutput&, const Resolved&,
                                                                        const std::optional<NSError>&) {}

// ---------------------------------------------------------------------------
// Output

std::shared_ptr<AVCapturePhotoOutput> AVCapturePhotoOutput::create() {
  return std::make_shared<AVCapturePhotoOutput>();
}

AVCapturePhotoOutput::AVCapturePhotoOutput()
    : AVCaptureOutput("photo-connection"), queue_("com.kivocamera.platform.photo-output") {}

void AVCapturePhotoOutput::setHighResolutionCaptureEnabled(bool enabled) {
  traceCall(kReceiver, "setHighResolutionCaptureEnabled:", [&] { return formatBool(enabled); });
  highResolutionCaptureEnabled_.store(enabled);
}

void AVCapturePhotoOutput::setLivePhotoCaptureEnabled(bool enabled) {
  traceCall(kReceiver, "setLivePhotoCaptureEnabled:", [&] { return formatBool(enabled); });
  livePhotoCaptureEnabled_.store(enabled);
}

namespace {

// One capture between its request and its last callback: turns the device
// layer's moments into the delegate's callbacks. Its moments run on the
// output's serial queue, so nothing here is touched from two queues at once.
// Holds the delegate and the output weakly: a capture keeps neither alive.
class PhotoCapture final : public AVCaptureStillObserver {
 public:
  PhotoCapture(std::weak_ptr<AVCapturePhotoOutput> output, std::weak_ptr<AVCapturePhotoCaptureDelegate> delegate,
               std::int64_t uniqueID, AVCaptureFlashMode flashMode)
      : output_(std::move(output)), delegate_(std::move(delegate)), uniqueID_(uniqueID), flashMode_(flashMode) {}

  void stillWillBegin(CMTimeRange processing) override {
    resolve(processing);
    call([&](AVCapturePhotoOutput& output, AVCapturePhotoCaptureDelegate& delegate) {
      delegate.willBeginCaptureForResolvedSettings(output, resolved_);
    });
  }

  void stillWillExpose() override {
    exposureTime_ = mediaTime(CACurrentMediaTime());
    call([&](AVCapturePhotoOutput& output, AVCapturePhotoCaptureDelegate& delegate) {
      delegate.willCapturePhotoForResolvedSettings(output, resolved_);
    });
  }

  void stillDidProcess(std::optional<Data> fileData, std::optional<NSError> error) override {
    auto photo = std::make_shared<AVCapturePhoto>(resolved_, exposureTime_, std::move(fileData));
    call([&](AVCapturePhotoOutput& output, AVCapturePhotoCaptureDelegate& delegate) {
      delegate.didFinishProcessingPhoto(output, photo, error);
    });
  }

  void stillDidFinish(std::optional<NSError> error) override {
    if (auto output = output_.lock()) output->captureDidFinish();
    call([&](AVCapturePhotoOutput& output, AVCapturePhotoCaptureDelegate& delegate) {
      delegate.didFinishCaptureForResolvedSettings(output, resolved_, error);
    });
  }

 private:
  void resolve(CMTimeRange processing) {
    resolved_ = std::make_shared<const AVCaptureResolvedPhotoSettings>(
        uniqueID_, flashMode_ == AVCaptureFlashMode::on, processing);
  }

  template <class Callback>
  void call(Callback&& callback) {
    auto output = output_.lock();
    if (!output) return;
    // A layer that skipped the beginning still gets settings to hand on.
    if (!resolved_) resolve(CMTimeRangeMake(kCMTimeZero, kCMTimeZero));
    if (auto delegate = delegate_.lock()) callback(*output, *delegate);
  }

  const std::weak_ptr<AVCapturePhotoOutput> output_;
  const std::weak_ptr<AVCapturePhotoCaptureDelegate> delegate_;
  const std::int64_t uniqueID_;
  const AVCaptureFlashMode flashMode_;
  std::shared_ptr<const AVCaptureResolvedPhotoSettings> resolved_;
  CMTime exposureTime_ = kCMTimeInvalid;
};

}  // namespace

void AVCapturePhotoOutput::captureDidFinish() { capturesInFlight_.fetch_sub(1); }

void AVCapturePhotoOutput::capturePhotoWithSettings(const std::shared_ptr<AVCapturePhotoSettings>& settings,
                                                    const std::shared_ptr<AVCapturePhotoCaptureDelegate>& delegate) {
  if (!settings) fatalError("AVCapturePhotoOutput capturePhotoWithSettings:delegate: needs settings");
  traceCall(kReceiver, "capturePhotoWithSettings:delegate:", [&] {
    std::string arguments = "id=";
    arguments.append(formatInteger(settings->uniqueID()));
    arguments.append(" flash=");
    arguments.append(formatInteger(rawValue(settings->flashMode())));
    arguments.append(" highres=");
    arguments.append(formatBool(settings->isHighResolutionPhotoEnabled()));
    return arguments;
  });

  const auto device = sourceDevice();
  const auto flashMode = device && device->isFlashAvailable() ? settings->flashMode() : AVCaptureFlashMode::off;
  auto self = std::static_pointer_cast<AVCapturePhotoOutput>(shared_from_this());
  auto capture = std::make_shared<PhotoCapture>(self, delegate, settings->uniqueID(), flashMode);
  capturesInFlight_.fetch_add(1);

  const auto owner = session();
  const bool active = device && owner && owner->isRunning() && connectionWithMediaType(AVMediaTypeVideo);
  if (!active) {
    // No active connection: nothing is exposed, the capture fails at once.
    queue_.async([capture] {
      capture->stillWillBegin(CMTimeRangeMake(kCMTimeZero, kCMTimeZero));
      capture->stillDidProcess(std::nullopt, av_detail::sessionNotRunningError());
      capture->stillDidFinish(av_detail::sessionNotRunningError());
    });
    return;
  }
  AVCaptureStillRequest request{queue_, settings->uniqueID(), flashMode, settings->isHighResolutionPhotoEnabled(),
                                videoConnection()};
  AVCaptureCurrentBackend()->captureStill(device, request, std::move(capture));
}

std::optional<Data> AVCapturePhotoOutput::JPEGPhotoDataRepresentationForJPEGSampleBuffer(
    const CMSampleBufferRef& JPEGSampleBuffer, const CMSampleBufferRef&) {
  if (!CMSampleBufferIsValid(JPEGSampleBuffer) || JPEGSampleBuffer->mediaSubType() != kCMVideoCodecType_JPEG)
    return std::nullopt;
  const auto& data = JPEGSampleBuffer->dataBuffer();
  // A JPEG file starts with the start-of-image marker.
  if (!data || data->size() < 2 || (*data)[0] != 0xFF || (*data)[1] != 0xD8) return std::nullopt;
  return data;
}
