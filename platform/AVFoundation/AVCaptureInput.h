#pragma once
// Inputs of a capture session.
// Thread-safe
// Immutable after creation.

#include <memory>

#include "AVFoundation/AVCaptureDevice.h"
#include "Foundation/NSError.h"

class AVCaptureDeviceInput {
 public:
  /// An input that feeds `device` into a session, or none (with the reason in
  /// `error`) when there is no device or its layer cannot open it. Opening
  /// may block the caller as long as the camera takes.
  static std::shared_ptr<AVCaptureDeviceInput> createWithDevice(const std::shared_ptr<AVCaptureDevice>& device,
                                                                NSError* error = nullptr);

  explicit AVCaptureDeviceInput(std::shared_ptr<AVCaptureDevice> device) : device_(std::move(device)) {}

  const std::shared_ptr<AVCaptureDevice>& device() const { return device_; }

 private:
  const std::shared_ptr<AVCaptureDevice> device_;
};
