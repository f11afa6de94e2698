#include "AVFoundation/AVCapturePhotoOutput.h"

#include <utility>

#include "AVFoundation/AVCaptureBackend.h"
#include "AVFoundation/AVCaptureDevice.h"
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

std::shared_ptr<AVCaptureConnection> AVCapturePhotoOutput::connectionWithMediaType(AVMediaType mediaType) const {
  if (AVCaptureCurrentBackend()->photoConnectionMissing()) return nullptr;
  return AVCaptureOutput::connectionWithMediaType(mediaType);
}

void AVCapturePhotoOutput::setHighResolutionCaptureEnabled(bool enabled) {
  traceCall(kReceiver, "setHighResolutionCaptureEnabled:", [&] { return formatBool(enabled); });
  highResolutionCaptureEnabled_.store(enabled);
}

void AVCapturePhotoOutput::setLivePhotoCaptureEnabled(bool enabled) {
  traceCall(kReceiver, "setLivePhotoCaptureEnabled:", [&] { return formatBool(enabled); });
  livePhotoCaptureEnabled_.store(enabled);
}

namespace {

// One capture between its request and its last callback. Touched only on the
// output's serial queue after the request.
struct PhotoCapture {
  std::weak_ptr<AVCapturePhotoCaptureDelegate> delegate;
  std::shared_ptr<const AVCaptureResolvedPhotoSettings> resolved;
  AVCapturePhotoPlan plan;
  AVCaptureFlashMode flashMode = AVCaptureFlashMode::off;
  bool connected = false;
  // Taken at exposure (the will-capture moment).
  AVCapturePhotoScene scene;
  CMTime exposureTime = kCMTimeInvalid;
};

}  // namespace

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

  auto capture = std::make_shared<PhotoCapture>();
  capture->delegate = delegate;
  capture->plan = AVCaptureCurrentBackend()->planPhotoCapture();
  capture->connected = connectionWithMediaType(AVMediaTypeVideo) != nullptr;
  if (!capture->connected) {
    capture->plan.processingError = capture->plan.finishError = capture->plan.noData = true;
  }
  const auto device = sourceDevice();
  capture->flashMode = device && device->isFlashAvailable() ? settings->flashMode() : AVCaptureFlashMode::off;
  const AVCapturePhotoPlan& plan = capture->plan;
  capture->resolved = std::make_shared<const AVCaptureResolvedPhotoSettings>(
      settings->uniqueID(), capture->flashMode == AVCaptureFlashMode::on,
      CMTimeRangeMake(mediaTime(plan.willCaptureDelay), mediaTime(plan.processedDelay - plan.willCaptureDelay)));
  capturesInFlight_.fetch_add(1);

  std::weak_ptr<AVCapturePhotoOutput> weakSelf =
      std::static_pointer_cast<AVCapturePhotoOutput>(shared_from_this());

  queue_.async([weakSelf, capture] {
    auto self = weakSelf.lock();
    auto delegate = capture->delegate.lock();
    if (self && delegate) delegate->willBeginCaptureForResolvedSettings(*self, capture->resolved);
  });

  queue_.asyncAfter(plan.willCaptureDelay, [weakSelf, capture] {
    auto self = weakSelf.lock();
    if (!self) return;
    capture->exposureTime = mediaTime(CACurrentMediaTime());
    capture->scene.device = self->sourceDevice();
    capture->scene.videoZoomFactor = capture->scene.device ? capture->scene.device->videoZoomFactor() : 1.0;
    capture->scene.orientation = self->videoConnection()->videoOrientation();
    capture->scene.flashMode = capture->flashMode;
    if (auto delegate = capture->delegate.lock()) delegate->willCapturePhotoForResolvedSettings(*self, capture->resolved);
  });

  // A capture that never finishes stays in flight.
  if (plan.neverFinishes) return;

  queue_.asyncAfter(plan.processedDelay, [weakSelf, capture] {
    auto self = weakSelf.lock();
    if (!self) return;
    std::optional<Data> fileData;
    if (!capture->plan.noData && !capture->plan.processingError)
      fileData = AVCaptureCurrentBackend()->photoFileData(capture->scene);
    auto photo = std::make_shared<AVCapturePhoto>(capture->resolved, capture->exposureTime, std::move(fileData));
    std::optional<NSError> error;
    if (capture->plan.processingError) error = av_detail::genericError();
    if (auto delegate = capture->delegate.lock()) delegate->didFinishProcessingPhoto(*self, photo, error);
  });

  queue_.asyncAfter(plan.finishedDelay, [weakSelf, capture] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->capturesInFlight_.fetch_sub(1);
    std::optional<NSError> error;
    if (capture->plan.finishError) error = av_detail::genericError();
    if (auto delegate = capture->delegate.lock())
      delegate->didFinishCaptureForResolvedSettings(*self, capture->resolved, error);
  });
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
