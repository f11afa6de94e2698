#pragma once
// What a simulated camera is and can do.
// Thread-safe
// Plain values and pure functions.

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

AVCaptureDeviceType deviceTypeOf(CameraType type);

}  // namespace sim
