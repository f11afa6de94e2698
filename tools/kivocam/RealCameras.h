#pragma once
// Real cameras for kivocam, where the build has the GStreamer device layer:
// the list `kivocam cameras` prints, and the layer `--camera NAME` installs.

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class AVCaptureBackend;

namespace kivocam {

/// A real camera cannot be used: the build has no real device layer, or the
/// layer cannot start, or there is no such camera. kivocam ends with exit
/// status 2 and the message.
class CameraUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The cameras found, one `NAME POSITION TYPE` line each, then the test
/// source. Throws CameraUnavailable.
std::vector<std::string> listCameras();

/// The real device layer with `name` as its only camera, the back
/// wide-angle one ("test": the test source). Throws CameraUnavailable.
std::shared_ptr<AVCaptureBackend> realCameraLayer(const std::string& name);

}  // namespace kivocam
