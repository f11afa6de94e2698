// `print PATH`: the inspection paths and how each value is printed. Every
// value is read from the controller, the platform objects and the host screen
// without side effects.

#include <functional>
#include <vector>

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCapturePhotoOutput.h"
#include "AVFoundation/AVCaptureSession.h"
#include "AVFoundation/AVCaptureVideoPreviewLayer.h"
#include "Commands.h"
#include "Foundation/TraceFormat.h"
#include "KivoCamera.h"
#include "KivoCameraInspector.h"
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

// One `print` path: its name, what its value is when the name does not say
// it (for the help), and how it is read.
template <class Read>
struct Path {
  std::string_view name;
  std::string_view meaning;
  Read read;
};

// Every `camera.` path: the controller's public properties, stored and
// read-only, the views it shows and the motion manager's two settings. Views
// are read without loading them.
const std::vector<Path<CameraPath>>& cameraPaths() {
  static const std::vector<Path<CameraPath>> paths{
      {"delegate", "KivoCameraDelegate, or nil",
       [](KivoCamera& c) { return objectName(c.delegate(), "KivoCameraDelegate"); }},
      {"shouldShowFocus", "", [](KivoCamera& c) { return formatBool(c.shouldShowFocus()); }},
      {"shouldUseDeviceOrientation", "", [](KivoCamera& c) { return formatBool(c.shouldUseDeviceOrientation()); }},
      {"shouldPromptToAppSettings", "", [](KivoCamera& c) { return formatBool(c.shouldPromptToAppSettings()); }},
      {"shouldResetFocusAfterMove", "", [](KivoCamera& c) { return formatBool(c.shouldResetFocusAfterMove()); }},
      {"shouldShowFocusAfterLaunch", "", [](KivoCamera& c) { return formatBool(c.shouldShowFocusAfterLaunch()); }},
      {"shouldShowCaptureAnimation", "", [](KivoCamera& c) { return formatBool(c.shouldShowCaptureAnimation()); }},
      {"enableVideoDataOutput", "", [](KivoCamera& c) { return formatBool(c.enableVideoDataOutput()); }},
      {"videoOutputSettingFormatType", "the pixel format code, or nil while none is set",
       [](KivoCamera& c) {
         return formatOptional(c.videoOutputSettingFormatType(), [](std::uint32_t v) { return formatInteger(v); });
       }},
      {"shouldKeepSessionStopping", "", [](KivoCamera& c) { return formatBool(c.shouldKeepSessionStopping()); }},
      {"shouldHighResolutionPhotoEnabled", "",
       [](KivoCamera& c) { return formatBool(c.shouldHighResolutionPhotoEnabled()); }},
      {"shouldCheckSupportedColorSpaces", "",
       [](KivoCamera& c) { return formatBool(c.shouldCheckSupportedColorSpaces()); }},
      {"cameraPosition", "raw: 0 unspecified, 1 back, 2 front",
       [](KivoCamera& c) { return formatInteger(c.cameraPosition()); }},
      {"videoGravity", "the gravity constant by name", [](KivoCamera& c) { return c.videoGravity(); }},
      {"flashMode", "raw: 0 off, 1 on, 2 auto", [](KivoCamera& c) { return formatInteger(c.flashMode()); }},
      {"shouldPinchToZoom", "", [](KivoCamera& c) { return formatBool(c.shouldPinchToZoom()); }},
      {"maxZoomScale", "", [](KivoCamera& c) { return formatNumber(c.maxZoomScale()); }},
      {"minZoomScale", "", [](KivoCamera& c) { return formatNumber(c.minZoomScale()); }},
      {"zoomScale", "", [](KivoCamera& c) { return formatNumber(c.zoomScale()); }},
      {"sessionPreset", "the preset constant by name", [](KivoCamera& c) { return c.sessionPreset(); }},
      {"shouldListeningToExposure", "", [](KivoCamera& c) { return formatBool(c.shouldListeningToExposure()); }},
      {"shouldListeningToAutoFocus", "", [](KivoCamera& c) { return formatBool(c.shouldListeningToAutoFocus()); }},
      {"shouldUseAutoResolution", "", [](KivoCamera& c) { return formatBool(c.shouldUseAutoResolution()); }},
      {"shouldAutoUseMultiCamera", "", [](KivoCamera& c) { return formatBool(c.shouldAutoUseMultiCamera()); }},
      {"focusPoint", "(X, Y), or nil until setFocusPoint",
       [](KivoCamera& c) { return formatOptional(c.focusPoint(), formatPoint); }},
      {"exposureTargetBias", "", [](KivoCamera& c) { return formatNumber(c.exposureTargetBias()); }},
      {"minExposureTargetBias", "", [](KivoCamera& c) { return formatNumber(c.minExposureTargetBias()); }},
      {"maxExposureTargetBias", "", [](KivoCamera& c) { return formatNumber(c.maxExposureTargetBias()); }},
      {"isFlashAvailable", "", [](KivoCamera& c) { return formatBool(c.isFlashAvailable()); }},
      {"isLivePhotoCaptureEnabled", "", [](KivoCamera& c) { return formatBool(c.isLivePhotoCaptureEnabled()); }},
      {"previewView", "KivoPreviewView, or nil before it is made",
       [](KivoCamera& c) { return objectName(c.previewView(), "KivoPreviewView"); }},
      {"focusView", "KivoFocusView, or nil before it is made",
       [](KivoCamera& c) { return objectName(c.focusView(), "KivoFocusView"); }},
      {"motionManager", "KivoMotionManager, or nil",
       [](KivoCamera& c) { return objectName(c.motionManager(), "KivoMotionManager"); }},
      {"orientation", "KivoOrientation, or nil",
       [](KivoCamera& c) { return objectName(c.orientation(), "KivoOrientation"); }},
      {"view.frame", "(X, Y, W, H), or nil while the view is not loaded",
       [](KivoCamera& c) { return viewFrame(c.viewIfLoaded()); }},
      {"view.hidden", "nil while the view is not loaded", [](KivoCamera& c) { return viewHidden(c.viewIfLoaded()); }},
      {"previewView.frame", "nil before the preview view is made",
       [](KivoCamera& c) { return viewFrame(c.previewView()); }},
      {"previewView.hidden", "", [](KivoCamera& c) { return viewHidden(c.previewView()); }},
      {"focusView.hidden", "the reticle's; nil before it is made",
       [](KivoCamera& c) { return viewHidden(c.focusView()); }},
      {"focusView.frame", "", [](KivoCamera& c) { return viewFrame(c.focusView()); }},
      {"focusView.center", "",
       [](KivoCamera& c) { return c.focusView() ? formatPoint(c.focusView()->center()) : kNil; }},
      {"focusView.animations", "the animation keys on the reticle image's layer, as a list",
       [](KivoCamera& c) {
         const auto view = c.focusView();
         const auto imageView = view ? view->focusImageView() : nullptr;
         return imageView ? formatList(imageView->layer()->animationKeys()) : kNil;
       }},
      {"captureAnimationView.alpha", "the shutter overlay's alpha; nil before it is made",
       [](KivoCamera& c) {
         const auto& view = KivoCameraInspector::captureAnimationView(c);
         return view ? formatNumber(view->alpha()) : kNil;
       }},
      {"motionManager.movingThreshold", "",
       [](KivoCamera& c) {
         const auto manager = c.motionManager();
         return manager ? formatNumber(manager->movingThreshold()) : kNil;
       }},
      {"motionManager.motionState", "raw: 0 undetermined, 1 still, 2 moving",
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
std::shared_ptr<AVCaptureSession> session(Runner& r) { return r.newestSession(); }
std::shared_ptr<AVCaptureDevice> device(Runner& r) {
  const auto current = r.camera() ? KivoCameraInspector::videoDevice(*r.camera()) : nullptr;
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

const std::vector<Path<RunnerPath>>& otherPaths() {
  using L = AVCaptureVideoPreviewLayer;
  using S = AVCaptureSession;
  using D = AVCaptureDevice;
  using O = KivoOrientation;
  using M = KivoMotionManager;
  static const std::vector<Path<RunnerPath>> paths{
      {"previewLayer.videoGravity", "the preview layer's own gravity, read without side effects; nil without it",
       of<L>(previewLayer, [](L& l) { return std::string(l.videoGravity()); })},
      {"previewLayer.session", "bound or nil",
       of<L>(previewLayer, [](L& l) { return std::string(l.session() ? "bound" : kNil); })},
      {"session.running", "of the newest session (the controller's while it lives); nil before any",
       of<S>(session, [](S& s) { return formatBool(s.isRunning()); })},
      {"session.preset", "", of<S>(session, [](S& s) { return std::string(s.sessionPreset()); })},
      {"session.inputs", "the cameras' names, as a list",
       of<S>(session,
             [](S& s) {
               std::vector<std::string> names;
               for (const auto& input : s.inputs()) names.push_back(input->device()->uniqueID());
               return formatList(names);
             })},
      {"session.outputs", "photo and video, as a list",
       of<S>(session,
             [](S& s) {
               std::vector<std::string> kinds;
               for (const auto& output : s.outputs()) kinds.emplace_back(output->kindName());
               return formatList(kinds);
             })},
      {"device.name", "the controller's current camera (else the newest session's), or nil",
       of<D>(device, [](D& d) { return d.uniqueID(); })},
      {"device.videoZoomFactor", "", of<D>(device, [](D& d) { return formatNumber(d.videoZoomFactor()); })},
      {"device.focusPointOfInterest", "", of<D>(device, [](D& d) { return formatPoint(d.focusPointOfInterest()); })},
      {"device.focusMode", "raw", of<D>(device, [](D& d) { return raw(d.focusMode()); })},
      {"device.exposureMode", "raw", of<D>(device, [](D& d) { return raw(d.exposureMode()); })},
      {"device.whiteBalanceMode", "raw", of<D>(device, [](D& d) { return raw(d.whiteBalanceMode()); })},
      {"device.exposureTargetBias", "", of<D>(device, [](D& d) { return formatNumber(d.exposureTargetBias()); })},
      {"device.torchActive", "", of<D>(device, [](D& d) { return formatBool(d.isTorchActive()); })},
      {"device.isAdjustingFocus", "", of<D>(device, [](D& d) { return formatBool(d.isAdjustingFocus()); })},
      {"device.ISO", "", of<D>(device, [](D& d) { return formatNumber(d.ISO()); })},
      {"connection.videoOrientation", "the photo connection's, raw; nil without one",
       [](Runner& r) {
         auto output = r.world().capture().photoOutput();
         if (!output && r.camera()) output = KivoCameraInspector::photoOutput(*r.camera());
         const auto connection = output ? output->videoConnection() : nullptr;
         return connection ? raw(connection->videoOrientation()) : kNil;
       }},
      {"app.idleTimerDisabled", "", [](Runner&) { return formatBool(UIApplication::shared().isIdleTimerDisabled()); }},
      {"motion.state", "the motion manager's, raw; nil without a controller",
       of<M>(motion, [](M& m) { return raw(m.motionState()); })},
      {"motion.active", "whether its accelerometer updates run",
       of<M>(motion, [](M& m) { return formatBool(m.isActive()); })},
      {"orientation.active", "whether the orientation estimator's updates run; nil without a controller",
       of<O>(estimator, [](O& o) { return formatBool(o.isActive()); })},
      {"orientation.deviceOrientation", "the current estimate, raw, or nil without one",
       of<O>(estimator, [](O& o) { return formatOptional(o.deviceOrientation(), raw<UIDeviceOrientation>); })},
      {"orientation.videoOrientation", "raw, or nil while tagging is off or there is no estimate",
       of<O>(estimator, [](O& o) { return formatOptional(o.videoOrientation(), raw<AVCaptureVideoOrientation>); })},
      {"orientation.imageOrientation.back", "raw",
       of<O>(estimator, [](O& o) { return raw(o.imageOrientation(kBack)); })},
      {"orientation.imageOrientation.front", "raw",
       of<O>(estimator, [](O& o) { return raw(o.imageOrientation(kFront)); })},
      {"captures.inProgress", "the number of captures in progress; nil without a controller",
       [](Runner& r) { return r.camera() ? raw(KivoCameraInspector::capturesInProgress(*r.camera())) : kNil; }},
      {"alert", "the presented alert as its trace line shows it, or nil",
       [](Runner& r) {
         const auto alert = r.host().presentedAlert();
         return alert ? alert->traceDescription() : kNil;
       }},
  };
  return paths;
}

template <class Read>
const Path<Read>* findPath(const std::vector<Path<Read>>& paths, std::string_view name) {
  for (const auto& path : paths)
    if (path.name == name) return &path;
  return nullptr;
}

constexpr std::string_view kCameraPrefix = "camera.";

}  // namespace

const Choices& inspectionPaths() {
  static const Choices paths = [] {
    static std::vector<std::string> names;  // the words the choices view
    for (const auto& path : cameraPaths()) names.push_back(std::string(kCameraPrefix) + std::string(path.name));
    for (const auto& path : otherPaths()) names.emplace_back(path.name);
    Choices all;
    for (const auto& name : names) all.push_back({name});
    return all;
  }();
  return paths;
}

std::string_view inspectionMeaning(std::string_view path) {
  if (path.starts_with(kCameraPrefix)) {
    const auto* found = findPath(cameraPaths(), path.substr(kCameraPrefix.size()));
    return found ? found->meaning : std::string_view{};
  }
  const auto* found = findPath(otherPaths(), path);
  return found ? found->meaning : std::string_view{};
}

std::string inspect(Runner& runner, std::string_view path) {
  if (path.starts_with(kCameraPrefix)) {
    const auto& read = findPath(cameraPaths(), path.substr(kCameraPrefix.size()))->read;
    return runner.camera() ? read(*runner.camera()) : kNil;
  }
  return findPath(otherPaths(), path)->read(runner);
}

}  // namespace kivocam
