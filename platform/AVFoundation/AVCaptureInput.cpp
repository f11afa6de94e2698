#include "AVFoundation/AVCaptureInput.h"

#include "AVFoundation/AVCaptureBackend.h"
#include "AVFoundation/AVTrace.h"

std::shared_ptr<AVCaptureDeviceInput> AVCaptureDeviceInput::createWithDevice(
    const std::shared_ptr<AVCaptureDevice>& device, NSError* error) {
  std::optional<NSError> failure;
  if (!device) {
    failure = NSError{std::string(AVFoundationErrorDomain), AVErrorDeviceNotConnected, "Cannot use a missing device"};
  } else {
    failure = AVCaptureCurrentBackend()->openDevice(*device);
  }
  if (failure) {
    if (error) *error = std::move(*failure);
    return nullptr;
  }
  return std::make_shared<AVCaptureDeviceInput>(device);
}
