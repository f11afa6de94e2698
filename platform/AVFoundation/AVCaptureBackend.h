#pragma once
// What the capture objects ask of the world behind them: which cameras exist,
// the camera permission and the user's answer, injected faults, the camera's
// physical timetable and the pixels of photos. A simulated world or a real
// device layer implements it; one backend is installed per process at a time.
//
// Thread safety: backends are called from any queue (main, the session
// queue, platform queues) and must be thread-safe. The capture objects never
// hold their own locks while calling a backend.
//
// With no backend installed the capture objects see an empty world: no
// cameras, permission not determined (a request is answered "denied" on a
// platform queue and the status stays not determined), no faults, no focus
// activity, and photos without file data.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "AVFoundation/AVCaptureTypes.h"
#include "Foundation/Data.h"
#include "Foundation/NSError.h"

class AVCaptureDevice;
class AVCaptureSession;

/// Kinds of outputs a session may refuse.
enum class AVCaptureOutputKind { photo, video };

/// The photo output's timetable for one capture, in seconds after the request,
/// and what goes wrong in it.
struct AVCapturePhotoPlan {
  double willCaptureDelay = 0.05;
  double processedDelay = 0.25;
  double finishedDelay = 0.3;
  bool processingError = false;  // the photo-processed callback carries an error
  bool finishError = false;      // the capture-finished callback carries an error
  bool noData = false;           // the photo has no file data
  bool neverFinishes = false;    // nothing after the will-capture callback
};

/// What a photo shows: the camera, its zoom factor and the connection's
/// orientation at the moment of exposure.
struct AVCapturePhotoScene {
  std::shared_ptr<AVCaptureDevice> device;
  double videoZoomFactor = 1.0;
  AVCaptureVideoOrientation orientation = AVCaptureVideoOrientation::portrait;
  AVCaptureFlashMode flashMode = AVCaptureFlashMode::off;
};

class AVCaptureBackend {
 public:
  virtual ~AVCaptureBackend() = default;

  // Permission. `completion` is called once, on a platform queue, when the
  // answer is known; a request made while undecided waits for the user.
  virtual AVAuthorizationStatus authorizationStatus(AVMediaType mediaType) = 0;
  virtual void requestAccess(AVMediaType mediaType, std::function<void(bool granted)> completion) = 0;

  // Discovery: the first camera of that type and position (unspecified: any)
  // that delivers `mediaType`, or none. The same camera is always the same
  // device object.
  virtual std::shared_ptr<AVCaptureDevice> defaultDevice(AVCaptureDeviceType deviceType, AVMediaType mediaType,
                                                         AVCaptureDevicePosition position) = 0;

  // Faults. Each call to the "next ..." kinds consumes one injected failure.
  virtual std::optional<NSError> nextLockFailure(const AVCaptureDevice&) { return std::nullopt; }
  virtual std::optional<NSError> nextDeviceInputFailure(const AVCaptureDevice&) { return std::nullopt; }
  virtual std::optional<NSError> nextTorchFailure(const AVCaptureDevice&) { return std::nullopt; }
  virtual bool refusesInputs() { return false; }
  virtual bool refusesOutput(AVCaptureOutputKind) { return false; }
  virtual bool photoConnectionMissing() { return false; }

  // Sessions report their creation so the world knows which one is newest.
  virtual void sessionCreated(const std::shared_ptr<AVCaptureSession>&) {}

  // The camera's physics: told when a focus point of interest is set (the
  // backend reports isAdjustingFocus on the camera's queue).
  virtual void focusPointOfInterestChanged(const std::shared_ptr<AVCaptureDevice>&) {}

  // Photos: the timetable and faults of the next capture (consumes a one-shot
  // fault), and the encoded picture of a scene (none: no file data).
  virtual AVCapturePhotoPlan planPhotoCapture() { return {}; }
  virtual std::optional<Data> photoFileData(const AVCapturePhotoScene&) { return std::nullopt; }

  /// Identifiers of new photo settings: 1, 2, 3... per world.
  virtual std::int64_t nextPhotoSettingsID() = 0;
};

/// The installed backend, or the built-in empty world when none is installed.
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
