#include "UIKit/UIDevice.h"

std::optional<UIDeviceOrientation> UIDeviceOrientationFromRawValue(std::int64_t rawValue) {
  if (rawValue < 0 || rawValue > 6) return std::nullopt;
  return static_cast<UIDeviceOrientation>(rawValue);
}

UIDevice& UIDevice::current() {
  static UIDevice device;
  return device;
}
