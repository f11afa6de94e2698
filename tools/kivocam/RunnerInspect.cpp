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

// A path of an object the run may not have (nil without it): the controller's
// motion manager and orientation estimator, the newest session the world has
// seen (the controller's, while it lives), the controller's current camera
// (else the newest session's), the preview layer itself (not the preview
// view's accessor, which re-applies the view's own gravity as it reads).
template <class T>
RunnerPath of(std::shared_ptr<T> (*find)(Runner&), std::string (*read)(T&)) {
  return [find, read](Runner& r) {
    const auto object = find(r);
    return object ? read(*object) : kNil;
  };
}

std::shared_ptr<KivoMotionManager> motion(Runner& r) { return r.camera() ? r.camera()->motionManager() : nullptr; }
std::shared_ptr<KivoOrientation> estimator(Runner& r) { return r.camera() ? r.camera()->orientation() : nullptr; }
std::shared_ptr<AVCaptureSession> session(Runner& r) { return r.world().capture().newestSession(); }
std::shared_ptr<AVCaptureDevice> device(Runner& r) {
  const auto current = r.camera() ? r.camera()->videoDevice() : nullptr;
  return current ? current : r.world().capture().currentCamera();
}
std::shared_ptr<AVCaptureVideoPreviewLayer> previewLayer(Runner& r) {
  const auto& camera = r.camera();
  if (!camera || !camera->previewView()) return nullptr;
  return std::dynamic_pointer_cast<AVCaptureVideoPreviewLayer>(camera->previewView()->layer());
}

template <class E>
std::string raw(E value) {
  return formatInteger(static_cast<std::int64_t>(value));
}

constexpr auto kBack = static_cast<std::int64_t>(AVCaptureDevicePosition::back);
constexpr auto kFront = static_cast<std::int64_t>(AVCaptureDevicePosition::front);

const std::map<std::string, RunnerPath, std::less<>>& otherPaths() {
  using L = AVCaptureVideoPreviewLayer;
  using S = AVCaptureSession;
  using D = AVCaptureDevice;
  using O = KivoOrientation;
  static const std::map<std::string, RunnerPath, std::less<>> paths{
      {"previewLayer.videoGravity", of<L>(previewLayer, [](L& l) { return std::string(l.videoGravity()); })},
      {"previewLayer.session", of<L>(previewLayer, [](L& l) { return std::string(l.session() ? "bound" : kNil); })},
      {"session.running", of<S>(session, [](S& s) { return formatBool(s.isRunning()); })},
      {"session.preset", of<S>(session, [](S& s) { return std::string(s.sessionPreset()); })},
      {"session.inputs", of<S>(session, [](S& s) {
         std::vector<std::string> names;
         for (const auto& input : s.inputs()) names.push_back(input->device()->uniqueID());
         return formatList(names);
       })},
      {"session.outputs", of<S>(session, [](S& s) {
         std::vector<std::string> kinds;
         for (const auto& output : s.outputs()) kinds.emplace_back(output->kindName());
         return formatList(kinds);
       })},
      {"device.name", of<D>(device, [](D& d) { return d.uniqueID(); })},
      {"device.videoZoomFactor", of<D>(device, [](D& d) { return formatNumber(d.videoZoomFactor()); })},
      {"device.focusPointOfInterest", of<D>(device, [](D& d) { return formatPoint(d.focusPointOfInterest()); })},
      {"device.focusMode", of<D>(device, [](D& d) { return raw(d.focusMode()); })},
      {"device.exposureMode", of<D>(device, [](D& d) { return raw(d.exposureMode()); })},
      {"device.whiteBalanceMode", of<D>(device, [](D& d) { return raw(d.whiteBalanceMode()); })},
      {"device.exposureTargetBias", of<D>(device, [](D& d) { return formatNumber(d.exposureTargetBias()); })},
      {"device.torchActive", of<D>(device, [](D& d) { return formatBool(d.isTorchActive()); })},
      {"device.isAdjustingFocus", of<D>(device, [](D& d) { return formatBool(d.isAdjustingFocus()); })},
      {"device.ISO", of<D>(device, [](D& d) { return formatNumber(d.ISO()); })},
      {"connection.videoOrientation",
       [](Runner& r) {
         const auto output = r.world().capture().photoOutput();
         const auto connection = output ? output->videoConnection() : nullptr;
         return connection ? raw(connection->videoOrientation()) : kNil;
       }},
      {"app.idleTimerDisabled", [](Runner&) { return formatBool(UIApplication::shared().isIdleTimerDisabled()); }},
      {"motion.state", of<KivoMotionManager>(motion, [](KivoMotionManager& m) { return raw(m.motionState()); })},
      {"motion.active", of<KivoMotionManager>(motion, [](KivoMotionManager& m) { return formatBool(m.isActive()); })},
      {"orientation.active", of<O>(estimator, [](O& o) { return formatBool(o.isActive()); })},
      {"orientation.deviceOrientation",
       of<O>(estimator, [](O& o) { return formatOptional(o.deviceOrientation(), raw<UIDeviceOrientation>); })},
      {"orientation.videoOrientation",
       of<O>(estimator, [](O& o) { return formatOptional(o.videoOrientation(), raw<AVCaptureVideoOrientation>); })},
      {"orientation.imageOrientation.back", of<O>(estimator, [](O& o) { return raw(o.imageOrientation(kBack)); })},
      {"orientation.imageOrientation.front", of<O>(estimator, [](O& o) { return raw(o.imageOrientation(kFront)); })},
      {"captures.inProgress",
       [](Runner& r) { return r.camera() ? raw(r.camera()->capturesInProgress()) : kNil; }},
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
