// KivoCamera: the torch, the flash mode and the switch between the back and
// the front camera. The torch and flash run on the caller's thread (the lock
// for the torch is taken there); the switch starts there and rebuilds the
// session's input on the session queue. Every callback goes to the main
// queue, holding the controller until it has run.

#include <string>

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCaptureSession.h"
#include "KivoCamera.h"
#include "KivoCameraAnalytics.h"
#include "KivoCameraLog.h"
#include "KivoFocusView.h"

namespace {

constexpr auto kBack = static_cast<std::int64_t>(AVCaptureDevicePosition::back);
constexpr auto kFront = static_cast<std::int64_t>(AVCaptureDevicePosition::front);

// A torch failure: its event, then its line with the platform's error text.
void reportTorchFailure(KivoCameraError error, const NSError& cause) {
  KivoCameraAnalytics::analytics(error);
  std::string message = ") ";
  message.append(cause.description());
  kivoLog(error, message);
}

}  // namespace

// --- Torch --------------------------------------------------------------------------------

void KivoCamera::toggleTorch(bool on) {
  // Read once: a camera switch may replace the device on the session queue.
  const auto device = videoDevice();
  if (!device || !device->isTorchAvailable() || cameraPosition_ != kBack) return;

  // The device's own torch state is the only record; nothing to change means
  // no lock, but the request is still reported.
  if (device->isTorchActive() != on) {
    NSError lockError;
    if (!device->lockForConfiguration(&lockError)) {
      reportTorchFailure(KivoCameraError::torchLocking, lockError);
    } else {
      if (on) {
        NSError torchError;
        if (!device->setTorchModeOnWithLevel(1.0f, &torchError)) {
          reportTorchFailure(KivoCameraError::torch, torchError);
        }
      } else {
        device->setTorchMode(AVCaptureTorchMode::off);
      }
      device->unlockForConfiguration();
    }
  }

  // The requested state, also when nothing changed or the change failed.
  DispatchQueue::main().async([self = self(), on] {
    self->notifyDelegate(KivoCameraDelegateSelector::cameraDidChangeTorch,
                         [&](KivoCameraDelegate& delegate) { delegate.cameraDidChangeTorch(*self, on); });
  });
}

// --- Flash ---------------------------------------------------------------------------------

void KivoCamera::toggleFlash(std::int64_t flashMode) {
  const auto device = videoDevice();
  if (!device || !device->isFlashAvailable()) return;
  // Stored only: each photo's settings take it (the device is not configured).
  flashMode_ = flashMode;
  DispatchQueue::main().async([self = self()] {
    self->notifyDelegate(KivoCameraDelegateSelector::cameraDidChangeFlashMode, [&](KivoCameraDelegate& delegate) {
      delegate.cameraDidChangeFlashMode(*self, self->flashMode_);  // its value when the callback runs
    });
  });
}

// --- Camera switch ---------------------------------------------------------------------------

void KivoCamera::toggleCameraPosition(bool isBack) {
  if (!session_->isRunning()) return;
  const std::int64_t wanted = isBack ? kBack : kFront;
  if (wanted == cameraPosition_) return;
  cameraPosition_ = wanted;

  // Resets the zoom of the device still in use and tells the delegate.
  zoomWithLevel(0, false, true);
  stopSession();
  sessionQueue_.async([self = self()] { self->reconfigureCameraPosition(); });
  // Sees the new position: switching to the front it does nothing; switching
  // to the back it meets whichever device is current by now.
  toggleTorch(false);
}

void KivoCamera::reconfigureCameraPosition() {
  KIVO_ASSERT_ON_QUEUE(sessionQueue_);
  // Every input goes first, outside the configuration block.
  for (const auto& input : session_->inputs()) session_->removeInput(input);

  session_->beginConfiguration();
  initVideoDevice();
  configureSessionPreset();
  configVideoDevice();
  configDeviceInput();
  session_->commitConfiguration();

  DispatchQueue::main().async([self = self()] {
    KIVO_ASSERT_MAIN_THREAD();
    if (self->focusView_) self->focusView_->stopAnimation();
    self->notifyDelegate(KivoCameraDelegateSelector::cameraDidToggleCameraPosition, [&](KivoCameraDelegate& delegate) {
      delegate.cameraDidToggleCameraPosition(*self, self->cameraPosition_ == kBack);
    });
  });
  // Queued behind this block: the delegate may hear of the switch first.
  startSession();
}
