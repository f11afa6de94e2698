#pragma once
// A capture session: inputs, outputs, the preset, running state, and its
// notifications.
// Thread-safe
// The component drives it from its session queue and reads it elsewhere.
//
// Notifications (runtime error, interruption and its end) are posted on the
// default notification centre with the session as object, by the device layer
// behind the session on one of the platform's queues.
//
// While it runs with a camera input the session keeps a stream of that
// camera open for its preview, asking only for the current picture
// (`currentFrame`); outputs that consume frames open their own.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCaptureInput.h"
#include "AVFoundation/AVCaptureOutput.h"
#include "AVFoundation/AVCaptureTypes.h"
#include "Foundation/NotificationCenter.h"
#include "Foundation/ThreadSafety.h"

class AVCaptureSession : public std::enable_shared_from_this<AVCaptureSession> {
 public:
  /// A new session; the device layer learns of it.
  static std::shared_ptr<AVCaptureSession> create();
  AVCaptureSession() = default;
  /// A running session stops its outputs' delivery as it goes.
  ~AVCaptureSession();
  AVCaptureSession(const AVCaptureSession&) = delete;
  AVCaptureSession& operator=(const AVCaptureSession&) = delete;

  /// Configuration blocks nest; a commit without an open block does nothing
  /// (both are traced every time).
  void beginConfiguration();
  void commitConfiguration();
  bool isConfiguring() const;

  /// AVCaptureSessionPresetHigh until set.
  std::string sessionPreset() const;
  bool canSetSessionPreset(AVCaptureSessionPreset preset) const;
  /// Stores a known preset; an unknown one is ignored (the call is traced).
  void setSessionPreset(AVCaptureSessionPreset preset);

  /// False when the device layer refuses the input's camera, the input is
  /// already there, or the session already has a video input.
  bool canAddInput(const std::shared_ptr<AVCaptureDeviceInput>& input) const;
  /// Adds the input when canAddInput allows it; otherwise the call only
  /// appears in the trace.
  void addInput(const std::shared_ptr<AVCaptureDeviceInput>& input);
  void removeInput(const std::shared_ptr<AVCaptureDeviceInput>& input);
  std::vector<std::shared_ptr<AVCaptureDeviceInput>> inputs() const;

  /// False when the device layer refuses that kind of output, the output
  /// belongs to a session already, or the session has an output of that kind.
  bool canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const;
  void addOutput(const std::shared_ptr<AVCaptureOutput>& output);
  void removeOutput(const std::shared_ptr<AVCaptureOutput>& output);
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs() const;

  /// Starts delivery to the outputs and the preview stream.
  void startRunning();
  void stopRunning();
  bool isRunning() const;

  /// The device of the first input that delivers video, if any.
  std::shared_ptr<AVCaptureDevice> videoDevice() const;

  /// The camera's current picture while the session runs with a camera
  /// input ('BGRA'), or none.
  CVPixelBufferRef currentFrame() const;
  /// The same, with where the camera that made it faces (unspecified when
  /// there is no picture), read together so the two always agree.
  CVPixelBufferRef currentFrame(AVCaptureDevicePosition& position) const;

  /// For device layers: posts `name` with this session as object on the
  /// calling thread.
  void postNotification(std::string_view name, std::optional<UserInfo> userInfo);

 private:
  bool canAddInputLocked(const std::shared_ptr<AVCaptureDeviceInput>& input) const KIVO_REQUIRES(mutex_);
  bool canAddOutputLocked(const std::shared_ptr<AVCaptureOutput>& output) const KIVO_REQUIRES(mutex_);
  std::shared_ptr<AVCaptureDevice> videoDeviceLocked() const KIVO_REQUIRES(mutex_);
  /// Keeps the preview stream on the camera of a running session, and none
  /// otherwise. Called after every change of inputs or running state; true
  /// when that camera changed.
  bool updatePreviewStream();
  /// After an input was added or removed: the preview, and the streams of a
  /// running session's outputs, move to the session's camera.
  void inputsDidChange();

  mutable kivo::Mutex mutex_;
  int configurationDepth_ KIVO_GUARDED_BY(mutex_) = 0;
  std::string preset_ KIVO_GUARDED_BY(mutex_){AVCaptureSessionPresetHigh};
  std::vector<std::shared_ptr<AVCaptureDeviceInput>> inputs_ KIVO_GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs_ KIVO_GUARDED_BY(mutex_);
  bool running_ KIVO_GUARDED_BY(mutex_) = false;

  // Serialises preview changes; taken before mutex_, never inside it. The
  // device layer is asked for a stream with it held (and must not call back
  // into this session's preview).
  mutable kivo::Mutex previewMutex_ KIVO_ACQUIRED_BEFORE(mutex_);
  std::unique_ptr<AVCaptureStream> previewStream_ KIVO_GUARDED_BY(previewMutex_);
  std::shared_ptr<AVCaptureDevice> previewDevice_ KIVO_GUARDED_BY(previewMutex_);
};
