// `set NAME VALUE`: the controller's stored public properties by name, and
// the motion manager's two settings.

#include <functional>
#include <map>

#include "AVFoundation/AVCaptureTypes.h"
#include "KivoCamera.h"
#include "KivoMotionManager.h"
#include "Runner.h"

namespace kivocam {

namespace {

using Setter = std::function<void(KivoCamera&, const std::string& value, const std::string& what)>;

Setter boolSetter(void (KivoCamera::*set)(bool)) {
  return [set](KivoCamera& camera, const std::string& value, const std::string& what) {
    (camera.*set)(readBool(value, what));
  };
}

Setter numberSetter(void (KivoCamera::*set)(double)) {
  return [set](KivoCamera& camera, const std::string& value, const std::string& what) {
    (camera.*set)(readNumber(value, what));
  };
}

/// An enumeration stored as its raw integer, with its valid range.
Setter rawSetter(void (KivoCamera::*set)(std::int64_t), std::int64_t max, std::string_view meaning) {
  return [set, max, meaning](KivoCamera& camera, const std::string& value, const std::string& what) {
    const auto raw = readInteger(value, what);
    if (raw < 0 || raw > max) throw ScenarioError(what + ": expected " + std::string(meaning) + ", not \"" + value + "\"");
    (camera.*set)(raw);
  };
}

const std::map<std::string, Setter, std::less<>>& setters() {
  static const std::map<std::string, Setter, std::less<>> table{
      {"shouldShowFocus", boolSetter(&KivoCamera::setShouldShowFocus)},
      {"shouldUseDeviceOrientation", boolSetter(&KivoCamera::setShouldUseDeviceOrientation)},
      {"shouldPromptToAppSettings", boolSetter(&KivoCamera::setShouldPromptToAppSettings)},
      {"shouldResetFocusAfterMove", boolSetter(&KivoCamera::setShouldResetFocusAfterMove)},
      {"shouldShowFocusAfterLaunch", boolSetter(&KivoCamera::setShouldShowFocusAfterLaunch)},
      {"shouldShowCaptureAnimation", boolSetter(&KivoCamera::setShouldShowCaptureAnimation)},
      {"enableVideoDataOutput", boolSetter(&KivoCamera::setEnableVideoDataOutput)},
      {"shouldKeepSessionStopping", boolSetter(&KivoCamera::setShouldKeepSessionStopping)},
      {"shouldHighResolutionPhotoEnabled", boolSetter(&KivoCamera::setShouldHighResolutionPhotoEnabled)},
      {"shouldCheckSupportedColorSpaces", boolSetter(&KivoCamera::setShouldCheckSupportedColorSpaces)},
      {"cameraPosition", rawSetter(&KivoCamera::setCameraPosition, 2, "0 (unspecified), 1 (back) or 2 (front)")},
      {"videoGravity",
       [](KivoCamera& camera, const std::string& value, const std::string& what) {
         if (value != AVLayerVideoGravityResizeAspect && value != AVLayerVideoGravityResizeAspectFill &&
             value != AVLayerVideoGravityResize)
           throw ScenarioError(what + ": expected AVLayerVideoGravityResizeAspect, "
                                      "AVLayerVideoGravityResizeAspectFill or AVLayerVideoGravityResize, not \"" +
                               value + "\"");
         camera.setVideoGravity(value);
       }},
      {"flashMode", rawSetter(&KivoCamera::setFlashMode, 2, "0 (off), 1 (on) or 2 (auto)")},
      {"shouldPinchToZoom", boolSetter(&KivoCamera::setShouldPinchToZoom)},
      {"maxZoomScale", numberSetter(&KivoCamera::setMaxZoomScale)},
      {"minZoomScale", numberSetter(&KivoCamera::setMinZoomScale)},
      {"zoomScale", numberSetter(&KivoCamera::setZoomScale)},
      {"sessionPreset",
       [](KivoCamera& camera, const std::string& value, const std::string& what) {
         if (!AVCaptureSessionPresetIsKnown(value))
           throw ScenarioError(what + ": unknown session preset \"" + value + "\"");
         camera.setSessionPreset(value);
       }},
      {"shouldListeningToExposure", boolSetter(&KivoCamera::setShouldListeningToExposure)},
      {"shouldListeningToAutoFocus", boolSetter(&KivoCamera::setShouldListeningToAutoFocus)},
      {"shouldUseAutoResolution", boolSetter(&KivoCamera::setShouldUseAutoResolution)},
      {"shouldAutoUseMultiCamera", boolSetter(&KivoCamera::setShouldAutoUseMultiCamera)},
      {"motionManager.movingThreshold",
       [](KivoCamera& camera, const std::string& value, const std::string& what) {
         camera.motionManager()->setMovingThreshold(readNumber(value, what));
       }},
      {"motionManager.motionState",
       [](KivoCamera& camera, const std::string& value, const std::string& what) {
         const auto state = fromRawValue<KivoMotionState>(readInteger(value, what));
         if (!state) throw ScenarioError(what + ": expected 0 (undetermined), 1 (still) or 2 (moving), not \"" + value + "\"");
         camera.motionManager()->setMotionState(*state);
       }},
  };
  return table;
}

}  // namespace

void Runner::set(const Words& words) {
  requireWords(words, 3, "set NAME VALUE");
  const auto found = setters().find(words[1]);
  if (found == setters().end()) throw ScenarioError("set: unknown property \"" + words[1] + "\"");
  found->second(requireCamera("set"), words[2], "set " + words[1]);
}

}  // namespace kivocam
