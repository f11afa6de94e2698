#pragma once
// A connection between a session's input and one output; it carries the
// orientation of the pictures that output produces.
// Thread-safe

#include <atomic>
#include <memory>
#include <string>

#include "AVFoundation/AVCaptureTypes.h"

class AVCaptureConnection {
 public:
  /// `traceName` names the connection in the platform-call trace
  /// ("photo-connection"); an empty name keeps its calls out of the trace.
  static std::shared_ptr<AVCaptureConnection> create(std::string traceName);
  explicit AVCaptureConnection(std::string traceName) : traceName_(std::move(traceName)) {}

  bool isVideoOrientationSupported() const { return true; }
  AVCaptureVideoOrientation videoOrientation() const { return orientation_.load(std::memory_order_relaxed); }
  void setVideoOrientation(AVCaptureVideoOrientation orientation);

 private:
  const std::string traceName_;
  std::atomic<AVCaptureVideoOrientation> orientation_{AVCaptureVideoOrientation::portrait};
};
