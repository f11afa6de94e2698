// The scenario language: every command, one entry each, section by section.
// This is the index of what a scenario can say; the runner reads each line
// against its entry (word count, argument kinds and ranges, what the run
// must hold) before the entry's handler performs it.

#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

#include "AVFoundation/AVCaptureDevice.h"
#include "Commands.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/NotificationCenter.h"
#include "Foundation/TraceFormat.h"
#include "KivoCamera.h"
#include "KivoCameraAuthorization.h"
#include "KivoPreviewView.h"
#include "Runner.h"
#include "RunnerDelegate.h"
#include "Scenario.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIScreen.h"
#include "UIKit/UIView.h"
#include "sim/HostScreen.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"
#include "sim/motion/MotionSimulation.h"

namespace kivocam {

namespace {

template <class E>
constexpr std::int64_t raw(E value) {
  return static_cast<std::int64_t>(value);
}

const Choices kPositions{{"back", raw(AVCaptureDevicePosition::back)}, {"front", raw(AVCaptureDevicePosition::front)}};
const Choices kCameraTypes{{"wide", raw(sim::CameraType::wide)},
                           {"dual", raw(sim::CameraType::dual)},
                           {"dual-wide", raw(sim::CameraType::dualWide)},
                           {"triple", raw(sim::CameraType::triple)}};
const Choices kPermissions{{"authorized", raw(AVAuthorizationStatus::authorized)},
                           {"denied", raw(AVAuthorizationStatus::denied)},
                           {"restricted", raw(AVAuthorizationStatus::restricted)},
                           {"not-determined", raw(AVAuthorizationStatus::notDetermined)}};
const Choices kMemoryWords{{"unavailable"}};
const Choices kLockWords{{"always"}, {"off"}};
const Choices kPhotoFaults{{"processing-error", raw(sim::PhotoFault::processingError)},
                           {"finish-error", raw(sim::PhotoFault::finishError)},
                           {"both-errors", raw(sim::PhotoFault::bothErrors)},
                           {"no-data", raw(sim::PhotoFault::noData)},
                           {"never-finishes", raw(sim::PhotoFault::neverFinishes)}};
const Choices kHideTargets{{"view"}, {"preview"}};
const Choices kPinchStates{{"began", raw(UIGestureRecognizerState::began)},
                           {"changed", raw(UIGestureRecognizerState::changed)},
                           {"ended", raw(UIGestureRecognizerState::ended)},
                           {"cancelled", raw(UIGestureRecognizerState::cancelled)},
                           {"failed", raw(UIGestureRecognizerState::failed)}};
const Choices kAnswers{{"grant", 1}, {"deny", 0}};
const Choices kAlertActions{{"cancel", raw(UIAlertActionStyle::cancel)},
                            {"settings", raw(UIAlertActionStyle::defaultStyle)}};

const Choices& delegateSelectors() {
  static const Choices selectors = [] {
    Choices choices;
    for (auto i = raw(KivoCameraDelegateSelector::cameraDidCapturePhoto);
         i <= raw(KivoCameraDelegateSelector::cameraDeviceDidChangeAdjustingFocus); ++i)
      choices.push_back({selectorName(static_cast<KivoCameraDelegateSelector>(i)), i});
    return choices;
  }();
  return selectors;
}

// The latest time the virtual clock may reach, in seconds (it starts at 1000):
// past it a sensor's update interval no longer moves the clock.
constexpr double kMaxClockSeconds = 1e9;

// A notification's user-info value as a scenario writes it: whole numbers
// become integer numbers, other decimal numbers floating ones, anything else
// text.
UserInfoValue userInfoValue(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  const char* end = digits.data() + digits.size();
  std::int64_t integer = 0;
  if (const auto read = std::from_chars(digits.data(), end, integer);
      !digits.empty() && read.ec == std::errc() && read.ptr == end)
    return NSNumber(integer);
  double number = 0;
  if (const auto read = std::from_chars(digits.data(), end, number);
      !digits.empty() && read.ec == std::errc() && read.ptr == end && std::isfinite(number))
    return NSNumber(number);
  return std::string(text);
}

// `create-at X Y`: the controller's view becomes as wide as the screen less
// twice X, 4:3 upright, at (X, Y). A point is refused unless that frame is
// finite and has some area on the screen.
void checkCreatePoint(const Args& a) {
  const CGSize screen = UIScreen::main().bounds().size;
  const double x = a.number(0);
  const double y = a.number(1);
  const double half = screen.width / 2;
  // At the lowest x the view is half the largest number wide, and its height
  // (a third more) still a number.
  const double lowest = half - std::numeric_limits<double>::max() / 4;
  if (x >= half) {
    const std::string why = " (the view is as wide as the screen less twice x)";
    refuseOutOfRange("create-at: x", "a number < " + formatNumber(half) + why, a.word(0));
  }
  if (x < lowest)
    refuseOutOfRange("create-at: x", "a number >= " + formatNumber(lowest) + " (a wider view is too large)", a.word(0));
  const double width = screen.width - 2 * x;
  const double height = width / 3 * 4;
  if (y <= -height || y >= screen.height)
    refuseOutOfRange("create-at: y",
                     "a number > " + formatNumber(-height) + " and < " + formatNumber(screen.height) + " (the view, " +
                         formatNumber(width) + " x " + formatNumber(height) + ", must overlap the screen)",
                     a.word(1));
}

}  // namespace

// Runner's friend: the handlers reach the host's side of the run.
struct CommandTable {
  static std::vector<Section> sections();
  static void create(Runner& r, std::optional<CGPoint> point);
  static std::shared_ptr<AVCaptureDevice> device(Runner& r, const Args& a, std::string_view what);
};

void CommandTable::create(Runner& r, std::optional<CGPoint> point) {
  sim::Trace* trace = &r.world().trace();
  auto camera = ScenarioCamera::make([trace] { trace->add("dealloc KivoCamera"); });
  r.world().markControllerCreated();
  if (point) camera->initializeWithPoint(*point);
  r.camera_ = camera;
  if (r.delegate_) r.camera_->setDelegate(r.delegate_);
}

// The camera a `device` line names, or the current one.
std::shared_ptr<AVCaptureDevice> CommandTable::device(Runner& r, const Args& a, std::string_view what) {
  auto device = a.has(0) ? r.capture().camera(a.word(0)) : r.capture().currentCamera();
  if (device) return device;
  throw ScenarioError(std::string(what) +
                      (a.has(0) ? ": no camera named " + quote(a.word(0)) : ": there is no current camera"));
}

std::vector<Section> CommandTable::sections() {
  using namespace arg;
  using A = const Args&;
  constexpr auto inf = std::numeric_limits<double>::infinity();
  constexpr Needs beforeCreate = Needs::beforeCreate;
  constexpr Needs controller = Needs::controller;
  constexpr Needs session = Needs::session;

  return {
      {"World",
       {
           {"world platform-version", "world platform-version N", "the OS major version (default 17)",
            {whole({}, 1, 1000)}, beforeCreate,
            [](Runner& r, A a) { r.world().setPlatformVersion(static_cast<int>(a.whole(0))); }},
           {"world screen", "world screen W H", "the main screen's bounds in points (default 375 812)",
            {positive("width"), positive("height")}, beforeCreate,
            [](Runner& r, A a) { r.world().setScreen(a.number(0), a.number(1)); }},
           {"world screen-scale", "world screen-scale N", "pixels per point of the main screen: 1 (default), 2 or 3",
            {whole({}, 1, 3)}, beforeCreate,
            [](Runner& r, A a) { r.world().setScreenScale(static_cast<int>(a.whole(0))); }},
           {"world camera", "world camera POSITION TYPE [OPTION...]",
            "adds a camera named POSITION-TYPE; the first replaces the default back-wide and front-wide",
            {oneOf(kPositions, "position"), oneOf(kCameraTypes, "type"), optional(repeated(text("option")))},
            beforeCreate,
            [](Runner& r, A a) {
              const auto setup = cameraFromWords(static_cast<AVCaptureDevicePosition>(a.whole(0)),
                                                 static_cast<sim::CameraType>(a.whole(1)), a.all(2), "world camera");
              const std::string& name = setup.description.uniqueID;
              if (!r.cameraNames_.insert(name).second)
                throw ScenarioError("world camera: camera '" + name + "' is already configured");
              r.world().addCamera(setup);
            }},
           {"world no-cameras", "world no-cameras", "no camera at all", {}, beforeCreate,
            [](Runner& r, A) {
              r.cameraNames_.clear();
              r.world().setNoCameras();
            }},
           {"world permission", "world permission STATUS",
            "authorized (default), denied, restricted or not-determined", {oneOf(kPermissions)}, beforeCreate,
            [](Runner& r, A a) { r.world().setPermission(static_cast<AVAuthorizationStatus>(a.whole(0))); }},
           {"world memory", "world memory BYTES|unavailable",
            "free memory the kernel statistics report (default 4294967296), or a failing call",
            {orWords(whole({}, 0, static_cast<double>(sim::World::kMaxMemoryBytes)), kMemoryWords)}, beforeCreate,
            [](Runner& r, A a) {
              if (a.word(0) == "unavailable")
                r.world().setMemoryUnavailable();
              else
                r.world().setMemory(static_cast<std::uint64_t>(a.whole(0)));
            }},
           {"world accelerometer", "world accelerometer on|off", "whether the accelerometer exists (default on)",
            {onOff()}, beforeCreate, [](Runner& r, A a) { r.world().setAccelerometerAvailable(a.flag(0)); }},
           {"world device-orientation", "world device-orientation N",
            "the device orientation, raw 0-6 (default 1); any time", {whole({}, 0, 6)}, Needs::nothing,
            [](Runner& r, A a) { r.world().setDeviceOrientation(static_cast<int>(a.whole(0))); }},
           {"world idle-timer-disabled", "world idle-timer-disabled true|false",
            "the application's idle-timer setting (default false)", {flag()}, beforeCreate,
            [](Runner& r, A a) { r.world().setIdleTimerDisabled(a.flag(0)); }},
       }},
      {"Faults (any time)",
       {
           {"fail lock", "fail lock [N|always|off]",
            "the next N (default 1) lockForConfiguration: calls fail; always: until off",
            {optional(orWords(whole("count", 0, 1000000), kLockWords))}, Needs::nothing,
            [](Runner& r, A a) {
              if (!a.has(0))
                r.capture().failLock(1);
              else if (a.word(0) == "always")
                r.capture().failLockAlways();
              else if (a.word(0) == "off")
                r.capture().stopLockFailures();
              else
                r.capture().failLock(static_cast<int>(a.whole(0)));
            }},
           {"fail device-input", "fail device-input", "the next device input creation fails", {}, Needs::nothing,
            [](Runner& r, A) { r.capture().failNextDeviceInput(); }},
           {"fail add-input", "fail add-input on|off", "the session refuses inputs", {onOff()}, Needs::nothing,
            [](Runner& r, A a) { r.capture().setRefusesInputs(a.flag(0)); }},
           {"fail add-photo-output", "fail add-photo-output on|off", "the session refuses the photo output",
            {onOff()}, Needs::nothing, [](Runner& r, A a) { r.capture().setRefusesPhotoOutput(a.flag(0)); }},
           {"fail add-video-output", "fail add-video-output on|off", "the session refuses the video data output",
            {onOff()}, Needs::nothing, [](Runner& r, A a) { r.capture().setRefusesVideoOutput(a.flag(0)); }},
           {"fail torch", "fail torch", "the next setTorchModeOnWithLevel:error: fails", {}, Needs::nothing,
            [](Runner& r, A) { r.capture().failNextTorch(); }},
           {"fail photo-connection", "fail photo-connection on|off", "the photo output has no video connection",
            {onOff()}, Needs::nothing, [](Runner& r, A a) { r.capture().setPhotoConnectionMissing(a.flag(0)); }},
           {"fail photo", "fail photo MODE",
            "the next capture goes wrong: processing-error, finish-error, both-errors, no-data or never-finishes",
            {oneOf(kPhotoFaults)}, Needs::nothing,
            [](Runner& r, A a) { r.capture().failNextPhoto(static_cast<sim::PhotoFault>(a.whole(0))); }},
       }},
      {"Host",
       {
           {"delegate", "delegate all", "a delegate that implements every callback (the default)",
            {literal("all")}, Needs::nothing, [](Runner& r, A) { r.useDelegate(r.newDelegate(std::nullopt)); }},
           {"delegate", "delegate none", "the controller has no delegate", {literal("none")}, Needs::nothing,
            [](Runner& r, A) { r.useDelegate(nullptr); }},
           {"delegate", "delegate release",
            "the host drops its delegate; the controller's weak reference finds nothing", {literal("release")},
            Needs::nothing, [](Runner& r, A) { r.delegate_.reset(); }},
           {"delegate", "delegate SELECTOR...", "a delegate that responds only to the selectors listed",
            {repeated(oneOf(delegateSelectors(), {}, "selector"))}, Needs::nothing,
            [](Runner& r, A a) {
              std::set<KivoCameraDelegateSelector> selectors;
              for (const Value& selector : a.all(0))
                selectors.insert(static_cast<KivoCameraDelegateSelector>(selector.whole));
              r.useDelegate(r.newDelegate(std::move(selectors)));
            }},
           {"create", "create", "KivoCamera::create(), then the delegate is set", {}, Needs::noController,
            [](Runner& r, A) { create(r, std::nullopt); }},
           {"create-at", "create-at X Y",
            "KivoCamera::createWithPoint({X, Y}), then the delegate is set; the view (the screen's width less 2 X "
            "wide, 4:3) must have some area on the screen",
            {number("x"), number("y")}, Needs::noController,
            [](Runner& r, A a) {
              checkCreatePoint(a);
              create(r, CGPoint{a.number(0), a.number(1)});
            }},
           {"set", "set NAME VALUE", "sets a public property of the controller (see Properties)",
            {oneOf(propertyNames(), {}, "property"), text("value")}, controller,
            [](Runner& r, A a) {
              const Property& property = properties().at(static_cast<std::size_t>(a.whole(0)));
              property.set(r.controller(), readArg(property.value, a.word(1), "set " + std::string(property.name)));
            }},
           {"attach", "attach", "addToController: with the host screen's controller", {}, controller,
            [](Runner& r, A) {
              auto camera = r.camera_;
              r.host().attach(camera, [&r, camera] { camera->addToController(r.host().controller()); });
            }},
           {"appear", "appear", "the host screen appears: will-appear, a layout pass, did-appear", {},
            Needs::nothing, [](Runner& r, A) { r.host().appear(); }},
           {"appear-begin", "appear-begin", "the first two steps of appear", {}, Needs::nothing,
            [](Runner& r, A) { r.host().appearBegin(); }},
           {"appear-end", "appear-end", "the last step of appear", {}, Needs::nothing,
            [](Runner& r, A) { r.host().appearEnd(); }},
           {"disappear", "disappear", "the host screen disappears: will-disappear, did-disappear", {},
            Needs::nothing, [](Runner& r, A) { r.host().disappear(); }},
           {"disappear-begin", "disappear-begin", "the first step of disappear", {}, Needs::nothing,
            [](Runner& r, A) { r.host().disappearBegin(); }},
           {"disappear-end", "disappear-end", "the last step of disappear", {}, Needs::nothing,
            [](Runner& r, A) { r.host().disappearEnd(); }},
           {"layout", "layout", "a layout pass of the host screen and the controller", {}, Needs::nothing,
            [](Runner& r, A) { r.host().layout(); }},
           {"move-view", "move-view X Y W H", "sets the controller's view frame (W and H above 0), then a layout pass",
            {number("x"), number("y"), positive("width"), positive("height")}, controller,
            [](Runner& r, A a) {
              r.controller().view()->setFrame(CGRectMake(a.number(0), a.number(1), a.number(2), a.number(3)));
              r.host().layout();
            }},
           {"hide", "hide view|preview true|false", "sets hidden of the controller's view or preview view",
            {oneOf(kHideTargets), flag("hidden")}, controller,
            [](Runner& r, A a) {
              KivoCamera& camera = r.controller();
              if (a.word(0) == "view") return camera.view()->setHidden(a.flag(1));
              if (!camera.previewView()) throw ScenarioError("hide preview: the controller has no preview view yet");
              camera.previewView()->setHidden(a.flag(1));
            }},
           {"release", "release",
            "the host removes the controller from its screen (disappearing first if shown) and drops it", {},
            controller,
            [](Runner& r, A) {
              if (r.host().embedded()) r.host().release();
              r.camera_.reset();
            }},
       }},
      {"Calls",
       {
           {"call startSession", "call startSession", "starts the capture session", {}, controller,
            [](Runner& r, A) { r.controller().startSession(); }},
           {"call stopSession", "call stopSession", "stops the capture session", {}, controller,
            [](Runner& r, A) { r.controller().stopSession(); }},
           {"call zoomWithScale", "call zoomWithScale S [ANIMATED]", "zooms to a scale, animated or not",
            {number("scale"), optional(flag("animated"))}, controller,
            [](Runner& r, A a) {
              if (a.has(1))
                r.controller().zoomWithScale(a.number(0), a.flag(1));
              else
                r.controller().zoomWithScale(a.number(0));
            }},
           {"call zoomWithLevel", "call zoomWithLevel L", "zooms to a level between the minimum and maximum scale",
            {number("level")}, controller,
            [](Runner& r, A a) { r.controller().zoomWithLevel(a.number(0)); }},
           {"call focusAtPoint", "call focusAtPoint X Y ANIMATED", "focuses at a point of the preview",
            {number("x"), number("y"), flag("animated")}, controller,
            [](Runner& r, A a) { r.controller().focusAtPoint({a.number(0), a.number(1)}, a.flag(2)); }},
           {"call focusWithAnimated", "call focusWithAnimated B", "focuses at the focus point", {flag("animated")},
            controller,
            [](Runner& r, A a) { r.controller().focusWithAnimated(a.flag(0)); }},
           {"call focusCenterWithAnimated", "call focusCenterWithAnimated B", "focuses at the preview's centre",
            {flag("animated")}, controller,
            [](Runner& r, A a) { r.controller().focusCenterWithAnimated(a.flag(0)); }},
           {"call setFocusPoint", "call setFocusPoint X Y", "sets the focus point", {number("x"), number("y")},
            controller,
            [](Runner& r, A a) { r.controller().setFocusPoint({a.number(0), a.number(1)}); }},
           {"call setFocusImage", "call setFocusImage", "gives the controller a small opaque 8 x 8 image", {},
            controller,
            [](Runner& r, A) {
              r.controller().setFocusImage(UIImage::imageWithPixels(8, 8, std::vector<std::uint8_t>(8 * 8 * 4, 0xFF)));
            }},
           {"call setExposureTargetBias", "call setExposureTargetBias B",
            "sets the exposure target bias, a 32-bit number (one outside the camera's range is passed on as it is)",
            {number32("bias")}, controller,
            [](Runner& r, A a) { r.controller().setExposureTargetBias(static_cast<float>(a.number(0))); }},
           {"call toggleTorch", "call toggleTorch B", "turns the torch on or off", {flag("on")}, controller,
            [](Runner& r, A a) { r.controller().toggleTorch(a.flag(0)); }},
           {"call toggleFlash", "call toggleFlash MODE", "sets the flash mode, raw 0-2",
            {whole("mode", 0, 2, "0 (off), 1 (on) or 2 (auto)")}, controller,
            [](Runner& r, A a) { r.controller().toggleFlash(a.whole(0)); }},
           {"call toggleCameraPosition", "call toggleCameraPosition B",
            "switches between the back and front camera, animated or not", {flag("animated")}, controller,
            [](Runner& r, A a) { r.controller().toggleCameraPosition(a.flag(0)); }},
           {"call setVideoOutputSettingFormatType", "call setVideoOutputSettingFormatType CODE",
            "sets the video output's pixel format, in decimal", {whole("code", 0, 4294967295.0)}, controller,
            [](Runner& r, A a) {
              r.controller().setVideoOutputSettingFormatType(static_cast<std::uint32_t>(a.whole(0)));
            }},
           {"call capturePhoto", "call capturePhoto", "takes a photo", {}, controller,
            [](Runner& r, A) { r.controller().capturePhoto(); }},
           {"call capturePhotoAnimation", "call capturePhotoAnimation", "plays the shutter animation", {}, controller,
            [](Runner& r, A) { r.controller().capturePhotoAnimation(); }},
           {"call isAuthorized", "call isAuthorized", "prints result isAuthorized B; needs no controller", {},
            Needs::nothing,
            [](Runner& r, A) { r.emit("result isAuthorized " + formatBool(KivoCameraAuthorization::isAuthorized())); }},
           {"call isAuthorizedWithBlock", "call isAuthorizedWithBlock",
            "the block prints block isAuthorized B @QUEUE; needs no controller", {}, Needs::nothing,
            [](Runner& r, A) {
              sim::Trace* trace = &r.world().trace();
              KivoCameraAuthorization::isAuthorizedWithBlock([trace](bool authorized) {
                trace->add("block isAuthorized " + formatBool(authorized) + " @" + DispatchQueue::currentLabel());
              });
            }},
           {"call promptToAppSettings", "call promptToAppSettings",
            "offers the app settings, presented by the controller", {}, controller,
            [](Runner& r, A) { KivoCameraAuthorization::promptToAppSettings(r.camera_); }},
       }},
      {"User",
       {
           {"tap", "tap X Y", "a one-finger tap at a screen point, delivered by hit-testing",
            {number("x"), number("y")}, Needs::nothing,
            [](Runner& r, A a) { r.host().tap({a.number(0), a.number(1)}); }},
           {"pinch", "pinch STATE FACTOR [X Y]",
            "a pinch step (began, changed, ended, cancelled, failed) at a point (default the screen's centre); "
            "FACTOR >= 0 is the fingers' spread relative to when the scale was last set (0: the fingers meet)",
            {oneOf(kPinchStates), number("factor", 0), optional(number("x")), optional(number("y"))}, Needs::nothing,
            [](Runner& r, A a) {
              std::optional<CGPoint> at;
              if (a.has(2)) at = CGPoint{a.number(2), a.number(3)};
              r.host().pinch(static_cast<UIGestureRecognizerState>(a.whole(0)), a.number(1), at);
            }},
           {"answer", "answer grant|deny", "the user answers the open camera permission request",
            {oneOf(kAnswers)}, Needs::openRequest,
            [](Runner& r, A a) { r.capture().answerPermissionRequest(a.whole(0) != 0); }},
           {"alert", "alert cancel|settings", "the user taps an action of the presented alert",
            {oneOf(kAlertActions)}, Needs::alert,
            [](Runner& r, A a) { r.host().alert(static_cast<UIAlertActionStyle>(a.whole(0))); }},
       }},
      {"Sensors and platform events",
       {
           {"accel", "accel X Y Z", "the device's acceleration becomes (X, Y, Z) g (at the start (0, -1, 0))",
            {number("x"), number("y"), number("z")}, Needs::nothing,
            [](Runner& r, A a) { r.world().motion().setAcceleration(a.number(0), a.number(1), a.number(2)); }},
           {"accel-error", "accel-error", "the next update of every accelerometer client carries an error", {},
            Needs::nothing, [](Runner& r, A) { r.world().motion().injectError(); }},
           {"notify runtime-error", "notify runtime-error [code=N] [domain=NAME]",
            "the session's runtime-error notification (default code -11800, the capture framework's domain)",
            {keyed("code", whole("code", -inf, inf)), keyed("domain", word("domain"))}, session,
            [](Runner& r, A a) {
              r.capture().postRuntimeError(a.has(0) ? std::optional(a.whole(0)) : std::nullopt,
                                           a.has(1) ? std::optional(a.word(1)) : std::nullopt);
            }},
           {"notify runtime-error", "notify runtime-error no-error", "the same, its user info lacking the error",
            {literal("no-error")}, session, [](Runner& r, A) { r.capture().postRuntimeErrorWithoutError(); }},
           {"notify runtime-error", "notify runtime-error no-userinfo", "the same, with no user info",
            {literal("no-userinfo")}, session, [](Runner& r, A) { r.capture().postRuntimeErrorWithoutUserInfo(); }},
           {"notify runtime-error", "notify runtime-error value=TEXT", "the same, with a text in place of the error",
            {keyed("value", text("value"), true)}, session,
            [](Runner& r, A a) { r.capture().postRuntimeErrorWithValue(a.word(0)); }},
           {"notify interrupted", "notify interrupted [reason=V]",
            "the session's was-interrupted notification; V a number or any text; none: no reason key",
            {keyed("reason", text("reason"))}, session,
            [](Runner& r, A a) {
              if (a.has(0))
                r.capture().postInterrupted(userInfoValue(a.word(0)));
              else
                r.capture().postInterrupted();
            }},
           {"notify interruption-ended", "notify interruption-ended", "the session's interruption-ended notification",
            {}, session, [](Runner& r, A) { r.capture().postInterruptionEnded(); }},
           {"notify became-active", "notify became-active", "the application's did-become-active notification", {},
            Needs::nothing, [](Runner& r, A) { r.world().notifyBecameActive(); }},
           {"notify will-resign-active", "notify will-resign-active",
            "the application's will-resign-active notification", {}, Needs::nothing,
            [](Runner& r, A) { r.world().notifyWillResignActive(); }},
           {"device", "device [CAMERA] iso V",
            "the camera's ISO changes to V, a 32-bit number (CAMERA by name; none: the current camera)",
            {optional(word("camera")), literal("iso"), number({}, 0, kLargestNumber32)}, Needs::nothing,
            [](Runner& r, A a) {
              const auto camera = device(r, a, "device iso");
              r.capture().setISO(camera->uniqueID(), static_cast<float>(a.number(2)));
            }},
           {"device", "device [CAMERA] adjusting-focus B", "the camera's isAdjustingFocus changes",
            {optional(word("camera")), literal("adjusting-focus"), flag()}, Needs::nothing,
            [](Runner& r, A a) {
              const auto camera = device(r, a, "device adjusting-focus");
              r.capture().setAdjustingFocus(camera->uniqueID(), a.flag(2));
            }},
       }},
      {"Time and inspection",
       {
           {"advance", "advance T", "T seconds of virtual time pass", {number({}, 0, inf)}, Needs::nothing,
            [](Runner& r, A a) {
              const double seconds = a.number(0);
              if (seconds > r.options_.maxAdvanceSeconds)
                throw ScenarioError("advance: at most " + formatNumber(r.options_.maxAdvanceSeconds) +
                                    " s in one step");
              if (r.world().now() + seconds > kMaxClockSeconds)
                throw ScenarioError("advance: the virtual clock cannot pass " + formatNumber(kMaxClockSeconds) + " s");
              r.world().advance(seconds);
            }},
           {"print", "print PATH", "prints PATH = VALUE (see Paths)", {oneOf(inspectionPaths(), {}, "path")},
            Needs::nothing,
            [](Runner& r, A a) { r.emit(a.word(0) + " = " + inspect(r, a.word(0))); }},
           {"snapshot", "snapshot NAME",
            "the screen as a person sees it now, written to DIR/NAME.png (DIR from --snapshots); NAME is 1 to 64 "
            "letters, digits, '.', '_' and '-', not beginning with '.'",
            {word("name")}, Needs::nothing, [](Runner& r, A a) { r.snapshot(a.word(0)); }},
       }},
  };
}

bool simulatesCamera(const Command& command) {
  const std::string_view name = command.name;
  return name == "world camera" || name == "world no-cameras" || name == "world permission" || name == "answer" ||
         name.starts_with("fail ") || name == "device" || name == "notify runtime-error" ||
         name == "notify interrupted" || name == "notify interruption-ended";
}

const std::vector<Section>& commandSections() {
  static const std::vector<Section> sections = CommandTable::sections();
  return sections;
}

const std::vector<Group>& commandGroups() {
  static const std::vector<Group> groups{{"world", "world SETTING VALUE", "world setting"},
                                         {"fail", "fail FAULT [ARGUMENT]", "fault"},
                                         {"call", "call OPERATION [ARGUMENT...]", "operation"},
                                         {"notify", "notify NOTIFICATION [ARGUMENT...]", "notification"}};
  return groups;
}

}  // namespace kivocam
