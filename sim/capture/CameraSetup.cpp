#include "sim/capture/CameraSetup.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace sim {

namespace {

// The frame rates a simulated camera accepts, in frames per second.
constexpr double kMinFrameRate = 1;
constexpr double kMaxFrameRate = 1000;

[[noreturn]] void badOption(std::string_view option, std::string_view why) {
  std::string message = "camera option '";
  message.append(option);
  message.append("': ");
  message.append(why);
  throw std::invalid_argument(message);
}

std::optional<double> parseNumber(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> splitList(std::string_view text) {
  std::vector<std::string_view> items;
  if (text.empty()) return items;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return items;
}

bool* switchFor(AVCaptureDeviceDescription& camera, std::string_view word) {
  if (word == "torch") return &camera.hasTorch;
  if (word == "flash") return &camera.hasFlash;
  if (word == "poi") return &camera.focusPointOfInterestSupported;
  if (word == "continuous-focus") return &camera.continuousAutoFocusSupported;
  if (word == "smooth-focus") return &camera.smoothAutoFocusSupported;
  if (word == "continuous-exposure") return &camera.continuousAutoExposureSupported;
  if (word == "continuous-wb") return &camera.continuousAutoWhiteBalanceSupported;
  if (word == "low-light-boost") return &camera.lowLightBoostSupported;
  return nullptr;
}

void applyValueOption(AVCaptureDeviceDescription& setup, std::string_view option, std::string_view key, std::string_view value) {
  if (key == "min-focus") {
    const auto n = parseInteger(value);
    if (!n || *n < 0) badOption(option, "the minimum focus distance must be a whole number of millimetres >= 0");
    setup.minimumFocusDistance = *n;
  } else if (key == "bias") {
    const std::size_t dots = value.find("..");
    if (dots == std::string_view::npos) badOption(option, "expected bias=MIN..MAX");
    const auto lo = parseNumber(value.substr(0, dots));
    const auto hi = parseNumber(value.substr(dots + 2));
    if (!lo || !hi) badOption(option, "expected bias=MIN..MAX with two numbers");
    if (*lo > *hi) badOption(option, "the minimum bias is above the maximum");
    setup.minExposureTargetBias = static_cast<float>(*lo);
    setup.maxExposureTargetBias = static_cast<float>(*hi);
  } else if (key == "iso") {
    const auto n = parseNumber(value);
    if (!n || *n < 0) badOption(option, "the ISO must be a number >= 0");
    setup.iso = static_cast<float>(*n);
  } else if (key == "color-spaces") {
    std::vector<std::int64_t> spaces;
    for (std::string_view item : splitList(value)) {
      const auto n = parseInteger(item);
      if (!n) badOption(option, "colour spaces are whole numbers separated by commas");
      spaces.push_back(*n);
    }
    setup.supportedColorSpaces = std::move(spaces);
  } else if (key == "active-color-space") {
    const auto n = parseInteger(value);
    if (!n) badOption(option, "the active colour space is a whole number");
    setup.activeColorSpace = *n;
  } else if (key == "presets") {
    std::vector<std::string> presets;
    for (std::string_view item : splitList(value)) {
      if (!AVCaptureSessionPresetIsKnown(item) || item == AVCaptureSessionPresetInputPriority)
        badOption(option, "unknown session preset");
      presets.emplace_back(item);
    }
    setup.supportedSessionPresets = std::move(presets);
  } else if (key == "fps") {
    // Bounded so that a scenario cannot ask for frames faster than the
    // scheduler can deliver them (or for a camera that never sends one).
    const auto n = parseNumber(value);
    if (!n || !(*n >= kMinFrameRate && *n <= kMaxFrameRate))
      badOption(option, "the frame rate must be a number from 1 to 1000");
    setup.frameRate = *n;
  } else if (key == "max-zoom") {
    const auto n = parseNumber(value);
    if (!n || !(*n >= 1)) badOption(option, "the maximum zoom factor must be a number >= 1");
    setup.maxVideoZoomFactor = *n;
  } else {
    badOption(option, "unknown option");
  }
}

}  // namespace

CameraSetup CameraSetup::defaults(AVCaptureDevicePosition position, CameraType type) {
  CameraSetup setup;
  AVCaptureDeviceDescription& camera = setup.description;
  camera.uniqueID = std::string(cameraPositionWord(position)) + "-" + std::string(cameraTypeWord(type));
  camera.deviceType = std::string(deviceTypeOf(type));
  camera.position = position;
  const bool back = position != AVCaptureDevicePosition::front;
  camera.hasTorch = back;
  camera.hasFlash = back;
  camera.minimumFocusDistance = back ? 120 : 200;
  return setup;
}

AVCaptureDevicePosition parseCameraPosition(std::string_view word) {
  if (word == "back") return AVCaptureDevicePosition::back;
  if (word == "front") return AVCaptureDevicePosition::front;
  std::string message = "camera position '";
  message.append(word);
  message.append("': expected back or front");
  throw std::invalid_argument(message);
}

CameraType parseCameraType(std::string_view word) {
  if (word == "wide") return CameraType::wide;
  if (word == "dual") return CameraType::dual;
  if (word == "dual-wide") return CameraType::dualWide;
  if (word == "triple") return CameraType::triple;
  std::string message = "camera type '";
  message.append(word);
  message.append("': expected wide, dual, dual-wide or triple");
  throw std::invalid_argument(message);
}

std::string_view cameraTypeWord(CameraType type) {
  switch (type) {
    case CameraType::wide: return "wide";
    case CameraType::dual: return "dual";
    case CameraType::dualWide: return "dual-wide";
    case CameraType::triple: return "triple";
  }
  return "wide";
}

std::string_view cameraPositionWord(AVCaptureDevicePosition position) {
  switch (position) {
    case AVCaptureDevicePosition::front: return "front";
    case AVCaptureDevicePosition::back: return "back";
    case AVCaptureDevicePosition::unspecified: return "unspecified";
  }
  return "unspecified";
}

AVCaptureDeviceType deviceTypeOf(CameraType type) {
  switch (type) {
    case CameraType::wide: return AVCaptureDeviceTypeBuiltInWideAngleCamera;
    case CameraType::dual: return AVCaptureDeviceTypeBuiltInDualCamera;
    case CameraType::dualWide: return AVCaptureDeviceTypeBuiltInDualWideCamera;
    case CameraType::triple: return AVCaptureDeviceTypeBuiltInTripleCamera;
  }
  return AVCaptureDeviceTypeBuiltInWideAngleCamera;
}

CameraSetup parseCameraOptions(AVCaptureDevicePosition position, CameraType type,
                              const std::vector<std::string>& options) {
  CameraSetup setup = CameraSetup::defaults(position, type);
  for (const std::string& option : options) {
    const std::string_view text(option);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
      bool* flag = switchFor(setup.description, text.substr(1));
      if (!flag) badOption(text, "unknown option");
      *flag = text.front() == '+';
      continue;
    }
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) badOption(text, "unknown option");
    applyValueOption(setup.description, text, text.substr(0, equals), text.substr(equals + 1));
  }
  return setup;
}

}  // namespace sim
