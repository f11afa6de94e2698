#include "KivoCameraDelegate.h"

#include <array>
#include <utility>

namespace {

using S = KivoCameraDelegateSelector;
constexpr std::array<std::pair<S, std::string_view>, 10> kSelectors{{
    {S::cameraDidCapturePhoto, "camera:didCapturePhoto:"},
    {S::cameraDidChangeFlashMode, "camera:didChangeFlashMode:"},
    {S::cameraDidChangeTorch, "camera:didChangeTorch:"},
    {S::cameraDidToggleCameraPosition, "camera:didToggleCameraPosition:"},
    {S::cameraDidChangeZoomLevelZoomScale, "camera:didChangeZoomLevel:zoomScale:"},
    {S::cameraDidTapEndPoint, "camera:didTapEndPoint:"},
    {S::cameraDidPinchEndZoomLevelZoomScale, "camera:didPinchEndZoomLevel:zoomScale:"},
    {S::cameraDidOutputIsStill, "camera:didOutput:isStill:"},
    {S::cameraDeviceDidChangeISO, "camera:device:didChangeISO:"},
    {S::cameraDeviceDidChangeAdjustingFocus, "camera:device:didChangeAdjustingFocus:"},
}};

}  // namespace

std::string_view selectorName(KivoCameraDelegateSelector selector) {
  for (const auto& [s, name] : kSelectors)
    if (s == selector) return name;
  return {};
}

std::optional<KivoCameraDelegateSelector> selectorFromName(std::string_view name) {
  for (const auto& [s, n] : kSelectors)
    if (n == name) return s;
  return std::nullopt;
}

bool KivoCameraDelegateBlocks::respondsToSelector(Selector selector) const {
  switch (selector) {
    case S::cameraDidCapturePhoto: return static_cast<bool>(didCapturePhoto);
    case S::cameraDidChangeFlashMode: return static_cast<bool>(didChangeFlashMode);
    case S::cameraDidChangeTorch: return static_cast<bool>(didChangeTorch);
    case S::cameraDidToggleCameraPosition: return static_cast<bool>(didToggleCameraPosition);
    case S::cameraDidChangeZoomLevelZoomScale: return static_cast<bool>(didChangeZoomLevel);
    case S::cameraDidTapEndPoint: return static_cast<bool>(didTapEndPoint);
    case S::cameraDidPinchEndZoomLevelZoomScale: return static_cast<bool>(didPinchEndZoomLevel);
    case S::cameraDidOutputIsStill: return static_cast<bool>(didOutput);
    case S::cameraDeviceDidChangeISO: return static_cast<bool>(deviceDidChangeISO);
    case S::cameraDeviceDidChangeAdjustingFocus: return static_cast<bool>(deviceDidChangeAdjustingFocus);
  }
  return false;
}
