#include "RealCameras.h"

#include <string_view>

#include "AVFoundation/AVCaptureTypes.h"

#if KIVO_HAVE_REAL_CAMERAS
#include "CameraCatalog.h"
#include "GstCaptureBackend.h"
#endif

namespace kivocam {

namespace {

#if KIVO_HAVE_REAL_CAMERAS
// The scenario language's words for a camera's place and kind.
std::string_view positionWord(AVCaptureDevicePosition position) {
  return position == AVCaptureDevicePosition::front ? "front" : "back";
}

std::string_view typeWord(std::string_view type) {
  if (type == AVCaptureDeviceTypeBuiltInDualCamera) return "dual";
  if (type == AVCaptureDeviceTypeBuiltInDualWideCamera) return "dual-wide";
  if (type == AVCaptureDeviceTypeBuiltInTripleCamera) return "triple";
  return "wide";
}
#else
constexpr std::string_view kNotBuilt =
    "real cameras are not in this build: install GStreamer (apt-get install libgstreamer1.0-dev "
    "libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libcamera "
    "gstreamer1.0-pipewire) and configure the build again";
#endif

}  // namespace

std::vector<std::string> listCameras() {
#if KIVO_HAVE_REAL_CAMERAS
  std::string reason;
  if (!gstcam::ensureGStreamer(&reason)) throw CameraUnavailable("cannot start GStreamer: " + reason);
  std::vector<std::string> lines;
  const gstcam::CameraCatalog catalog(true, {}, {});
  for (const auto& camera : catalog.cameras()) {
    lines.push_back(camera.name + " " + std::string(positionWord(camera.position)) + " " +
                    std::string(typeWord(camera.deviceType)));
  }
  return lines;
#else
  throw CameraUnavailable(std::string(kNotBuilt));
#endif
}

std::shared_ptr<AVCaptureBackend> realCameraLayer(const std::string& name) {
#if KIVO_HAVE_REAL_CAMERAS
  try {
    return gstcam::makeCaptureBackend({.onlyCamera = name, .placements = {}});
  } catch (const std::runtime_error& error) {
    throw CameraUnavailable(error.what());
  }
#else
  (void)name;
  throw CameraUnavailable(std::string(kNotBuilt));
#endif
}

}  // namespace kivocam
