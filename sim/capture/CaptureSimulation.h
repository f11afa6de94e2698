#pragma once
// sim::CaptureSimulation: the simulated cameras, camera permission, capture
// faults and capture physics behind the platform's capture framework. While
// it exists it is the installed device layer (AVCaptureBackend.h); destroying
// it uninstalls it and drops everything it held (platform objects the host
// still holds then see an empty layer). The physics and the timetable of
// frames and focus are CameraPhysics.h; a still capture reports will-begin at
// once, then exposure, the processed photo and the end of the capture at the
// times of the photo timetable (0.05 s, 0.25 s, 0.3 s by default); its photo
// is a JPEG of the test chart (TestChart.h) at the zoom and orientation of
// the moment of exposure.
//
// Thread-bound: main
// Configuration, faults and drivers are called on the driving (main) thread.
// Except the backend side, Thread-safe: the capture objects call it from any
// queue. One mutex guards the state; it is never held while calling into
// platform objects that could call back.
//
// Platform queues: permission answers run on "com.kivocamera.platform.permission",
// session notifications are posted on "com.kivocamera.platform.session", and
// camera property changes are reported on each camera's own queue
// ("com.kivocamera.platform.camera.NAME"). The queues are made on first use
// with the executor installed then.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AVFoundation/AVCaptureBackend.h"
#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCapturePhotoOutput.h"
#include "AVFoundation/AVCaptureSession.h"
#include "Foundation/NotificationCenter.h"
#include "sim/capture/CameraPhysics.h"
#include "sim/capture/CameraSetup.h"

namespace sim {

/// How the next photo capture goes wrong.
enum class PhotoFault { processingError, finishError, bothErrors, noData, neverFinishes };


/// When a capture's callbacks come, in seconds after the request: the
/// will-capture moment (exposure), the processed photo, the end of the
/// capture. The defaults are the photo output's own.
struct PhotoTimetable {
  double willCapture = 0.05;
  double processed = 0.25;
  double finished = 0.3;
};

class CaptureSimulation {
 public:
  static constexpr std::string_view kPermissionQueueLabel = "com.kivocamera.platform.permission";
  static constexpr std::string_view kSessionNotificationQueueLabel = "com.kivocamera.platform.session";
  static constexpr std::int64_t kRuntimeErrorCode = AVErrorUnknown;

  /// Installs itself as the capture backend with the default world: a back
  /// and a front wide camera, permission authorised, no faults, 640 x 480 photos.
  CaptureSimulation();
  ~CaptureSimulation();
  CaptureSimulation(const CaptureSimulation&) = delete;
  CaptureSimulation& operator=(const CaptureSimulation&) = delete;

  // --- Cameras ----------------------------------------------------------
  /// Adds a camera; the first call replaces the default set. A second camera
  /// of the same name throws std::invalid_argument.
  void addCamera(const CameraSetup& setup);
  /// No camera at all.
  void setNoCameras();
  /// The cameras in configuration order (the order discovery searches).
  std::vector<std::shared_ptr<AVCaptureDevice>> cameras() const;
  /// The camera of that name, or none.
  std::shared_ptr<AVCaptureDevice> camera(std::string_view name) const;

  // --- Permission -------------------------------------------------------
  void setAuthorizationStatus(AVAuthorizationStatus status);
  AVAuthorizationStatus authorizationStatus() const;
  bool hasOpenPermissionRequest() const;
  /// The user answers every open request: the status becomes authorised or
  /// denied and each completion runs on the permission queue. Throws
  /// std::invalid_argument when no request is open.
  void answerPermissionRequest(bool grant);

  // --- Faults -----------------------------------------------------------
  /// The next `count` lockForConfiguration: calls on any device fail
  /// (replacing any earlier lock fault).
  void failLock(int count = 1);
  /// Every lock fails until stopLockFailures().
  void failLockAlways();
  void stopLockFailures();
  /// The next device input creation fails.
  void failNextDeviceInput();
  void setRefusesInputs(bool refuses);
  void setRefusesPhotoOutput(bool refuses);
  void setRefusesVideoOutput(bool refuses);
  /// The next setTorchModeOnWithLevel:error: fails.
  void failNextTorch();
  void setPhotoConnectionMissing(bool missing);
  /// The next photo capture goes wrong that way.
  void failNextPhoto(PhotoFault fault);

  // --- Photos -----------------------------------------------------------
  /// The sensor's picture size (landscape; portrait photos swap it).
  /// Sizes outside 1 ... 8192 throw std::invalid_argument.
  void setPhotoSize(int width, int height);
  /// The timetable of every later capture. Times must be finite with
  /// 0 <= willCapture <= processed <= finished; otherwise std::invalid_argument
  /// and nothing changes. All zero: every callback is due at the request.
  void setPhotoTimetable(const PhotoTimetable& timetable);
  PhotoTimetable photoTimetable() const;
  /// Every later photo carries exactly these bytes instead of a rendering of
  /// the scene, so capturing encodes nothing; none goes back to rendering.
  /// Faults still decide whether a photo has data at all.
  void setPreparedPhotoData(std::optional<Data> data);

  // --- Real-time costs ----------------------------------------------------
  /// Creating a device input (opening the camera, the slow part of a
  /// session's configuration) blocks the calling thread for `seconds` of real
  /// time; 0, the default, returns at once. For real-time runs: the virtual
  /// clock never moves by itself. Not finite or negative: std::invalid_argument.
  void setDeviceInputOpenSeconds(double seconds);
  /// How a real-time cost is paid; by default the calling thread sleeps.
  /// Empty restores the default.
  using RealTimeWait = std::function<void(double seconds)>;
  void setRealTimeWait(RealTimeWait wait);

  // --- Drivers ----------------------------------------------------------
  // A camera is named ("back-wide") or, when none is given, the current one.
  // An unknown name, or no current camera, throws std::invalid_argument.

  /// The camera's ISO changes, reported on the camera's queue.
  void setISO(std::optional<std::string_view> camera, float iso);
  /// The camera's focus activity changes, reported on the camera's queue.
  void setAdjustingFocus(std::optional<std::string_view> camera, bool adjusting);

  // Session notifications, posted for the newest session on the session
  // notification queue. Without a session they throw std::invalid_argument.

  /// User info with an error of `domain` (default AVFoundationErrorDomain) and
  /// `code` (default -11800) under AVCaptureSessionErrorKey.
  void postRuntimeError(std::optional<std::int64_t> code = std::nullopt,
                        std::optional<std::string> domain = std::nullopt);
  /// User info present but without the error key.
  void postRuntimeErrorWithoutError();
  /// No user info at all.
  void postRuntimeErrorWithoutUserInfo();
  /// A text in place of the error.
  void postRuntimeErrorWithValue(std::string text);
  /// The reason under AVCaptureSessionInterruptionReasonKey; none: no key.
  void postInterrupted(std::optional<UserInfoValue> reason = std::nullopt);
  void postInterruptionEnded();


  // --- Work -------------------------------------------------------------
  /// The video frames the cameras' streams have delivered so far.
  std::uint64_t framesDelivered() const;
  /// The frames the streams running now will deliver in the next `seconds`,
  /// if nothing starts or stops them meanwhile (see CameraPhysics).
  CameraPhysics::FramesDue framesDueWithin(double seconds) const;

  // --- Inspection -------------------------------------------------------
  /// The session created last, while it lives.
  std::shared_ptr<AVCaptureSession> newestSession() const;
  /// The camera of the newest session's video input, or none.
  std::shared_ptr<AVCaptureDevice> currentCamera() const;
  /// The newest session's photo output, or none.
  std::shared_ptr<AVCapturePhotoOutput> photoOutput() const;
  /// Captures handed to the newest session's photo output and not finished.
  std::size_t photoCapturesInFlight() const;

 private:
  class Backend;
  std::shared_ptr<AVCaptureDevice> requireCamera(std::optional<std::string_view> name) const;
  void post(std::string_view name, std::optional<UserInfo> userInfo);

  std::shared_ptr<Backend> backend_;
  std::unique_ptr<ScopedAVCaptureBackend> installation_;
};

}  // namespace sim
