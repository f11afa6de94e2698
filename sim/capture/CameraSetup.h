#pragma once
// What a simulated camera is and can do, and the scenario words that
// describe it ("world camera back dual +torch min-focus=80 fps=60").
// Plain values and pure functions; any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCaptureTypes.h"

namespace sim {

enum class CameraType { wide, dual, dualWide, triple };

struct CameraSetup {
  AVCaptureDevicePosition position = AVCaptureDevicePosition::back;
  CameraType type = CameraType::wide;
  bool torch = true;
  bool flash = true;
  bool focusPointOfInterest = true;
  bool continuousFocus = true;
  bool smoothFocus = true;
  bool continuousExposure = true;
  bool continuousWhiteBalance = true;
  bool lowLightBoost = true;
  std::int64_t minFocusDistance = 120;
  float minBias = -8;
  float maxBias = 8;
  float iso = 100;
  std::vector<std::int64_t> colorSpaces{0, 1};
  std::int64_t activeColorSpace = 0;
  std::vector<std::string> presets{AVCaptureSessionPresetsAll.begin(), AVCaptureSessionPresetsAll.end()};
  double fps = 30;
  double maxZoomFactor = 16;

  /// The defaults of a camera at that place: back cameras have a torch and a
  /// flash and focus from 120 mm, front cameras have neither and focus from
  /// 200 mm.
  static CameraSetup defaults(AVCaptureDevicePosition position, CameraType type);

  /// POSITION-TYPE: "back-wide", "front-wide", "back-dual-wide"...
  std::string name() const;

  /// The platform device for this camera.
  AVCaptureDeviceDescription deviceDescription() const;
};

/// "back" or "front"; anything else throws std::invalid_argument.
AVCaptureDevicePosition parseCameraPosition(std::string_view word);
/// "wide", "dual", "dual-wide" or "triple"; anything else throws std::invalid_argument.
CameraType parseCameraType(std::string_view word);
std::string_view cameraTypeWord(CameraType type);
std::string_view cameraPositionWord(AVCaptureDevicePosition position);
AVCaptureDeviceType deviceTypeOf(CameraType type);

/// The defaults of the place, changed by the scenario's camera options:
/// +torch -torch +flash -flash -poi -continuous-focus -smooth-focus
/// -continuous-exposure -continuous-wb -low-light-boost (and their + forms),
/// min-focus=N, bias=MIN..MAX, iso=N, color-spaces=A,B,... (may be empty),
/// active-color-space=N, presets=P,P,..., fps=N (1..1000), max-zoom=N (>= 1).
/// Throws std::invalid_argument naming the first bad option.
CameraSetup parseCameraOptions(AVCaptureDevicePosition position, CameraType type,
                              const std::vector<std::string>& options);

}  // namespace sim
