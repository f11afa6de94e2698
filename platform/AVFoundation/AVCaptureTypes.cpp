#include "AVFoundation/AVCaptureTypes.h"

#include <algorithm>

bool AVCaptureSessionPresetIsKnown(std::string_view preset) {
  return preset == AVCaptureSessionPresetInputPriority ||
         std::find(AVCaptureSessionPresetsAll.begin(), AVCaptureSessionPresetsAll.end(), preset) !=
             AVCaptureSessionPresetsAll.end();
}

std::optional<AVCaptureDevicePosition> AVCaptureDevicePositionFromRawValue(std::int64_t raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<AVCaptureDevicePosition>(raw);
}

std::optional<AVCaptureFlashMode> AVCaptureFlashModeFromRawValue(std::int64_t raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<AVCaptureFlashMode>(raw);
}

std::optional<AVCaptureVideoOrientation> AVCaptureVideoOrientationFromRawValue(std::int64_t raw) {
  if (raw < 1 || raw > 4) return std::nullopt;
  return static_cast<AVCaptureVideoOrientation>(raw);
}
