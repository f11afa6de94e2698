#include "CameraControls.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace gstcam {

namespace {

int ioctlRetrying(int fd, unsigned long request, void* argument) {
  int result = 0;
  do {
    result = ::ioctl(fd, request, argument);
  } while (result < 0 && errno == EINTR);
  return result;
}

std::optional<v4l2_queryctrl> queryControl(int fd, std::uint32_t id) {
  v4l2_queryctrl query{};
  query.id = id;
  if (ioctlRetrying(fd, VIDIOC_QUERYCTRL, &query) < 0 || (query.flags & V4L2_CTRL_FLAG_DISABLED)) return std::nullopt;
  return query;
}

}  // namespace

CameraControls probeControls(const CameraDescription& camera) {
  CameraControls controls;
  if (camera.provider != "v4l2" || !camera.devicePath) return controls;
  const int fd = ::open(camera.devicePath->c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return controls;
  if (const auto zoom = queryControl(fd, V4L2_CID_ZOOM_ABSOLUTE); zoom && zoom->maximum > zoom->minimum)
    controls.zoom = ControlRange{zoom->minimum, zoom->maximum};
  controls.continuousFocus = queryControl(fd, V4L2_CID_FOCUS_AUTO).has_value();
  if (const auto exposure = queryControl(fd, V4L2_CID_EXPOSURE_AUTO); exposure && exposure->maximum >= kAutoExposureOn) {
    // A menu: automatic exposure needs its aperture-priority entry.
    v4l2_querymenu entry{};
    entry.id = V4L2_CID_EXPOSURE_AUTO;
    entry.index = kAutoExposureOn;
    controls.autoExposure = ioctlRetrying(fd, VIDIOC_QUERYMENU, &entry) == 0;
  }
  ::close(fd);
  return controls;
}

int zoomControlValue(const ControlRange& range, double factor, double maxFactor) {
  if (!(maxFactor > 1)) return range.minimum;
  const double share = std::clamp((factor - 1) / (maxFactor - 1), 0.0, 1.0);
  return range.minimum + static_cast<int>(std::lround(share * (range.maximum - range.minimum)));
}

}  // namespace gstcam
