#include "AVFoundation/AVCaptureDevice.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "AVFoundation/AVCaptureBackend.h"
#include "AVFoundation/AVTrace.h"
#include "Foundation/FatalError.h"
#include "Foundation/ThreadSafety.h"
#include "Foundation/TraceFormat.h"
#include "Foundation/WhileAlive.h"

using av_detail::traceCall;

namespace {

// One frame at the camera's own rate: exactly 1/rate for a whole rate.
CMTime defaultFrameDuration(double frameRate) {
  if (!(frameRate > 0) || !std::isfinite(frameRate)) return kCMTimeInvalid;
  if (frameRate == std::floor(frameRate) && frameRate <= kCMTimeMaxTimescale)
    return CMTimeMake(1, static_cast<CMTimeScale>(frameRate));
  return CMTimeMakeWithSeconds(1 / frameRate, kCMTimeMaxTimescale);
}

}  // namespace

// ---------------------------------------------------------------------------
// Class side

AVAuthorizationStatus AVCaptureDevice::authorizationStatusForMediaType(AVMediaType mediaType) {
  return AVCaptureCurrentBackend()->authorizationStatus(mediaType);
}

void AVCaptureDevice::requestAccessForMediaType(AVMediaType mediaType, std::function<void(bool)> completion) {
  AVCaptureCurrentBackend()->requestAccess(mediaType, std::move(completion));
}

std::shared_ptr<AVCaptureDevice> AVCaptureDevice::defaultDeviceWithDeviceType(AVCaptureDeviceType deviceType,
                                                                             AVMediaType mediaType,
                                                                             AVCaptureDevicePosition position) {
  if (mediaType != AVMediaTypeVideo) return nullptr;
  for (auto& device : AVCaptureCurrentBackend()->devices()) {
    if (!device || device->deviceType() != deviceType) continue;
    if (position != AVCaptureDevicePosition::unspecified && device->position() != position) continue;
    return device;
  }
  return nullptr;
}

std::shared_ptr<AVCaptureDevice> AVCaptureDevice::create(AVCaptureDeviceDescription description) {
  return std::make_shared<AVCaptureDevice>(std::move(description));
}

AVCaptureDevice::AVCaptureDevice(AVCaptureDeviceDescription description)
    : description_(std::move(description)),
      iso_(description_.iso),
      adjustingFocus_(false),
      focusMode_(description_.continuousAutoFocusSupported ? AVCaptureFocusMode::continuousAutoFocus
                                                           : AVCaptureFocusMode::locked),
      exposureMode_(description_.continuousAutoExposureSupported ? AVCaptureExposureMode::continuousAutoExposure
                                                                 : AVCaptureExposureMode::locked),
      whiteBalanceMode_(description_.continuousAutoWhiteBalanceSupported
                            ? AVCaptureWhiteBalanceMode::continuousAutoWhiteBalance
                            : AVCaptureWhiteBalanceMode::locked),
      minFrameDuration_(defaultFrameDuration(description_.frameRate)) {}

// ---------------------------------------------------------------------------
// Identity and formats

bool AVCaptureDevice::supportsAVCaptureSessionPreset(AVCaptureSessionPreset preset) const {
  const auto& presets = description_.supportedSessionPresets;
  return std::find(presets.begin(), presets.end(), preset) != presets.end();
}

AVCaptureDeviceFormat AVCaptureDevice::activeFormat() const {
  return AVCaptureDeviceFormat{description_.supportedColorSpaces, description_.maxVideoZoomFactor,
                               std::max(description_.frameRate, description_.maxFrameRate)};
}

std::int64_t AVCaptureDevice::activeColorSpace() const { return description_.activeColorSpace; }

// ---------------------------------------------------------------------------
// Configuration lock

bool AVCaptureDevice::lockForConfiguration(NSError* error) {
  // Asked without holding the device's mutex: the layer may call back in.
  if (auto failure = AVCaptureCurrentBackend()->lockForConfiguration(*this)) {
    traceCall(uniqueID(), "lockForConfiguration:", [] { return std::string("failed"); });
    if (error) *error = std::move(*failure);
    return false;
  }
  kivo::MutexLock lock(mutex_);
  ++lockCount_;
  return true;
}

void AVCaptureDevice::unlockForConfiguration() {
  kivo::MutexLock lock(mutex_);
  if (lockCount_ > 0) --lockCount_;
}

bool AVCaptureDevice::isLockedForConfiguration() const {
  kivo::MutexLock lock(mutex_);
  return lockCount_ > 0;
}

void AVCaptureDevice::requireLock(const char* selector) const {
#ifndef NDEBUG
  // Caller holds mutex_.
  if (lockCount_ == 0) {
    std::string message = "AVCaptureDevice ";
    message.append(uniqueID());
    message.append(": ");
    message.append(selector);
    message.append(" called without lockForConfiguration:");
    fatalError(message);
  }
#else
  (void)selector;
#endif
}

namespace {

// An unsupported mode or feature is a programming error of the caller (the
// platform raises); debug builds stop, release builds ignore the call.
bool requireSupported(bool supported, const AVCaptureDevice& device, const char* what) {
#ifndef NDEBUG
  if (!supported) {
    std::string message = "AVCaptureDevice ";
    message.append(device.uniqueID());
    message.append(": unsupported ");
    message.append(what);
    fatalError(message);
  }
#else
  (void)device;
  (void)what;
#endif
  return supported;
}

}  // namespace

bool AVCaptureDevice::apply(const char* selector, bool supported, const char* what,
                            const AVCaptureControlChange& change) {
  {
    kivo::MutexLock lock(mutex_);
    requireLock(selector);
    if (!requireSupported(supported, *this, what)) return false;
  }
  return !AVCaptureCurrentBackend()->applyControl(shared_from_this(), change);
}

// ---------------------------------------------------------------------------
// Focus

bool AVCaptureDevice::isFocusModeSupported(AVCaptureFocusMode mode) const {
  switch (mode) {
    case AVCaptureFocusMode::locked:
    case AVCaptureFocusMode::autoFocus:
      return true;
    case AVCaptureFocusMode::continuousAutoFocus:
      return description_.continuousAutoFocusSupported;
  }
  return false;
}

AVCaptureFocusMode AVCaptureDevice::focusMode() const {
  kivo::MutexLock lock(mutex_);
  return focusMode_;
}

void AVCaptureDevice::setFocusMode(AVCaptureFocusMode mode) {
  traceCall(uniqueID(), "setFocusMode:", [&] { return formatInteger(rawValue(mode)); });
  if (!apply("setFocusMode:", isFocusModeSupported(mode), "focus mode", AVCaptureControl::FocusMode{mode})) return;
  kivo::MutexLock lock(mutex_);
  focusMode_ = mode;
}

CGPoint AVCaptureDevice::focusPointOfInterest() const {
  kivo::MutexLock lock(mutex_);
  return focusPointOfInterest_;
}

void AVCaptureDevice::setFocusPointOfInterest(CGPoint point) {
  traceCall(uniqueID(), "setFocusPointOfInterest:", [&] { return formatPoint(point); });
  if (!apply("setFocusPointOfInterest:", isFocusPointOfInterestSupported(), "focus point of interest",
             AVCaptureControl::FocusPointOfInterest{point}))
    return;
  kivo::MutexLock lock(mutex_);
  focusPointOfInterest_ = point;
}

bool AVCaptureDevice::isSmoothAutoFocusEnabled() const {
  kivo::MutexLock lock(mutex_);
  return smoothAutoFocusEnabled_;
}

void AVCaptureDevice::setSmoothAutoFocusEnabled(bool enabled) {
  traceCall(uniqueID(), "setSmoothAutoFocusEnabled:", [&] { return formatBool(enabled); });
  if (!apply("setSmoothAutoFocusEnabled:", isSmoothAutoFocusSupported() || !enabled, "smooth auto focus",
             AVCaptureControl::SmoothAutoFocus{enabled}))
    return;
  kivo::MutexLock lock(mutex_);
  smoothAutoFocusEnabled_ = enabled;
}

// ---------------------------------------------------------------------------
// Exposure

bool AVCaptureDevice::isExposureModeSupported(AVCaptureExposureMode mode) const {
  if (mode == AVCaptureExposureMode::continuousAutoExposure) return description_.continuousAutoExposureSupported;
  return rawValue(mode) >= 0 && rawValue(mode) <= 3;
}

AVCaptureExposureMode AVCaptureDevice::exposureMode() const {
  kivo::MutexLock lock(mutex_);
  return exposureMode_;
}

void AVCaptureDevice::setExposureMode(AVCaptureExposureMode mode) {
  traceCall(uniqueID(), "setExposureMode:", [&] { return formatInteger(rawValue(mode)); });
  if (!apply("setExposureMode:", isExposureModeSupported(mode), "exposure mode", AVCaptureControl::ExposureMode{mode}))
    return;
  kivo::MutexLock lock(mutex_);
  exposureMode_ = mode;
}

float AVCaptureDevice::exposureTargetBias() const {
  kivo::MutexLock lock(mutex_);
  return exposureTargetBias_;
}

void AVCaptureDevice::setExposureTargetBias(float bias, std::function<void(CMTime)> completion) {
  traceCall(uniqueID(), "setExposureTargetBias:completionHandler:", [&] { return formatNumber(bias); });
  if (std::isnan(bias)) {
    kivo::MutexLock lock(mutex_);
    requireLock("setExposureTargetBias:completionHandler:");
    return;
  }
  const float clamped = std::clamp(bias, description_.minExposureTargetBias, description_.maxExposureTargetBias);
  if (!apply("setExposureTargetBias:completionHandler:", true, "exposure bias",
             AVCaptureControl::ExposureTargetBias{clamped}))
    return;
  {
    kivo::MutexLock lock(mutex_);
    exposureTargetBias_ = clamped;
  }
  if (completion) {
    cameraQueue().async([completion = std::move(completion)] {
      completion(CMTimeMakeWithSeconds(CACurrentMediaTime(), kCMTimeMaxTimescale));
    });
  }
}

// ---------------------------------------------------------------------------
// White balance and low light

bool AVCaptureDevice::isWhiteBalanceModeSupported(AVCaptureWhiteBalanceMode mode) const {
  if (mode == AVCaptureWhiteBalanceMode::continuousAutoWhiteBalance)
    return description_.continuousAutoWhiteBalanceSupported;
  return rawValue(mode) >= 0 && rawValue(mode) <= 2;
}

AVCaptureWhiteBalanceMode AVCaptureDevice::whiteBalanceMode() const {
  kivo::MutexLock lock(mutex_);
  return whiteBalanceMode_;
}

void AVCaptureDevice::setWhiteBalanceMode(AVCaptureWhiteBalanceMode mode) {
  traceCall(uniqueID(), "setWhiteBalanceMode:", [&] { return formatInteger(rawValue(mode)); });
  if (!apply("setWhiteBalanceMode:", isWhiteBalanceModeSupported(mode), "white balance mode",
             AVCaptureControl::WhiteBalanceMode{mode}))
    return;
  kivo::MutexLock lock(mutex_);
  whiteBalanceMode_ = mode;
}

bool AVCaptureDevice::automaticallyEnablesLowLightBoostWhenAvailable() const {
  kivo::MutexLock lock(mutex_);
  return lowLightBoost_;
}

void AVCaptureDevice::setAutomaticallyEnablesLowLightBoostWhenAvailable(bool enabled) {
  traceCall(uniqueID(), "setAutomaticallyEnablesLowLightBoostWhenAvailable:", [&] { return formatBool(enabled); });
  if (!apply("setAutomaticallyEnablesLowLightBoostWhenAvailable:", isLowLightBoostSupported() || !enabled,
             "low-light boost", AVCaptureControl::LowLightBoost{enabled}))
    return;
  kivo::MutexLock lock(mutex_);
  lowLightBoost_ = enabled;
}

// ---------------------------------------------------------------------------
// Torch

bool AVCaptureDevice::isTorchModeSupported(AVCaptureTorchMode mode) const {
  return mode == AVCaptureTorchMode::off || description_.hasTorch;
}

bool AVCaptureDevice::isTorchActive() const {
  kivo::MutexLock lock(mutex_);
  return torchMode_ == AVCaptureTorchMode::on && torchLevel_ > 0;
}

AVCaptureTorchMode AVCaptureDevice::torchMode() const {
  kivo::MutexLock lock(mutex_);
  return torchMode_;
}

float AVCaptureDevice::torchLevel() const {
  kivo::MutexLock lock(mutex_);
  return torchMode_ == AVCaptureTorchMode::on ? torchLevel_ : 0.0f;
}

void AVCaptureDevice::setTorchMode(AVCaptureTorchMode mode) {
  traceCall(uniqueID(), "setTorchMode:", [&] { return formatInteger(rawValue(mode)); });
  const float level = mode == AVCaptureTorchMode::on ? 1.0f : 0.0f;
  if (!apply("setTorchMode:", isTorchModeSupported(mode), "torch mode", AVCaptureControl::Torch{mode, level})) return;
  kivo::MutexLock lock(mutex_);
  torchMode_ = mode;
  torchLevel_ = mode == AVCaptureTorchMode::on ? 1.0f : 0.0f;
}

bool AVCaptureDevice::setTorchModeOnWithLevel(float level, NSError* error) {
  std::optional<NSError> failure;
  if (!(level > 0 && level <= 1) || !description_.hasTorch) {
    failure = av_detail::genericError();
  } else {
    {
      kivo::MutexLock lock(mutex_);
      requireLock("setTorchModeOnWithLevel:error:");
    }
    failure = AVCaptureCurrentBackend()->applyControl(shared_from_this(),
                                                      AVCaptureControl::Torch{AVCaptureTorchMode::on, level});
  }
  traceCall(uniqueID(), "setTorchModeOnWithLevel:error:", [&] {
    std::string arguments = formatNumber(level);
    if (failure) arguments.append(" failed");
    return arguments;
  });
  kivo::MutexLock lock(mutex_);
  requireLock("setTorchModeOnWithLevel:error:");
  if (failure) {
    if (error) *error = std::move(*failure);
    return false;
  }
  torchMode_ = AVCaptureTorchMode::on;
  torchLevel_ = level;
  return true;
}

// ---------------------------------------------------------------------------
// Zoom

double AVCaptureDevice::videoZoomFactor() const {
  if (const auto ramping = AVCaptureCurrentBackend()->currentVideoZoomFactor(*this)) return *ramping;
  kivo::MutexLock lock(mutex_);
  return zoomFactor_;
}

void AVCaptureDevice::setVideoZoomFactor(double factor) {
  traceCall(uniqueID(), "setVideoZoomFactor:", [&] { return formatNumber(factor); });
  if (std::isnan(factor)) {
    kivo::MutexLock lock(mutex_);
    requireLock("setVideoZoomFactor:");
    return;
  }
  const double clamped = std::clamp(factor, 1.0, description_.maxVideoZoomFactor);
  if (!apply("setVideoZoomFactor:", true, "zoom factor", AVCaptureControl::VideoZoom{clamped, 0.0f})) return;
  kivo::MutexLock lock(mutex_);
  zoomFactor_ = clamped;
}

void AVCaptureDevice::rampToVideoZoomFactor(double factor, float rate) {
  traceCall(uniqueID(), "rampToVideoZoomFactor:withRate:", [&] {
    std::string arguments = formatNumber(factor);
    arguments.push_back(' ');
    arguments.append(formatNumber(rate));
    return arguments;
  });
  if (std::isnan(factor)) {
    kivo::MutexLock lock(mutex_);
    requireLock("rampToVideoZoomFactor:withRate:");
    return;
  }
  const double clamped = std::clamp(factor, 1.0, description_.maxVideoZoomFactor);
  const float usable = std::isfinite(rate) && rate > 0 ? rate : 0.0f;
  if (!apply("rampToVideoZoomFactor:withRate:", true, "zoom factor", AVCaptureControl::VideoZoom{clamped, usable}))
    return;
  kivo::MutexLock lock(mutex_);
  zoomFactor_ = clamped;
}

// ---------------------------------------------------------------------------
// Frame rate

CMTime AVCaptureDevice::activeVideoMinFrameDuration() const {
  kivo::MutexLock lock(mutex_);
  return minFrameDuration_;
}

void AVCaptureDevice::setActiveVideoMinFrameDuration(CMTime duration) {
  traceCall(uniqueID(), "setActiveVideoMinFrameDuration:", [&] {
    return CMTIME_IS_NUMERIC(duration) ? formatNumber(CMTimeGetSeconds(duration)) : std::string("invalid");
  });
  if (CMTIME_IS_INVALID(duration)) duration = defaultFrameDuration(description_.frameRate);
  const double seconds = CMTIME_IS_NUMERIC(duration) ? CMTimeGetSeconds(duration) : 0;
  // A little slack: 1/60 s rounded to the time's scale still means 60 a second.
  const bool withinFormat = seconds > 0 && std::isfinite(seconds) && seconds * activeFormat().maxFrameRate >= 1 - 1e-9;
  if (!apply("setActiveVideoMinFrameDuration:", withinFormat, "frame duration",
             AVCaptureControl::MinFrameDuration{duration}))
    return;
  kivo::MutexLock lock(mutex_);
  minFrameDuration_ = duration;
}

// ---------------------------------------------------------------------------
// Observation and the camera's own changes

KeyValueObservation AVCaptureDevice::observeISO(unsigned options, ChangeHandler<float> handler) {
  if (!handler) return KeyValueObservation();
  return iso_.observe(options, whileAlive(weak_from_this(), std::move(handler)));
}

KeyValueObservation AVCaptureDevice::observeAdjustingFocus(unsigned options, ChangeHandler<bool> handler) {
  if (!handler) return KeyValueObservation();
  return adjustingFocus_.observe(options, whileAlive(weak_from_this(), std::move(handler)));
}

DispatchQueue AVCaptureDevice::cameraQueue() const {
  kivo::MutexLock lock(mutex_);
  if (!cameraQueue_) {
    std::string label = "com.kivocamera.platform.camera.";
    label.append(uniqueID());
    cameraQueue_.emplace(std::move(label));
  }
  return *cameraQueue_;
}

void AVCaptureDevice::reportISO(float iso) { iso_.set(iso); }

void AVCaptureDevice::reportAdjustingFocus(bool adjusting) { adjustingFocus_.set(adjusting); }
