// `set NAME VALUE`: the controller's stored public properties by name, and
// the motion manager's two settings, each with how its value is written.

#include "AVFoundation/AVCaptureTypes.h"
#include "Commands.h"
#include "KivoCamera.h"
#include "KivoMotionManager.h"

namespace kivocam {

namespace {

template <void (KivoCamera::*set)(bool)>
Property flag(std::string_view name) {
  return {name, arg::flag(), [](KivoCamera& camera, const Value& v) { (camera.*set)(v.flag); }};
}

template <void (KivoCamera::*set)(double)>
Property number(std::string_view name) {
  return {name, arg::number(), [](KivoCamera& camera, const Value& v) { (camera.*set)(v.number); }};
}

const Choices& gravities() {
  static const Choices words{{AVLayerVideoGravityResizeAspect}, {AVLayerVideoGravityResizeAspectFill},
                             {AVLayerVideoGravityResize}};
  return words;
}

const Choices& presets() {
  static const Choices words = [] {
    Choices all;
    for (const auto preset : AVCaptureSessionPresetsAll) all.push_back({preset});
    all.push_back({AVCaptureSessionPresetInputPriority});
    return all;
  }();
  return words;
}

}  // namespace

const std::vector<Property>& properties() {
  using K = KivoCamera;
  static const std::vector<Property> table{
      flag<&K::setShouldShowFocus>("shouldShowFocus"),
      flag<&K::setShouldUseDeviceOrientation>("shouldUseDeviceOrientation"),
      flag<&K::setShouldPromptToAppSettings>("shouldPromptToAppSettings"),
      flag<&K::setShouldResetFocusAfterMove>("shouldResetFocusAfterMove"),
      flag<&K::setShouldShowFocusAfterLaunch>("shouldShowFocusAfterLaunch"),
      flag<&K::setShouldShowCaptureAnimation>("shouldShowCaptureAnimation"),
      flag<&K::setEnableVideoDataOutput>("enableVideoDataOutput"),
      flag<&K::setShouldKeepSessionStopping>("shouldKeepSessionStopping"),
      flag<&K::setShouldHighResolutionPhotoEnabled>("shouldHighResolutionPhotoEnabled"),
      flag<&K::setShouldCheckSupportedColorSpaces>("shouldCheckSupportedColorSpaces"),
      {"cameraPosition", arg::whole({}, 0, 2, "0 (unspecified), 1 (back) or 2 (front)"),
       [](K& camera, const Value& v) { camera.setCameraPosition(v.whole); }},
      {"videoGravity", arg::oneOf(gravities()), [](K& camera, const Value& v) { camera.setVideoGravity(v.word); }},
      {"flashMode", arg::whole({}, 0, 2, "0 (off), 1 (on) or 2 (auto)"),
       [](K& camera, const Value& v) { camera.setFlashMode(v.whole); }},
      flag<&K::setShouldPinchToZoom>("shouldPinchToZoom"),
      number<&K::setMaxZoomScale>("maxZoomScale"),
      number<&K::setMinZoomScale>("minZoomScale"),
      number<&K::setZoomScale>("zoomScale"),
      {"sessionPreset", arg::oneOf(presets(), {}, "session preset"),
       [](K& camera, const Value& v) { camera.setSessionPreset(v.word); }},
      flag<&K::setShouldListeningToExposure>("shouldListeningToExposure"),
      flag<&K::setShouldListeningToAutoFocus>("shouldListeningToAutoFocus"),
      flag<&K::setShouldUseAutoResolution>("shouldUseAutoResolution"),
      flag<&K::setShouldAutoUseMultiCamera>("shouldAutoUseMultiCamera"),
      {"motionManager.movingThreshold", arg::number(),
       [](K& camera, const Value& v) { camera.motionManager()->setMovingThreshold(v.number); }},
      {"motionManager.motionState", arg::whole({}, 0, 2, "0 (undetermined), 1 (still) or 2 (moving)"),
       [](K& camera, const Value& v) {
         camera.motionManager()->setMotionState(*fromRawValue<KivoMotionState>(v.whole));
       }},
  };
  return table;
}

const Choices& propertyNames() {
  static const Choices names = [] {
    Choices all;
    for (const Property& property : properties())
      all.push_back({property.name, static_cast<std::int64_t>(all.size())});
    return all;
  }();
  return names;
}

}  // namespace kivocam
