#pragma once
// KivoOrientation: estimates how the device is held from the direction of
// gravity, and maps the estimate to the video orientation of a photo and the
// image orientation of a picture.
//
// Thread-safe
// Samples arrive on the operation queue current at `start()` (main in
// practice); the session queue reads the estimate and the flag. Both are
// atomic, so a reader sees the previous or the new estimate whole.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "AVFoundation/AVCaptureTypes.h"
#include "CoreMotion/CMAccelerometerData.h"
#include "UIKit/UIDevice.h"

class CMMotionManager;

/// Image orientations by raw value (up 0, down 1, left 2, right 3, and the
/// mirrored ones 4 to 7).
enum class KivoImageOrientation : std::int64_t {
  up = 0,
  down = 1,
  left = 2,
  right = 3,
  upMirrored = 4,
  downMirrored = 5,
  leftMirrored = 6,
  rightMirrored = 7,
};

class KivoOrientation : public std::enable_shared_from_this<KivoOrientation> {
 public:
  static std::shared_ptr<KivoOrientation> create();
  ~KivoOrientation();
  KivoOrientation(const KivoOrientation&) = delete;
  KivoOrientation& operator=(const KivoOrientation&) = delete;

  double accelerometerUpdateInterval() const { return accelerometerUpdateInterval_.load(std::memory_order_relaxed); }
  void setAccelerometerUpdateInterval(double seconds) { accelerometerUpdateInterval_.store(seconds, std::memory_order_relaxed); }

  bool shouldUseDeviceOrientation() const { return shouldUseDeviceOrientation_.load(std::memory_order_relaxed); }
  void setShouldUseDeviceOrientation(bool use) { shouldUseDeviceOrientation_.store(use, std::memory_order_relaxed); }

  /// Seeds the estimate with the platform's device orientation, then starts
  /// the accelerometer (if available and not running) on the caller's
  /// operation queue, or the main one.
  void start();
  /// Stops the accelerometer if it runs and forgets the estimate.
  void stop();

  /// None when tagging is off or there is no estimate; otherwise the device
  /// orientation as a video orientation (raw 2, 3, 4 pass through; every
  /// other orientation is portrait).
  std::optional<AVCaptureVideoOrientation> videoOrientation() const;
  /// The orientation of a picture taken with the camera at `cameraPosition`
  /// (raw 1 is the back camera; every other position counts as front).
  KivoImageOrientation imageOrientation(std::int64_t cameraPosition) const;

  /// The current estimate (for inspection).
  std::optional<UIDeviceOrientation> deviceOrientation() const;
  bool isActive() const;

 private:
  KivoOrientation();
  void handleAccelerometerUpdate(const CMAccelerometerData& data);
  void setDeviceOrientation(std::optional<UIDeviceOrientation> orientation);

  static constexpr std::int64_t kNoOrientation = -1;

  std::atomic<double> accelerometerUpdateInterval_{0.1};
  std::atomic<bool> shouldUseDeviceOrientation_{false};
  std::atomic<std::int64_t> deviceOrientation_{kNoOrientation};
  const std::shared_ptr<CMMotionManager> motionManager_;
};
