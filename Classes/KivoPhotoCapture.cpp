#include "KivoPhotoCapture.h"

#include <atomic>
#include <string>
#include <utility>

#include "Foundation/FatalError.h"
#include "KivoCameraLog.h"

namespace {

// Processors constructed minus processors destroyed.
std::atomic<std::size_t> gLiveProcessors{0};

void logCaptureError(const NSError& error) {
  std::string message = ") Error capturing photo: ";
  message.append(error.description());
  kivoLog(KivoCameraError::photoOutput, message);
}

}  // namespace

std::shared_ptr<KivoPhotoCaptureProcessor> KivoPhotoCaptureProcessor::create(
    std::shared_ptr<AVCapturePhotoSettings> photoSettings, AnimationHook willCapturePhotoAnimation,
    CompletionHandler completionHandler) {
  if (!photoSettings) fatalError("KivoPhotoCaptureProcessor needs photo settings");
  if (!completionHandler) fatalError("KivoPhotoCaptureProcessor needs a completion handler");
  return std::shared_ptr<KivoPhotoCaptureProcessor>(new KivoPhotoCaptureProcessor(
      std::move(photoSettings), std::move(willCapturePhotoAnimation), std::move(completionHandler)));
}

KivoPhotoCaptureProcessor::KivoPhotoCaptureProcessor(std::shared_ptr<AVCapturePhotoSettings> photoSettings,
                                                     AnimationHook willCapturePhotoAnimation,
                                                     CompletionHandler completionHandler)
    : photoSettings_(std::move(photoSettings)),
      willCapturePhotoAnimation_(std::move(willCapturePhotoAnimation)),
      completionHandler_(std::move(completionHandler)) {
  gLiveProcessors.fetch_add(1);
}

KivoPhotoCaptureProcessor::~KivoPhotoCaptureProcessor() { gLiveProcessors.fetch_sub(1); }

std::size_t KivoPhotoCaptureProcessor::liveCount() { return gLiveProcessors.load(); }

bool KivoPhotoCaptureProcessor::acceptsCallback() const {
  switch (phase_) {
    case Phase::capturing:
      return true;
    case Phase::finished:
#ifndef NDEBUG
      fatalError("KivoPhotoCaptureProcessor: the photo output called back after the capture finished");
#endif
      return false;
    case Phase::abandoned:
      return false;
  }
  return false;
}

void KivoPhotoCaptureProcessor::end(Phase phase) {
  phase_ = phase;
  completionHandler_(shared_from_this());
}

// --- Callbacks -------------------------------------------------------------------

void KivoPhotoCaptureProcessor::willBeginCaptureForResolvedSettings(AVCapturePhotoOutput&,
                                                                    const Resolved& resolvedSettings) {
  if (!acceptsCallback() || !resolvedSettings) return;
  maxPhotoProcessingTime_ = CMTimeRangeGetEnd(resolvedSettings->photoProcessingTimeRange());
}

void KivoPhotoCaptureProcessor::willCapturePhotoForResolvedSettings(AVCapturePhotoOutput&, const Resolved&) {
  if (!acceptsCallback()) return;
  if (willCapturePhotoAnimation_) willCapturePhotoAnimation_();
  // Strictly more than one second of processing counts as long.
  if (maxPhotoProcessingTime_ && CMTimeCompare(*maxPhotoProcessingTime_, CMTimeMakeWithSeconds(1.0, 1)) > 0) {
    if (photoProcessingHandler_) photoProcessingHandler_(true);
  }
}

void KivoPhotoCaptureProcessor::didFinishProcessingPhoto(AVCapturePhotoOutput&,
                                                         const std::shared_ptr<AVCapturePhoto>& photo,
                                                         const std::optional<NSError>& error) {
  if (!acceptsCallback()) return;
  if (photoProcessingHandler_) photoProcessingHandler_(false);
  if (error) {
    logCaptureError(*error);
    return;
  }
  photoData_ = photo ? photo->fileDataRepresentation() : std::nullopt;
}

void KivoPhotoCaptureProcessor::didFinishProcessingRawPhotoSampleBuffer(
    AVCapturePhotoOutput&, const CMSampleBufferRef& rawSampleBuffer, const CMSampleBufferRef& previewPhotoSampleBuffer,
    const Resolved&, const std::shared_ptr<AVCaptureBracketedStillImageSettings>&, const std::optional<NSError>& error) {
  if (!acceptsCallback()) return;
  if (photoProcessingHandler_) photoProcessingHandler_(false);
  if (error) {
    logCaptureError(*error);
    return;
  }
  // A missing or invalid buffer is ignored without a line.
  if (!CMSampleBufferIsValid(rawSampleBuffer)) return;
  photoData_ =
      AVCapturePhotoOutput::JPEGPhotoDataRepresentationForJPEGSampleBuffer(rawSampleBuffer, previewPhotoSampleBuffer);
}

void KivoPhotoCaptureProcessor::didFinishCaptureForResolvedSettings(AVCapturePhotoOutput&, const Resolved&,
                                                                    const std::optional<NSError>& error) {
  if (!acceptsCallback()) return;
  if (error) {
    logCaptureError(*error);
  } else if (!photoData_) {
    kivoLogLine("No photo data resource");
  }
  end(Phase::finished);
}

void KivoPhotoCaptureProcessor::endUnfinishedCapture() {
  if (phase_ != Phase::capturing) return;
  kivoLog(KivoCameraError::photoOutput, ") Error capturing photo: the capture did not finish");
  end(Phase::abandoned);
}
