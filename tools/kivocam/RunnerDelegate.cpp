#include "RunnerDelegate.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "AVFoundation/AVCaptureDevice.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/TraceFormat.h"

namespace kivocam {

int writeFile(const std::filesystem::path& path, const Data& bytes) {
  // A symbolic link in its place is not followed: a file lands in its
  // directory or nowhere.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return errno;
  int error = 0;
  const auto* data = reinterpret_cast<const char*>(bytes.data());
  std::size_t size = bytes.size();
  while (size > 0 && error == 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = written < 0 ? errno : EIO;
    } else {
      data += written;
      size -= static_cast<std::size_t>(written);
    }
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

void PhotoWriter::write(const Data& photo) {
  kivo::MutexLock lock(mutex_);
  const auto path = directory_ / ("photo-" + std::to_string(++count_) + ".jpg");
  if (const int error = writeFile(path, photo); error != 0 && !error_)
    error_ = "cannot write the photo " + path.string() + ": " + std::strerror(error);
}

std::optional<std::string> PhotoWriter::takeError() {
  kivo::MutexLock lock(mutex_);
  return std::exchange(error_, std::nullopt);
}

void ScenarioDelegate::line(Selector selector, const std::string& arguments) {
  std::string text = "delegate ";
  text.append(selectorName(selector));
  if (!arguments.empty()) {
    text.push_back(' ');
    text.append(arguments);
  }
  text.append(" @");
  text.append(DispatchQueue::currentLabel());
  print_(std::move(text));
}

void ScenarioDelegate::cameraDidCapturePhoto(KivoCamera&, const std::optional<Data>& photo) {
  if (photo && photos_) photos_->write(*photo);
  if (delivered_) delivered_->fetch_add(1, std::memory_order_relaxed);
  line(Selector::cameraDidCapturePhoto, photo ? std::to_string(photo->size()) + " bytes" : "nil");
}

void ScenarioDelegate::cameraDidChangeFlashMode(KivoCamera&, std::int64_t flashMode) {
  line(Selector::cameraDidChangeFlashMode, formatInteger(flashMode));
}

void ScenarioDelegate::cameraDidChangeTorch(KivoCamera&, bool on) {
  line(Selector::cameraDidChangeTorch, formatBool(on));
}

void ScenarioDelegate::cameraDidToggleCameraPosition(KivoCamera&, bool isBack) {
  line(Selector::cameraDidToggleCameraPosition, formatBool(isBack));
}

void ScenarioDelegate::cameraDidChangeZoomLevel(KivoCamera&, double level, double zoomScale) {
  line(Selector::cameraDidChangeZoomLevelZoomScale, formatNumber(level) + " " + formatNumber(zoomScale));
}

void ScenarioDelegate::cameraDidTapEndPoint(KivoCamera&, CGPoint point) {
  line(Selector::cameraDidTapEndPoint, formatPoint(point));
}

void ScenarioDelegate::cameraDidPinchEndZoomLevel(KivoCamera&, double level, double zoomScale) {
  line(Selector::cameraDidPinchEndZoomLevelZoomScale, formatNumber(level) + " " + formatNumber(zoomScale));
}

void ScenarioDelegate::cameraDidOutput(KivoCamera&, const CMSampleBufferRef&, bool isStill) {
  line(Selector::cameraDidOutputIsStill, formatBool(isStill));
}

void ScenarioDelegate::cameraDeviceDidChangeISO(KivoCamera&, AVCaptureDevice& device, float iso) {
  line(Selector::cameraDeviceDidChangeISO, device.uniqueID() + " " + formatNumber(iso));
}

void ScenarioDelegate::cameraDeviceDidChangeAdjustingFocus(KivoCamera&, AVCaptureDevice& device, bool adjusting) {
  line(Selector::cameraDeviceDidChangeAdjustingFocus, device.uniqueID() + " " + formatBool(adjusting));
}

// Each case says what the matching callback above prints; a selector added to
// the component without one here is a build error (-Wswitch).
std::string_view traceArguments(KivoCameraDelegateSelector selector) {
  using S = KivoCameraDelegateSelector;
  switch (selector) {
    case S::cameraDidCapturePhoto: return "N bytes (the photo's JPEG data), or nil";
    case S::cameraDidChangeFlashMode: return "the flash mode, raw";
    case S::cameraDidChangeTorch: return "whether the torch is now on";
    case S::cameraDidToggleCameraPosition: return "whether the back camera is now in use";
    case S::cameraDidChangeZoomLevelZoomScale: return "the zoom level (0 to 1) and the zoom scale";
    case S::cameraDidTapEndPoint: return "the tap point in the preview view, (X, Y)";
    case S::cameraDidPinchEndZoomLevelZoomScale: return "the zoom level and scale at the end of a pinch";
    case S::cameraDidOutputIsStill: return "whether the device is still, only (one line a video frame)";
    case S::cameraDeviceDidChangeISO: return "the camera's name, then the ISO";
    case S::cameraDeviceDidChangeAdjustingFocus: return "the camera's name, then isAdjustingFocus";
  }
  return {};
}

}  // namespace kivocam
