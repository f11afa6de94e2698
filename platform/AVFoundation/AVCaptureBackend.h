#pragma once
// The device layer: what a camera stack offers the capture framework. The
// capture objects above it (devices, inputs, sessions, outputs) keep the
// framework's state, check its rules, order the delegate callbacks the way
// the framework documents them, turn the layer's answers into the
// framework's errors, and trace their calls. The layer below answers for
// the cameras themselves: which exist, whether they may be used, whether a
// configuration lock or an open succeeds, what a control change does, their
// frames and their stills. It knows nothing of scenarios, faults or tests;
// a simulated world, a real camera stack or a test's fixed-picture camera
// fills it the same way. One layer is installed per process at a time.
//
// Thread-safe
// Every verb may be called from any queue (the main queue, a session queue,
// the platform's queues), never while a capture object holds
// its own lock. Verbs return promptly, except `openDevice`, which may block
// its caller for as long as the camera takes to open.
//
// Reports go where each verb says: a camera's own changes (focus activity,
// ISO) through AVCaptureDevice's report methods on the camera's queue
// (AVCaptureDevice::cameraQueue()), frames to a stream's sink, the moments of
// a still on the queue named in its request.
//
// With no layer installed the capture objects see an empty one: no cameras,
// permission not determined (a request is answered "denied" on a platform
// queue and the status stays not determined), and nothing else.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "AVFoundation/AVCaptureTypes.h"
#include "CoreGraphics/CGGeometry.h"
#include "CoreMedia/CMFormatDescription.h"
#include "CoreMedia/CMSampleBuffer.h"
#include "CoreMedia/CMTime.h"
#include "CoreVideo/CVPixelBuffer.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/Data.h"
#include "Foundation/NSError.h"

class AVCaptureConnection;
class AVCaptureDevice;
class AVCaptureSession;

/// Kinds of outputs a camera may feed.
enum class AVCaptureOutputKind { photo, video };

// ---------------------------------------------------------------------------
// Control changes. The framework has checked the configuration lock, that the
// camera supports the change, and clamped values to the camera's ranges.

namespace AVCaptureControl {
struct FocusMode { AVCaptureFocusMode mode; };
/// In the unit square of the sensor; the camera then adjusts its focus.
struct FocusPointOfInterest { CGPoint point; };
struct SmoothAutoFocus { bool enabled; };
struct ExposureMode { AVCaptureExposureMode mode; };
struct ExposureTargetBias { float bias; };
struct WhiteBalanceMode { AVCaptureWhiteBalanceMode mode; };
struct LowLightBoost { bool enabled; };
/// `level` is 0 < level <= 1 when `mode` is on, 0 otherwise.
struct Torch { AVCaptureTorchMode mode; float level; };
/// To `factor` (within 1 ... the format's maximum), at once when `rate` is 0,
/// otherwise at `rate` powers of two per second from where the zoom is now.
struct VideoZoom { double factor; float rate; };
/// At most one frame every `minimum` (valid, positive, within the format).
struct MinFrameDuration { CMTime minimum; };
}  // namespace AVCaptureControl

using AVCaptureControlChange =
    std::variant<AVCaptureControl::FocusMode, AVCaptureControl::FocusPointOfInterest,
                 AVCaptureControl::SmoothAutoFocus, AVCaptureControl::ExposureMode,
                 AVCaptureControl::ExposureTargetBias, AVCaptureControl::WhiteBalanceMode,
                 AVCaptureControl::LowLightBoost, AVCaptureControl::Torch, AVCaptureControl::VideoZoom,
                 AVCaptureControl::MinFrameDuration>;

// ---------------------------------------------------------------------------
// Frames

/// Where a stream delivers. Implemented by the capture objects.
class AVCaptureStreamSink {
 public:
  virtual ~AVCaptureStreamSink() = default;
  /// One frame with its picture and presentation time. Called by the layer on
  /// one thread or serial queue of its own per stream, never two at once.
  virtual void streamDidOutputFrame(const CMSampleBufferRef& frame) = 0;
};

struct AVCaptureStreamRequest {
  /// The pixel format of the frames ('420v', '420f' or 'BGRA').
  OSType pixelFormat = kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange;
  /// True: every frame goes to the sink as it comes. False: the consumer only
  /// asks for the current picture now and then (a preview); a layer may then
  /// deliver nothing and make the picture when asked.
  bool everyFrame = true;
  /// The connection whose orientation the pictures take; none: portrait.
  std::shared_ptr<const AVCaptureConnection> connection;
};

/// A running stream of one camera. Destroying it stops the stream: no frame
/// is started afterwards (one being delivered may still finish). Its owner
/// may call it with its own lock held, so it must not call back into the
/// capture objects.
class AVCaptureStream {
 public:
  virtual ~AVCaptureStream() = default;
  /// The camera's current picture in the stream's format, or none while there
  /// is nothing to show yet.
  virtual CVPixelBufferRef currentFrame() = 0;
  /// Later frames come in this format.
  virtual void setPixelFormat(OSType pixelFormat) = 0;
};

// ---------------------------------------------------------------------------
// Stills

struct AVCaptureStillRequest {
  /// Where the moments are reported.
  DispatchQueue queue;
  std::int64_t uniqueID = 0;
  /// As resolved by the output: off when the camera has no flash.
  AVCaptureFlashMode flashMode = AVCaptureFlashMode::off;
  bool highResolution = false;
  /// The photo output's video connection: its orientation at the moment of
  /// exposure orients the photo.
  std::shared_ptr<const AVCaptureConnection> connection;
};

/// The moments of one still, each reported once, in this order, on the
/// request's queue. A still that never finishes reports nothing after the
/// exposure. Implemented by the capture objects.
class AVCaptureStillObserver {
 public:
  virtual ~AVCaptureStillObserver() = default;
  /// The capture has begun; processing is expected over `processing`, in
  /// seconds from the request (start: the exposure; end: the processed photo).
  virtual void stillWillBegin(CMTimeRange processing) = 0;
  /// The sensor is exposed now.
  virtual void stillWillExpose() = 0;
  /// The processed photo: its encoded file (a JPEG) or none, and an error when
  /// processing failed.
  virtual void stillDidProcess(std::optional<Data> fileData, std::optional<NSError> error) = 0;
  /// The capture is over, with an error when it failed.
  virtual void stillDidFinish(std::optional<NSError> error) = 0;
};

// ---------------------------------------------------------------------------

class AVCaptureBackend {
 public:
  virtual ~AVCaptureBackend() = default;

  // --- Discovery and permission

  /// Every camera, in the order discovery searches them. The same camera is
  /// always the same device object.
  virtual std::vector<std::shared_ptr<AVCaptureDevice>> devices() = 0;
  virtual AVAuthorizationStatus authorizationStatus(AVMediaType mediaType) = 0;
  /// Calls `completion` once, on a platform queue, with the answer; a request
  /// made while undecided waits for the user.
  virtual void requestAccess(AVMediaType mediaType, std::function<void(bool granted)> completion) = 0;

  /// Sessions report their creation, so that the layer can address a
  /// session's notifications (runtime errors, interruptions) to it.
  virtual void sessionCreated(const std::shared_ptr<AVCaptureSession>&) {}

  // --- Configuration

  /// Exclusive use of the camera's controls; an error when it is refused.
  virtual std::optional<NSError> lockForConfiguration(AVCaptureDevice&) { return std::nullopt; }
  /// Applies one change; an error when the camera refuses it (the framework
  /// then keeps its previous state).
  virtual std::optional<NSError> applyControl(const std::shared_ptr<AVCaptureDevice>& device,
                                              const AVCaptureControlChange& change) = 0;
  /// Where the zoom is now, while a ramp is under way; none when the camera
  /// shows the last factor applied.
  virtual std::optional<double> currentVideoZoomFactor(const AVCaptureDevice&) { return std::nullopt; }

  // --- Inputs and outputs

  /// Opens the camera for a session input; an error when it cannot be used.
  virtual std::optional<NSError> openDevice(AVCaptureDevice& device) = 0;
  /// Whether a session may take the camera as its input now.
  virtual bool acceptsInput(const AVCaptureDevice&) { return true; }
  /// Whether a session may take an output of that kind now.
  virtual bool acceptsOutput(AVCaptureOutputKind) { return true; }
  /// Whether the camera can feed an output of that kind (its connection).
  virtual bool connectsOutput(const AVCaptureDevice&, AVCaptureOutputKind) { return true; }

  // --- Frames and stills

  /// Starts a stream of the camera's frames into `sink` (held weakly), the
  /// first frame one frame interval from now; none when the camera cannot
  /// stream.
  virtual std::unique_ptr<AVCaptureStream> startStream(const std::shared_ptr<AVCaptureDevice>& device,
                                                       const AVCaptureStreamRequest& request,
                                                       std::weak_ptr<AVCaptureStreamSink> sink) = 0;
  /// Takes one still, reporting its moments to `observer` (held until the
  /// capture is over).
  virtual void captureStill(const std::shared_ptr<AVCaptureDevice>& device, const AVCaptureStillRequest& request,
                            std::shared_ptr<AVCaptureStillObserver> observer) = 0;
  /// Identifiers of new photo settings: 1, 2, 3... for the layer's lifetime.
  virtual std::int64_t nextPhotoSettingsID() = 0;
};

/// The installed layer, or the built-in empty one when none is installed.
/// Never null.
std::shared_ptr<AVCaptureBackend> AVCaptureCurrentBackend();

/// Installs `backend` for its lifetime and restores the previous one after.
/// Installations nest and end in reverse order.
class [[nodiscard]] ScopedAVCaptureBackend {
 public:
  explicit ScopedAVCaptureBackend(std::shared_ptr<AVCaptureBackend> backend);
  ~ScopedAVCaptureBackend();
  ScopedAVCaptureBackend(const ScopedAVCaptureBackend&) = delete;
  ScopedAVCaptureBackend& operator=(const ScopedAVCaptureBackend&) = delete;

 private:
  std::shared_ptr<AVCaptureBackend> previous_;
};
