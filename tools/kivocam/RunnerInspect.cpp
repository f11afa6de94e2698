// `print PATH`: the inspection paths and how each value is printed. Every
// value is read from the controller, the platform objects and the host screen
// without side effects.

#include <functional>
#include <map>

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCapturePhotoOutput.h"
#include "AVFoundation/AVCaptureSession.h"
#include "AVFoundation/AVCaptureVideoPreviewLayer.h"
#include "Commands.h"
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

using RunnerPath = std::function<std::string(Runner&)>;

std::string motionPath(Runner& r, const std::function<std::string(KivoMotionManager&)>& read) {
  const auto manager = r.camera() ? r.camera()->motionManager() : nullptr;
  return manager ? read(*manager) : kNil;
}

std::string orientationPath(Runner& r, const std::function<std::string(KivoOrientation&)>& read) {
  const auto orientation = r.camera() ? r.camera()->orientation() : nullptr;
  return orientation ? read(*orientation) : kNil;
}

std::shared_ptr<AVCaptureVideoPreviewLayer> previewLayer(Runner& r) {
  // The layer itself, not the preview view's accessor, which re-applies the
  // view's own gravity as it reads.
  const auto& camera = r.camera();
  if (!camera || !camera->previewView()) return nullptr;
  return std::dynamic_pointer_cast<AVCaptureVideoPreviewLayer>(camera->previewView()->layer());
}

// The newest session the world has seen (the controller's, while it lives).
std::string sessionPath(Runner& r, const std::function<std::string(AVCaptureSession&)>& read) {
  const auto session = r.world().capture().newestSession();
  return session ? read(*session) : kNil;
}

// The controller's current camera, else the newest session's.
std::string devicePath(Runner& r, const std::function<std::string(AVCaptureDevice&)>& read) {
  auto device = r.camera() ? r.camera()->videoDevice() : nullptr;
  if (!device) device = r.world().capture().currentCamera();
  return device ? read(*device) : kNil;
}

std::string imageOrientation(Runner& r, AVCaptureDevicePosition position) {
  return orientationPath(r, [position](KivoOrientation& o) {
    return formatInteger(static_cast<std::int64_t>(o.imageOrientation(static_cast<std::int64_t>(position))));
  });
}

const std::map<std::string, RunnerPath, std::less<>>& otherPaths() {
  static const std::map<std::string, RunnerPath, std::less<>> paths{
      {"previewLayer.videoGravity",
       [](Runner& r) {
         const auto layer = previewLayer(r);
         return layer ? layer->videoGravity() : kNil;
       }},
      {"previewLayer.session",
       [](Runner& r) {
         const auto layer = previewLayer(r);
         return layer && layer->session() ? std::string("bound") : kNil;
       }},
      {"session.running", [](Runner& r) { return sessionPath(r, [](AVCaptureSession& s) { return formatBool(s.isRunning()); }); }},
      {"session.preset", [](Runner& r) { return sessionPath(r, [](AVCaptureSession& s) { return std::string(s.sessionPreset()); }); }},
      {"session.inputs",
       [](Runner& r) {
         return sessionPath(r, [](AVCaptureSession& s) {
           std::vector<std::string> names;
           for (const auto& input : s.inputs()) names.push_back(input->device()->uniqueID());
           return formatList(names);
         });
       }},
      {"session.outputs",
       [](Runner& r) {
         return sessionPath(r, [](AVCaptureSession& s) {
           std::vector<std::string> kinds;
           for (const auto& output : s.outputs()) kinds.emplace_back(output->kindName());
           return formatList(kinds);
         });
       }},
      {"device.name", [](Runner& r) { return devicePath(r, [](AVCaptureDevice& d) { return d.uniqueID(); }); }},
      {"device.videoZoomFactor",
       [](Runner& r) { return devicePath(r, [](AVCaptureDevice& d) { return formatNumber(d.videoZoomFactor()); }); }},
      {"device.focusPointOfInterest",
       [](Runner& r) { return devicePath(r, [](AVCaptureDevice& d) { return formatPoint(d.focusPointOfInterest()); }); }},
      {"device.focusMode",
       [](Runner& r) { return devicePath(r, [](AVCaptureDevice& d) { return formatInteger(rawValue(d.focusMode())); }); }},
      {"device.exposureMode",
       [](Runner& r) { return devicePath(r, [](AVCaptureDevice& d) { return formatInteger(rawValue(d.exposureMode())); }); }},
      {"device.whiteBalanceMode",
       [](Runner& r) {
         return devicePath(r, [](AVCaptureDevice& d) { return formatInteger(rawValue(d.whiteBalanceMode())); });
       }},
      {"device.exposureTargetBias",
       [](Runner& r) { return devicePath(r, [](AVCaptureDevice& d) { return formatNumber(d.exposureTargetBias()); }); }},
      {"device.torchActive",
       [](Runner& r) { return devicePath(r, [](AVCaptureDevice& d) { return formatBool(d.isTorchActive()); }); }},
      {"device.isAdjustingFocus",
       [](Runner& r) { return devicePath(r, [](AVCaptureDevice& d) { return formatBool(d.isAdjustingFocus()); }); }},
      {"device.ISO", [](Runner& r) { return devicePath(r, [](AVCaptureDevice& d) { return formatNumber(d.ISO()); }); }},
      {"connection.videoOrientation",
       [](Runner& r) {
         const auto output = r.world().capture().photoOutput();
         const auto connection = output ? output->videoConnection() : nullptr;
         return connection ? formatInteger(rawValue(connection->videoOrientation())) : kNil;
       }},
      {"app.idleTimerDisabled", [](Runner&) { return formatBool(UIApplication::shared().isIdleTimerDisabled()); }},
      {"motion.state",
       [](Runner& r) {
         return motionPath(r, [](KivoMotionManager& m) { return formatInteger(rawValue(m.motionState())); });
       }},
      {"motion.active",
       [](Runner& r) { return motionPath(r, [](KivoMotionManager& m) { return formatBool(m.isActive()); }); }},
      {"orientation.active",
       [](Runner& r) { return orientationPath(r, [](KivoOrientation& o) { return formatBool(o.isActive()); }); }},
      {"orientation.deviceOrientation",
       [](Runner& r) {
         return orientationPath(r, [](KivoOrientation& o) {
           return formatOptional(o.deviceOrientation(),
                                 [](UIDeviceOrientation v) { return formatInteger(static_cast<std::int64_t>(v)); });
         });
       }},
      {"orientation.videoOrientation",
       [](Runner& r) {
         return orientationPath(r, [](KivoOrientation& o) {
           return formatOptional(o.videoOrientation(), [](AVCaptureVideoOrientation v) {
             return formatInteger(static_cast<std::int64_t>(v));
           });
         });
       }},
      {"orientation.imageOrientation.back", [](Runner& r) { return imageOrientation(r, AVCaptureDevicePosition::back); }},
      {"orientation.imageOrientation.front",
       [](Runner& r) { return imageOrientation(r, AVCaptureDevicePosition::front); }},
      {"captures.inProgress",
       [](Runner& r) {
         return r.camera() ? formatInteger(static_cast<std::int64_t>(r.camera()->capturesInProgress())) : kNil;
       }},
      {"alert",
       [](Runner& r) {
         const auto alert = r.host().presentedAlert();
         return alert ? alert->traceDescription() : kNil;
       }},
  };
  return paths;
}

constexpr std::string_view kCameraPrefix = "camera.";

}  // namespace

const Choices& inspectionPaths() {
  static const Choices paths = [] {
    static std::vector<std::string> names;  // the words the choices view
    for (const auto& [name, read] : cameraPaths()) names.push_back(std::string(kCameraPrefix) + name);
    for (const auto& [name, read] : otherPaths()) names.push_back(name);
    Choices all;
    for (const auto& name : names) all.push_back({name});
    return all;
  }();
  return paths;
}

std::string inspect(Runner& runner, std::string_view path) {
  if (path.starts_with(kCameraPrefix)) {
    const auto& read = cameraPaths().find(path.substr(kCameraPrefix.size()))->second;
    return runner.camera() ? read(*runner.camera()) : kNil;
  }
  return otherPaths().find(path)->second(runner);
}

}  // namespace kivocam
