#pragma once
// The controls a V4L2 camera offers on its node, as the layer uses them:
// optical zoom (zoom_absolute), continuous auto focus
// (focus_automatic_continuous) and automatic exposure (auto_exposure). The
// source applies values through its `extra-controls` property, named as
// v4l2src names them. Cameras whose source does not open a node itself
// (libcamera, PipeWire, the test camera) offer none here.
// Thread-safe
// Pure functions, except that probing opens the node.

#include <map>
#include <optional>
#include <string>

#include "CameraCatalog.h"

namespace gstcam {

struct ControlRange {
  int minimum = 0;
  int maximum = 0;
};

struct CameraControls {
  std::optional<ControlRange> zoom;
  bool continuousFocus = false;
  bool autoExposure = false;
};

/// Control values by v4l2src name.
using ControlValues = std::map<std::string, int, std::less<>>;

/// Asks the camera's node which of the controls it has (VIDIOC_QUERYCTRL).
CameraControls probeControls(const CameraDescription& camera);

/// zoom_absolute for `factor` in 1 ... `maxFactor`, spread evenly over the range.
int zoomControlValue(const ControlRange& range, double factor, double maxFactor);

/// The auto_exposure values for automatic (aperture priority) and manual exposure.
inline constexpr int kAutoExposureOn = 3;
inline constexpr int kAutoExposureOff = 1;

}  // namespace gstcam
