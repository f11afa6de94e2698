#pragma once
// KivoPhotoCaptureProcessor: the photo output's delegate for one capture. It
// runs the shutter hook at exposure, keeps the encoded photo, logs capture
// errors and, when the capture is over, hands itself back through its
// completion handler, exactly once. It never touches the controller itself.
//
// Thread-bound: com.kivocamera.platform.photo-output
// Except: it is made on the session queue before any callback; liveCount and
// photoSettings are Thread-safe. Its callbacks arrive on the photo output's
// queue one at a time and are the only writers of its fields, so it needs no
// lock; the controller reads `photoData` only after the completion handler
// has run.
//
// Ownership: the controller's table of captures in progress holds it while the
// capture runs (the photo output holds its delegate weakly); its hooks hold
// the controller weakly (the controller keeps itself alive for the capture
// with a block queued on the output's queue), so the table makes no cycle.
//
// Error lines carry the error's `description()`, the platform's printed form
// (domain, code and localized text), not the localized text alone: the same
// text the controller's other error lines give.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "AVFoundation/AVCapturePhotoOutput.h"
#include "CoreMedia/CMTime.h"
#include "Foundation/Data.h"

// The platform's image-processing context. No path of a capture makes one,
// so the processor's storage for it stays empty and the type stays opaque.
class CIContext;

class KivoPhotoCaptureProcessor : public AVCapturePhotoCaptureDelegate,
                                  public std::enable_shared_from_this<KivoPhotoCaptureProcessor> {
 public:
  using AnimationHook = std::function<void()>;
  using CompletionHandler = std::function<void(const std::shared_ptr<KivoPhotoCaptureProcessor>& processor)>;

  /// A processor for the capture with `photoSettings`. `willCapturePhotoAnimation`
  /// may be empty; `completionHandler` may not (a programming error).
  static std::shared_ptr<KivoPhotoCaptureProcessor> create(std::shared_ptr<AVCapturePhotoSettings> photoSettings,
                                                           AnimationHook willCapturePhotoAnimation,
                                                           CompletionHandler completionHandler);
  ~KivoPhotoCaptureProcessor() override;
  KivoPhotoCaptureProcessor(const KivoPhotoCaptureProcessor&) = delete;
  KivoPhotoCaptureProcessor& operator=(const KivoPhotoCaptureProcessor&) = delete;

  /// The settings of this capture; their uniqueID keys the controller's table.
  const std::shared_ptr<AVCapturePhotoSettings>& photoSettings() const { return photoSettings_; }
  const AnimationHook& willCapturePhotoAnimation() const { return willCapturePhotoAnimation_; }
  /// The encoded photo, once processed.
  const std::optional<Data>& photoData() const { return photoData_; }
  void setPhotoData(std::optional<Data> data) { photoData_ = std::move(data); }
  /// End of the processing time the platform announced for this capture.
  std::optional<CMTime> maxPhotoProcessingTime() const { return maxPhotoProcessingTime_; }
  /// Whether the completion handler has been called.
  bool hasEnded() const { return phase_ != Phase::capturing; }

  /// Processors alive in the process now; Thread-safe: a host's diagnostics
  /// and leak checks see whether finished captures were let go.
  static std::size_t liveCount();

  // --- The photo output's callbacks, in the order they come ------------------
  void willBeginCaptureForResolvedSettings(AVCapturePhotoOutput& output, const Resolved& resolvedSettings) override;
  void willCapturePhotoForResolvedSettings(AVCapturePhotoOutput& output, const Resolved& resolvedSettings) override;
  void didFinishProcessingPhoto(AVCapturePhotoOutput& output, const std::shared_ptr<AVCapturePhoto>& photo,
                                const std::optional<NSError>& error) override;
  void didFinishProcessingRawPhotoSampleBuffer(AVCapturePhotoOutput& output, const CMSampleBufferRef& rawSampleBuffer,
                                               const CMSampleBufferRef& previewPhotoSampleBuffer,
                                               const Resolved& resolvedSettings,
                                               const std::shared_ptr<AVCaptureBracketedStillImageSettings>& bracketSettings,
                                               const std::optional<NSError>& error) override;
  void didFinishCaptureForResolvedSettings(AVCapturePhotoOutput& output, const Resolved& resolvedSettings,
                                           const std::optional<NSError>& error) override;

  /// Ends a capture the photo output never finished: logs it as a failed
  /// capture and calls the completion handler with whatever photo was kept.
  /// Later callbacks of the output for it are ignored. Does nothing once the
  /// capture has ended. Call on the photo output's callback queue.
  void endUnfinishedCapture();

 private:
  enum class Phase {
    capturing,
    finished,    // the output's capture-finished callback came
    abandoned,   // ended by endUnfinishedCapture; a late output may still call
  };

  KivoPhotoCaptureProcessor(std::shared_ptr<AVCapturePhotoSettings> photoSettings,
                            AnimationHook willCapturePhotoAnimation, CompletionHandler completionHandler);
  /// False once the capture has ended; a callback after the output's own
  /// capture-finished callback is a platform fault and asserts in debug.
  bool acceptsCallback() const;
  void end(Phase phase);

  const std::shared_ptr<AVCapturePhotoSettings> photoSettings_;
  AnimationHook willCapturePhotoAnimation_;
  // Processing-progress hook (true: long processing expected; false: over).
  // Nothing assigns it, so its calls have no effect.
  std::function<void(bool)> photoProcessingHandler_;
  const CompletionHandler completionHandler_;
  // Made on first use for image processing, which no capture path does.
  std::shared_ptr<CIContext> context_;
  std::optional<Data> photoData_;
  // The mattes a depth capture would carry; nothing fills them.
  std::optional<Data> portraitEffectsMatteData_;
  std::vector<Data> semanticSegmentationMatteDataArray_;
  std::optional<CMTime> maxPhotoProcessingTime_;
  Phase phase_ = Phase::capturing;
};
