// KivoCamera: the photo capture request and its end. The request is checked
// on the main thread, built and recorded on the session queue; the end
// removes the record on the session queue and delivers on the main queue.

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCapturePhotoOutput.h"
#include "Foundation/WhileAlive.h"
#include "KivoCamera.h"
#include "KivoCameraSafeDict.h"
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

// What keeps the controller alive while a capture is in progress: the guard
// block below holds it, and the capture's end empties it. The processor's
// hooks hold the controller weakly, so the table -> processor path is no
// cycle: when the queues are torn down with the capture still open (the
// world or the device layer goes first), the dropped guard lets the
// controller go.
using CaptureHold = std::shared_ptr<KivoCamera>;

// Runs on the output's callback queue, serial with the processor's own
// callbacks, so the processor is never touched from two queues at once. Holds
// neither the output nor the processor; holds the controller through `hold`.
void guardUnfinishedCapture(const std::shared_ptr<AVCapturePhotoOutput>& output,
                            const std::shared_ptr<KivoPhotoCaptureProcessor>& processor, double delay,
                            bool waitedForProcessing, std::shared_ptr<CaptureHold> hold) {
  auto guard = whileAlive(std::weak_ptr<KivoPhotoCaptureProcessor>(processor),
                          [weakOutput = std::weak_ptr<AVCapturePhotoOutput>(output), waitedForProcessing,
                           hold = std::move(hold)](const std::shared_ptr<KivoPhotoCaptureProcessor>& processor) {
    if (processor->hasEnded()) return;
    if (!waitedForProcessing) {
      const auto processingEnd = processor->maxPhotoProcessingTime();
      const double remaining = processingEnd ? CMTimeGetSeconds(*processingEnd) : 0.0;
      const auto output = weakOutput.lock();
      if (output && remaining > 0) {
        guardUnfinishedCapture(output, processor, remaining, true, hold);
        return;
      }
    }
    processor->endUnfinishedCapture();
  });
  output->callbackQueue().asyncAfter(delay, std::move(guard));
}

}  // namespace

void KivoCamera::capturePhoto() {
  KIVO_ASSERT_MAIN_THREAD();
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

    auto hold = std::make_shared<CaptureHold>(self);
    const std::weak_ptr<KivoCamera> weakSelf = self;
    auto processor = KivoPhotoCaptureProcessor::create(
        settings, whileAlive(weakSelf, [](const std::shared_ptr<KivoCamera>& self) { self->capturePhotoAnimation(); }),
        whileAlive(weakSelf, [weakHold = std::weak_ptr<CaptureHold>(hold), t0](
                                 const std::shared_ptr<KivoCamera>& self,
                                 const std::shared_ptr<KivoPhotoCaptureProcessor>& finished) {
          // Both are queued before either runs; their order is not fixed.
          self->sessionQueue_.async([self, finished] {
            self->inProgressPhotoCaptureDelegates_->removeValue(finished->photoSettings()->uniqueID());
          });
          DispatchQueue::main().async([self, finished, t0] {
            KIVO_ASSERT_MAIN_THREAD();
            self->analytics(KivoCameraPerfomanceStep::capture, CACurrentMediaTime() - t0);
            if (self->focusView_) self->focusView_->stopAnimation();
            self->notifyDelegate(KivoCameraDelegateSelector::cameraDidCapturePhoto, [&](KivoCameraDelegate& delegate) {
              delegate.cameraDidCapturePhoto(*self, finished->photoData());
            });
          });
          // The queued blocks hold the controller from here on.
          if (const auto held = weakHold.lock()) held->reset();
        }));

    // Recorded before the output is asked: the record is what keeps the
    // processor alive, since the output holds its delegate weakly.
    (*self->inProgressPhotoCaptureDelegates_)[settings->uniqueID()] = processor;
    self->photoOutput_->capturePhotoWithSettings(settings, processor);
    guardUnfinishedCapture(self->photoOutput_, processor, kUnfinishedCaptureGraceSeconds, false, std::move(hold));
  });
}
