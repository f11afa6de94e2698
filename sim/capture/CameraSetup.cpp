#include "sim/capture/CameraSetup.h"

namespace sim {

namespace {

// The camera's name: POSITION-TYPE ("back-wide", "front-dual-wide").
std::string nameOf(AVCaptureDevicePosition position, CameraType type) {
  std::string name = position == AVCaptureDevicePosition::front  ? "front"
                     : position == AVCaptureDevicePosition::back ? "back"
                                                                 : "unspecified";
  switch (type) {
    case CameraType::wide: return name + "-wide";
    case CameraType::dual: return name + "-dual";
    case CameraType::dualWide: return name + "-dual-wide";
    case CameraType::triple: return name + "-triple";
  }
  return name;
}

}  // namespace

CameraSetup CameraSetup::defaults(AVCaptureDevicePosition position, CameraType type) {
  CameraSetup setup;
  AVCaptureDeviceDescription& camera = setup.description;
  camera.uniqueID = nameOf(position, type);
  camera.deviceType = std::string(deviceTypeOf(type));
  camera.position = position;
  const bool back = position != AVCaptureDevicePosition::front;
  camera.hasTorch = back;
  camera.hasFlash = back;
  camera.minimumFocusDistance = back ? 120 : 200;
  return setup;
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

}  // namespace sim
