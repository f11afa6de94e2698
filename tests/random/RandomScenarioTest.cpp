// Randomized simulation: seeded worlds driven by random kivocam lines, with
// the component's invariants checked after every line.
//
// The vocabulary is kivocam's command table: each command has a generator
// here, and a test fails when the table has one the generators do not know. A
// seed describes its world with the commands allowed before create, then draws
// commands by weight; one whose needs the run does not meet is drawn rarely
// and must then be refused for that before anything happens. A failing seed
// prints a scenario `kivocam run` replays; a crash writes it from the handler.
//
// Checked after every line: the forms and queues of log lines, events and
// callbacks, and callbacks only to a delegate that is there and responds; one
// capture at most in progress, each ending in time in exactly one
// camera:didCapturePhoto: (bytes or nil, as its fault and connection decide)
// when the delegate takes it; a failed setup never starts the session nor
// returns to success; the idle timer while shown and after; the controller is
// never destroyed while held, and after a release and a drain nothing is left.
//
// Size: KIVO_RANDOM_STEPS lines (default 100,000; 50,000 under the
// sanitizers), 1,000 per seed, seeds 1, 2, ...; KIVO_RANDOM_SEED=N runs seed
// N alone. A seed's lines do not depend on how many it runs.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
// GCC 12 at -O1 (the sanitizer builds) reports a std::function inside
// libstdc++'s regex compiler as maybe uninitialized: a false positive in the
// library's code, silenced for this file only.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "Commands.h"
#include "Foundation/TraceFormat.h"
#include "KivoCamera.h"
#include "KivoMotionManager.h"
#include "KivoOrientation.h"
#include "KivoPhotoCapture.h"
#include "Runner.h"
#include "UIKit/UIApplication.h"
#include "UIKit/UIScreen.h"
#include "UIKit/UIView.h"
#include "sim/HostScreen.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KIVO_RANDOM_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KIVO_RANDOM_SANITIZED 1
#endif
#endif

#ifdef KIVO_RANDOM_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

using kivocam::Runner;
using kivocam::ScenarioError;

constexpr std::size_t kStepsPerSeed = 1000;
#ifdef KIVO_RANDOM_SANITIZED
constexpr std::size_t kDefaultTotalSteps = 50'000;
#else
constexpr std::size_t kDefaultTotalSteps = 100'000;
#endif
constexpr double kMaxAdvanceSeconds = 5;               // the longest `advance`; the runner refuses longer ones
constexpr double kUnfinishedCaptureBoundSeconds = 15;  // a capture never finished ends within kivocam's drain
constexpr int kDrainLines = 4;                         // `advance 5` lines after a release: that drain and one more
constexpr double kUnmetFactor = 0.02;                  // how much rarer a command is while its needs are unmet

/// The seeds to run and the lines of each.
std::vector<std::pair<std::uint64_t, std::size_t>> planFromEnvironment() {
  const auto number = [](const char* name) { return std::strtoull(std::getenv(name), nullptr, 10); };
  const std::size_t steps = std::getenv("KIVO_RANDOM_STEPS") ? number("KIVO_RANDOM_STEPS") : 0;
  if (std::getenv("KIVO_RANDOM_SEED")) return {{number("KIVO_RANDOM_SEED"), steps > 0 ? steps : kStepsPerSeed}};
  std::vector<std::pair<std::uint64_t, std::size_t>> seeds;
  for (std::size_t left = steps > 0 ? steps : kDefaultTotalSteps; left > 0; left -= seeds.back().second)
    seeds.emplace_back(seeds.size() + 1, std::min(left, kStepsPerSeed));
  return seeds;
}

// mt19937_64's sequence is fixed by the standard, and everything drawn from it
// here is plain arithmetic, so a seed gives the same lines everywhere.
class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(engine_() % n); }
  double uniform() { return static_cast<double>(engine_() >> 11) * (1.0 / 9007199254740992.0); }
  bool chance(double p) { return uniform() < p; }
  double between(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  template <class T>
  const T& pick(const std::vector<T>& items) {
    return items[below(items.size())];
  }

 private:
  std::mt19937_64 engine_;
};

/// A number as a scenario word, rounded to hundredths so lines stay short.
std::string num(double value) { return formatNumber(std::round(value * 100) / 100); }

/// The first form of a command of kivocam's table.
const kivocam::Command& commandNamed(std::string_view name) {
  static const auto byName = [] {
    std::map<std::string_view, const kivocam::Command*> first;
    for (const kivocam::Command* command : kivocam::allCommands()) first.emplace(command->name, command);
    return first;
  }();
  if (const auto found = byName.find(name); found != byName.end()) return *found->second;
  throw std::invalid_argument("kivocam has no command " + std::string(name));
}

// The shape of a trace line as a regular expression: literal text with `<A|B>`
// for one of the texts listed or `<KIND>` for a value: int, uint, num, anynum
// (also nan, inf, -inf), time (a num >= 0), bool, word, quoted, ints.
struct LinePattern {
  explicit LinePattern(std::string_view form) : prefix(form.substr(0, form.find('<'))) {
    static const std::string number = "[0-9]+(\\.[0-9]+)?(e[-+][0-9]+)?";
    static const std::map<std::string, std::string, std::less<>> slots{
        {"int", "-?[0-9]+"},     {"uint", "[0-9]+"},         {"num", "-?" + number},
        {"time", number},        {"anynum", "(-?inf|nan|-?" + number + ")"},
        {"bool", "(true|false)"}, {"word", "[^ ]+"},          {"quoted", "[^\"\\\\]*"},
        {"ints", "(NULL|-?[0-9]+(,-?[0-9]+)*)"}};
    const auto escaped = [](std::string_view text) {
      return std::regex_replace(std::string(text), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
    };
    std::string regex;
    for (std::size_t open; (open = form.find('<')) != std::string_view::npos;) {
      const std::size_t close = form.find('>', open);
      const std::string_view slot = form.substr(open + 1, close - open - 1);
      regex += escaped(form.substr(0, open));
      if (slot.find('|') == std::string_view::npos)
        regex += slots.at(std::string(slot));
      else  // the alternatives, escaped but for their bars
        regex += "(" + std::regex_replace(escaped(slot), std::regex(R"(\\\|)"), "|") + ")";
      form.remove_prefix(close + 1);
    }
    pattern = std::regex(regex + escaped(form));
  }
  bool matches(const std::string& line) const { return std::regex_match(line, pattern); }
  std::string prefix;  // the literal text the line starts with
  std::regex pattern;
};

bool matchesAny(const std::vector<LinePattern>& forms, const std::string& line) {
  return std::any_of(forms.begin(), forms.end(),
                     [&](auto& form) { return line.starts_with(form.prefix) && form.matches(line); });
}

std::string oneOf(const std::vector<std::string>& texts) {
  std::string slot;
  for (const auto& text : texts) slot += (slot.empty() ? "<" : "|") + text;
  return slot + ">";
}

// Every log line the component writes, in the trace's debug form (quotes
// escaped); kError is the platform's printed error.
const std::vector<LinePattern>& logForms() {
  static const std::string kError = R"~(Error Domain=<word> Code=<int> \"<quoted>\")~";
  static const std::vector<LinePattern> forms{
      LinePattern(R"~("[KivoCamera] <AVCaptureDeviceTypeBuiltInWideAngleCamera|AVCaptureDeviceTypeBuiltInDualCamera|)~"
                  R"~(AVCaptureDeviceTypeBuiltInDualWideCamera|AVCaptureDeviceTypeBuiltInTripleCamera|nil> )~"
                  R"~(minimumFocusDistance: <uint>")~"),
      LinePattern(R"~("[KivoCamera](videoDevice) Default video device is unavailable.")~"),
      LinePattern(R"~("[KivoCamera](lockingConfiguration) Error locking configuration.")~"),
      LinePattern(R"~("[KivoCamera](videoDeviceInput) Couldn\'t create video device input: )~" + kError + "\""),
      LinePattern(R"~("[KivoCamera](addVideoDeviceInput) Couldn\'t add video device input to the session.")~"),
      LinePattern(R"~("[KivoCamera](addPhotoOutput) Could not add photo output to the session.")~"),
      LinePattern(R"~("[KivoCamera](configFailed)")~"),
      LinePattern(R"~("[KivoCamera](focus) Error Focus")~"),
      LinePattern(R"~("[KivoCamera](zoom) Error Zoom")~"),
      LinePattern(R"~("[KivoCamera](<exposureLocking|torchLocking|torch>) )~" + kError + "\""),
      LinePattern(R"~("[KivoCamera](sessionRuntimeError) Capture session runtime error: )~" + kError + "\""),
      LinePattern(R"~("[KivoCamera](sessionWasInterrupted) Capture session was interrupted with reason <int>")~"),
      LinePattern(R"~("[KivoCamera](sessionInterruptionEnded) Capture session interruption ended")~"),
      LinePattern(R"~("[KivoCamera](photoOutput) Error capturing photo: )~" + kError + "\""),
      LinePattern(R"~("[KivoCamera](photoOutput) Error capturing photo: the capture did not finish")~"),
      LinePattern(R"~("No photo data resource")~"),
  };
  return forms;
}

// Every analytics event the component sends, with the queue that sends it.
const std::vector<LinePattern>& eventForms() {
  static const std::vector<LinePattern> forms = [] {
    std::vector<std::string> presets(AVCaptureSessionPresetsAll.begin(), AVCaptureSessionPresetsAll.end());
    presets.emplace_back(AVCaptureSessionPresetInputPriority);
    const std::string mode = R"~("mode":")~" + oneOf(presets) + "\"";
    const std::string event = R"~(event kivo_camera {)~";
    return std::vector<LinePattern>{
        // The permission outcome: at load, or when the user answers.
        LinePattern(event + R"~("status":"<0|1>"} @<main|com.kivocamera.platform.permission>)~"),
        // Setup failures (from the setup or a camera switch), failures of the host's calls.
        LinePattern(event + R"~("code":"<10001|10002|10003|10004|10006>"} @com.kivocamera.session.queue)~"),
        LinePattern(event + R"~("code":"<10000|10007|10008|10009|10010|10011>"} @main)~"),
        // The preview check after a start or at a capture request.
        LinePattern(event + R"~("code":"<10012|10013|10014|10015>","step":"<capture|startSession>"} @main)~"),
        // Session notifications, on the posting queue.
        LinePattern(event + R"~("code":"<20000|20001>","content":"<int>"} @com.kivocamera.platform.session)~"),
        LinePattern(event + R"~("code":"20002"} @com.kivocamera.platform.session)~"),
        LinePattern(event + R"~("code":"30000","content":"{\"ActiveColorSpace\":\"<int>\",)~"
                            R"~(\"SupportedColorSpaces\":\"<ints>\"}"} @com.kivocamera.session.queue)~"),
        LinePattern(event + mode + R"~(,"step":"launch","time":<time>} @com.kivocamera.session.queue)~"),
        LinePattern(event + R"~("integer1":<0|1|2>,"integer2":<0|1|2>,)~" + mode +
                    R"~(,"step":"capture","time":<time>} @main)~"),
    };
  }();
  return forms;
}

constexpr std::string_view kCaptureEventPrefix = R"~(event kivo_camera {"integer1":)~";
constexpr std::string_view kPermissionEventPrefix = R"~(event kivo_camera {"status":)~";
constexpr std::string_view kPhotoSelector = "camera:didCapturePhoto:";
constexpr std::string_view kMain = "main";
constexpr std::string_view kSessionQueue = "com.kivocamera.session.queue";

/// Every camera name a world can have: POSITION-TYPE, from `world camera`'s words.
std::vector<std::string> allCameraNames() {
  std::vector<std::string> all;
  for (const auto& position : *commandNamed("world camera").args.at(0).choices)
    for (const auto& type : *commandNamed("world camera").args.at(1).choices)
      all.push_back(std::string(position.word) + "-" + std::string(type.word));
  return all;
}

// Every delegate callback with its arguments and queue.
const std::vector<LinePattern>& delegateForms() {
  static const std::vector<LinePattern> forms = [] {
    const std::string camera = oneOf(allCameraNames());
    const std::string cameraQueue = " @com.kivocamera.platform.camera." + camera;
    return std::vector<LinePattern>{
        LinePattern("delegate camera:didCapturePhoto: <uint> bytes @main"),
        LinePattern("delegate camera:didCapturePhoto: nil @main"),
        LinePattern("delegate camera:didChangeFlashMode: <0|1|2> @main"),
        LinePattern("delegate camera:<didChangeTorch|didToggleCameraPosition>: <bool> @main"),
        LinePattern("delegate camera:didChangeZoomLevel:zoomScale: <num> <num> @main"),
        LinePattern("delegate camera:didTapEndPoint: (<num>, <num>) @main"),
        LinePattern("delegate camera:didPinchEndZoomLevel:zoomScale: <anynum> <num> @main"),
        LinePattern("delegate camera:didOutput:isStill: <bool> @com.kivocamera.video.output"),
        LinePattern("delegate camera:device:didChangeISO: " + camera + " <num>" + cameraQueue),
        LinePattern("delegate camera:device:didChangeAdjustingFocus: " + camera + " <bool>" + cameraQueue),
    };
  }();
  return forms;
}

// What a run reached, to check that the generators keep reaching it.
struct Totals {
  std::size_t lines = 0, refused = 0, photosWithBytes = 0, photosWithoutData = 0, frames = 0, deallocs = 0;
  std::size_t failedSetups = 0, capturesNotDelivered = 0;    // the latter ended with no delegate to take them
  std::map<std::string, std::size_t, std::less<>> accepted;  // lines by command name
};

// Follows the scenario lines and their trace with a model of what the host set
// up and the component did, and records every line that breaks an invariant.
class TraceChecker {
 public:
  explicit TraceChecker(Totals* totals = nullptr) : totals_(totals ? totals : &ownTotals_) {}

  /// One scenario line and the trace lines it produced (its echo first).
  void step(const std::vector<std::string>& words, bool refused, const std::vector<std::string>& trace, double now) {
    now_ = now;
    if (trace.empty() || trace.front() != "> " + kivocam::joinWords(words)) violation("a step without its echo first");
    if (!refused) followLine(words);
    for (std::size_t i = 1; i < trace.size(); ++i) line(trace[i], words);
    if (std::exchange(delivery_, std::nullopt))
      violation("a capture ended without camera:didCapturePhoto: right after it, though the delegate takes photos");
    for (const auto& capture : captures_) {
      const double bound =
          capture.fault == "never-finishes" ? kUnfinishedCaptureBoundSeconds : sim::PhotoTimetable{}.finished;
      if (now - capture.handedAt > bound + 1e-6)
        violation("capture id=" + std::to_string(capture.id) + " " + capture.fault + " has not ended " +
                  formatNumber(now - capture.handedAt) + " s after it was handed to the output");
    }
  }

  /// The driver saw the controller's setup result leave success.
  void setupFailed() { setupFailed_ = true; }
  const std::vector<std::string>& violations() const { return violations_; }
  /// Captures handed to the photo output that have not ended.
  std::size_t capturesInProgress() const { return captures_.size(); }
  /// The unended captures plus every one the photo output was told never to finish.
  std::size_t expectedCapturesInFlight() const {
    const auto finishing = [](const Capture& c) { return c.fault != "never-finishes"; };
    return neverFinishing_ + static_cast<std::size_t>(std::count_if(captures_.begin(), captures_.end(), finishing));
  }
  bool controllerAlive() const { return controllerAlive_; }
  bool destroyedSinceRelease() const { return destroyedSinceRelease_; }
  bool delegateTakesPhotos() const { return responds(kPhotoSelector); }
  /// The session was started before the setup settled the permission: a failing setup does not stop it.
  bool startedBeforeSetup() const { return startedBeforeSetup_; }

 private:
  struct Capture {
    std::int64_t id = 0;
    std::string fault;  // the `fail photo` mode it met, or empty
    bool expectData = false;
    double handedAt = 0;
  };
  struct DelegateObject {
    int id = 0;
    std::optional<std::set<std::string, std::less<>>> selectors;  // none: every callback
  };

  void violation(std::string message) { violations_.push_back(std::move(message)); }
  bool responds(std::string_view selector) const {
    if (!controllerDelegate_ || !hostDelegate_ || hostDelegate_->id != *controllerDelegate_) return false;
    return !hostDelegate_->selectors || hostDelegate_->selectors->contains(selector);
  }

  // What an accepted scenario line changes in the model.
  void followLine(const std::vector<std::string>& words) {
    const std::string& command = words[0];
    const std::string second = words.size() > 1 ? words[1] : "";
    if (command == "delegate") {
      // `release` drops only the host's object: the controller's weak reference then finds nothing.
      std::optional<DelegateObject> object;
      if (second != "release" && second != "none") object = DelegateObject{nextDelegateId_++, std::nullopt};
      if (object && second != "all") object->selectors.emplace(words.begin() + 1, words.end());
      hostDelegate_ = object;
      if (holdsController_ && second != "release")
        controllerDelegate_ = object ? std::optional(object->id) : std::nullopt;
    } else if (command == "create" || command == "create-at") {
      if (controllerAlive_) violation("a new controller was made while the previous one is still alive");
      holdsController_ = controllerAlive_ = true;
      destroyedSinceRelease_ = setupFailed_ = permissionSettled_ = startedBeforeSetup_ = false;
      controllerDelegate_ = hostDelegate_ ? std::optional(hostDelegate_->id) : std::nullopt;
      sessionInputs_.clear();
      sessionRunning_ = false;
      neverFinishing_ = 0;
    } else if (command == "release") {
      holdsController_ = false;
    } else if (command == "fail") {
      if (second == "photo") photoFault_ = words[2];
      if (second == "photo-connection") connectionMissing_ = words[2] == "on";
    }
  }

  void line(const std::string& text, const std::vector<std::string>& step) {
    const std::string photo = "delegate " + std::string(kPhotoSelector) + " ";
    if (const auto expected = std::exchange(delivery_, std::nullopt)) {
      if (!text.starts_with(photo)) return violation("a capture ended without camera:didCapturePhoto: next: " + text);
      const bool bytes = !text.starts_with(photo + "nil");
      if (bytes != expected->expectData)
        violation("capture id=" + std::to_string(expected->id) + " " + expected->fault + " should have delivered " +
                  (expected->expectData ? "its bytes: " : "nil: ") + text);
      ++(bytes ? totals_->photosWithBytes : totals_->photosWithoutData);
      return checkDelegateLine(text);
    }
    if (text.starts_with("\"")) {
      if (!matchesAny(logForms(), text)) violation("a log line the component does not write: " + text);
    } else if (text.starts_with("event ")) {
      if (!matchesAny(eventForms(), text)) return violation("an event the component does not send (there): " + text);
      if (text.starts_with(kCaptureEventPrefix)) captureEnded();
      if (text.starts_with(kPermissionEventPrefix)) permissionSettled_ = true;
    } else if (text.starts_with(photo)) {
      violation("camera:didCapturePhoto: that does not follow a capture's end: " + text);
    } else if (text.starts_with("delegate ")) {
      if (text.starts_with("delegate camera:didOutput:isStill:")) ++totals_->frames;
      checkDelegateLine(text);
    } else if (text.starts_with("platform ")) {
      platformLine(text);
    } else if (text == "dealloc KivoCamera") {
      if (holdsController_ || !controllerAlive_) violation("a controller destroyed while the host holds it, or twice");
      ++totals_->deallocs;
      controllerAlive_ = false;
      destroyedSinceRelease_ = true;
      controllerDelegate_.reset();
    } else if (text == "result isAuthorized true" || text == "result isAuthorized false") {
      if (kivocam::joinWords(step) != "call isAuthorized") violation("an isAuthorized result outside its call");
    } else if (!(step.size() == 2 && step[0] == "print" && text.starts_with(step[1] + " = ")) &&
               text != "block isAuthorized true @main" && text != "block isAuthorized false @main") {
      violation("a trace line of no known form: " + text);
    }
  }

  void checkDelegateLine(const std::string& text) {
    if (!matchesAny(delegateForms(), text)) return violation("a delegate callback of no known form or queue: " + text);
    if (!responds(std::string_view(text).substr(9, text.find(' ', 9) - 9)))
      violation("a callback reached a delegate that is gone or does not respond to it: " + text);
  }

  void platformLine(const std::string& text) {
    const auto words = kivocam::splitWords(text);
    if (words.size() < 4 || words.back()[0] != '@') return violation("a platform call of the wrong form: " + text);
    const std::string &receiver = words[1], &selector = words[2];
    const std::string_view queue = std::string_view(words.back()).substr(1);
    // The session and its outputs on its queue, the application and presentation on the main thread, a
    // camera's settings on either (the host's calls and the motion handler; the setup and the switch).
    const bool onSessionQueue = receiver == "session" || receiver == "photo-output" ||
                                receiver == "photo-connection" || receiver == "video-output";
    const bool onMain = receiver == "application" || receiver == "KivoCamera";
    if ((onSessionQueue && queue != kSessionQueue) || (onMain && queue != kMain) ||
        (queue != kMain && queue != kSessionQueue))
      violation("a platform call on the wrong queue: " + text);
    if (receiver == "session" && selector == "addInput:" && words.size() == 5) sessionInputs_.insert(words[3]);
    if (receiver == "session" && selector == "removeInput:" && words.size() == 5 && sessionInputs_.contains(words[3]))
      sessionInputs_.erase(sessionInputs_.find(words[3]));
    if (receiver == "session" && selector == "stopRunning") sessionRunning_ = false;
    if (receiver == "session" && selector == "startRunning") {
      sessionRunning_ = true;
      if (setupFailed_) violation("the session was started after the setup had failed: " + text);
      startedBeforeSetup_ = startedBeforeSetup_ || !permissionSettled_;
    }
    if (selector == "capturePhotoWithSettings:delegate:") captureHanded(words);
  }

  void captureHanded(const std::vector<std::string>& words) {
    if (!words[3].starts_with("id=")) return violation("a capture without its settings' id");
    // Only a capture on a running session with a camera input reaches the camera, and only such a
    // capture takes the next photo fault; any other fails at once without data.
    const bool active = sessionRunning_ && !connectionMissing_ && !sessionInputs_.empty();
    Capture capture{std::strtoll(words[3].c_str() + 3, nullptr, 10), active ? std::exchange(photoFault_, "") : "",
                    false, now_};
    if (!captures_.empty())
      violation("capture id=" + std::to_string(capture.id) + " was handed to the photo output while capture id=" +
                std::to_string(captures_.front().id) + " is still in progress");
    // The output's connection needs a camera input in the session.
    capture.expectData = active && (capture.fault.empty() || capture.fault == "finish-error");
    if (capture.fault == "never-finishes") ++neverFinishing_;
    captures_.push_back(std::move(capture));
  }

  void captureEnded() {
    if (captures_.empty()) return violation("a capture timing event with no capture in progress");
    if (responds(kPhotoSelector)) delivery_ = captures_.front();
    totals_->capturesNotDelivered += !delivery_;
    captures_.pop_front();
  }

  Totals ownTotals_;
  Totals* totals_;
  double now_ = 0;
  std::vector<std::string> violations_;
  // Host side.
  std::optional<DelegateObject> hostDelegate_ = DelegateObject{1, std::nullopt};  // the runner's default delegate
  int nextDelegateId_ = 2;
  std::optional<int> controllerDelegate_;
  bool holdsController_ = false, controllerAlive_ = false, destroyedSinceRelease_ = false;
  std::string photoFault_;
  bool connectionMissing_ = false;
  // Component side.
  std::multiset<std::string> sessionInputs_;
  bool sessionRunning_ = false;
  bool setupFailed_ = false;
  bool permissionSettled_ = false;   // the setup's permission event came
  bool startedBeforeSetup_ = false;  // the session was started before that
  std::deque<Capture> captures_;
  std::size_t neverFinishing_ = 0;
  std::optional<Capture> delivery_;  // a capture that just ended and whose delivery must come next
};

// A crash ends the process before the test can report: the crash handler writes
// the scenario so far instead. Only the driving thread sets these, between lines.
std::pair<const std::string*, const std::string*> gCrash;  // the header and the scenario

void writeCrashReport() {
  for (const std::string* text : {gCrash.first, gCrash.second})
    if (text && ::write(STDERR_FILENO, text->data(), text->size()) < 0) return;
}

class CrashReportScope {
 public:
  CrashReportScope() {
#ifdef KIVO_RANDOM_SANITIZED
    // The sanitizers handle faults themselves and call this when they end the process.
    __sanitizer_set_death_callback(&writeCrashReport);
    for (const int signal : {SIGABRT}) {
#else
    for (const int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
#endif
      struct sigaction action = {}, previous = {};
      action.sa_handler = [](int signal) {
        writeCrashReport();
        ::raise(signal);
      };
      action.sa_flags = SA_RESETHAND;  // the raised signal then takes its default action
      sigemptyset(&action.sa_mask);
      if (sigaction(signal, &action, &previous) == 0) saved_.emplace_back(signal, previous);
    }
  }
  ~CrashReportScope() {
    for (const auto& [signal, previous] : saved_) sigaction(signal, &previous, nullptr);
#ifdef KIVO_RANDOM_SANITIZED
    __sanitizer_set_death_callback(nullptr);
#endif
    gCrash = {};
  }

 private:
  std::vector<std::pair<int, struct sigaction>> saved_;
};

struct Violation : std::runtime_error {  // a broken invariant
  using std::runtime_error::runtime_error;
};

class SeedRun;

struct Generator {  // how the generators say one command of kivocam's table
  double setup = 0;  // before create: the chance, each of up to four times, that the line is said
  std::function<double(SeedRun&)> weight;                 // afterwards: how often, relative to the others
  std::function<void(SeedRun&, const std::string&)> say;  // says the line, given the command's name
};
const std::map<std::string, Generator, std::less<>>& generators();

class SeedRun {
 public:
  SeedRun(std::uint64_t seed, std::size_t lines, Totals& totals)
      : random(seed), seed_(seed), lines_(lines), totals_(totals), runner_(options(), discard_), checker_(&totals) {
    header_ = "\nRandomScenarioTest: the process died in seed " + std::to_string(seed) + ". The scenario up to the " +
              "line that killed it (save it as " + file() + " and run `kivocam run " + file() + "`):\n";
  }

  /// Runs the seed: none when every invariant held, else the report.
  std::optional<std::string> run() {
    gCrash = {&header_, &scenario_};
    try {
      processorBaseline_ = KivoPhotoCaptureProcessor::liveCount();
      // The world: the commands with a setup chance, in the table's order.
      for (const kivocam::Command* command : kivocam::allCommands()) {
        if (command != &commandNamed(command->name)) continue;  // a later form of the same command
        const Generator& generator = generators().at(std::string(command->name));
        for (int i = 0; i < 4 && linesRun_ < lines_ && random.chance(generator.setup); ++i)
          generator.say(*this, std::string(command->name));
      }
      while (linesRun_ < lines_) act();
      if (camera()) releaseAndDrain();
      require(checker_.capturesInProgress() == 0, "captures were still in progress at the end of the run");
    } catch (const std::exception& error) {
      return report((dynamic_cast<const Violation*>(&error) ? "" : "unexpected exception: ") +
                    std::string(error.what()));
    }
    gCrash = {};
    return std::nullopt;
  }

  /// A digest of every trace line of the run, to compare two runs.
  std::uint64_t traceDigest() const { return digest_; }
  // What the generators use.
  Random random;
  std::vector<std::string> cameraNames{"back-wide", "front-wide"};  // the world's cameras
  bool camerasDescribed = false;                       // a `world camera` line replaced the default ones
  std::map<std::string, bool, std::less<>> standing;  // standing faults by command, and whether on
  bool worldIdleTimerDisabled = false;
  bool risky = false;  // the next line may be refused (a gesture that reaches nothing...)

  sim::World& world() { return runner_.world(); }
  const std::shared_ptr<KivoCamera>& camera() const { return runner_.camera(); }
  bool attached() { return runner_.host().embedded() != nullptr; }
  sim::HostScreen::Appearance appearance() { return runner_.host().appearance(); }
  bool delegateTakesPhotos() const { return checker_.delegateTakesPhotos(); }
  bool needsMet(std::string_view name) const { return !runner_.unmet(commandNamed(name).needs); }
  /// The controller's view in screen points, or the screen.
  CGRect viewFrame() {
    const auto view = camera() ? camera()->viewIfLoaded() : nullptr;
    return view && view->frame().size.width > 0 && view->frame().size.height > 0 ? view->frame()
                                                                                 : UIScreen::main().bounds();
  }

  /// Says `NAME ARGS`; false when refused, as a command whose needs are unmet must be, before anything happens.
  bool say(const std::string& name, const std::string& args = {}) {
    const auto unmet = runner_.unmet(commandNamed(name).needs);
    const auto refusal = runLine(name, name + (args.empty() ? "" : " " + args), std::exchange(risky, false) || unmet);
    if (unmet)
      require(refusal == name + ": " + std::string(*unmet),
              "a line whose needs were not met was not refused for that: " + refusal.value_or("accepted"));
    return !refusal;
  }

  // The host lets go of the controller; once the world has drained, nothing of it may be left.
  void releaseAndDrain() {
    std::weak_ptr<KivoCamera> controller = camera();
    std::weak_ptr<KivoMotionManager> motion = camera()->motionManager();
    std::weak_ptr<KivoOrientation> estimator = camera()->orientation();
    say("release");
    if (needsMet("answer")) say("answer", random.chance(0.5) ? "grant" : "deny");  // an open request holds it
    auto* executor = world().deterministicExecutor();
    for (int i = 0; i < kDrainLines && executor->pendingBlockCount() > 0; ++i) say("advance", "5");
    require(executor->pendingBlockCount() == 0 && controller.expired() && motion.expired() && estimator.expired() &&
                checker_.destroyedSinceRelease() && KivoPhotoCaptureProcessor::liveCount() == processorBaseline_ &&
                checker_.capturesInProgress() == 0,
            "after the release and the drain something is left: queued blocks, the controller (or no dealloc line), "
            "its motion manager, orientation estimator or capture processors, or an unended capture");
  }

 private:
  static kivocam::RunnerOptions options() { return {.maxAdvanceSeconds = kMaxAdvanceSeconds}; }
  std::string file() const { return "seed-" + std::to_string(seed_) + ".kvs"; }

  void require(bool condition, const std::string& message) {
    if (!condition) throw Violation(message);
  }

  std::string report(const std::string& message) const {
    return "seed " + std::to_string(seed_) + ", line " + std::to_string(linesRun_) + ": " + message +
           "\nRun this seed alone with KIVO_RANDOM_SEED=" + std::to_string(seed_) +
           (lines_ != kStepsPerSeed ? " KIVO_RANDOM_STEPS=" + std::to_string(lines_) : "") +
           ".\n--- scenario: save as " + file() + " and run `kivocam run " + file() + "` ---\n" + scenario_ +
           "--- end of scenario ---";
  }

  // One command, drawn by weight.
  void act() {
    std::vector<double> weights;
    double total = 0;
    for (const auto& [name, generator] : generators())
      total += weights.emplace_back(generator.weight(*this) * (needsMet(name) ? 1 : kUnmetFactor));
    double x = random.uniform() * total;
    auto weight = weights.begin();
    for (const auto& [name, generator] : generators()) {
      if (x < *weight) return generator.say(*this, name);
      x -= *weight++;
    }
  }

  /// Runs one line and checks after it; the runner's message when it refused the line.
  std::optional<std::string> runLine(const std::string& name, const std::string& line, bool mayBeRefused) {
    ++linesRun_;
    ++totals_.lines;
    const bool embedded = attached(), idleBefore = UIApplication::shared().isIdleTimerDisabled();
    std::optional<std::string> refusal;
    try {
      runner_.run(line);
    } catch (const ScenarioError& error) {
      refusal = error.what();
    }
    const auto trace = world().trace().take();
    const bool allowed = !refusal || (mayBeRefused && !refusal->starts_with("the queues never settle"));
    scenario_ += allowed && refusal ? "# refused: " + line + "  (" + *refusal + ")\n" : line + "\n";
    for (const auto& traced : trace)
      for (const char c : traced + "\n") digest_ = (digest_ ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    require(allowed, "the runner refused the line \"" + line + "\": " + refusal.value_or(""));
    require(!refusal || trace.size() == 1, "a refused line left more than its echo in the trace");
    ++(refusal ? totals_.refused : totals_.accepted[name]);
    if (!refusal && (name == "create" || name == "create-at")) setupResult_ = SessionSetupResult::success;
    checker_.step(kivocam::splitWords(line), refusal.has_value(), trace, world().now());
    if (!checker_.violations().empty()) throw Violation(checker_.violations().front());
    if (!refusal) followIdleTimer(name, embedded, idleBefore);
    checkState();
    return refusal;
  }

  // The application's idle timer around the controller's appearances.
  void followIdleTimer(const std::string& name, bool embedded, bool idleBefore) {
    const bool idleNow = UIApplication::shared().isIdleTimerDisabled();
    const bool disappears = (name == "disappear" || name == "disappear-end") && embedded;
    if ((name == "appear" || name == "appear-begin") && embedded) {
      appeared_ = true;
      idleAtAppearance_ = idleBefore;
    } else if (disappears && appeared_) {
      require(idleNow == idleAtAppearance_ && (baselineDisturbed_ || idleNow == worldIdleTimerDisabled),
              "the idle timer was not restored at the disappearance (to its value then, and the world's setting)");
      appeared_ = false;
    } else if (disappears || name == "release") {
      // A controller that missed its appearance gives back a value it never saved; one removed while shown
      // never disappears, so the timer stays disabled.
      baselineDisturbed_ = baselineDisturbed_ || disappears || appeared_;
      appeared_ = false;
    }
  }

  void checkState() {
    if (const auto& controller = camera()) {
      const std::size_t inProgress = controller->capturesInProgress();
      require(inProgress <= 1 && inProgress >= checker_.capturesInProgress(),
              "the controller holds " + std::to_string(inProgress) + " captures in progress, the photo output " +
                  std::to_string(checker_.capturesInProgress()));
      using R = SessionSetupResult;
      const R result = controller->sessionSetupResult(), before = std::exchange(setupResult_, result);
      require(before == R::success ||
                  (result != R::success && !(before == R::configurationFailed && result == R::unauthorized)),
              "the setup result went from a failure back to success, or from configurationFailed to unauthorized");
      if (result != R::success) {
        totals_.failedSetups += before == R::success;
        require(!controller->session()->isRunning() || checker_.startedBeforeSetup(),
                "the session runs although the setup result is not success");
        checker_.setupFailed();
      }
    }
    if (checker_.controllerAlive())
      require(world().capture().photoCapturesInFlight() == checker_.expectedCapturesInFlight(),
              "the photo output's captures in flight are not the unended ones and those it never finishes");
    require(!appeared_ || UIApplication::shared().isIdleTimerDisabled(),
            "the idle timer is enabled while the controller is shown");
  }

  const std::uint64_t seed_;
  const std::size_t lines_;
  Totals& totals_;
  std::ostream discard_{nullptr};  // the runner's printed trace; the checks read the recorded one
  Runner runner_;
  TraceChecker checker_;
  std::size_t linesRun_ = 0;
  std::string header_, scenario_;
  std::uint64_t digest_ = 1469598103934665603ull;
  std::size_t processorBaseline_ = 0;
  SessionSetupResult setupResult_ = SessionSetupResult::success;
  bool appeared_ = false;           // the controller got viewWillAppear and has not disappeared
  bool idleAtAppearance_ = false;   // the idle timer just before that appearance
  bool baselineDisturbed_ = false;  // something left the idle timer off the world's setting
};

using Words = std::function<std::string(SeedRun&)>;

/// A command said with the words `args` gives, this often and, before create, with the chance `setup`.
Generator said(double weight, Words args = {}, double setup = 0) {
  return {setup, [weight](SeedRun&) { return weight; },
          [args](SeedRun& s, const std::string& name) { s.say(name, args ? args(s) : ""); }};
}
Words pick(std::vector<std::string> words) {
  return [words](SeedRun& s) { return s.random.pick(words); };
}
std::string flag(SeedRun& s) { return formatBool(s.random.chance(0.5)); }
std::string number(SeedRun& s, double lo, double hi) { return num(s.random.between(lo, hi)); }
/// A point of the controller's view, or up to `margin` outside it.
std::string pointIn(SeedRun& s, double margin = 0) {
  const CGRect f = s.viewFrame();
  return number(s, f.origin.x - margin, f.origin.x + f.size.width + margin) + " " +
         number(s, f.origin.y - margin, f.origin.y + f.size.height + margin);
}
/// One of the words of a command's choice.
Words choiceOf(std::string_view command) {
  const kivocam::Choices* choices = commandNamed(command).args.at(0).choices;
  return [choices](SeedRun& s) { return std::string(s.random.pick(*choices).word); };
}

/// `NAME VALUE` for `set`: a property of the table and a value it takes (mostly an ordinary scale).
std::string property(SeedRun& s) {
  const kivocam::Property& property = s.random.pick(kivocam::properties());
  const kivocam::Arg& arg = property.value;
  const std::string value = arg.kind == kivocam::Arg::Kind::flag ? flag(s)
                            : arg.choices                        ? std::string(s.random.pick(*arg.choices).word)
                            : arg.kind == kivocam::Arg::Kind::whole ? std::to_string(s.random.below(3))
                            : s.random.chance(0.1)                  ? number(s, 0, 12)
                            : property.name == "minZoomScale"       ? number(s, 0.5, 2)
                                                                    : number(s, 0.01, 8);
  return std::string(property.name) + " " + value;
}

/// The values of `world camera`'s NAME=VALUE options.
const std::map<std::string_view, Words>& cameraOptionValues() {
  static const std::map<std::string_view, Words> values{
      {"min-focus", [](SeedRun& s) { return std::to_string(s.random.below(400)); }},
      {"bias", [](SeedRun& s) { return number(s, -8, 0) + ".." + number(s, 0, 8); }},
      {"iso", [](SeedRun& s) { return std::to_string(25 + s.random.below(3200)); }},
      {"color-spaces", pick({"", "0", "1", "0,1", "0,2", "0,1,2"})},
      {"active-color-space", pick({"0", "1", "2", "3"})},
      {"presets", pick({"AVCaptureSessionPresetPhoto", "AVCaptureSessionPreset640x480,AVCaptureSessionPresetHigh",
                        "AVCaptureSessionPreset1920x1080,AVCaptureSessionPreset1280x720,AVCaptureSessionPresetLow"})},
      {"fps", pick({"1", "5", "15", "30", "60"})},
      {"max-zoom", [](SeedRun& s) { return number(s, 1, 16); }},
  };
  return values;
}

/// `world camera`: one the world lacks (first, mostly the back wide-angle one the setup asks for).
std::string describeCamera(SeedRun& s) {
  if (!std::exchange(s.camerasDescribed, true)) s.cameraNames.clear();
  std::vector<std::string> free;
  std::ranges::copy_if(allCameraNames(), std::back_inserter(free),
                       [&](auto& camera) { return !std::ranges::count(s.cameraNames, camera); });
  const std::string camera = s.cameraNames.empty() && s.random.chance(0.75) ? "back-wide" : s.random.pick(free);
  s.cameraNames.push_back(camera);
  std::string words = camera.substr(0, camera.find('-')) + " " + camera.substr(camera.find('-') + 1);
  for (const kivocam::CameraOption& option : kivocam::cameraOptions()) {
    if (!s.random.chance(0.1)) continue;
    const std::string name(option.name);
    words += option.usage.starts_with('+') ? (s.random.chance(0.5) ? " +" : " -") + name
                                           : " " + name + "=" + cameraOptionValues().at(option.name)(s);
  }
  return words;
}

/// `delegate`: mostly one that takes photos, so that deliveries are checked.
std::string delegateWords(SeedRun& s) {
  static const kivocam::Choices& selectors = *[] {  // those of `delegate SELECTOR...`
    for (const kivocam::Command* command : kivocam::allCommands())
      if (command->name == "delegate" && command->args[0].repeated) return command->args[0].choices;
    throw std::invalid_argument("kivocam has no `delegate SELECTOR...`");
  }();
  const double x = s.random.uniform();
  if (x < 0.65) return x < 0.45 ? "all" : x < 0.55 ? "none" : "release";
  std::string words = s.random.chance(0.75) ? std::string(selectors.front().word) : "";
  for (std::size_t i = 1; i < selectors.size(); ++i)
    if (s.random.chance(0.3)) words += (words.empty() ? "" : " ") + std::string(selectors[i].word);
  return words.empty() ? std::string(s.random.pick(selectors).word) : words;
}

/// A standing fault: `on` or `off`, mostly undoing it when it is on.
Generator standingFault(double weight) {
  Generator generator = said(weight, {}, 0.02);
  generator.say = [](SeedRun& s, const std::string& name) {
    const bool on = s.random.chance(s.standing[name] ? 0.3 : 0.5);
    if (s.say(name, on ? "on" : "off")) s.standing[name] = on;
  };
  return generator;
}

/// A step of the host screen: likely where the screen is `from`, else rare (and refused).
Generator appearance(sim::HostScreen::Appearance from, double weight) {
  return {0, [=](SeedRun& s) { return s.attached() && s.appearance() == from ? weight : 0.1; },
          [=](SeedRun& s, const std::string& name) { s.risky = s.appearance() != from; s.say(name); }};
}

/// `create` or `create-at`: most new controllers get a fair setup, and are configured before they are attached
/// (the frame output only exists when it is asked for before the setup runs).
Generator create(double weight, Words args = {}) {
  return {0, [weight](SeedRun& s) { return s.camera() ? 0 : weight; }, [args](SeedRun& s, const std::string& name) {
            if (s.random.chance(0.5)) s.say("fail lock", "off");  // `always` may be standing
            for (auto& [fault, on] : s.standing)
              if (on && s.random.chance(0.7) && s.say(fault, "off")) on = false;
            s.say(name, args ? args(s) : "");
            if (s.random.chance(0.4)) s.say("set", "enableVideoDataOutput true");
            for (std::size_t i = s.random.below(6); i > 0; --i) s.say("set", property(s));
          }};
}

const std::map<std::string, Generator, std::less<>>& generators() {
  using A = sim::HostScreen::Appearance;
  static const std::map<std::string, Generator, std::less<>> all{
      {"world platform-version", said(0.5, pick({"14", "15", "16", "17", "18"}), 0.3)},
      {"world screen", said(0.5, pick({"320 568", "375 812", "414 896", "768 1024"}), 0.2)},
      {"world camera", said(0, describeCamera, 0.8)},
      {"world no-cameras",
       said(0, [](SeedRun& s) { s.cameraNames.clear(); s.camerasDescribed = true; return std::string(); }, 0.07)},
      {"world permission", said(0.5, pick({"authorized", "authorized", "authorized", "authorized", "authorized",
                                           "not-determined", "not-determined", "denied", "restricted"}), 0.6)},
      {"world memory", said(0.5, pick({"734003200", "734003199", "268435456", "8589934592", "0", "unavailable"}), 0.3)},
      {"world accelerometer", said(0.5, pick({"off"}), 0.1)},
      {"world device-orientation", said(1, pick({"0", "1", "2", "3", "4", "5", "6"}), 0.3)},
      {"world idle-timer-disabled",
       said(0, [](SeedRun& s) { return formatBool(s.worldIdleTimerDisabled = s.random.chance(0.6)); }, 0.3)},
      {"fail lock", said(1.2, pick({"", "", "", "", "1", "2", "3", "always", "off", "off"}), 0.02)},
      {"fail device-input", said(0.15, {}, 0.02)},
      {"fail add-input", standingFault(0.5)},
      {"fail add-photo-output", standingFault(0.25)},
      {"fail add-video-output", standingFault(0.25)},
      {"fail torch", said(0.5)},
      {"fail photo-connection", standingFault(0.4)},
      {"fail photo", said(1.4, choiceOf("fail photo"))},
      {"delegate", {0.15, [](SeedRun& s) { return s.delegateTakesPhotos() ? 2.0 : 6.0; },
                    [](SeedRun& s, const std::string& name) { s.say(name, delegateWords(s)); }}},
      {"create", create(21)},
      {"create-at", create(9, pick({"0 0", "10 20", "20 64", "37.5 0"}))},
      {"set", said(6, property)},
      {"attach", {0, [](SeedRun& s) { return s.attached() ? 0.04 : 19; },
                  [](SeedRun& s, const std::string& name) { s.risky = s.attached(); s.say(name); }}},
      {"appear", appearance(A::disappeared, 7)},
      {"appear-begin", appearance(A::disappeared, 3)},
      {"appear-end", appearance(A::appearing, 8)},
      {"disappear", appearance(A::shown, 1.75)},
      {"disappear-begin", appearance(A::shown, 0.75)},
      {"disappear-end", appearance(A::disappearing, 8)},
      {"layout", said(1.4)},
      {"move-view", said(1.2, [](SeedRun& s) {
         const CGRect screen = UIScreen::main().bounds();
         return s.random.chance(0.3) ? "0 0 " + num(screen.size.width) + " " + num(screen.size.height)
                                     : number(s, 0, 50) + " " + number(s, 0, 120) + " " +
                                           number(s, 80, screen.size.width) + " " + number(s, 80, screen.size.height);
       })},
      {"hide", said(1.4, [](SeedRun& s) {
         const bool preview = s.random.chance(0.5);  // the preview view may not be made yet
         s.risky = preview && !(s.camera() && s.camera()->viewIfLoaded());
         return std::string(preview ? "preview " : "view ") + formatBool(s.random.chance(0.25));  // mostly shown again
       })},
      {"release", {0, [](SeedRun&) { return 0.3; }, [](SeedRun& s, const std::string&) { s.releaseAndDrain(); }}},
      {"call capturePhoto", said(6.5)},
      {"call capturePhotoAnimation", said(0.8)},
      {"call startSession", said(1.5)},
      {"call stopSession", said(1)},
      {"call zoomWithScale", said(1.5, [](SeedRun& s) {
         return (s.random.chance(0.1) ? number(s, -5, 100) : number(s, 0.5, 6)) +
                (s.random.chance(0.5) ? " " + flag(s) : "");
       })},
      {"call zoomWithLevel", said(1.3, [](SeedRun& s) { return number(s, -0.3, 1.3); })},
      {"call focusAtPoint", said(1.3, [](SeedRun& s) { return pointIn(s, 20) + " " + flag(s); })},
      {"call focusWithAnimated", said(0.8, flag)},
      {"call focusCenterWithAnimated", said(0.8, flag)},
      {"call setFocusPoint", said(0.8, [](SeedRun& s) { return pointIn(s, 20); })},
      {"call setFocusImage", said(0.3)},
      {"call setExposureTargetBias", said(0.8, [](SeedRun& s) { return number(s, -10, 10); })},
      {"call toggleTorch", said(1.3, pick({"true", "true", "true", "false", "false"}))},
      {"call toggleFlash", said(1, pick({"0", "1", "2"}))},
      {"call toggleCameraPosition", said(1, flag)},
      {"call setVideoOutputSettingFormatType", said(0.5, pick({"875704438", "875704422", "1111970369", "42"}))},
      {"call isAuthorized", said(0.3)},
      {"call isAuthorizedWithBlock", said(0.3)},
      {"call promptToAppSettings", said(0.25)},
      // A tap outside the controller's view, on a hidden view or under an alert reaches nothing.
      {"tap", {0, [](SeedRun& s) { return s.attached() ? 6 : 0.5; },
               [](SeedRun& s, const std::string& name) {
                 s.risky = true;
                 s.say(name, pointIn(s, s.random.chance(0.15) ? 200 : 0));
               }}},
      // A pinch step in any state (each sets it and sends the action), mostly a change.
      {"pinch", {0, [](SeedRun& s) { return s.attached() ? 8 : 0.5; }, [](SeedRun& s, const std::string& name) {
                   s.risky = true;  // at a point where nothing receives it
                   s.say(name, s.random.pick<std::string>({"began", "began", "changed", "changed", "changed", "ended",
                                                           "cancelled", "failed"}) +
                                   " " + number(s, 0.3, 3) + (s.random.chance(0.5) ? " " + pointIn(s, 20) : ""));
                 }}},
      {"answer", said(8, pick({"grant", "grant", "deny"}))},
      {"alert", said(6, choiceOf("alert"))},
      {"accel", said(5.5, [](SeedRun& s) {  // mostly held upright and still, with a little sensor noise
         const double spread = s.random.chance(0.6) ? 0.01 : 2;
         return number(s, -spread, spread) + " " + number(s, -1 - spread, spread - 1) + " " +
                number(s, -spread, spread);
       })},
      {"accel-error", said(0.5)},
      {"notify runtime-error", said(1.7, pick({"", "code=-11819", "code=7", "domain=NSOSStatusErrorDomain",
                                               "code=-11800 domain=AVFoundationErrorDomain", "no-error", "no-userinfo",
                                               "value=broken"}))},
      {"notify interrupted", said(1.2, pick({"", "reason=1", "reason=3", "reason=2.5", "reason=-4", "reason=audio"}))},
      {"notify interruption-ended", said(0.3)},
      {"notify became-active", said(0.4)},
      {"notify will-resign-active", said(0.4)},
      // Without a name the line means the current camera, which may not exist yet.
      {"device", said(3, [](SeedRun& s) {
         const bool named = !s.cameraNames.empty() && s.random.chance(0.5);
         s.risky = !named;
         return (named ? s.random.pick(s.cameraNames) + " " : "") +
                (s.random.chance(0.5) ? "iso " + std::to_string(25 + s.random.below(3200))
                                      : "adjusting-focus " + flag(s));
       })},
      {"advance", said(16, pick({"0", "0.01", "0.02", "0.05", "0.05", "0.1", "0.1", "0.1", "0.2", "0.25", "0.3", "0.3",
                                 "0.5", "0.5", "1", "1", "1.5", "2", "3", "5"}))},
      {"print", said(2, choiceOf("print"))},
  };
  return all;
}

TEST(RandomScenarioTest, TheGeneratorsSpeakTheWholeLanguage) {
  for (const kivocam::Command* command : kivocam::allCommands())
    EXPECT_TRUE(generators().contains(command->name)) << "no generator for kivocam's `" << command->name << "`";
  for (const kivocam::CameraOption& option : kivocam::cameraOptions())
    EXPECT_TRUE(option.usage.starts_with('+') || cameraOptionValues().contains(option.name)) << option.name;
}

TEST(RandomScenarioTest, InvariantsHoldInSeededWorlds) {
  const auto plan = planFromEnvironment();
  Totals totals;
  CrashReportScope crashReports;
  const auto start = std::chrono::steady_clock::now();
  int failures = 0;
  for (const auto& [seed, lines] : plan) {
    SeedRun run(seed, lines, totals);
    // A broken invariant usually breaks in many seeds; a few reports say enough.
    if (auto report = run.run(); report && (ADD_FAILURE() << *report, ++failures == 3)) break;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("RandomScenarioTest: %zu lines (%zu refused) in %.1f s; %zu photos, %zu without data, %zu undelivered\n",
              totals.lines, totals.refused, seconds, totals.photosWithBytes, totals.photosWithoutData,
              totals.capturesNotDelivered);
  // The generators must keep reaching what the checks look at, and every command.
  if (failures > 0 || totals.lines < 20'000 || plan.size() < 20) return;
  for (const std::size_t reached : {totals.photosWithBytes, totals.photosWithoutData, totals.capturesNotDelivered,
                                    totals.frames, totals.deallocs, totals.failedSetups})
    EXPECT_GT(reached, 0u);
  EXPECT_LT(totals.refused * 5, totals.lines) << "the runner refused more than a fifth of the lines";
  for (const kivocam::Command* command : kivocam::allCommands())
    EXPECT_GT(totals.accepted[std::string(command->name)], 0u) << "no accepted `" << command->name << "` line";
}

TEST(RandomScenarioTest, ASeedGivesTheSameTraceEveryTime) {
  Totals totals;
  CrashReportScope crashReports;
  const auto digestOf = [&](std::uint64_t seed) {  // one world at a time
    SeedRun run(seed, 300, totals);
    if (auto report = run.run()) ADD_FAILURE() << *report;
    return run.traceDigest();
  };
  const auto first = digestOf(7);
  EXPECT_EQ(first, digestOf(7)) << "seed 7 gave two different traces";
  EXPECT_NE(first, digestOf(8)) << "seeds 7 and 8 gave the same trace";
}

// A crash cannot be reported by the test itself: the handler writes the scenario so far.
TEST(RandomScenarioDeathTest, ACrashWritesTheScenarioSoFar) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string header = "died in seed 4\n", scenario = "create\nattach\ncall capturePhoto\n";
  const auto crash = [&] {
    CrashReportScope crashReports;
    gCrash = {&header, &scenario};
    std::abort();
  };
  EXPECT_DEATH(crash(), "died in seed 4.create.attach.call capturePhoto");
}

// The checker on made-up traces, where it could otherwise pass silently: the forms
// must refuse what the component never writes, and each capture lead to one delivery.

using Steps = std::vector<std::pair<std::string, std::vector<std::string>>>;  // lines and their trace after the echo

std::vector<std::string> check(const Steps& steps, bool setupFailed = false) {
  TraceChecker checker;
  double now = 1000;
  for (auto [line, trace] : steps) {
    if (line.starts_with("advance ")) now += std::stod(line.substr(8));
    trace.insert(trace.begin(), "> " + line);
    checker.step(kivocam::splitWords(line), false, trace, now);
    if (setupFailed) checker.setupFailed();
  }
  return checker.violations();
}

TEST(RandomScenarioCheckerTest, RejectsWhatTheComponentNeverWrites) {
  const LinePattern pattern(R"~(x <int> <num> <bool> <a|a.b>c <ints> "<quoted>" <word> <time>)~");
  EXPECT_TRUE(pattern.matches(R"~(x -3 2.5e-07 true a.bc 1,-2,3 "" back-wide 0.3)~"));
  EXPECT_TRUE(pattern.matches(R"~(x 0 -1 false ac NULL "no quote" w 12)~"));
  for (const std::string bad : {R"~(x 1.5 1 true ac 1 "" w 1)~", R"~(x 1 1 yes ac 1 "" w 1)~",
                                R"~(x 1 1 true axc 1 "" w 1)~", R"~(x 1 1 true ac 1, "" w 1)~",
                                R"~(x 1 1 true ac 1 "" w -1)~", R"~(x 1 1 true ac 1 "" w 1 z)~"})
    EXPECT_FALSE(pattern.matches(bad)) << bad;
  for (const std::string line : {R"~("[KivoCamera](zoom) Zoom failed")~", "platform session startRunning @main",
                                 R"~(event kivo_camera {"code":"10010"} @com.kivocamera.session.queue)~",
                                 "something else", "dealloc KivoCamera"})
    EXPECT_EQ(check({{"create", {line}}}).size(), 1u) << line;
  const std::string start = "platform session startRunning @com.kivocamera.session.queue";
  EXPECT_EQ(check({{"create", {}}, {"call startSession", {start}}}, true).size(), 1u) << "a start after a failed setup";
}

TEST(RandomScenarioCheckerTest, FollowsEachCaptureToItsOneDelivery) {
  const std::string input = "platform session addInput: back-wide @com.kivocamera.session.queue";
  const std::string start = "platform session startRunning @com.kivocamera.session.queue";
  const std::string capture = "platform photo-output capturePhotoWithSettings:delegate: id=1 flash=0 highres=false "
                              "@com.kivocamera.session.queue";
  const std::string second = std::regex_replace(capture, std::regex("id=1"), "id=2");
  const std::string end = R"~(event kivo_camera {"integer1":1,"integer2":0,"mode":"AVCaptureSessionPresetPhoto",)~"
                          R"~("step":"capture","time":0.3} @main)~";
  const std::string bytes = "delegate camera:didCapturePhoto: 5120 bytes @main";
  EXPECT_TRUE(check({{"create", {input, start, capture}}, {"advance 0.3", {end, bytes}}}).empty());
  for (const Steps& steps : std::vector<Steps>{
           {{"create", {input, start, capture}}, {"call capturePhoto", {second}}},  // a second while one is in progress
           {{"create", {input, start, capture}}, {"advance 0.3", {end}}},           // no delivery
           {{"create", {input, start}}, {"fail photo no-data", {}}, {"call capturePhoto", {capture}},
            {"advance 0.3", {end, bytes}}},                                                     // bytes for no data
           {{"create", {input, capture}}, {"advance 0.3", {end, bytes}}},  // bytes while the session is stopped
           {{"create", {input, start, capture}}, {"delegate camera:didTapEndPoint:", {}}, {"advance 0.3", {end, bytes}}},
           {{"create", {"delegate camera:didCapturePhoto: nil @main"}}},   // with no capture behind it
           {{"create", {input, start, capture}}, {"advance 1", {}}}})              // past its timetable
    EXPECT_FALSE(check(steps).empty()) << steps.back().first;
}

}  // namespace
