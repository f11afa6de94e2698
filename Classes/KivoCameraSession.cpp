// KivoCamera: the session setup pipeline, starting and stopping the session,
// its notifications and the device observations.

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCaptureInput.h"
#include "AVFoundation/AVCapturePhotoOutput.h"
#include "AVFoundation/AVCaptureSession.h"
#include "AVFoundation/AVCaptureVideoDataOutput.h"
#include "Foundation/NotificationCenter.h"
#include "Foundation/ProcessInfo.h"
#include "Foundation/WhileAlive.h"
#include "KivoCamera.h"
#include "KivoCameraAnalytics.h"
#include "KivoCameraAuthorization.h"
#include "KivoCameraHandles.h"
#include "KivoCameraHelper.h"
#include "KivoCameraLog.h"
#include "UIKit/UIApplication.h"

// --- Authorisation and the configuration block --------------------------------------

void KivoCamera::handleSessionAfterAuthorization() {
  KIVO_ASSERT_MAIN_THREAD();
  switch (AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo)) {
    case AVAuthorizationStatus::authorized:
      KivoCameraAnalytics::analytics(KivoCameraAuthorizationStatus::authorized);
      break;
    case AVAuthorizationStatus::notDetermined: {
      // Nothing queued on the session queue runs until the user has answered.
      sessionQueue_.suspend();
      AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [self = self()](bool granted) {
        if (!granted) self->sessionSetupResult_ = SessionSetupResult::unauthorized;
        KivoCameraAnalytics::analytics(granted ? KivoCameraAuthorizationStatus::authorized
                                               : KivoCameraAuthorizationStatus::unauthorized);
        self->sessionQueue_.resume();
      });
      break;
    }
    default:
      sessionSetupResult_ = SessionSetupResult::unauthorized;
      KivoCameraAnalytics::analytics(KivoCameraAuthorizationStatus::unauthorized);
      break;
  }

  sessionQueue_.async([self = self()] {
    if (self->sessionSetupResult_ != SessionSetupResult::success) return;
    const double start = CACurrentMediaTime();
    self->session_->beginConfiguration();
    // Every step runs even after an earlier one failed.
    self->initVideoDevice();
    self->configureSessionPreset();
    self->configVideoDevice();
    self->configDeviceInput();
    self->addPhotoOutput();
    self->session_->commitConfiguration();
    self->analytics(KivoCameraPerfomanceStep::launch, CACurrentMediaTime() - start);
  });
}

void KivoCamera::reportConfigurationFailure(KivoCameraError error, std::string_view message) {
  KivoCameraAnalytics::analytics(error);
  kivoLog(error, message);
  sessionSetupResult_ = SessionSetupResult::configurationFailed;
  session_->commitConfiguration();
}

// --- Configuration steps (session queue) ---------------------------------------------

void KivoCamera::initVideoDevice() {
  KIVO_ASSERT_ON_QUEUE(sessionQueue_);
  if (cameraPosition_ == static_cast<std::int64_t>(AVCaptureDevicePosition::front)) {
    if (auto device = AVCaptureDevice::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInWideAngleCamera,
                                                                   AVMediaTypeVideo, AVCaptureDevicePosition::front))
      handles_->videoDevice.store(device);
    return;
  }
  // Back, and unspecified too.
  std::vector<AVCaptureDeviceType> types{AVCaptureDeviceTypeBuiltInWideAngleCamera};
  if (shouldAutoUseMultiCamera_) {
    types = {AVCaptureDeviceTypeBuiltInTripleCamera, AVCaptureDeviceTypeBuiltInDualCamera,
             AVCaptureDeviceTypeBuiltInDualWideCamera, AVCaptureDeviceTypeBuiltInWideAngleCamera};
  }
  for (const auto type : types) {
    if (auto device = AVCaptureDevice::defaultDeviceWithDeviceType(type, AVMediaTypeVideo,
                                                                   AVCaptureDevicePosition::back)) {
      handles_->videoDevice.store(device);
      break;
    }
  }
  if (ProcessInfo::isOperatingSystemAtLeast(15)) {
    const auto device = videoDevice();
    std::string line = "[KivoCamera] ";
    line.append(device ? std::string(device->deviceType()) : std::string("nil"));
    line.append(" minimumFocusDistance: ");
    line.append(std::to_string(device ? device->minimumFocusDistance() : 0));
    kivoLogLine(line);
  }
}

void KivoCamera::configureSessionPreset() {
  KIVO_ASSERT_ON_QUEUE(sessionQueue_);
  configAutoResolution();
  const auto device = videoDevice();
  const std::string preset = sessionPreset();
  if (device && device->supportsAVCaptureSessionPreset(preset)) {
    session_->setSessionPreset(preset);
  } else {
    session_->setSessionPreset(AVCaptureSessionPresetPhoto);
  }
}

void KivoCamera::configAutoResolution() {
  if (!shouldUseAutoResolution_) return;
  // Whole units of 4 MiB; 175 of them is 700 MiB.
  if ((KivoCameraHelper::availableMemory() >> 22) >= 175) {
    setSessionPreset(std::string(AVCaptureSessionPresetPhoto));
  } else {
    setSessionPreset(std::string(AVCaptureSessionPreset1920x1080));
    shouldHighResolutionPhotoEnabled_ = false;
  }
}

void KivoCamera::configVideoDevice() {
  KIVO_ASSERT_ON_QUEUE(sessionQueue_);
  const auto device = videoDevice();
  if (!device) {
    reportConfigurationFailure(KivoCameraError::videoDevice, ") Default video device is unavailable.");
    return;
  }
  if (!device->lockForConfiguration()) {
    reportConfigurationFailure(KivoCameraError::lockingConfiguration, ") Error locking configuration.");
    return;
  }
  if (device->isFocusModeSupported(AVCaptureFocusMode::continuousAutoFocus)) {
    device->setFocusMode(AVCaptureFocusMode::continuousAutoFocus);
    if (device->isSmoothAutoFocusSupported()) device->setSmoothAutoFocusEnabled(true);
  }
  if (device->isExposureModeSupported(AVCaptureExposureMode::continuousAutoExposure))
    device->setExposureMode(AVCaptureExposureMode::continuousAutoExposure);
  if (device->isWhiteBalanceModeSupported(AVCaptureWhiteBalanceMode::continuousAutoWhiteBalance))
    device->setWhiteBalanceMode(AVCaptureWhiteBalanceMode::continuousAutoWhiteBalance);
  if (device->isLowLightBoostSupported()) device->setAutomaticallyEnablesLowLightBoostWhenAvailable(true);
  device->unlockForConfiguration();
}

void KivoCamera::configDeviceInput() {
  KIVO_ASSERT_ON_QUEUE(sessionQueue_);
  const auto device = videoDevice();
  if (!device) return;  // already reported by configVideoDevice
  NSError error;
  auto input = AVCaptureDeviceInput::createWithDevice(device, &error);
  if (!input) {
    std::string message = ") Couldn't create video device input: ";
    message.append(error.description());
    reportConfigurationFailure(KivoCameraError::videoDeviceInput, message);
    return;
  }
  if (!session_->canAddInput(input)) {
    reportConfigurationFailure(KivoCameraError::addVideoDeviceInput,
                               ") Couldn't add video device input to the session.");
    return;
  }
  session_->addInput(input);
  if (input->device()->hasMediaType(AVMediaTypeVideo)) addCaptureDeviceObservers(device);
}

void KivoCamera::addPhotoOutput() {
  KIVO_ASSERT_ON_QUEUE(sessionQueue_);
  if (!session_->canAddOutput(photoOutput_)) {
    reportConfigurationFailure(KivoCameraError::addPhotoOutput, ") Could not add photo output to the session.");
    return;
  }
  if (const auto device = videoDevice()) {
    const auto supported = device->activeFormat().supportedColorSpaces;
    const std::int64_t active = device->activeColorSpace();
    if (std::find(supported.begin(), supported.end(), active) == supported.end()) {
      std::vector<std::string> names;
      for (const auto space : supported) names.push_back(std::to_string(space));
      KivoCameraAnalytics::analyticsColorSpacesError(names, std::to_string(active));
    }
  }
  session_->addOutput(photoOutput_);
  photoOutput_->setHighResolutionCaptureEnabled(true);
  photoOutput_->setLivePhotoCaptureEnabled(photoOutput_->isLivePhotoCaptureSupported());
  addVideoDataOutput();
}

void KivoCamera::addVideoDataOutput() {
  if (!enableVideoDataOutput_) return;
  auto output = AVCaptureVideoDataOutput::create();
  DispatchQueue videoQueue(kVideoOutputQueueLabel);
  output->setSampleBufferDelegate(self(), videoQueue);
  if (const auto format = videoOutputSettingFormatType()) {
    const auto available = output->availableVideoPixelFormatTypes();
    if (std::find(available.begin(), available.end(), *format) != available.end())
      output->setVideoSettings({{std::string(kCVPixelBufferPixelFormatTypeKey), static_cast<std::int64_t>(*format)}});
  }
  // A refused frame output is dropped without a report.
  if (session_->canAddOutput(output)) session_->addOutput(output);
}

void KivoCamera::setVideoOutputSettingFormatType(std::uint32_t type) { videoOutputSettingFormatType_ = type; }

// --- At every appearance ---------------------------------------------------------------

void KivoCamera::handleSessionAfterSetupResult() {
  sessionQueue_.async([self = self()] {
    switch (self->sessionSetupResult_.load()) {
      case SessionSetupResult::success:
        self->addObservers();
        if (!self->shouldKeepSessionStopping_) self->startSession();
        break;
      case SessionSetupResult::unauthorized:
        if (self->shouldPromptToAppSettings_) KivoCameraAuthorization::promptToAppSettings(self);
        break;
      case SessionSetupResult::configurationFailed:
        DispatchQueue::main().async([] {
          KivoCameraAnalytics::analytics(KivoCameraError::configFailed);
          kivoLog(KivoCameraError::configFailed);
        });
        break;
    }
  });
}

// --- Running --------------------------------------------------------------------------

void KivoCamera::startSession() {
  shouldKeepSessionStopping_ = false;
  sessionQueue_.async([self = self()] {
    if (self->sessionSetupResult_ != SessionSetupResult::success) return;
    if (self->session_->isRunning()) return;
    self->session_->startRunning();
    self->analyticsPreviewPossibleError(KivoCameraPerfomanceStep::startSession);
  });
}

void KivoCamera::stopSession() {
  sessionQueue_.async([self = self()] {
    if (self->sessionSetupResult_ != SessionSetupResult::success || !self->session_->isRunning()) return;
    self->session_->stopRunning();
  });
}

// --- Observers -------------------------------------------------------------------------

void KivoCamera::addObservers() {
  KIVO_ASSERT_ON_QUEUE(sessionQueue_);
  auto& center = NotificationCenter::defaultCenter();
  const auto me = self();
  center.addObserver(me, &KivoCamera::sessionRuntimeError, std::string(AVCaptureSessionRuntimeErrorNotification),
                     session_.get());
  center.addObserver(me, &KivoCamera::sessionWasInterrupted,
                     std::string(AVCaptureSessionWasInterruptedNotification), session_.get());
  center.addObserver(me, &KivoCamera::sessionInterruptionEnded,
                     std::string(AVCaptureSessionInterruptionEndedNotification), session_.get());
  center.addObserver(me, &KivoCamera::didEnterForeground, UIApplicationDidBecomeActiveNotification, nullptr);
  center.addObserver(me, &KivoCamera::didEnterBackground, UIApplicationWillResignActiveNotification, nullptr);

  const auto device = videoDevice();
  if (!device) return;
  const unsigned newAndOld = NSKeyValueObservingOptionNew | NSKeyValueObservingOptionOld;
  if (shouldListeningToExposure_) {
    isoObserver_ = device->observeISO(
        newAndOld, whileAlive(weakSelf(), [](const std::shared_ptr<KivoCamera>& self, const std::shared_ptr<AVCaptureDevice>&,
                                             const KeyValueChange<float>& change) {
          auto current = self->videoDevice();
          if (!current || !change.newValue) return;
          self->notifyDelegate(KivoCameraDelegateSelector::cameraDeviceDidChangeISO, [&](KivoCameraDelegate& delegate) {
            delegate.cameraDeviceDidChangeISO(*self, *current, *change.newValue);
          });
        }));
  }
  if (shouldListeningToAutoFocus_) {
    autoFocusObserver_ = device->observeAdjustingFocus(
        newAndOld, whileAlive(weakSelf(), [](const std::shared_ptr<KivoCamera>& self, const std::shared_ptr<AVCaptureDevice>&,
                                             const KeyValueChange<bool>& change) {
          auto current = self->videoDevice();
          if (!current || !change.newValue) return;
          self->notifyDelegate(KivoCameraDelegateSelector::cameraDeviceDidChangeAdjustingFocus,
                               [&](KivoCameraDelegate& delegate) {
                                 delegate.cameraDeviceDidChangeAdjustingFocus(*self, *current, *change.newValue);
                               });
        }));
  }
}

void KivoCamera::addCaptureDeviceObservers(const std::shared_ptr<AVCaptureDevice>& device) {
  observers_.push_back(device->observeAdjustingFocus(
      NSKeyValueObservingOptionNew,
      whileAlive(weakSelf(), [](const std::shared_ptr<KivoCamera>& self, const std::shared_ptr<AVCaptureDevice>& observed,
                                const KeyValueChange<bool>&) {
        if (observed && !observed->isAdjustingFocus()) self->focusEnded();
      })));
}

// --- Notifications (on the posting queue) ----------------------------------------------

void KivoCamera::sessionRuntimeError(const Notification& notification) {
  if (!notification.userInfo) return;
  const auto found = notification.userInfo->find(AVCaptureSessionErrorKey);
  if (found == notification.userInfo->end()) return;
  const auto* error = std::get_if<NSError>(&found->second);
  if (!error || error->domain != AVFoundationErrorDomain) return;
  std::string message = ") Capture session runtime error: ";
  message.append(error->description());
  kivoLog(KivoCameraError::sessionRuntimeError, message);
  KivoCameraAnalytics::analytics(KivoCameraError::sessionRuntimeError, error->code);
}

void KivoCamera::sessionWasInterrupted(const Notification& notification) {
  if (!notification.userInfo) return;
  const auto found = notification.userInfo->find(AVCaptureSessionInterruptionReasonKey);
  if (found == notification.userInfo->end()) return;
  const auto reason = integerValueOf(found->second);
  if (!reason) return;
  std::string message = ") Capture session was interrupted with reason ";
  message.append(std::to_string(*reason));
  kivoLog(KivoCameraError::sessionWasInterrupted, message);
  KivoCameraAnalytics::analytics(KivoCameraError::sessionWasInterrupted, *reason);
}

void KivoCamera::sessionInterruptionEnded(const Notification&) {
  KivoCameraAnalytics::analytics(KivoCameraError::sessionInterruptionEnded);
  kivoLog(KivoCameraError::sessionInterruptionEnded, ") Capture session interruption ended");
}

void KivoCamera::didEnterForeground() {
  if (!shouldKeepSessionStopping_) startSession();
}

void KivoCamera::didEnterBackground() { stopSession(); }
