#pragma once
// Still-photo capture: the settings of one photo, the photo output, the photo
// it delivers and the delegate protocol it calls.
// Thread-safe
// Except the delegate's callbacks, Thread-bound:
// com.kivocamera.platform.photo-output. Settings are built on one queue and
// not changed once handed to the output.
//
// A capture calls its delegate on the photo output's own serial queue
// ("com.kivocamera.platform.photo-output"), in order: will-begin, will-capture
// (the exposure), photo processed, capture finished, as the camera's device
// layer reports those moments. A capture on a session that is not running has
// no active connection and fails at once: will-begin, then the processed
// photo without data and the end of the capture, both with an error.
//
// The output holds each capture's delegate weakly, as the platform does: the
// caller keeps it alive until the capture has finished. Callbacks due after
// the delegate is gone are skipped.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "AVFoundation/AVCaptureConnection.h"
#include "AVFoundation/AVCaptureOutput.h"
#include "AVFoundation/AVCaptureTypes.h"
#include "CoreMedia/CMFormatDescription.h"
#include "CoreMedia/CMSampleBuffer.h"
#include "CoreMedia/CMTime.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/Data.h"
#include "Foundation/NSError.h"

/// The settings of one photo. Configure on one queue before handing them to
/// the output; not for concurrent change.
class AVCapturePhotoSettings {
 public:
  /// Default settings with a new identifier (1, 2, 3... for each device layer).
  static std::shared_ptr<AVCapturePhotoSettings> create();
  explicit AVCapturePhotoSettings(std::int64_t uniqueID) : uniqueID_(uniqueID) {}

  std::int64_t uniqueID() const { return uniqueID_; }
  AVCaptureFlashMode flashMode() const { return flashMode_; }
  void setFlashMode(AVCaptureFlashMode mode) { flashMode_ = mode; }
  bool isHighResolutionPhotoEnabled() const { return highResolutionPhotoEnabled_; }
  void setHighResolutionPhotoEnabled(bool enabled) { highResolutionPhotoEnabled_ = enabled; }
  /// The pixel formats a preview photo can have ('420f', '420v', 'BGRA').
  std::vector<OSType> availablePreviewPhotoPixelFormatTypes() const;
  const CVPixelBufferAttributes& previewPhotoFormat() const { return previewPhotoFormat_; }
  void setPreviewPhotoFormat(CVPixelBufferAttributes format) { previewPhotoFormat_ = std::move(format); }

 private:
  const std::int64_t uniqueID_;
  AVCaptureFlashMode flashMode_ = AVCaptureFlashMode::off;
  bool highResolutionPhotoEnabled_ = false;
  CVPixelBufferAttributes previewPhotoFormat_;
};

/// What the output made of the settings for one capture. Immutable.
class AVCaptureResolvedPhotoSettings {
 public:
  AVCaptureResolvedPhotoSettings(std::int64_t uniqueID, bool flashEnabled, CMTimeRange processingTimeRange)
      : uniqueID_(uniqueID), flashEnabled_(flashEnabled), photoProcessingTimeRange_(processingTimeRange) {}

  std::int64_t uniqueID() const { return uniqueID_; }
  bool isFlashEnabled() const { return flashEnabled_; }
  /// When processing is expected, relative to the capture request: from the
  /// exposure to the delivery of the photo.
  CMTimeRange photoProcessingTimeRange() const { return photoProcessingTimeRange_; }

 private:
  const std::int64_t uniqueID_;
  const bool flashEnabled_;
  const CMTimeRange photoProcessingTimeRange_;
};

/// Bracketed-capture settings; this output never brackets, so callbacks pass none.
class AVCaptureBracketedStillImageSettings {};

/// One delivered photo. Immutable.
class AVCapturePhoto {
 public:
  AVCapturePhoto(std::shared_ptr<const AVCaptureResolvedPhotoSettings> resolvedSettings, CMTime timestamp,
                 std::optional<Data> fileData)
      : resolvedSettings_(std::move(resolvedSettings)), timestamp_(timestamp), fileData_(std::move(fileData)) {}

  /// The encoded file (a JPEG), or none.
  const std::optional<Data>& fileDataRepresentation() const { return fileData_; }
  const std::shared_ptr<const AVCaptureResolvedPhotoSettings>& resolvedSettings() const { return resolvedSettings_; }
  CMTime timestamp() const { return timestamp_; }

 private:
  const std::shared_ptr<const AVCaptureResolvedPhotoSettings> resolvedSettings_;
  const CMTime timestamp_;
  const std::optional<Data> fileData_;
};

class AVCapturePhotoOutput;

/// The photo output's callbacks for one capture. Every callback is optional.
class AVCapturePhotoCaptureDelegate {
 public:
  using Resolved = std::shared_ptr<const AVCaptureResolvedPhotoSettings>;
  virtual ~AVCapturePhotoCaptureDelegate() = default;

  /// captureOutput:willBeginCaptureForResolvedSettings:
  virtual void willBeginCaptureForResolvedSettings(AVCapturePhotoOutput& output, const Resolved& resolvedSettings);
  /// captureOutput:willCapturePhotoForResolvedSettings:
  virtual void willCapturePhotoForResolvedSettings(AVCapturePhotoOutput& output, const Resolved& resolvedSettings);
  /// captureOutput:didFinishProcessingPhoto:error:
  virtual void didFinishProcessingPhoto(AVCapturePhotoOutput& output, const std::shared_ptr<AVCapturePhoto>& photo,
                                        const std::optional<NSError>& error);
  /// captureOutput:didFinishProcessingRawPhotoSampleBuffer:previewPhotoSampleBuffer:resolvedSettings:bracketSettings:error:
  virtual void didFinishProcessingRawPhotoSampleBuffer(
      AVCapturePhotoOutput& output, const CMSampleBufferRef& rawSampleBuffer,
      const CMSampleBufferRef& previewPhotoSampleBuffer, const Resolved& resolvedSettings,
      const std::shared_ptr<AVCaptureBracketedStillImageSettings>& bracketSettings,
      const std::optional<NSError>& error);
  /// captureOutput:didFinishCaptureForResolvedSettings:error:
  virtual void didFinishCaptureForResolvedSettings(AVCapturePhotoOutput& output, const Resolved& resolvedSettings,
                                                   const std::optional<NSError>& error);
};

class AVCapturePhotoOutput final : public AVCaptureOutput {
 public:
  static std::shared_ptr<AVCapturePhotoOutput> create();
  AVCapturePhotoOutput();

  std::string_view kindName() const override { return "photo"; }
  AVCaptureOutputKind kind() const override { return AVCaptureOutputKind::photo; }

  bool isHighResolutionCaptureEnabled() const { return highResolutionCaptureEnabled_.load(); }
  void setHighResolutionCaptureEnabled(bool enabled);
  bool isLivePhotoCaptureSupported() const { return true; }
  bool isLivePhotoCaptureEnabled() const { return livePhotoCaptureEnabled_.load(); }
  void setLivePhotoCaptureEnabled(bool enabled);

  /// Starts one capture with `settings`, calling `delegate` (held weakly) on
  /// the output's queue. Without an active video connection the capture
  /// fails (errors, no photo data).
  void capturePhotoWithSettings(const std::shared_ptr<AVCapturePhotoSettings>& settings,
                                const std::shared_ptr<AVCapturePhotoCaptureDelegate>& delegate);

  /// The JPEG bytes carried by a valid JPEG sample buffer, or none.
  static std::optional<Data> JPEGPhotoDataRepresentationForJPEGSampleBuffer(
      const CMSampleBufferRef& JPEGSampleBuffer, const CMSampleBufferRef& previewPhotoSampleBuffer);

  /// Captures handed to the output whose finished callback has not run yet.
  std::size_t capturesInFlight() const { return capturesInFlight_.load(); }

  /// The queue the delegates are called on.
  const DispatchQueue& callbackQueue() const { return queue_; }

  /// For the output's captures: one has reported its end.
  void captureDidFinish();

 private:
  const DispatchQueue queue_;
  std::atomic<bool> highResolutionCaptureEnabled_{false};
  std::atomic<bool> livePhotoCaptureEnabled_{false};
  std::atomic<std::size_t> capturesInFlight_{0};
};
