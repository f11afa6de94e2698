#include "Runner.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "AVFoundation/AVCaptureDevice.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/TraceFormat.h"
#include "KivoCamera.h"
#include "KivoCameraAuthorization.h"
#include "KivoPreviewView.h"
#include "RunnerDelegate.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIView.h"
#include "sim/HostScreen.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"
#include "sim/motion/MotionSimulation.h"

namespace kivocam {

namespace {

[[noreturn]] void unknown(std::string_view what, std::string_view word) {
  throw ScenarioError("unknown " + std::string(what) + " \"" + std::string(word) + "\"");
}

// How long the end of a run lets queued work finish, in virtual seconds.
constexpr double kDrainSeconds = 15;

// The latest time the virtual clock may reach, in seconds (it starts at 1000).
constexpr double kMaxClockSeconds = 1e9;

}  // namespace

// --- Set-up and end -------------------------------------------------------------

Runner::Runner(RunnerOptions options, std::ostream& output)
    : options_(std::move(options)), output_(output) {
  world_ = std::make_unique<sim::World>(options_.realtime ? sim::World::Mode::realtime
                                                          : sim::World::Mode::deterministic);
  world_->trace().setRecording(options_.recordTrace);
  world_->trace().setSink([this](std::string_view line) {
    output_ << line << '\n';
  });
  if (options_.photosDirectory) photos_ = std::make_unique<PhotoWriter>(*options_.photosDirectory);
  host_ = std::make_unique<sim::HostScreen>();
  delegate_ = newDelegate(std::nullopt);
}

Runner::~Runner() { finish(); }

void Runner::finish() {
  if (finished_) return;
  finished_ = true;
  // Nothing after the last line belongs to the trace.
  world_->trace().setSink({});
  world_->trace().setRecording(false);
  if (host_->embedded()) host_->release();
  camera_.reset();
  delegate_.reset();
  drain();
  host_.reset();
  world_.reset();
  output_.flush();
}

void Runner::drain() {
  try {
    if (auto* executor = world_->deterministicExecutor()) {
      // Let delayed work come due, but stop as soon as nothing is waiting.
      double waited = 0;
      executor->runUntilIdle();
      while (executor->pendingBlockCount() > 0 && waited < kDrainSeconds) {
        executor->advance(1);
        waited += 1;
      }
    } else {
      world_->runUntilIdle();
    }
  } catch (const std::exception&) {
    // The run is over; whatever still floods the queues is dropped with them.
  }
}

std::int64_t Runner::photosDelivered() const { return delivered_.load(std::memory_order_relaxed); }

void Runner::emit(std::string line) { world_->trace().add(std::move(line)); }

std::shared_ptr<KivoCameraDelegate> Runner::newDelegate(std::optional<std::set<KivoCameraDelegateSelector>> selectors) {
  sim::Trace* trace = &world_->trace();
  return std::make_shared<ScenarioDelegate>([trace](std::string line) { trace->add(std::move(line)); },
                                            std::move(selectors), photos_.get(), &delivered_);
}

// --- Lines ----------------------------------------------------------------------

void Runner::run(std::string_view line) {
  if (finished_) throw std::logic_error("kivocam: the run has finished");
  const Words words = splitWords(line);
  if (words.empty()) return;
  emit("> " + joinWords(words));
  try {
    perform(words);
    world_->runUntilIdle();
  } catch (const ScenarioError&) {
    output_.flush();
    throw;
  } catch (const RunBudgetExceeded& e) {
    output_.flush();
    throw ScenarioError(std::string("the queues never settle: ") + e.what());
  } catch (const std::exception& e) {
    // The world and the host screen refuse what makes no sense (a setting
    // after create, a gesture that reaches nothing...) with a message that
    // names the problem.
    output_.flush();
    throw ScenarioError(e.what());
  }
  if (photos_) {
    if (auto error = photos_->takeError()) throw ScenarioError(*error);
  }
}

void Runner::perform(const Words& words) {
  const std::string& command = words[0];
  if (command == "world") return world(words);
  if (command == "fail") return fail(words);
  if (command == "delegate") return delegate(words);
  if (command == "create" || command == "create-at") return create(words);
  if (command == "set") return set(words);
  if (command == "call") return call(words);
  if (command == "print") return print(words);
  if (command == "notify") return notify(words);
  if (command == "device") return device(words);
  if (command == "advance") return advance(words);
  if (command == "tap" || command == "pinch" || command == "answer" || command == "alert" || command == "accel" ||
      command == "accel-error")
    return user(words);
  return host(words);
}

KivoCamera& Runner::requireCamera(std::string_view line) {
  if (!camera_) throw ScenarioError(std::string(line) + ": there is no controller (create one first)");
  return *camera_;
}

// --- World and faults -------------------------------------------------------------

void Runner::world(const Words& words) {
  if (words.size() < 2) throw ScenarioError("expected \"world SETTING VALUE\"");
  const std::string& setting = words[1];
  auto& world = *world_;
  if (setting == "platform-version") {
    requireWords(words, 3, "world platform-version N");
    const auto version = readInteger(words[2], "world platform-version");
    if (version < 1 || version > 1000) throw ScenarioError("world platform-version: must be from 1 to 1000");
    world.setPlatformVersion(static_cast<int>(version));
  } else if (setting == "screen") {
    requireWords(words, 4, "world screen W H");
    world.setScreen(readNumber(words[2], "world screen: width"), readNumber(words[3], "world screen: height"));
  } else if (setting == "camera") {
    if (words.size() < 4) throw ScenarioError("expected \"world camera POSITION TYPE [OPTION...]\"");
    world.addCamera(sim::parseCameraOptions(sim::parseCameraPosition(words[2]), sim::parseCameraType(words[3]),
                                            Words(words.begin() + 4, words.end())));
  } else if (setting == "no-cameras") {
    requireWords(words, 2, "world no-cameras");
    world.setNoCameras();
  } else if (setting == "permission") {
    requireWords(words, 3, "world permission STATUS");
    static const std::vector<std::pair<std::string_view, AVAuthorizationStatus>> statuses{
        {"authorized", AVAuthorizationStatus::authorized},
        {"denied", AVAuthorizationStatus::denied},
        {"restricted", AVAuthorizationStatus::restricted},
        {"not-determined", AVAuthorizationStatus::notDetermined}};
    const auto found = std::find_if(statuses.begin(), statuses.end(), [&](const auto& s) { return s.first == words[2]; });
    if (found == statuses.end())
      throw ScenarioError("world permission: expected authorized, denied, restricted or not-determined, not \"" +
                          words[2] + "\"");
    world.setPermission(found->second);
  } else if (setting == "memory") {
    requireWords(words, 3, "world memory BYTES|unavailable");
    if (words[2] == "unavailable") {
      world.setMemoryUnavailable();
    } else {
      const auto bytes = readInteger(words[2], "world memory");
      if (bytes < 0) throw ScenarioError("world memory: bytes cannot be negative");
      world.setMemory(static_cast<std::uint64_t>(bytes));
    }
  } else if (setting == "accelerometer") {
    requireWords(words, 3, "world accelerometer on|off");
    world.setAccelerometerAvailable(readOnOff(words[2], "world accelerometer"));
  } else if (setting == "device-orientation") {
    requireWords(words, 3, "world device-orientation N");
    const auto raw = readInteger(words[2], "world device-orientation");
    if (raw < 0 || raw > 6) throw ScenarioError("world device-orientation: raw value must be 0 to 6");
    world.setDeviceOrientation(static_cast<int>(raw));
  } else if (setting == "idle-timer-disabled") {
    requireWords(words, 3, "world idle-timer-disabled true|false");
    world.setIdleTimerDisabled(readBool(words[2], "world idle-timer-disabled"));
  } else {
    unknown("world setting", setting);
  }
}

void Runner::fail(const Words& words) {
  if (words.size() < 2) throw ScenarioError("expected \"fail FAULT [ARGUMENT]\"");
  const std::string& fault = words[1];
  auto& capture = world_->capture();
  if (fault == "lock") {
    requireWords(words, 2, 3, "fail lock [N|always|off]");
    if (words.size() == 2) {
      capture.failLock(1);
    } else if (words[2] == "always") {
      capture.failLockAlways();
    } else if (words[2] == "off") {
      capture.stopLockFailures();
    } else {
      const auto count = readInteger(words[2], "fail lock: count");
      if (count < 0 || count > 1000000) throw ScenarioError("fail lock: count must be from 0 to 1000000");
      capture.failLock(static_cast<int>(count));
    }
  } else if (fault == "device-input") {
    requireWords(words, 2, "fail device-input");
    capture.failNextDeviceInput();
  } else if (fault == "add-input") {
    requireWords(words, 3, "fail add-input on|off");
    capture.setRefusesInputs(readOnOff(words[2], "fail add-input"));
  } else if (fault == "add-photo-output") {
    requireWords(words, 3, "fail add-photo-output on|off");
    capture.setRefusesPhotoOutput(readOnOff(words[2], "fail add-photo-output"));
  } else if (fault == "add-video-output") {
    requireWords(words, 3, "fail add-video-output on|off");
    capture.setRefusesVideoOutput(readOnOff(words[2], "fail add-video-output"));
  } else if (fault == "torch") {
    requireWords(words, 2, "fail torch");
    capture.failNextTorch();
  } else if (fault == "photo-connection") {
    requireWords(words, 3, "fail photo-connection on|off");
    capture.setPhotoConnectionMissing(readOnOff(words[2], "fail photo-connection"));
  } else if (fault == "photo") {
    requireWords(words, 3, "fail photo MODE");
    capture.failNextPhoto(sim::parsePhotoFault(words[2]));
  } else {
    unknown("fault", fault);
  }
}

// --- Host -------------------------------------------------------------------------

void Runner::delegate(const Words& words) {
  if (words.size() < 2) throw ScenarioError("expected \"delegate all|none|release|SELECTOR...\"");
  std::shared_ptr<KivoCameraDelegate> next;
  if (words[1] == "release") {
    requireWords(words, 2, "delegate release");
    // The host lets go of its object; the controller's weak reference is
    // left to find nothing.
    delegate_.reset();
    return;
  }
  if (words[1] == "all") {
    requireWords(words, 2, "delegate all");
    next = newDelegate(std::nullopt);
  } else if (words[1] == "none") {
    requireWords(words, 2, "delegate none");
  } else {
    std::set<KivoCameraDelegateSelector> selectors;
    for (std::size_t i = 1; i < words.size(); ++i) {
      const auto selector = selectorFromName(words[i]);
      if (!selector) unknown("delegate selector", words[i]);
      selectors.insert(*selector);
    }
    next = newDelegate(std::move(selectors));
  }
  delegate_ = std::move(next);
  if (camera_) camera_->setDelegate(delegate_);
}

void Runner::create(const Words& words) {
  const bool atPoint = words[0] == "create-at";
  if (atPoint)
    requireWords(words, 3, "create-at X Y");
  else
    requireWords(words, 1, "create");
  if (camera_) throw ScenarioError(words[0] + ": the host already holds a controller");
  std::optional<CGPoint> point;
  if (atPoint) point = CGPoint{readNumber(words[1], "create-at: x"), readNumber(words[2], "create-at: y")};

  sim::Trace* trace = &world_->trace();
  auto camera = ScenarioCamera::make([trace] { trace->add("dealloc KivoCamera"); });
  world_->markControllerCreated();
  if (point) camera->initializeWithPoint(*point);
  camera_ = camera;
  if (delegate_) camera_->setDelegate(delegate_);
}

void Runner::host(const Words& words) {
  const std::string& command = words[0];
  if (command == "attach") {
    requireWords(words, 1, "attach");
    requireCamera(command);
    auto camera = camera_;
    host_->attach(camera, [this, camera] { camera->addToController(host_->controller()); });
  } else if (command == "appear") {
    requireWords(words, 1, "appear");
    host_->appear();
  } else if (command == "appear-begin") {
    requireWords(words, 1, "appear-begin");
    host_->appearBegin();
  } else if (command == "appear-end") {
    requireWords(words, 1, "appear-end");
    host_->appearEnd();
  } else if (command == "disappear") {
    requireWords(words, 1, "disappear");
    host_->disappear();
  } else if (command == "disappear-begin") {
    requireWords(words, 1, "disappear-begin");
    host_->disappearBegin();
  } else if (command == "disappear-end") {
    requireWords(words, 1, "disappear-end");
    host_->disappearEnd();
  } else if (command == "layout") {
    requireWords(words, 1, "layout");
    host_->layout();
  } else if (command == "move-view") {
    requireWords(words, 5, "move-view X Y W H");
    const CGRect frame = CGRectMake(readNumber(words[1], "move-view: x"), readNumber(words[2], "move-view: y"),
                                    readNumber(words[3], "move-view: width"),
                                    readNumber(words[4], "move-view: height"));
    requireCamera(command).view()->setFrame(frame);
    host_->layout();
  } else if (command == "hide") {
    requireWords(words, 3, "hide view|preview true|false");
    auto& camera = requireCamera(command);
    const bool hidden = readBool(words[2], "hide: hidden");
    if (words[1] == "view") {
      camera.view()->setHidden(hidden);
    } else if (words[1] == "preview") {
      if (!camera.previewView()) throw ScenarioError("hide preview: the controller has no preview view yet");
      camera.previewView()->setHidden(hidden);
    } else {
      throw ScenarioError("hide: expected view or preview, not \"" + words[1] + "\"");
    }
  } else if (command == "release") {
    requireWords(words, 1, "release");
    requireCamera(command);
    if (host_->embedded()) host_->release();
    camera_.reset();
  } else {
    unknown("command", command);
  }
}

void Runner::call(const Words& words) {
  if (words.size() < 2) throw ScenarioError("expected \"call OPERATION [ARGUMENT...]\"");
  const std::string& operation = words[1];
  const std::string what = "call " + operation;

  // The class operations need no controller.
  if (operation == "isAuthorized") {
    requireWords(words, 2, "call isAuthorized");
    emit("result isAuthorized " + formatBool(KivoCameraAuthorization::isAuthorized()));
    return;
  }
  if (operation == "isAuthorizedWithBlock") {
    requireWords(words, 2, "call isAuthorizedWithBlock");
    sim::Trace* trace = &world_->trace();
    KivoCameraAuthorization::isAuthorizedWithBlock([trace](bool authorized) {
      trace->add("block isAuthorized " + formatBool(authorized) + " @" + DispatchQueue::currentLabel());
    });
    return;
  }

  static const std::set<std::string, std::less<>> operations{
      "startSession",  "stopSession",           "zoomWithScale",    "zoomWithLevel",
      "focusAtPoint",  "focusWithAnimated",     "focusCenterWithAnimated", "setFocusPoint",
      "setFocusImage", "setExposureTargetBias", "toggleTorch",      "toggleFlash",
      "toggleCameraPosition", "setVideoOutputSettingFormatType", "capturePhoto", "capturePhotoAnimation",
      "promptToAppSettings"};
  if (!operations.contains(operation)) unknown("operation", operation);
  auto& camera = requireCamera(what);

  if (operation == "startSession") {
    requireWords(words, 2, "call startSession");
    camera.startSession();
  } else if (operation == "stopSession") {
    requireWords(words, 2, "call stopSession");
    camera.stopSession();
  } else if (operation == "zoomWithScale") {
    requireWords(words, 3, 4, "call zoomWithScale S [ANIMATED]");
    const double scale = readNumber(words[2], "zoomWithScale: scale");
    if (words.size() == 4)
      camera.zoomWithScale(scale, readBool(words[3], "zoomWithScale: animated"));
    else
      camera.zoomWithScale(scale);
  } else if (operation == "zoomWithLevel") {
    requireWords(words, 3, "call zoomWithLevel L");
    camera.zoomWithLevel(readNumber(words[2], "zoomWithLevel: level"));
  } else if (operation == "focusAtPoint") {
    requireWords(words, 5, "call focusAtPoint X Y ANIMATED");
    camera.focusAtPoint({readNumber(words[2], "focusAtPoint: x"), readNumber(words[3], "focusAtPoint: y")},
                        readBool(words[4], "focusAtPoint: animated"));
  } else if (operation == "focusWithAnimated") {
    requireWords(words, 3, "call focusWithAnimated B");
    camera.focusWithAnimated(readBool(words[2], "focusWithAnimated: animated"));
  } else if (operation == "focusCenterWithAnimated") {
    requireWords(words, 3, "call focusCenterWithAnimated B");
    camera.focusCenterWithAnimated(readBool(words[2], "focusCenterWithAnimated: animated"));
  } else if (operation == "setFocusPoint") {
    requireWords(words, 4, "call setFocusPoint X Y");
    camera.setFocusPoint({readNumber(words[2], "setFocusPoint: x"), readNumber(words[3], "setFocusPoint: y")});
  } else if (operation == "setFocusImage") {
    requireWords(words, 2, "call setFocusImage");
    // A small opaque square: the host's own reticle picture.
    camera.setFocusImage(UIImage::imageWithPixels(8, 8, std::vector<std::uint8_t>(8 * 8 * 4, 0xFF)));
  } else if (operation == "setExposureTargetBias") {
    requireWords(words, 3, "call setExposureTargetBias B");
    camera.setExposureTargetBias(static_cast<float>(readNumber(words[2], "setExposureTargetBias: bias")));
  } else if (operation == "toggleTorch") {
    requireWords(words, 3, "call toggleTorch B");
    camera.toggleTorch(readBool(words[2], "toggleTorch: on"));
  } else if (operation == "toggleFlash") {
    requireWords(words, 3, "call toggleFlash MODE");
    const auto mode = readInteger(words[2], "toggleFlash: mode");
    if (mode < 0 || mode > 2) throw ScenarioError("toggleFlash: mode must be 0 (off), 1 (on) or 2 (auto)");
    camera.toggleFlash(mode);
  } else if (operation == "toggleCameraPosition") {
    requireWords(words, 3, "call toggleCameraPosition B");
    camera.toggleCameraPosition(readBool(words[2], "toggleCameraPosition: animated"));
  } else if (operation == "setVideoOutputSettingFormatType") {
    requireWords(words, 3, "call setVideoOutputSettingFormatType CODE");
    camera.setVideoOutputSettingFormatType(readUnsigned32(words[2], "setVideoOutputSettingFormatType: code"));
  } else if (operation == "capturePhoto") {
    requireWords(words, 2, "call capturePhoto");
    camera.capturePhoto();
  } else if (operation == "capturePhotoAnimation") {
    requireWords(words, 2, "call capturePhotoAnimation");
    camera.capturePhotoAnimation();
  } else {  // promptToAppSettings
    requireWords(words, 2, "call promptToAppSettings");
    KivoCameraAuthorization::promptToAppSettings(camera_);
  }
}

// --- User and sensors -----------------------------------------------------------------

void Runner::user(const Words& words) {
  const std::string& command = words[0];
  if (command == "tap") {
    requireWords(words, 3, "tap X Y");
    host_->tap({readNumber(words[1], "tap: x"), readNumber(words[2], "tap: y")});
  } else if (command == "pinch") {
    if (words.size() != 3 && words.size() != 5) throw ScenarioError("expected \"pinch STATE FACTOR [X Y]\"");
    static const std::vector<std::pair<std::string_view, UIGestureRecognizerState>> states{
        {"began", UIGestureRecognizerState::began},
        {"changed", UIGestureRecognizerState::changed},
        {"ended", UIGestureRecognizerState::ended},
        {"cancelled", UIGestureRecognizerState::cancelled},
        {"failed", UIGestureRecognizerState::failed}};
    std::optional<UIGestureRecognizerState> state;
    for (const auto& [name, value] : states)
      if (words[1] == name) state = value;
    if (!state) throw ScenarioError("pinch: expected began, changed, ended, cancelled or failed, not \"" + words[1] + "\"");
    const double factor = readNumber(words[2], "pinch: factor");
    std::optional<CGPoint> at;
    if (words.size() == 5) at = CGPoint{readNumber(words[3], "pinch: x"), readNumber(words[4], "pinch: y")};
    host_->pinch(*state, factor, at);
  } else if (command == "answer") {
    requireWords(words, 2, "answer grant|deny");
    bool grant = false;
    if (words[1] == "grant")
      grant = true;
    else if (words[1] != "deny")
      throw ScenarioError("answer: expected grant or deny, not \"" + words[1] + "\"");
    if (!world_->capture().hasOpenPermissionRequest())
      throw ScenarioError("answer: there is no open permission request");
    world_->capture().answerPermissionRequest(grant);
  } else if (command == "alert") {
    requireWords(words, 2, "alert cancel|settings");
    UIAlertActionStyle style;
    if (words[1] == "cancel")
      style = UIAlertActionStyle::cancel;
    else if (words[1] == "settings")
      style = UIAlertActionStyle::defaultStyle;
    else
      throw ScenarioError("alert: expected cancel or settings, not \"" + words[1] + "\"");
    if (!host_->presentedAlert()) throw ScenarioError("alert: no alert is presented");
    host_->alert(style);
  } else if (command == "accel") {
    requireWords(words, 4, "accel X Y Z");
    world_->motion().setAcceleration(readNumber(words[1], "accel: x"), readNumber(words[2], "accel: y"),
                                     readNumber(words[3], "accel: z"));
  } else {  // accel-error
    requireWords(words, 1, "accel-error");
    world_->motion().injectError();
  }
}

void Runner::notify(const Words& words) {
  if (words.size() < 2) throw ScenarioError("expected \"notify NOTIFICATION [ARGUMENT...]\"");
  const std::string& name = words[1];
  auto& capture = world_->capture();
  if (name == "runtime-error") {
    if (words.size() == 3 && words[2] == "no-error") return capture.postRuntimeErrorWithoutError();
    if (words.size() == 3 && words[2] == "no-userinfo") return capture.postRuntimeErrorWithoutUserInfo();
    if (words.size() == 3 && words[2].starts_with("value="))
      return capture.postRuntimeErrorWithValue(words[2].substr(6));
    std::optional<std::int64_t> code;
    std::optional<std::string> domain;
    for (std::size_t i = 2; i < words.size(); ++i) {
      const std::string& option = words[i];
      if (option.starts_with("code=") && !code) {
        code = readInteger(option.substr(5), "notify runtime-error: code");
      } else if (option.starts_with("domain=") && !domain && option.size() > 7) {
        domain = option.substr(7);
      } else {
        throw ScenarioError(
            "expected \"notify runtime-error [code=N] [domain=NAME]\", \"notify runtime-error no-error\", "
            "\"notify runtime-error no-userinfo\" or \"notify runtime-error value=TEXT\"");
      }
    }
    capture.postRuntimeError(code, domain);
  } else if (name == "interrupted") {
    requireWords(words, 2, 3, "notify interrupted [reason=V]");
    if (words.size() == 2) return capture.postInterrupted();
    if (!words[2].starts_with("reason=")) throw ScenarioError("expected \"notify interrupted [reason=V]\"");
    capture.postInterrupted(sim::CaptureSimulation::userInfoValueFromText(words[2].substr(7)));
  } else if (name == "interruption-ended") {
    requireWords(words, 2, "notify interruption-ended");
    capture.postInterruptionEnded();
  } else if (name == "became-active") {
    requireWords(words, 2, "notify became-active");
    world_->notifyBecameActive();
  } else if (name == "will-resign-active") {
    requireWords(words, 2, "notify will-resign-active");
    world_->notifyWillResignActive();
  } else {
    unknown("notification", name);
  }
}

void Runner::device(const Words& words) {
  if (words.size() != 3 && words.size() != 4)
    throw ScenarioError("expected \"device [CAMERA] iso V\" or \"device [CAMERA] adjusting-focus B\"");
  std::optional<std::string_view> camera;
  if (words.size() == 4) camera = words[1];
  const std::string& property = words[words.size() - 2];
  const std::string& value = words.back();
  auto& capture = world_->capture();
  if (property == "iso") {
    const double iso = readNumber(value, "device iso");
    capture.setISO(camera, static_cast<float>(iso));
  } else if (property == "adjusting-focus") {
    capture.setAdjustingFocus(camera, readBool(value, "device adjusting-focus"));
  } else {
    unknown("device property", property);
  }
}

void Runner::advance(const Words& words) {
  requireWords(words, 2, "advance T");
  const double seconds = readNumber(words[1], "advance");
  if (seconds < 0) throw ScenarioError("advance: the time cannot be negative");
  if (seconds > options_.maxAdvanceSeconds)
    throw ScenarioError("advance: at most " + formatNumber(options_.maxAdvanceSeconds) + " s in one step");
  // Past this the clock loses the precision of the timers' intervals (a 0.01 s
  // sensor interval no longer moves a clock near 1e16 s).
  if (world_->now() + seconds > kMaxClockSeconds)
    throw ScenarioError("advance: the virtual clock cannot pass " + formatNumber(kMaxClockSeconds) + " s");
  world_->advance(seconds);
}

void Runner::print(const Words& words) {
  requireWords(words, 2, "print PATH");
  emit(words[1] + " = " + inspect(words[1]));
}

// --- Whole scenarios ------------------------------------------------------------------

ScenarioResult runScenario(std::string_view text, const RunnerOptions& options, std::ostream& output) {
  ScenarioResult result;
  Runner runner(options, output);
  int number = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    ++number;
    const std::string_view line = text.substr(start, end - start);
    try {
      runner.run(line);
    } catch (const ScenarioError& error) {
      result.status = 1;
      result.line = number;
      result.message = error.what();
      break;
    }
    if (end == text.size()) break;
    start = end + 1;
  }
  runner.finish();
  return result;
}

}  // namespace kivocam
