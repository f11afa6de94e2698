#pragma once
// What a simulated camera is and can do, and the scenario words that
// describe it ("world camera back dual +torch min-focus=80 fps=60").
// Plain values and pure functions; any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCaptureTypes.h"

namespace sim {

enum class CameraType { wide, dual, dualWide, triple };

/// A simulated camera: the platform's description of it. The defaults of a
/// place give a camera named POSITION-TYPE ("back-wide", "front-dual-wide");
/// change any field before handing it to the world.
struct CameraSetup {
  AVCaptureDeviceDescription description;

  /// The defaults of a camera at that place: back cameras have a torch and a
  /// flash and focus from 120 mm, front cameras have neither and focus from
  /// 200 mm.
  static CameraSetup defaults(AVCaptureDevicePosition position, CameraType type);

  /// A copy changed by `change`: `defaults(back, wide).with([](auto& d) { d.hasTorch = false; })`.
  template <class Change>
  CameraSetup with(Change&& change) const {
    CameraSetup copy = *this;
    change(copy.description);
    return copy;
  }
};

/// The default camera of that place, changed by `change`.
template <class Change>
CameraSetup camera(AVCaptureDevicePosition position, CameraType type, Change&& change) {
  return CameraSetup::defaults(position, type).with(std::forward<Change>(change));
}
inline CameraSetup camera(AVCaptureDevicePosition position, CameraType type) {
  return CameraSetup::defaults(position, type);
}

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
