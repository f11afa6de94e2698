// `print PATH`: the inspection paths and how each value is printed.

#include <functional>
#include <map>

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCaptureVideoPreviewLayer.h"
#include "Foundation/TraceFormat.h"
#include "KivoCamera.h"
#include "KivoFocusView.h"
#include "KivoMotionManager.h"
#include "KivoOrientation.h"
#include "KivoPreviewView.h"
#include "QuartzCore/CALayer.h"
#include "Runner.h"
#include "UIKit/UIAlertController.h"
#include "UIKit/UIApplication.h"
#include "UIKit/UIView.h"
#include "sim/HostScreen.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"

namespace kivocam {

namespace {

const std::string kNil = "nil";

template <class T>
std::string objectName(const std::shared_ptr<T>& object, std::string_view name) {
  return object ? std::string(name) : kNil;
}

std::string viewFrame(const std::shared_ptr<UIView>& view) { return view ? formatRect(view->frame()) : kNil; }
std::string viewHidden(const std::shared_ptr<UIView>& view) { return view ? formatBool(view->isHidden()) : kNil; }

using CameraPath = std::function<std::string(KivoCamera&)>;

// Every `camera.` path: the controller's public properties, stored and
// read-only, the views it shows and the motion manager's two settings. Views
// are read without loading them.
const std::map<std::string, CameraPath, std::less<>>& cameraPaths() {
  static const std::map<std::string, CameraPath, std::less<>> paths{
      {"delegate", [](KivoCamera& c) { return objectName(c.delegate(), "KivoCameraDelegate"); }},
      {"shouldShowFocus", [](KivoCamera& c) { return formatBool(c.shouldShowFocus()); }},
      {"shouldUseDeviceOrientation", [](KivoCamera& c) { return formatBool(c.shouldUseDeviceOrientation()); }},
      {"shouldPromptToAppSettings", [](KivoCamera& c) { return formatBool(c.shouldPromptToAppSettings()); }},
      {"shouldResetFocusAfterMove", [](KivoCamera& c) { return formatBool(c.shouldResetFocusAfterMove()); }},
      {"shouldShowFocusAfterLaunch", [](KivoCamera& c) { return formatBool(c.shouldShowFocusAfterLaunch()); }},
      {"shouldShowCaptureAnimation", [](KivoCamera& c) { return formatBool(c.shouldShowCaptureAnimation()); }},
      {"enableVideoDataOutput", [](KivoCamera& c) { return formatBool(c.enableVideoDataOutput()); }},
      {"videoOutputSettingFormatType",
       [](KivoCamera& c) {
         return formatOptional(c.videoOutputSettingFormatType(), [](std::uint32_t v) { return formatInteger(v); });
       }},
      {"shouldKeepSessionStopping", [](KivoCamera& c) { return formatBool(c.shouldKeepSessionStopping()); }},
      {"shouldHighResolutionPhotoEnabled",
       [](KivoCamera& c) { return formatBool(c.shouldHighResolutionPhotoEnabled()); }},
      {"shouldCheckSupportedColorSpaces",
       [](KivoCamera& c) { return formatBool(c.shouldCheckSupportedColorSpaces()); }},
      {"cameraPosition", [](KivoCamera& c) { return formatInteger(c.cameraPosition()); }},
      {"videoGravity", [](KivoCamera& c) { return c.videoGravity(); }},
      {"flashMode", [](KivoCamera& c) { return formatInteger(c.flashMode()); }},
      {"previewView", [](KivoCamera& c) { return objectName(c.previewView(), "KivoPreviewView"); }},
      {"focusView", [](KivoCamera& c) { return objectName(c.focusView(), "KivoFocusView"); }},
      {"focusPoint", [](KivoCamera& c) { return formatOptional(c.focusPoint(), formatPoint); }},
      {"shouldPinchToZoom", [](KivoCamera& c) { return formatBool(c.shouldPinchToZoom()); }},
      {"maxZoomScale", [](KivoCamera& c) { return formatNumber(c.maxZoomScale()); }},
      {"minZoomScale", [](KivoCamera& c) { return formatNumber(c.minZoomScale()); }},
      {"zoomScale", [](KivoCamera& c) { return formatNumber(c.zoomScale()); }},
      {"motionManager", [](KivoCamera& c) { return objectName(c.motionManager(), "KivoMotionManager"); }},
      {"orientation", [](KivoCamera& c) { return objectName(c.orientation(), "KivoOrientation"); }},
      {"sessionPreset", [](KivoCamera& c) { return c.sessionPreset(); }},
      {"shouldListeningToExposure", [](KivoCamera& c) { return formatBool(c.shouldListeningToExposure()); }},
      {"shouldListeningToAutoFocus", [](KivoCamera& c) { return formatBool(c.shouldListeningToAutoFocus()); }},
      {"shouldUseAutoResolution", [](KivoCamera& c) { return formatBool(c.shouldUseAutoResolution()); }},
      {"shouldAutoUseMultiCamera", [](KivoCamera& c) { return formatBool(c.shouldAutoUseMultiCamera()); }},
      {"exposureTargetBias", [](KivoCamera& c) { return formatNumber(c.exposureTargetBias()); }},
      {"minExposureTargetBias", [](KivoCamera& c) { return formatNumber(c.minExposureTargetBias()); }},
      {"maxExposureTargetBias", [](KivoCamera& c) { return formatNumber(c.maxExposureTargetBias()); }},
      {"isFlashAvailable", [](KivoCamera& c) { return formatBool(c.isFlashAvailable()); }},
      {"isLivePhotoCaptureEnabled", [](KivoCamera& c) { return formatBool(c.isLivePhotoCaptureEnabled()); }},
      {"view.frame", [](KivoCamera& c) { return viewFrame(c.viewIfLoaded()); }},
      {"view.hidden", [](KivoCamera& c) { return viewHidden(c.viewIfLoaded()); }},
      {"previewView.frame", [](KivoCamera& c) { return viewFrame(c.previewView()); }},
      {"previewView.hidden", [](KivoCamera& c) { return viewHidden(c.previewView()); }},
      {"focusView.hidden", [](KivoCamera& c) { return viewHidden(c.focusView()); }},
      {"focusView.frame", [](KivoCamera& c) { return viewFrame(c.focusView()); }},
      {"focusView.center",
       [](KivoCamera& c) { return c.focusView() ? formatPoint(c.focusView()->center()) : kNil; }},
      {"focusView.animations",
       [](KivoCamera& c) {
         const auto view = c.focusView();
         const auto imageView = view ? view->focusImageView() : nullptr;
         return imageView ? formatList(imageView->layer()->animationKeys()) : kNil;
       }},
      {"captureAnimationView.alpha",
       [](KivoCamera& c) {
         const auto& view = c.captureAnimationView();
         return view ? formatNumber(view->alpha()) : kNil;
       }},
      {"motionManager.movingThreshold",
       [](KivoCamera& c) {
         const auto manager = c.motionManager();
         return manager ? formatNumber(manager->movingThreshold()) : kNil;
       }},
      {"motionManager.motionState",
       [](KivoCamera& c) {
         const auto manager = c.motionManager();
         return manager ? formatInteger(rawValue(manager->motionState())) : kNil;
       }},
  };
  return paths;
}

using RunnerPath = std::function<std::string(KivoCamera*, sim::HostScreen&)>;

std::string motionPath(KivoCamera* camera, const std::function<std::string(KivoMotionManager&)>& read) {
  const auto manager = camera ? camera->motionManager() : nullptr;
  return manager ? read(*manager) : kNil;
}

std::string orientationPath(KivoCamera* camera, const std::function<std::string(KivoOrientation&)>& read) {
  const auto orientation = camera ? camera->orientation() : nullptr;
  return orientation ? read(*orientation) : kNil;
}

std::shared_ptr<AVCaptureVideoPreviewLayer> previewLayer(KivoCamera* camera) {
  // The layer itself, not the preview view's accessor, which re-applies the
  // view's own gravity as it reads.
  if (!camera || !camera->previewView()) return nullptr;
  return std::dynamic_pointer_cast<AVCaptureVideoPreviewLayer>(camera->previewView()->layer());
}

const std::map<std::string, RunnerPath, std::less<>>& otherPaths() {
  static const std::map<std::string, RunnerPath, std::less<>> paths{
      {"previewLayer.videoGravity",
       [](KivoCamera* c, sim::HostScreen&) {
         const auto layer = previewLayer(c);
         return layer ? layer->videoGravity() : kNil;
       }},
      {"previewLayer.session",
       [](KivoCamera* c, sim::HostScreen&) {
         const auto layer = previewLayer(c);
         return layer && layer->session() ? std::string("bound") : kNil;
       }},
      {"app.idleTimerDisabled",
       [](KivoCamera*, sim::HostScreen&) { return formatBool(UIApplication::shared().isIdleTimerDisabled()); }},
      {"motion.state",
       [](KivoCamera* c, sim::HostScreen&) {
         return motionPath(c, [](KivoMotionManager& m) { return formatInteger(rawValue(m.motionState())); });
       }},
      {"motion.active",
       [](KivoCamera* c, sim::HostScreen&) {
         return motionPath(c, [](KivoMotionManager& m) { return formatBool(m.isActive()); });
       }},
      {"orientation.active",
       [](KivoCamera* c, sim::HostScreen&) {
         return orientationPath(c, [](KivoOrientation& o) { return formatBool(o.isActive()); });
       }},
      {"orientation.deviceOrientation",
       [](KivoCamera* c, sim::HostScreen&) {
         return orientationPath(c, [](KivoOrientation& o) {
           return formatOptional(o.deviceOrientation(),
                                 [](UIDeviceOrientation v) { return formatInteger(static_cast<std::int64_t>(v)); });
         });
       }},
      {"orientation.videoOrientation",
       [](KivoCamera* c, sim::HostScreen&) {
         return orientationPath(c, [](KivoOrientation& o) {
           return formatOptional(o.videoOrientation(), [](AVCaptureVideoOrientation v) {
             return formatInteger(static_cast<std::int64_t>(v));
           });
         });
       }},
      {"orientation.imageOrientation.back",
       [](KivoCamera* c, sim::HostScreen&) {
         return orientationPath(c, [](KivoOrientation& o) {
           return formatInteger(static_cast<std::int64_t>(
               o.imageOrientation(static_cast<std::int64_t>(AVCaptureDevicePosition::back))));
         });
       }},
      {"orientation.imageOrientation.front",
       [](KivoCamera* c, sim::HostScreen&) {
         return orientationPath(c, [](KivoOrientation& o) {
           return formatInteger(static_cast<std::int64_t>(
               o.imageOrientation(static_cast<std::int64_t>(AVCaptureDevicePosition::front))));
         });
       }},
      {"captures.inProgress",
       [](KivoCamera* c, sim::HostScreen&) { return c ? formatInteger(static_cast<std::int64_t>(c->capturesInProgress())) : kNil; }},
      {"alert",
       [](KivoCamera*, sim::HostScreen& host) {
         const auto alert = host.presentedAlert();
         return alert ? alert->traceDescription() : kNil;
       }},
  };
  return paths;
}

}  // namespace

std::string Runner::inspect(const std::string& path) {
  if (path.starts_with("camera.")) {
    const auto& paths = cameraPaths();
    const auto found = paths.find(std::string_view(path).substr(7));
    if (found == paths.end()) throw ScenarioError("print: unknown path \"" + path + "\"");
    return camera_ ? found->second(*camera_) : kNil;
  }
  if (const auto found = otherPaths().find(path); found != otherPaths().end())
    return found->second(camera_.get(), *host_);
  const auto device = camera_ ? camera_->videoDevice() : nullptr;
  if (auto value = world_->capture().inspect(path, device)) return *value;
  throw ScenarioError("print: unknown path \"" + path + "\"");
}

}  // namespace kivocam
