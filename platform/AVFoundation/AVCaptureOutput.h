#pragma once
// The common part of a session's outputs: which session holds the output.
// Thread-safe

#include <memory>
#include <string>
#include <string_view>

#include "AVFoundation/AVCaptureBackend.h"
#include "AVFoundation/AVCaptureConnection.h"
#include "AVFoundation/AVCaptureTypes.h"
#include "Foundation/ThreadSafety.h"

class AVCaptureSession;

class AVCaptureOutput : public std::enable_shared_from_this<AVCaptureOutput> {
 public:
  virtual ~AVCaptureOutput() = default;
  AVCaptureOutput(const AVCaptureOutput&) = delete;
  AVCaptureOutput& operator=(const AVCaptureOutput&) = delete;

  /// "photo" or "video": the output's word in traces and inspections.
  virtual std::string_view kindName() const = 0;
  virtual AVCaptureOutputKind kind() const = 0;

  /// The connection for `mediaType`, or none: an output has a video
  /// connection while it belongs to a session whose video input's camera can
  /// feed it. The connection is active while that session runs.
  virtual std::shared_ptr<AVCaptureConnection> connectionWithMediaType(AVMediaType mediaType) const;

  /// The session holding the output, if any.
  std::shared_ptr<AVCaptureSession> session() const;

  /// The output's video connection object, whether or not it is connected
  /// now (connectionWithMediaType answers that). It lives as long as the
  /// output, so its orientation stays across input changes.
  const std::shared_ptr<AVCaptureConnection>& videoConnection() const { return connection_; }

 protected:
  /// `connectionTraceName` names the video connection in the platform-call
  /// trace (empty: its calls are not traced).
  explicit AVCaptureOutput(std::string connectionTraceName);

  /// The device feeding this output through its session, if any.
  std::shared_ptr<AVCaptureDevice> sourceDevice() const;
  // Called by the session (outside its lock).
  virtual void sessionDidStartRunning(const std::shared_ptr<AVCaptureSession>&) {}
  virtual void sessionDidStopRunning() {}

 private:
  friend class AVCaptureSession;
  void attach(const std::shared_ptr<AVCaptureSession>& session);

  const std::shared_ptr<AVCaptureConnection> connection_;
  mutable kivo::Mutex sessionMutex_;
  std::weak_ptr<AVCaptureSession> session_ KIVO_GUARDED_BY(sessionMutex_);
};
