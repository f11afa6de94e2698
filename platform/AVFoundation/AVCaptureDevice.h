#pragma once
// A capture device (one camera) and the class-side permission and discovery
// calls.
// Thread-safe
// Configuration may be changed from any queue while the configuration lock
// is held; the ISO and focus-activity observations report on the thread that
// makes the change, which for the camera's own changes is the camera's queue.
//
// The device keeps the framework's view of the camera (its modes, points,
// bias, torch and zoom as last applied) and checks the framework's rules
// (the lock, supported modes, ranges); each change is then applied by the
// installed device layer (AVCaptureBackend.h), which may refuse it. Devices
// are made by device layers from a description of the camera and are then
// the same object for the layer's life.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AVFoundation/AVCaptureBackend.h"
#include "AVFoundation/AVCaptureTypes.h"
#include "CoreGraphics/CGGeometry.h"
#include "CoreMedia/CMTime.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/KeyValueObserving.h"
#include "Foundation/NSError.h"
#include "Foundation/ThreadSafety.h"

/// What a camera is and can do, as its backend describes it.
struct AVCaptureDeviceDescription {
  std::string uniqueID;  // also the camera's name in traces: "back-wide", "front-wide", "back-dual"...
  std::string deviceType{AVCaptureDeviceTypeBuiltInWideAngleCamera};
  AVCaptureDevicePosition position = AVCaptureDevicePosition::back;
  bool hasTorch = false;
  bool hasFlash = false;
  bool focusPointOfInterestSupported = true;
  bool continuousAutoFocusSupported = true;
  bool smoothAutoFocusSupported = true;
  bool continuousAutoExposureSupported = true;
  bool continuousAutoWhiteBalanceSupported = true;
  bool lowLightBoostSupported = true;
  std::int64_t minimumFocusDistance = 120;  // millimetres
  float minExposureTargetBias = -8;
  float maxExposureTargetBias = 8;
  float iso = 100;
  std::vector<std::int64_t> supportedColorSpaces{0, 1};
  std::int64_t activeColorSpace = 0;
  std::vector<std::string> supportedSessionPresets{AVCaptureSessionPresetsAll.begin(), AVCaptureSessionPresetsAll.end()};
  double frameRate = 30;            // video frames per second unless told otherwise
  double maxFrameRate = 0;          // the fastest the active format allows; 0: frameRate
  double maxVideoZoomFactor = 16;   // the active format's limit
};

/// The device's active format: what it can deliver right now.
struct AVCaptureDeviceFormat {
  std::vector<std::int64_t> supportedColorSpaces;
  double videoMaxZoomFactor = 1;
  double maxFrameRate = 30;
};

class AVCaptureDevice : public std::enable_shared_from_this<AVCaptureDevice> {
 public:
  template <class T>
  using ChangeHandler = std::function<void(const std::shared_ptr<AVCaptureDevice>& device, const KeyValueChange<T>& change)>;

  // ---- Class side: permission and discovery (asked of the installed backend)

  static AVAuthorizationStatus authorizationStatusForMediaType(AVMediaType mediaType);
  /// Calls `completion` once with the answer, on a platform queue. While the
  /// status is not determined the request stays open until the user answers.
  static void requestAccessForMediaType(AVMediaType mediaType, std::function<void(bool granted)> completion);
  static std::shared_ptr<AVCaptureDevice> defaultDeviceWithDeviceType(AVCaptureDeviceType deviceType,
                                                                     AVMediaType mediaType,
                                                                     AVCaptureDevicePosition position);

  /// For device layers: a device for the described camera.
  static std::shared_ptr<AVCaptureDevice> create(AVCaptureDeviceDescription description);
  explicit AVCaptureDevice(AVCaptureDeviceDescription description);

  // ---- Identity

  /// The camera's name: POSITION-TYPE ("back-wide", "front-wide", "back-dual-wide"...).
  const std::string& uniqueID() const { return description_.uniqueID; }
  AVCaptureDeviceType deviceType() const { return description_.deviceType; }
  AVCaptureDevicePosition position() const { return description_.position; }
  bool hasMediaType(AVMediaType mediaType) const { return mediaType == AVMediaTypeVideo; }
  bool supportsAVCaptureSessionPreset(AVCaptureSessionPreset preset) const;
  AVCaptureDeviceFormat activeFormat() const;
  std::int64_t activeColorSpace() const;

  // ---- Configuration lock. Every setter below requires it (a debug build
  // stops the program when it is not held). The lock counts: each successful
  // lock needs one unlock. Unlocking a device that is not locked does nothing.

  /// False, with the error in `error`, when the device layer refuses the lock.
  bool lockForConfiguration(NSError* error = nullptr);
  void unlockForConfiguration();
  bool isLockedForConfiguration() const;

  // ---- Focus
  bool isFocusModeSupported(AVCaptureFocusMode mode) const;
  AVCaptureFocusMode focusMode() const;
  void setFocusMode(AVCaptureFocusMode mode);
  bool isFocusPointOfInterestSupported() const { return description_.focusPointOfInterestSupported; }
  CGPoint focusPointOfInterest() const;
  /// Stored as given (the unit square of the sensor is expected); the camera
  /// then adjusts its focus and reports it (isAdjustingFocus).
  void setFocusPointOfInterest(CGPoint point);
  bool isSmoothAutoFocusSupported() const { return description_.smoothAutoFocusSupported; }
  bool isSmoothAutoFocusEnabled() const;
  void setSmoothAutoFocusEnabled(bool enabled);
  bool isAdjustingFocus() const { return adjustingFocus_.get(); }
  std::int64_t minimumFocusDistance() const { return description_.minimumFocusDistance; }

  // ---- Exposure
  bool isExposureModeSupported(AVCaptureExposureMode mode) const;
  AVCaptureExposureMode exposureMode() const;
  void setExposureMode(AVCaptureExposureMode mode);
  float exposureTargetBias() const;
  float minExposureTargetBias() const { return description_.minExposureTargetBias; }
  float maxExposureTargetBias() const { return description_.maxExposureTargetBias; }
  /// Applies the bias clamped to the device's range; `completion` (optional)
  /// then runs on the camera's queue with the time the bias took effect.
  void setExposureTargetBias(float bias, std::function<void(CMTime syncTime)> completion = nullptr);
  float ISO() const { return iso_.get(); }

  // ---- White balance and low light
  bool isWhiteBalanceModeSupported(AVCaptureWhiteBalanceMode mode) const;
  AVCaptureWhiteBalanceMode whiteBalanceMode() const;
  void setWhiteBalanceMode(AVCaptureWhiteBalanceMode mode);
  bool isLowLightBoostSupported() const { return description_.lowLightBoostSupported; }
  bool automaticallyEnablesLowLightBoostWhenAvailable() const;
  void setAutomaticallyEnablesLowLightBoostWhenAvailable(bool enabled);

  // ---- Torch and flash
  bool hasTorch() const { return description_.hasTorch; }
  bool isTorchAvailable() const { return description_.hasTorch; }
  bool isTorchModeSupported(AVCaptureTorchMode mode) const;
  bool isTorchActive() const;
  AVCaptureTorchMode torchMode() const;
  float torchLevel() const;
  void setTorchMode(AVCaptureTorchMode mode);
  /// Torch on at `level` (0 < level <= 1). False, with the error in `error`,
  /// when the level is out of range, the device has no torch, or the camera
  /// refuses it.
  bool setTorchModeOnWithLevel(float level, NSError* error = nullptr);
  bool hasFlash() const { return description_.hasFlash; }
  bool isFlashAvailable() const { return description_.hasFlash; }

  // ---- Zoom. Factors are clamped to 1 ... the active format's maximum.
  /// The current factor; during a ramp, where the camera says it has got to.
  double videoZoomFactor() const;
  void setVideoZoomFactor(double factor);
  /// Moves the factor towards `factor` at `rate` powers of two per second
  /// (a rate that is not positive, or not finite, jumps at once).
  void rampToVideoZoomFactor(double factor, float rate);

  // ---- Frame rate. The shortest time between frames, within the active
  // format's limit (a longer one is fine). An invalid time restores the
  // camera's own rate; a shorter one than the format allows is a programming
  // error. A device layer may take a change only from the camera's next start.
  CMTime activeVideoMinFrameDuration() const;
  void setActiveVideoMinFrameDuration(CMTime duration);

  // ---- Observation (the token ends it). Changes are reported on the thread
  // that makes them.
  KeyValueObservation observeISO(unsigned options, ChangeHandler<float> handler);
  KeyValueObservation observeAdjustingFocus(unsigned options, ChangeHandler<bool> handler);

  // ---- For device layers: the camera's own changes.

  /// The camera's serial queue ("com.kivocamera.platform.camera.<name>"),
  /// made on first use with the executor installed then.
  DispatchQueue cameraQueue() const;
  /// Stores a new ISO / focus activity and reports it to the observers on the
  /// calling thread (always, even when unchanged). Device layers call these
  /// on cameraQueue().
  void reportISO(float iso);
  void reportAdjustingFocus(bool adjusting);

  /// Active observations of ISO and focus activity, for diagnostics.
  std::size_t isoObserverCount() const { return iso_.observerCount(); }
  std::size_t adjustingFocusObserverCount() const { return adjustingFocus_.observerCount(); }

 private:
  void requireLock(const char* selector) const KIVO_REQUIRES(mutex_);
  /// Checks the lock and `supported` (a programming error otherwise), then
  /// has the layer apply `change`; true when it did.
  bool apply(const char* selector, bool supported, const char* what, const AVCaptureControlChange& change);

  const AVCaptureDeviceDescription description_;
  ObservableProperty<float> iso_;
  ObservableProperty<bool> adjustingFocus_;

  mutable kivo::Mutex mutex_;
  int lockCount_ KIVO_GUARDED_BY(mutex_) = 0;
  AVCaptureFocusMode focusMode_ KIVO_GUARDED_BY(mutex_);
  CGPoint focusPointOfInterest_ KIVO_GUARDED_BY(mutex_){0.5, 0.5};
  bool smoothAutoFocusEnabled_ KIVO_GUARDED_BY(mutex_) = false;
  AVCaptureExposureMode exposureMode_ KIVO_GUARDED_BY(mutex_);
  float exposureTargetBias_ KIVO_GUARDED_BY(mutex_) = 0;
  AVCaptureWhiteBalanceMode whiteBalanceMode_ KIVO_GUARDED_BY(mutex_);
  bool lowLightBoost_ KIVO_GUARDED_BY(mutex_) = false;
  AVCaptureTorchMode torchMode_ KIVO_GUARDED_BY(mutex_) = AVCaptureTorchMode::off;
  float torchLevel_ KIVO_GUARDED_BY(mutex_) = 0;
  double zoomFactor_ KIVO_GUARDED_BY(mutex_) = 1;  // the last factor applied (a ramp's target)
  CMTime minFrameDuration_ KIVO_GUARDED_BY(mutex_);
  mutable std::optional<DispatchQueue> cameraQueue_ KIVO_GUARDED_BY(mutex_);
};
