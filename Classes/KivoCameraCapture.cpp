// KivoCamera: the photo capture request and its end. The request is checked
// on the caller's thread, built and recorded on the session queue; the end
// removes the record on the session queue and delivers on the main queue.

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCapturePhotoOutput.h"
#include "KivoCamera.h"
#include "KivoFocusView.h"
#include "KivoOrientation.h"
#include "KivoPhotoCapture.h"

namespace {

// A capture whose output never finishes it would keep its table entry, and so
// the controller, for good, and drop every later request. It is ended by the
// component this long after the end of the processing time the output
// announced (after the request when it announced none), far beyond any
// capture that does finish.
constexpr double kUnfinishedCaptureGraceSeconds = 10.0;

// Runs on the output's callback queue, serial with the processor's own
// callbacks, so the processor is never touched from two queues at once. Holds
// neither the output nor the processor.
void guardUnfinishedCapture(const std::shared_ptr<AVCapturePhotoOutput>& output,
                            const std::shared_ptr<KivoPhotoCaptureProcessor>& processor, double delay,
                            bool waitedForProcessing) {
  output->callbackQueue().asyncAfter(
      delay, [weakOutput = std::weak_ptr<AVCapturePhotoOutput>(output),
              weakProcessor = std::weak_ptr<KivoPhotoCaptureProcessor>(processor), waitedForProcessing] {
        const auto processor = weakProcessor.lock();
        if (!processor || processor->hasEnded()) return;
        if (!waitedForProcessing) {
          const auto processingEnd = processor->maxPhotoProcessingTime();
          const double remaining = processingEnd ? CMTimeGetSeconds(*processingEnd) : 0.0;
          const auto output = weakOutput.lock();
          if (output && remaining > 0) {
            guardUnfinishedCapture(output, processor, remaining, true);
            return;
          }
        }
        processor->endUnfinishedCapture();
      });
}

}  // namespace

void KivoCamera::capturePhoto() {
  analyticsPreviewPossibleError(KivoCameraPerfomanceStep::capture);
  auto device = videoDevice();
  if (!device) return;
  auto connection = photoOutput_->connectionWithMediaType(AVMediaTypeVideo);
  if (!connection) return;

  sessionQueue_.async([self = self(), connection = std::move(connection), device = std::move(device)] {
    const double t0 = CACurrentMediaTime();
    if (self->inProgressPhotoCaptureDelegates_->count() != 0) return;

    if (self->shouldUseDeviceOrientation_) {
      const auto estimator = self->orientation();
      if (const auto videoOrientation = estimator ? estimator->videoOrientation() : std::nullopt)
        connection->setVideoOrientation(*videoOrientation);
    }

    auto settings = AVCapturePhotoSettings::create();
    // The raw value is passed on unchanged.
    if (device->isFlashAvailable()) settings->setFlashMode(static_cast<AVCaptureFlashMode>(self->flashMode_.load()));
    settings->setHighResolutionPhotoEnabled(self->shouldHighResolutionPhotoEnabled_);
    const auto previewFormats = settings->availablePreviewPhotoPixelFormatTypes();
    if (!previewFormats.empty()) {
      settings->setPreviewPhotoFormat(
          {{std::string(kCVPixelBufferPixelFormatTypeKey), static_cast<std::int64_t>(previewFormats.front())}});
    }

    auto processor = KivoPhotoCaptureProcessor::create(
        settings, [self] { self->capturePhotoAnimation(); },
        [self, t0](const std::shared_ptr<KivoPhotoCaptureProcessor>& finished) {
          // Both are queued before either runs; their order is not fixed.
          self->sessionQueue_.async([self, finished] {
            self->inProgressPhotoCaptureDelegates_->removeValue(finished->photoSettings()->uniqueID());
          });
          DispatchQueue::main().async([self, finished, t0] {
            self->analytics(KivoCameraPerfomanceStep::capture, CACurrentMediaTime() - t0);
            if (self->focusView_) self->focusView_->stopAnimation();
            self->notifyDelegate(KivoCameraDelegateSelector::cameraDidCapturePhoto, [&](KivoCameraDelegate& delegate) {
              delegate.cameraDidCapturePhoto(*self, finished->photoData());
            });
          });
        });

    // Recorded before the output is asked: the record is what keeps the
    // processor alive, since the output holds its delegate weakly.
    (*self->inProgressPhotoCaptureDelegates_)[settings->uniqueID()] = processor;
    self->photoOutput_->capturePhotoWithSettings(settings, processor);
    guardUnfinishedCapture(self->photoOutput_, processor, kUnfinishedCaptureGraceSeconds, false);
  });
}
