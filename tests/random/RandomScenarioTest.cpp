// Randomized simulation: seeded worlds driven by random kivocam lines, with
// the component's invariants checked after every line.
//
// Each seed builds a world (cameras with random options, permission, memory,
// accelerometer, platform version, screen, idle timer) and then runs a random
// sequence of scenario lines through the in-process runner: host calls,
// property changes, delegate variants, appearance (whole and split), layout,
// view moves and hiding, taps and pinch sequences, accelerometer readings and
// errors, notifications, device changes, faults, time steps, and now and then
// a release followed by a new controller. The generator speaks the runner's
// own language, so a failing seed prints a scenario that `kivocam run`
// replays line for line (a line the runner refused is kept as a comment).
//
// After every line, the trace of that line and the state of the controller
// and of the simulation are checked:
//   - every log line, analytics event and delegate callback has a form the
//     component writes, on the queue that writes it, and a callback goes only
//     to a delegate that is there and responds to it;
//   - at most one capture is in progress: the photo output is never handed a
//     capture while the previous one has not ended, the controller's table
//     holds at most one entry (and one while a capture has not ended), and the
//     output's captures in flight are exactly the unended ones plus the ones it
//     never finishes;
//   - every capture handed to the photo output ends in exactly one
//     camera:didCapturePhoto: (with bytes or nil, as the capture's fault and
//     connection decide) when the delegate responds to it and in none
//     otherwise, within the output's timetable or, for a capture the output
//     never finishes, within the runner's end-of-run drain;
//   - once the setup has failed the session is never started, the result
//     never returns to success, and the session does not run -- unless the
//     host started it before the setup had settled the permission (a start
//     on a controller whose view had not loaded), which a failing setup does
//     not stop;
//   - the idle timer is disabled while the controller is shown and restored
//     to the value it had at the appearance when it disappears;
//   - the controller is never destroyed while the host holds it, and after a
//     release and a drain it, its motion manager, its orientation estimator
//     and every capture processor are gone and nothing is left queued.
//
// A crash (an assertion, a fatal error, a sanitizer report) ends the process
// before a test can report; the seed's scenario so far is then written to
// standard error. Smaller tests check that a seed's trace is the same on every
// run and that the checker catches each kind of broken line it looks for.
//
// Size: KIVO_RANDOM_STEPS lines in all (default 100,000; 50,000 under the
// sanitizers), 1,000 per seed, seeds 1, 2, ...; KIVO_RANDOM_SEED=N runs seed
// N alone (KIVO_RANDOM_STEPS lines of it, 1,000 by default). A seed's lines do
// not depend on how many it runs, so a failing seed reproduces alone.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "AVFoundation/AVCaptureSession.h"
#include "AVFoundation/AVCaptureTypes.h"
#include "Foundation/TraceFormat.h"
#include "KivoCamera.h"
#include "KivoCameraEnum.h"
#include "KivoMotionManager.h"
#include "KivoOrientation.h"
#include "KivoPhotoCapture.h"
#include "Runner.h"
#include "Scenario.h"
#include "UIKit/UIApplication.h"
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
using kivocam::RunnerOptions;
using kivocam::ScenarioError;

// --- Size of the run ------------------------------------------------------------------

constexpr std::size_t kStepsPerSeed = 1000;
#ifdef KIVO_RANDOM_SANITIZED
constexpr std::size_t kDefaultTotalSteps = 50'000;
#else
constexpr std::size_t kDefaultTotalSteps = 100'000;
#endif

// The longest `advance` a generated line asks for; the runner refuses longer
// ones, so no line can take forever.
constexpr double kMaxAdvanceSeconds = 5;
// A capture the photo output never finishes must be ended by the component
// within the time kivocam's end of run lets queued work finish; otherwise its
// callback would fall outside every trace.
constexpr double kUnfinishedCaptureBoundSeconds = 15;
// `advance 5` lines after a release until nothing is queued: the drain of
// kivocam's end of run and one more.
constexpr int kDrainLines = 4;

struct RunPlan {
  std::vector<std::pair<std::uint64_t, std::size_t>> seeds;  // seed, lines
  std::size_t totalSteps = 0;
};

std::optional<std::uint64_t> environmentNumber(const char* name) {
  const char* text = std::getenv(name);
  if (!text || !*text) return std::nullopt;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*end != '\0') {
    ADD_FAILURE() << name << " must be a whole number, not \"" << text << "\"";
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

RunPlan planFromEnvironment() {
  RunPlan plan;
  const auto steps = environmentNumber("KIVO_RANDOM_STEPS");
  if (const auto seed = environmentNumber("KIVO_RANDOM_SEED")) {
    const std::size_t lines = steps && *steps > 0 ? static_cast<std::size_t>(*steps) : kStepsPerSeed;
    plan.seeds.emplace_back(*seed, lines);
    plan.totalSteps = lines;
    return plan;
  }
  plan.totalSteps = steps && *steps > 0 ? static_cast<std::size_t>(*steps) : kDefaultTotalSteps;
  std::size_t left = plan.totalSteps;
  for (std::uint64_t seed = 1; left > 0; ++seed) {
    const std::size_t lines = std::min(left, kStepsPerSeed);
    plan.seeds.emplace_back(seed, lines);
    left -= lines;
  }
  return plan;
}

// --- Random source -------------------------------------------------------------------

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
  /// An index drawn with the given weights (all zero: the first).
  template <std::size_t N>
  std::size_t weighted(const std::array<double, N>& weights) {
    double total = 0;
    for (const double w : weights) total += w;
    double x = uniform() * total;
    for (std::size_t i = 0; i < N; ++i) {
      if (x < weights[i]) return i;
      x -= weights[i];
    }
    return 0;
  }

 private:
  std::mt19937_64 engine_;
};

/// A number as a scenario word, rounded to hundredths so lines stay short.
std::string num(double value) { return formatNumber(std::round(value * 100) / 100); }

// --- Line forms ------------------------------------------------------------------------

// The shape of a trace line: literal text with slots. A slot is `<NAME>` for
// a kind of value or `<A|B|...>` for one of the listed texts:
//   <int>     an integer            <uint>    a whole number
//   <num>     a decimal number (fraction and exponent allowed)
//   <anynum>  a number, nan, inf or -inf
//   <time>    a decimal number, not negative
//   <bool>    true or false         <word>    a run of non-blank characters
//   <quoted>  a run of characters without quotes and backslashes (maybe empty)
//   <ints>    NULL, or integers separated by commas
// Values are read greedily; the alternatives are tried one after another.
class LinePattern {
 public:
  explicit LinePattern(std::string_view text) {
    while (!text.empty()) {
      const std::size_t open = text.find('<');
      if (open != 0) {
        tokens_.push_back({Kind::literal, {std::string(text.substr(0, open))}});
        if (open == std::string_view::npos) break;
        text.remove_prefix(open);
      }
      const std::size_t close = text.find('>');
      if (close == std::string_view::npos) throw std::invalid_argument("unclosed slot in " + std::string(text));
      const std::string_view slot = text.substr(1, close - 1);
      text.remove_prefix(close + 1);
      if (slot.find('|') != std::string_view::npos) {
        Token token{Kind::oneOf, {}};
        std::size_t start = 0;
        while (true) {
          const std::size_t bar = slot.find('|', start);
          token.texts.emplace_back(slot.substr(start, bar == std::string_view::npos ? bar : bar - start));
          if (bar == std::string_view::npos) break;
          start = bar + 1;
        }
        tokens_.push_back(std::move(token));
      } else {
        tokens_.push_back({kindOf(slot), {}});
      }
    }
    if (!tokens_.empty() && tokens_.front().kind == Kind::literal) prefix_ = tokens_.front().texts.front();
  }

  /// The literal text the line starts with.
  const std::string& prefix() const { return prefix_; }
  bool matches(std::string_view line) const { return matchFrom(0, line); }

 private:
  enum class Kind { literal, oneOf, integer, whole, number, anyNumber, time, boolean, word, quoted, integers };
  struct Token {
    Kind kind;
    std::vector<std::string> texts;
  };

  static Kind kindOf(std::string_view name) {
    static const std::map<std::string_view, Kind> kinds{
        {"int", Kind::integer},      {"uint", Kind::whole},    {"num", Kind::number},
        {"anynum", Kind::anyNumber}, {"time", Kind::time},     {"bool", Kind::boolean},
        {"word", Kind::word},        {"quoted", Kind::quoted}, {"ints", Kind::integers}};
    const auto found = kinds.find(name);
    if (found == kinds.end()) throw std::invalid_argument("unknown slot <" + std::string(name) + ">");
    return found->second;
  }

  static std::size_t digits(std::string_view text, std::size_t at) {
    std::size_t end = at;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    return end;
  }
  /// The end of the longest `-?D+(.D+)?(e[-+]D+)?` at the start, or 0.
  static std::size_t numberLength(std::string_view text, bool sign, bool fraction) {
    std::size_t at = sign && !text.empty() && text[0] == '-' ? 1 : 0;
    const std::size_t whole = digits(text, at);
    if (whole == at) return 0;
    at = whole;
    if (!fraction) return at;
    if (at + 1 < text.size() && text[at] == '.' && digits(text, at + 1) > at + 1) at = digits(text, at + 1);
    if (at + 2 < text.size() && text[at] == 'e' && (text[at + 1] == '-' || text[at + 1] == '+') &&
        digits(text, at + 2) > at + 2)
      at = digits(text, at + 2);
    return at;
  }
  /// How much of `text` the slot takes (greedily), or none.
  static std::optional<std::size_t> take(Kind kind, std::string_view text) {
    std::size_t length = 0;
    switch (kind) {
      case Kind::integer:
        length = numberLength(text, true, false);
        break;
      case Kind::whole:
        length = numberLength(text, false, false);
        break;
      case Kind::number:
        length = numberLength(text, true, true);
        break;
      case Kind::time:
        length = numberLength(text, false, true);
        break;
      case Kind::anyNumber:
        for (const std::string_view special : {"-inf", "inf", "nan"})
          if (text.starts_with(special)) return special.size();
        length = numberLength(text, true, true);
        break;
      case Kind::boolean:
        if (text.starts_with("true")) return 4;
        if (text.starts_with("false")) return 5;
        return std::nullopt;
      case Kind::word:
        while (length < text.size() && text[length] != ' ') ++length;
        break;
      case Kind::quoted:
        while (length < text.size() && text[length] != '"' && text[length] != '\\') ++length;
        return length;
      case Kind::integers:
        if (text.starts_with("NULL")) return 4;
        while (true) {
          const std::size_t item = numberLength(text.substr(length), true, false);
          if (item == 0) return std::nullopt;
          length += item;
          if (length + 1 >= text.size() || text[length] != ',') break;
          ++length;
        }
        break;
      case Kind::literal:
      case Kind::oneOf:
        return std::nullopt;
    }
    if (length == 0) return std::nullopt;
    return length;
  }

  bool matchFrom(std::size_t index, std::string_view rest) const {
    if (index == tokens_.size()) return rest.empty();
    const Token& token = tokens_[index];
    if (token.kind == Kind::literal) {
      return rest.starts_with(token.texts.front()) && matchFrom(index + 1, rest.substr(token.texts.front().size()));
    }
    if (token.kind == Kind::oneOf) {
      for (const auto& text : token.texts)
        if (rest.starts_with(text) && matchFrom(index + 1, rest.substr(text.size()))) return true;
      return false;
    }
    const auto length = take(token.kind, rest);
    return length && matchFrom(index + 1, rest.substr(*length));
  }

  std::vector<Token> tokens_;
  std::string prefix_;
};

bool matchesAny(const std::vector<LinePattern>& forms, std::string_view line) {
  for (const auto& form : forms)
    if (line.starts_with(form.prefix()) && form.matches(line)) return true;
  return false;
}

std::string oneOf(const std::vector<std::string>& texts) {
  std::string slot = "<";
  for (const auto& text : texts) {
    if (slot.size() > 1) slot += "|";
    slot += text;
  }
  return slot + ">";
}

// The platform's printed error (domain, code, text) inside a log line, whose
// debug form escapes the quotes.
const std::string kError = R"~(Error Domain=<word> Code=<int> \"<quoted>\")~";

// Every log line the component writes, in the trace's debug form (quoted, with
// quotes, apostrophes and backslashes escaped).
const std::vector<LinePattern>& logForms() {
  static const std::vector<LinePattern> forms{
      LinePattern(R"~("[KivoCamera] )~" +
                  oneOf({std::string(AVCaptureDeviceTypeBuiltInWideAngleCamera),
                         std::string(AVCaptureDeviceTypeBuiltInDualCamera),
                         std::string(AVCaptureDeviceTypeBuiltInDualWideCamera),
                         std::string(AVCaptureDeviceTypeBuiltInTripleCamera), "nil"}) +
                  R"~( minimumFocusDistance: <uint>")~"),
      LinePattern(R"~("[KivoCamera](videoDevice) Default video device is unavailable.")~"),
      LinePattern(R"~("[KivoCamera](lockingConfiguration) Error locking configuration.")~"),
      LinePattern(R"~("[KivoCamera](videoDeviceInput) Couldn\'t create video device input: )~" + kError + "\""),
      LinePattern(R"~("[KivoCamera](addVideoDeviceInput) Couldn\'t add video device input to the session.")~"),
      LinePattern(R"~("[KivoCamera](addPhotoOutput) Could not add photo output to the session.")~"),
      LinePattern(R"~("[KivoCamera](configFailed)")~"),
      LinePattern(R"~("[KivoCamera](focus) Error Focus")~"),
      LinePattern(R"~("[KivoCamera](zoom) Error Zoom")~"),
      LinePattern(R"~("[KivoCamera](exposureLocking) )~" + kError + "\""),
      LinePattern(R"~("[KivoCamera](torchLocking) )~" + kError + "\""),
      LinePattern(R"~("[KivoCamera](torch) )~" + kError + "\""),
      LinePattern(R"~("[KivoCamera](sessionRuntimeError) Capture session runtime error: )~" + kError + "\""),
      LinePattern(R"~("[KivoCamera](sessionWasInterrupted) Capture session was interrupted with reason <int>")~"),
      LinePattern(R"~("[KivoCamera](sessionInterruptionEnded) Capture session interruption ended")~"),
      LinePattern(R"~("[KivoCamera](photoOutput) Error capturing photo: )~" + kError + "\""),
      LinePattern(R"~("[KivoCamera](photoOutput) Error capturing photo: the capture did not finish")~"),
      LinePattern(R"~("No photo data resource")~"),
  };
  return forms;
}

std::string presetSlot() {
  std::vector<std::string> presets(AVCaptureSessionPresetsAll.begin(), AVCaptureSessionPresetsAll.end());
  presets.emplace_back(AVCaptureSessionPresetInputPriority);
  return oneOf(presets);
}

// Every analytics event the component sends, with the queue that sends it.
const std::vector<LinePattern>& eventForms() {
  static const std::vector<LinePattern> forms{
      // The permission outcome: at load, or when the user answers.
      LinePattern(R"~(event kivo_camera {"status":"<0|1>"} @<main|com.kivocamera.platform.permission>)~"),
      // Setup failures, from the setup or a camera switch.
      LinePattern(R"~(event kivo_camera {"code":"<10001|10002|10003|10004|10006>"} @com.kivocamera.session.queue)~"),
      LinePattern(R"~(event kivo_camera {"code":"10000"} @main)~"),
      // Focus, torch, zoom and exposure failures, on the caller's (main) thread.
      LinePattern(R"~(event kivo_camera {"code":"<10007|10008|10009|10010|10011>"} @main)~"),
      // The preview check after a start or at a capture request.
      LinePattern(R"~(event kivo_camera {"code":"<10012|10013|10014|10015>","step":"<capture|startSession>"} @main)~"),
      // Session notifications, on the posting queue.
      LinePattern(R"~(event kivo_camera {"code":"<20000|20001>","content":"<int>"} @com.kivocamera.platform.session)~"),
      LinePattern(R"~(event kivo_camera {"code":"20002"} @com.kivocamera.platform.session)~"),
      LinePattern(R"~(event kivo_camera {"code":"30000","content":"{\"ActiveColorSpace\":\"<int>\",)~"
                  R"~(\"SupportedColorSpaces\":\"<ints>\"}"} @com.kivocamera.session.queue)~"),
      // Timings.
      LinePattern(R"~(event kivo_camera {"mode":")~" + presetSlot() +
                  R"~(","step":"launch","time":<time>} @com.kivocamera.session.queue)~"),
      LinePattern(R"~(event kivo_camera {"integer1":<0|1|2>,"integer2":<0|1|2>,"mode":")~" + presetSlot() +
                  R"~(","step":"capture","time":<time>} @main)~"),
  };
  return forms;
}

constexpr std::string_view kCaptureEventPrefix = R"~(event kivo_camera {"integer1":)~";
constexpr std::string_view kPermissionEventPrefix = R"~(event kivo_camera {"status":)~";
constexpr std::string_view kPhotoSelector = "camera:didCapturePhoto:";
constexpr std::string_view kMain = "main";
constexpr std::string_view kSessionQueue = "com.kivocamera.session.queue";

// Every delegate callback with its arguments and queue.
const std::vector<LinePattern>& delegateForms() {
  static const std::vector<LinePattern> forms = [] {
    std::vector<std::string> names;
    for (const char* position : {"back", "front"})
      for (const char* type : {"wide", "dual", "dual-wide", "triple"})
        names.push_back(std::string(position) + "-" + type);
    const std::string camera = oneOf(names);
    const std::string cameraQueue = " @com.kivocamera.platform.camera." + camera;
    return std::vector<LinePattern>{
        LinePattern("delegate camera:didCapturePhoto: <uint> bytes @main"),
        LinePattern("delegate camera:didCapturePhoto: nil @main"),
        LinePattern("delegate camera:didChangeFlashMode: <0|1|2> @main"),
        LinePattern("delegate camera:didChangeTorch: <bool> @main"),
        LinePattern("delegate camera:didToggleCameraPosition: <bool> @main"),
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

std::vector<std::string> splitOnBlanks(std::string_view text) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ') ++i;
    if (i > start) words.emplace_back(text.substr(start, i - start));
  }
  return words;
}

// --- Coverage of a run ------------------------------------------------------------------

struct Totals {
  std::size_t lines = 0;
  std::size_t refused = 0;
  std::map<std::string, std::size_t> commands;  // accepted lines by first word (and call operation)
  std::size_t capturesHanded = 0;
  std::size_t photosWithBytes = 0;
  std::size_t photosWithoutData = 0;
  std::size_t capturesNotDelivered = 0;  // ended with no delegate to receive them
  std::size_t frames = 0;
  std::size_t deallocs = 0;
  std::size_t failedSetups = 0;
  std::size_t logLines = 0;
  std::size_t events = 0;
};

// --- The trace checker --------------------------------------------------------------------

// Follows a run's trace, step by step, with a model of what the host set up
// (delegates, faults) and what the component did (session inputs, captures),
// and records every line that breaks an invariant. Fed only the scenario
// lines and their trace, so it can also be fed a made-up trace.
class TraceChecker {
 public:
  struct Capture {
    std::int64_t id = 0;
    std::string fault;  // the `fail photo` mode it met, or empty
    bool expectData = false;
    double handedAt = 0;
  };

  explicit TraceChecker(Totals* totals = nullptr) : totals_(totals) {}

  /// One scenario line and the trace lines it produced (its echo first).
  void step(const std::vector<std::string>& words, bool refused, const std::vector<std::string>& trace, double now) {
    now_ = now;
    const std::string echo = "> " + kivocam::joinWords(words);
    if (trace.empty() || trace.front() != echo) {
      violation("the step's trace does not start with its echo \"" + echo + "\"");
    }
    if (!refused) followLine(words);
    for (std::size_t i = 1; i < trace.size(); ++i) line(trace[i], words);
    if (delivery_) {
      violation("capture id=" + std::to_string(delivery_->id) +
                " ended (its capture timing event) without camera:didCapturePhoto: right after it, though the "
                "delegate responds to it");
      delivery_.reset();
    }
    for (const auto& capture : captures_) {
      const double bound =
          capture.fault == "never-finishes" ? kUnfinishedCaptureBoundSeconds : sim::PhotoTimetable{}.finished;
      if (now - capture.handedAt > bound + 1e-6) {
        violation("capture id=" + std::to_string(capture.id) +
                  (capture.fault.empty() ? "" : " (" + capture.fault + ")") + " has not ended " +
                  formatNumber(now - capture.handedAt) + " s after it was handed to the output");
      }
    }
  }

  /// The driver saw the controller's setup result leave success.
  void setupFailed() { setupFailed_ = true; }

  const std::vector<std::string>& violations() const { return violations_; }
  /// Captures handed to the photo output that have not ended.
  std::size_t capturesInProgress() const { return captures_.size(); }
  /// The photo output's captures in flight as the model sees them: the
  /// unended ones plus every capture it was told never to finish.
  std::size_t expectedCapturesInFlight() const {
    std::size_t count = neverFinishing_;
    for (const auto& capture : captures_)
      if (capture.fault != "never-finishes") ++count;
    return count;
  }
  bool controllerAlive() const { return controllerAlive_; }
  bool holdsController() const { return holdsController_; }
  bool destroyedSinceRelease() const { return destroyedSinceRelease_; }
  bool delegateTakesPhotos() const { return responds(kPhotoSelector); }
  /// The host started the session before the setup had settled the
  /// permission (a start on a controller whose view had not loaded: the
  /// preview check after the start loads it). A setup that then fails does
  /// not stop that session, and nothing stops it afterwards: stops are
  /// ignored once the setup has failed.
  bool startedBeforeSetup() const { return startedBeforeSetup_; }

 private:
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
    if (command == "delegate") {
      if (words[1] == "release") {
        hostDelegate_.reset();  // the controller's weak reference now finds nothing
        return;
      }
      if (words[1] == "none") {
        hostDelegate_.reset();
        if (holdsController_) controllerDelegate_.reset();
        return;
      }
      DelegateObject object{nextDelegateId_++, std::nullopt};
      if (words[1] != "all") object.selectors.emplace(words.begin() + 1, words.end());
      hostDelegate_ = object;
      if (holdsController_) controllerDelegate_ = object.id;
    } else if (command == "create" || command == "create-at") {
      if (controllerAlive_) violation("a new controller was made while the previous one is still alive");
      holdsController_ = controllerAlive_ = true;
      destroyedSinceRelease_ = false;
      controllerDelegate_ = hostDelegate_ ? std::optional<int>(hostDelegate_->id) : std::nullopt;
      sessionInputs_.clear();
      neverFinishing_ = 0;
      setupFailed_ = false;
      permissionSettled_ = false;
      startedBeforeSetup_ = false;
    } else if (command == "release") {
      holdsController_ = false;
    } else if (command == "fail" && words[1] == "photo") {
      photoFault_ = words[2];
    } else if (command == "fail" && words[1] == "photo-connection") {
      connectionMissing_ = words[2] == "on";
    }
  }

  void line(const std::string& text, const std::vector<std::string>& step) {
    if (delivery_) {
      const auto expected = std::exchange(delivery_, std::nullopt);
      const std::string start = "delegate " + std::string(kPhotoSelector) + " ";
      if (!text.starts_with(start)) {
        violation("capture id=" + std::to_string(expected->id) +
                  " ended without camera:didCapturePhoto: right after its timing event; next came: " + text);
      } else {
        const bool bytes = !text.starts_with(start + "nil");
        if (bytes != expected->expectData) {
          violation("capture id=" + std::to_string(expected->id) +
                    (expected->fault.empty() ? "" : " (" + expected->fault + ")") +
                    (expected->expectData ? " should have delivered its photo's bytes" : " should have delivered nil") +
                    ": " + text);
        }
        if (totals_) ++(bytes ? totals_->photosWithBytes : totals_->photosWithoutData);
        checkDelegateLine(text);
        return;
      }
    }

    if (text.starts_with("> ")) return violation("an echo in the middle of a step: " + text);
    if (text.starts_with("\"")) {
      if (totals_) ++totals_->logLines;
      if (!matchesAny(logForms(), text)) violation("a log line the component does not write: " + text);
      return;
    }
    if (text.starts_with("event ")) {
      if (totals_) ++totals_->events;
      if (!matchesAny(eventForms(), text)) {
        return violation("an analytics event the component does not send (or not on that queue): " + text);
      }
      if (text.starts_with(kCaptureEventPrefix)) captureEnded();
      if (text.starts_with(kPermissionEventPrefix)) permissionSettled_ = true;
      return;
    }
    if (text.starts_with("delegate ")) {
      if (text.starts_with("delegate " + std::string(kPhotoSelector))) {
        return violation("camera:didCapturePhoto: that does not follow a capture's end: " + text);
      }
      if (totals_ && text.starts_with("delegate camera:didOutput:isStill:")) ++totals_->frames;
      return checkDelegateLine(text);
    }
    if (text.starts_with("platform ")) return platformLine(text);
    if (text == "dealloc KivoCamera") {
      if (holdsController_) violation("the controller was destroyed while the host still holds it");
      if (!controllerAlive_) violation("a controller was destroyed twice");
      if (totals_) ++totals_->deallocs;
      controllerAlive_ = false;
      destroyedSinceRelease_ = true;
      controllerDelegate_.reset();
      return;
    }
    if (text == "result isAuthorized true" || text == "result isAuthorized false") {
      if (step.size() < 2 || step[0] != "call" || step[1] != "isAuthorized")
        violation("an isAuthorized result outside `call isAuthorized`: " + text);
      return;
    }
    if (text == "block isAuthorized true @main" || text == "block isAuthorized false @main") return;
    if (step.size() == 2 && step[0] == "print" && text.starts_with(step[1] + " = ")) {
      return inspection(step[1], text.substr(step[1].size() + 3));
    }
    violation("a trace line of no known form: " + text);
  }

  void checkDelegateLine(const std::string& text) {
    if (!matchesAny(delegateForms(), text)) return violation("a delegate callback of no known form or queue: " + text);
    const std::size_t selectorEnd = text.find(' ', 9);
    const std::string_view selector = std::string_view(text).substr(9, selectorEnd - 9);
    if (!responds(selector)) {
      violation("a callback reached a delegate that is gone or does not respond to " + std::string(selector) + ": " +
                text);
    }
  }

  void platformLine(const std::string& text) {
    const auto words = splitOnBlanks(text);
    if (words.size() < 4 || !words.back().starts_with("@")) {
      return violation("a platform call of the wrong form: " + text);
    }
    const std::string& receiver = words[1];
    const std::string& selector = words[2];
    const std::string_view queue = std::string_view(words.back()).substr(1);
    const auto requireQueue = [&](std::string_view wanted) {
      if (queue != wanted)
        violation("a platform call on the wrong queue (wanted " + std::string(wanted) + "): " + text);
    };

    if (receiver == "session") {
      // Every configuration, start and stop of the session runs on its queue.
      requireQueue(kSessionQueue);
      if (selector == "addInput:" && words.size() == 5) {
        sessionInputs_.insert(words[3]);
      } else if (selector == "removeInput:" && words.size() == 5) {
        if (auto found = sessionInputs_.find(words[3]); found != sessionInputs_.end()) sessionInputs_.erase(found);
      } else if (selector == "startRunning") {
        if (setupFailed_) violation("the session was started after the setup had failed: " + text);
        if (!permissionSettled_) startedBeforeSetup_ = true;
      }
    } else if (receiver == "photo-output" && selector == "capturePhotoWithSettings:delegate:") {
      requireQueue(kSessionQueue);
      captureHanded(words);
    } else if (receiver == "photo-output" || receiver == "photo-connection" || receiver == "video-output") {
      requireQueue(kSessionQueue);
    } else if (receiver == "application" || receiver == "KivoCamera") {
      requireQueue(kMain);
    } else if (queue != kMain && queue != kSessionQueue) {
      // A camera's own settings: from the host's calls and gestures, the
      // motion handler (main) or the setup and the switch (session queue).
      violation("a device call off the main thread and the session queue: " + text);
    }
  }

  void captureHanded(const std::vector<std::string>& words) {
    Capture capture;
    if (words.size() < 4 || !words[3].starts_with("id=")) return violation("a capture without its settings' id");
    capture.id = std::strtoll(words[3].c_str() + 3, nullptr, 10);
    if (!captures_.empty()) {
      violation("capture id=" + std::to_string(capture.id) + " was handed to the photo output while capture id=" +
                std::to_string(captures_.front().id) + " is still in progress");
    }
    capture.fault = std::exchange(photoFault_, std::string());
    // The output's connection needs a camera input in the session.
    const bool connected = !connectionMissing_ && !sessionInputs_.empty();
    capture.expectData = connected && capture.fault != "processing-error" && capture.fault != "both-errors" &&
                         capture.fault != "no-data" && capture.fault != "never-finishes";
    capture.handedAt = now_;
    if (capture.fault == "never-finishes") ++neverFinishing_;
    if (totals_) ++totals_->capturesHanded;
    captures_.push_back(std::move(capture));
  }

  void captureEnded() {
    if (captures_.empty()) return violation("a capture timing event with no capture in progress");
    Capture ended = std::move(captures_.front());
    captures_.pop_front();
    if (responds(kPhotoSelector)) {
      delivery_ = std::move(ended);
    } else if (totals_) {
      ++totals_->capturesNotDelivered;
    }
  }

  void inspection(const std::string& path, const std::string& value) {
    if (path == "captures.inProgress" && value != "0" && value != "1" && value != "nil") {
      violation("more than one capture in progress: captures.inProgress = " + value);
    }
    if (path == "session.running" && setupFailed_ && !startedBeforeSetup_ && controllerAlive_ && value == "true") {
      violation("the session runs after the setup failed");
    }
  }

  Totals* totals_;
  double now_ = 0;
  std::vector<std::string> violations_;
  // Host side.
  std::optional<DelegateObject> hostDelegate_ = DelegateObject{1, std::nullopt};  // the runner's default delegate
  int nextDelegateId_ = 2;
  std::optional<int> controllerDelegate_;
  bool holdsController_ = false;
  bool controllerAlive_ = false;
  bool destroyedSinceRelease_ = false;
  std::string photoFault_;
  bool connectionMissing_ = false;
  // Component side.
  std::multiset<std::string> sessionInputs_;
  bool setupFailed_ = false;
  bool permissionSettled_ = false;   // the setup's permission event came
  bool startedBeforeSetup_ = false;  // the session was started before that
  std::deque<Capture> captures_;
  std::size_t neverFinishing_ = 0;
  std::optional<Capture> delivery_;  // a capture that just ended and whose delivery must come next
};

// --- Crash report ----------------------------------------------------------------------

// A crash (a failed assertion, a fatal error, a sanitizer report) ends the
// process before the test can print anything: the scenario so far is written
// from the crash handler instead. Only the driving thread writes these, and
// only between lines.
struct CrashContext {
  const std::string* header = nullptr;
  const std::string* scenario = nullptr;
};
CrashContext gCrash;

void writeAll(const std::string* text) {
  if (!text) return;
  const char* data = text->data();
  std::size_t size = text->size();
  while (size > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, size);
    if (written <= 0) return;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void writeCrashReport() {
  writeAll(gCrash.header);
  writeAll(gCrash.scenario);
}

void onCrashSignal(int signal) {
  writeCrashReport();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

class CrashReportScope {
 public:
  CrashReportScope() {
#ifdef KIVO_RANDOM_SANITIZED
    // The sanitizers handle faults themselves and call this when they end
    // the process.
    __sanitizer_set_death_callback(&writeCrashReport);
    const std::array<int, 1> signals{SIGABRT};
#else
    const std::array<int, 5> signals{SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};
#endif
    for (const int signal : signals) {
      struct sigaction action {};
      action.sa_handler = &onCrashSignal;
      sigemptyset(&action.sa_mask);
      struct sigaction previous {};
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
  CrashReportScope(const CrashReportScope&) = delete;
  CrashReportScope& operator=(const CrashReportScope&) = delete;

 private:
  std::vector<std::pair<int, struct sigaction>> saved_;
};

// --- One seed ------------------------------------------------------------------------------

struct Violation {
  std::string message;
};

class SeedRun {
 public:
  SeedRun(std::uint64_t seed, std::size_t lines, Totals& totals)
      : seed_(seed),
        lines_(lines),
        random_(seed),
        totals_(totals),
        discard_(nullptr),
        runner_(options(), discard_),
        checker_(&totals) {
    header_ = "\nRandomScenarioTest: the process died in seed " + std::to_string(seed) +
              ". The scenario up to the line that killed it (save it as seed-" + std::to_string(seed) +
              ".kvs and run `kivocam run seed-" + std::to_string(seed) + ".kvs`):\n";
  }
  SeedRun(const SeedRun&) = delete;
  SeedRun& operator=(const SeedRun&) = delete;

  /// Runs the seed: none when every invariant held, else the report.
  std::optional<std::string> run() {
    gCrash.header = &header_;
    gCrash.scenario = &scenario_;
    try {
      processorBaseline_ = KivoPhotoCaptureProcessor::liveCount();
      buildWorld();
      while (linesRun_ < lines_) act();
      if (runner_.camera()) releaseAndDrain();
      require(checker_.capturesInProgress() == 0, "captures were still in progress at the end of the run");
    } catch (const Violation& violation) {
      return report(violation.message);
    } catch (const std::exception& error) {
      return report(std::string("unexpected exception: ") + error.what());
    }
    gCrash = {};
    return std::nullopt;
  }

  /// A digest of every trace line of the run, to compare two runs.
  std::uint64_t traceDigest() const { return digest_; }

 private:
  using Appearance = sim::HostScreen::Appearance;

  static RunnerOptions options() {
    RunnerOptions options;
    options.maxAdvanceSeconds = kMaxAdvanceSeconds;
    options.recordTrace = true;  // taken after every line, so it stays small
    return options;
  }

  sim::World& world() { return runner_.world(); }

  [[noreturn]] void fail(std::string message) { throw Violation{std::move(message)}; }
  void require(bool condition, const std::string& message) {
    if (!condition) fail(message);
  }

  std::string report(const std::string& message) const {
    std::string text = "seed " + std::to_string(seed_) + ", line " + std::to_string(linesRun_) + ": " + message;
    text += "\nRun this seed alone with KIVO_RANDOM_SEED=" + std::to_string(seed_) +
            (lines_ != kStepsPerSeed ? " KIVO_RANDOM_STEPS=" + std::to_string(lines_) : std::string()) + ".";
    text += "\n--- the end of the trace ---\n";
    for (const auto& line : recentTrace_) text += line + "\n";
    text += "--- scenario: save as seed-" + std::to_string(seed_) + ".kvs and run `kivocam run seed-" +
            std::to_string(seed_) + ".kvs` ---\n";
    text += scenario_;
    text += "--- end of scenario ---";
    return text;
  }

  // --- Running one line and checking after it -------------------------------------------

  /// Runs one line; false when the runner refused it, which only a line the
  /// generator marked as possibly refused may be.
  bool runLine(const std::string& line, bool mayBeRefused = false) {
    ++linesRun_;
    ++totals_.lines;
    const auto words = kivocam::splitWords(line);
    const bool embedded = runner_.host().embedded() != nullptr;
    const bool idleBefore = UIApplication::shared().isIdleTimerDisabled();

    bool refused = false;
    std::string why;
    try {
      runner_.run(line);
    } catch (const ScenarioError& error) {
      refused = true;
      why = error.what();
    }
    const auto trace = world().trace().take();
    scenario_ += refused ? "# refused: " + line + "  (" + why + ")\n" : line + "\n";
    for (const auto& traced : trace) {
      for (const char c : traced) digest_ = (digest_ ^ static_cast<unsigned char>(c)) * 1099511628211ull;
      digest_ = (digest_ ^ '\n') * 1099511628211ull;
      recentTrace_.push_back(traced);
      if (recentTrace_.size() > 40) recentTrace_.pop_front();
    }
    if (refused) {
      ++totals_.refused;
      // Queues that never settle are a fault whatever the line.
      if (!mayBeRefused || why.starts_with("the queues never settle"))
        fail("the runner refused the line \"" + line + "\": " + why);
    } else {
      ++totals_.commands[words[0] == "call" ? "call " + words[1] : words[0]];
      // A new controller starts with a successful setup result.
      if (words[0] == "create" || words[0] == "create-at") setupResult_ = SessionSetupResult::success;
    }

    checker_.step(words, refused, trace, world().now());
    if (!checker_.violations().empty()) fail(checker_.violations().front());
    if (!refused) followIdleTimer(words, embedded, idleBefore);
    checkState();
    return !refused;
  }

  // The application's idle timer around the controller's appearances.
  void followIdleTimer(const std::vector<std::string>& words, bool embedded, bool idleBefore) {
    const std::string& command = words[0];
    const bool idleNow = UIApplication::shared().isIdleTimerDisabled();
    if ((command == "appear" || command == "appear-begin") && embedded) {
      appeared_ = true;
      idleAtAppearance_ = idleBefore;
    } else if ((command == "disappear" || command == "disappear-end") && embedded) {
      if (appeared_) {
        require(idleNow == idleAtAppearance_,
                "the idle timer was not restored at the disappearance: app.idleTimerDisabled = " + formatBool(idleNow) +
                    ", it was " + formatBool(idleAtAppearance_) + " before the controller appeared");
        require(baselineDisturbed_ || idleNow == worldIdleTimerDisabled_,
                "after the disappearance app.idleTimerDisabled = " + formatBool(idleNow) +
                    ", not the world's setting " + formatBool(worldIdleTimerDisabled_));
        appeared_ = false;
      } else {
        // A controller that missed its appearance (attached while the screen
        // was shown) gives back a value it never saved.
        baselineDisturbed_ = true;
      }
    } else if (command == "release") {
      // Removed while shown, it never disappears: the timer stays disabled.
      if (appeared_) baselineDisturbed_ = true;
      appeared_ = false;
    }
  }

  void checkState() {
    const auto& camera = runner_.camera();
    if (camera) {
      const std::size_t inProgress = camera->capturesInProgress();
      require(inProgress <= 1, "the controller has " + std::to_string(inProgress) + " captures in progress");
      require(inProgress >= checker_.capturesInProgress(),
              "a capture handed to the photo output has not ended, yet the controller holds no capture in progress");

      const SessionSetupResult result = camera->sessionSetupResult();
      require(!(setupResult_ != SessionSetupResult::success && result == SessionSetupResult::success),
              "the setup result went back to success");
      require(!(setupResult_ == SessionSetupResult::configurationFailed && result == SessionSetupResult::unauthorized),
              "the setup result went from configurationFailed to unauthorized");
      if (result != SessionSetupResult::success) {
        if (setupResult_ == SessionSetupResult::success) ++totals_.failedSetups;
        require(!camera->session()->isRunning() || checker_.startedBeforeSetup(),
                "the session runs although the setup result is not success");
        checker_.setupFailed();
      }
      setupResult_ = result;
    }
    if (checker_.controllerAlive()) {
      const std::size_t inFlight = world().capture().photoCapturesInFlight();
      require(inFlight == checker_.expectedCapturesInFlight(),
              "the photo output has " + std::to_string(inFlight) + " captures in flight, expected " +
                  std::to_string(checker_.expectedCapturesInFlight()) +
                  " (the unended capture, if any, plus those it never finishes)");
    }
    if (appeared_) {
      require(UIApplication::shared().isIdleTimerDisabled(), "the idle timer is enabled while the controller is shown");
    }
  }

  // --- The world ------------------------------------------------------------------------------

  void buildWorld() {
    if (random_.chance(0.3)) runLine("world platform-version " + std::to_string(14 + random_.below(5)));
    if (random_.chance(0.2)) {
      static const std::vector<std::pair<int, int>> screens{{320, 568}, {375, 812}, {414, 896}, {768, 1024}};
      const auto& [w, h] = random_.pick(screens);
      runLine("world screen " + std::to_string(w) + " " + std::to_string(h));
    }
    buildCameras();
    static const std::vector<std::string> permissions{"authorized",     "authorized", "authorized",
                                                      "authorized",     "authorized", "not-determined",
                                                      "not-determined", "denied",     "restricted"};
    if (random_.chance(0.6)) runLine("world permission " + random_.pick(permissions));
    if (random_.chance(0.3)) {
      static const std::vector<std::string> memories{"734003200",  "734003199", "268435456",
                                                     "8589934592", "0",         "unavailable"};
      runLine("world memory " + random_.pick(memories));
    }
    if (random_.chance(0.1)) runLine("world accelerometer off");
    if (random_.chance(0.3)) runLine("world device-orientation " + std::to_string(random_.below(7)));
    if (random_.chance(0.3)) {
      worldIdleTimerDisabled_ = random_.chance(0.6);
      runLine("world idle-timer-disabled " + formatBool(worldIdleTimerDisabled_));
    }
    // Faults in place before the setup runs.
    if (random_.chance(0.12)) {
      static const std::vector<std::string> early{"fail lock",
                                                  "fail device-input",
                                                  "fail add-input on",
                                                  "fail add-photo-output on",
                                                  "fail add-video-output on",
                                                  "fail photo-connection on"};
      const std::string& line = random_.pick(early);
      runLine(line);
      noteFault(line);
    }
    if (random_.chance(0.15)) delegateLine();
  }

  void buildCameras() {
    const double kind = random_.uniform();
    if (kind < 0.2) {
      cameraNames_ = {"back-wide", "front-wide"};  // the default set
      return;
    }
    if (kind < 0.27) {
      runLine("world no-cameras");
      return;
    }
    static const std::vector<std::string> positions{"back", "back", "front"};
    static const std::vector<std::string> types{"wide", "wide", "dual", "dual-wide", "triple"};
    const std::size_t count = 1 + random_.below(4);
    // Mostly with the back wide-angle camera that the setup asks for first.
    const bool backWide = random_.chance(0.75);
    for (std::size_t i = 0; i < count; ++i) {
      const std::string name =
          i == 0 && backWide ? std::string("back-wide") : random_.pick(positions) + "-" + random_.pick(types);
      if (std::find(cameraNames_.begin(), cameraNames_.end(), name) != cameraNames_.end()) continue;
      cameraNames_.push_back(name);
      const std::size_t dash = name.find('-');
      std::string line = "world camera " + name.substr(0, dash) + " " + name.substr(dash + 1);
      for (const auto& option : cameraOptions()) line += " " + option;
      runLine(line);
    }
  }

  std::vector<std::string> cameraOptions() {
    std::vector<std::string> options;
    const auto maybe = [&](double p, std::string option) {
      if (random_.chance(p)) options.push_back(std::move(option));
    };
    maybe(0.15, random_.chance(0.5) ? "+torch" : "-torch");
    maybe(0.15, random_.chance(0.5) ? "+flash" : "-flash");
    maybe(0.1, "-poi");
    maybe(0.08, "-continuous-focus");
    maybe(0.1, "-smooth-focus");
    maybe(0.08, "-continuous-exposure");
    maybe(0.08, "-continuous-wb");
    maybe(0.1, "-low-light-boost");
    maybe(0.1, "min-focus=" + std::to_string(random_.below(400)));
    maybe(0.1, "bias=" + num(-random_.between(0, 8)) + ".." + num(random_.between(0, 8)));
    maybe(0.1, "iso=" + std::to_string(25 + random_.below(3200)));
    if (random_.chance(0.12)) {
      std::string spaces;
      for (int space = 0; space < 3; ++space) {
        if (!random_.chance(0.5)) continue;
        if (!spaces.empty()) spaces += ",";
        spaces += std::to_string(space);
      }
      options.push_back("color-spaces=" + spaces);
    }
    maybe(0.1, "active-color-space=" + std::to_string(random_.below(4)));
    if (random_.chance(0.1)) {
      std::string presets;
      for (const auto preset : AVCaptureSessionPresetsAll) {
        if (!random_.chance(0.4)) continue;
        if (!presets.empty()) presets += ",";
        presets += preset;
      }
      options.push_back("presets=" + presets);
    }
    static const std::vector<std::string> rates{"1", "5", "15", "30", "60"};
    maybe(0.1, "fps=" + random_.pick(rates));
    return options;
  }

  // --- Choosing the next line -------------------------------------------------------------------

  void act() {
    if (!runner_.camera()) return actWithoutController();
    auto& host = runner_.host();
    const bool attached = host.embedded() != nullptr;
    const Appearance appearance = host.appearance();
    const bool requestOpen = world().capture().hasOpenPermissionRequest();
    const bool alertShown = host.presentedAlert() != nullptr;

    enum : std::size_t {
      kAdvance,
      kCall,
      kSet,
      kLifecycle,
      kView,
      kTap,
      kPinch,
      kAccel,
      kNotify,
      kDevice,
      kFault,
      kDelegate,
      kPrint,
      kOrientation,
      kAnswer,
      kAlert,
      kRelease,
      kCount
    };
    std::array<double, kCount> weights{};
    weights[kAdvance] = 16;
    weights[kCall] = 22;
    weights[kSet] = 6;
    if (!attached) {
      weights[kLifecycle] = 20;
    } else if (appearance == Appearance::disappeared) {
      weights[kLifecycle] = 10;
    } else if (appearance == Appearance::shown) {
      weights[kLifecycle] = 2.5;
    } else {
      weights[kLifecycle] = 8;  // the second half of a split appearance
    }
    weights[kView] = 4;
    weights[kTap] = attached ? 6 : 0.5;
    weights[kPinch] = pinching_ ? 15 : (attached ? 4 : 0.5);
    weights[kAccel] = 6;
    weights[kNotify] = 4;
    weights[kDevice] = 3;
    weights[kFault] = anyFaultOn() ? 6 : 4;
    weights[kDelegate] = checker_.delegateTakesPhotos() ? 2 : 6;
    weights[kPrint] = 2;
    weights[kOrientation] = 1;
    weights[kAnswer] = requestOpen ? 8 : 0.1;
    weights[kAlert] = alertShown ? 6 : 0.1;
    weights[kRelease] = 0.3;

    switch (random_.weighted(weights)) {
      case kAdvance:
        return advance();
      case kCall:
        return call();
      case kSet:
        return setProperty();
      case kLifecycle:
        return lifecycle(attached, appearance);
      case kView:
        return view();
      case kTap:
        return tap();
      case kPinch:
        return pinch();
      case kAccel:
        return accel();
      case kNotify:
        return notify();
      case kDevice:
        return device();
      case kFault:
        return fault();
      case kDelegate:
        return delegateLine();
      case kPrint:
        return print();
      case kOrientation:
        return orientation();
      case kAnswer:
        return answer(requestOpen);
      case kAlert:
        return alert(alertShown);
      case kRelease:
        return releaseAndDrain();
      default:
        return advance();
    }
  }

  void actWithoutController() {
    const bool requestOpen = world().capture().hasOpenPermissionRequest();
    enum : std::size_t { kCreate, kAdvance, kFault, kDelegate, kPrint, kOrientation, kAuthorized, kAnswer, kCount };
    std::array<double, kCount> weights{};
    weights[kCreate] = 30;
    weights[kAdvance] = 2;
    weights[kFault] = 2;
    weights[kDelegate] = 2;
    weights[kPrint] = 1;
    weights[kOrientation] = 1;
    weights[kAuthorized] = 1;
    weights[kAnswer] = requestOpen ? 5 : 0;
    switch (random_.weighted(weights)) {
      case kCreate:
        return create();
      case kAdvance:
        return advance();
      case kFault:
        return fault();
      case kDelegate:
        return delegateLine();
      case kPrint:
        return print();
      case kOrientation:
        return orientation();
      case kAuthorized:
        runLine(random_.chance(0.5) ? "call isAuthorized" : "call isAuthorizedWithBlock");
        return;
      case kAnswer:
        return answer(requestOpen);
      default:
        return advance();
    }
  }

  void create() {
    // Standing faults outlive a controller; most new ones get a fair setup.
    if (random_.chance(0.7)) {
      for (const char* line : {"fail lock off", "fail add-input off", "fail add-photo-output off",
                               "fail add-video-output off", "fail photo-connection off"}) {
        const bool on = std::string_view(line) == "fail lock off"               ? lockAlways_ || random_.chance(0.3)
                        : std::string_view(line) == "fail add-input off"        ? refusesInput_
                        : std::string_view(line) == "fail add-photo-output off" ? refusesPhotoOutput_
                        : std::string_view(line) == "fail add-video-output off" ? refusesVideoOutput_
                                                                                : connectionMissing_;
        if (on && linesRun_ < lines_) {
          runLine(line);
          noteFault(line);
        }
      }
    }
    if (random_.chance(0.7)) {
      runLine("create");
    } else {
      static const std::vector<std::string> xs{"0", "10", "20", "37.5"};
      static const std::vector<std::string> ys{"0", "20", "64"};
      runLine("create-at " + random_.pick(xs) + " " + random_.pick(ys));
    }
    pinching_ = false;
    // The host's configuration, before it attaches the controller; the frame
    // output only exists when it is asked for before the setup runs.
    if (random_.chance(0.4)) runLine("set enableVideoDataOutput true");
    const std::size_t settings = random_.below(6);
    for (std::size_t i = 0; i < settings && linesRun_ < lines_; ++i) setProperty();
  }

  void advance() {
    static const std::vector<std::string> times{"0",   "0.01", "0.02", "0.05", "0.05", "0.1", "0.1",
                                                "0.1", "0.2",  "0.25", "0.3",  "0.3",  "0.5", "0.5",
                                                "1",   "1",    "1.5",  "2",    "3",    "5"};
    runLine("advance " + random_.pick(times));
  }

  void call() {
    const auto point = [&] {
      const CGRect frame = previewFrame();
      return num(random_.between(-20, frame.size.width + 20)) + " " + num(random_.between(-20, frame.size.height + 20));
    };
    enum : std::size_t {
      kCapture,
      kAnimation,
      kStart,
      kStop,
      kZoomScale,
      kZoomLevel,
      kFocusAt,
      kFocus,
      kFocusCenter,
      kSetFocusPoint,
      kFocusImage,
      kBias,
      kTorch,
      kFlash,
      kSwitch,
      kFormat,
      kAuthorized,
      kAuthorizedBlock,
      kPrompt,
      kCount
    };
    std::array<double, kCount> weights{25, 3, 6, 4, 6, 5, 5, 3, 3, 3, 1, 3, 5, 4, 4, 2, 1, 1, 1};
    switch (random_.weighted(weights)) {
      case kCapture:
        runLine("call capturePhoto");
        return;
      case kAnimation:
        runLine("call capturePhotoAnimation");
        return;
      case kStart:
        runLine("call startSession");
        return;
      case kStop:
        runLine("call stopSession");
        return;
      case kZoomScale: {
        const double scale = random_.chance(0.1) ? random_.between(-5, 100) : random_.between(0.5, 6);
        std::string line = "call zoomWithScale " + num(scale);
        if (random_.chance(0.5)) line += " " + formatBool(random_.chance(0.5));
        runLine(line);
        return;
      }
      case kZoomLevel:
        runLine("call zoomWithLevel " + num(random_.between(-0.3, 1.3)));
        return;
      case kFocusAt:
        runLine("call focusAtPoint " + point() + " " + formatBool(random_.chance(0.5)));
        return;
      case kFocus:
        runLine("call focusWithAnimated " + formatBool(random_.chance(0.5)));
        return;
      case kFocusCenter:
        runLine("call focusCenterWithAnimated " + formatBool(random_.chance(0.5)));
        return;
      case kSetFocusPoint:
        runLine("call setFocusPoint " + point());
        return;
      case kFocusImage:
        runLine("call setFocusImage");
        return;
      case kBias:
        runLine("call setExposureTargetBias " + num(random_.between(-10, 10)));
        return;
      case kTorch:
        runLine("call toggleTorch " + formatBool(random_.chance(0.6)));
        return;
      case kFlash:
        runLine("call toggleFlash " + std::to_string(random_.below(3)));
        return;
      case kSwitch:
        runLine("call toggleCameraPosition " + formatBool(random_.chance(0.5)));
        return;
      case kFormat: {
        static const std::vector<std::string> codes{"875704438", "875704422", "1111970369", "42"};
        runLine("call setVideoOutputSettingFormatType " + random_.pick(codes));
        return;
      }
      case kAuthorized:
        runLine("call isAuthorized");
        return;
      case kAuthorizedBlock:
        runLine("call isAuthorizedWithBlock");
        return;
      case kPrompt:
        runLine("call promptToAppSettings");
        return;
      default:
        runLine("call capturePhoto");
        return;
    }
  }

  void setProperty() {
    static const std::vector<std::string> flags{"shouldShowFocus",
                                                "shouldUseDeviceOrientation",
                                                "shouldPromptToAppSettings",
                                                "shouldResetFocusAfterMove",
                                                "shouldShowFocusAfterLaunch",
                                                "shouldShowCaptureAnimation",
                                                "enableVideoDataOutput",
                                                "shouldKeepSessionStopping",
                                                "shouldHighResolutionPhotoEnabled",
                                                "shouldCheckSupportedColorSpaces",
                                                "shouldPinchToZoom",
                                                "shouldListeningToExposure",
                                                "shouldListeningToAutoFocus",
                                                "shouldUseAutoResolution",
                                                "shouldAutoUseMultiCamera"};
    static const std::vector<std::string> gravities{"AVLayerVideoGravityResizeAspect",
                                                    "AVLayerVideoGravityResizeAspectFill", "AVLayerVideoGravityResize"};
    std::string line;
    switch (random_.below(10)) {
      case 0:
        line = "set cameraPosition " + std::to_string(random_.below(3));
        break;
      case 1:
        line = "set flashMode " + std::to_string(random_.below(3));
        break;
      case 2:
        line = "set videoGravity " + random_.pick(gravities);
        break;
      case 3:
        line = "set maxZoomScale " + num(random_.chance(0.1) ? random_.between(0, 1.5) : random_.between(1, 10));
        break;
      case 4:
        line = "set minZoomScale " + num(random_.chance(0.1) ? random_.between(2, 12) : random_.between(0.5, 2));
        break;
      case 5:
        line = "set zoomScale " + num(random_.between(0.5, 8));
        break;
      case 6:
        line = "set sessionPreset " +
               std::string(AVCaptureSessionPresetsAll[random_.below(AVCaptureSessionPresetsAll.size())]);
        break;
      case 7:
        line = random_.chance(0.5) ? "set motionManager.movingThreshold " + num(random_.between(0.01, 1))
                                   : "set motionManager.motionState " + std::to_string(random_.below(3));
        break;
      default:
        line = "set " + random_.pick(flags) + " " + formatBool(random_.chance(0.5));
        break;
    }
    runLine(line);
  }

  void lifecycle(bool attached, Appearance appearance) {
    if (!attached && random_.chance(0.95)) {
      runLine("attach");
      return;
    }
    static const std::vector<std::string> steps{"appear",          "appear-begin",  "appear-end", "disappear",
                                                "disappear-begin", "disappear-end", "attach"};
    if (!attached || random_.chance(0.04)) {
      // A step out of order: the host screen refuses what makes no sense.
      runLine(random_.pick(steps), true);
      return;
    }
    switch (appearance) {
      case Appearance::disappeared:
        runLine(random_.chance(0.7) ? "appear" : "appear-begin");
        return;
      case Appearance::appearing:
        runLine("appear-end");
        return;
      case Appearance::shown:
        runLine(random_.chance(0.7) ? "disappear" : "disappear-begin");
        return;
      case Appearance::disappearing:
        runLine("disappear-end");
        return;
    }
  }

  void view() {
    const auto& camera = runner_.camera();
    const double choice = random_.uniform();
    if (choice < 0.35) {
      runLine("layout");
    } else if (choice < 0.65) {
      const CGRect screen = screenBounds();
      if (random_.chance(0.3)) {
        runLine("move-view 0 0 " + num(screen.size.width) + " " + num(screen.size.height));
      } else {
        runLine("move-view " + num(random_.between(0, 50)) + " " + num(random_.between(0, 120)) + " " +
                num(random_.between(80, screen.size.width)) + " " + num(random_.between(80, screen.size.height)));
      }
    } else {
      const bool preview = random_.chance(0.5);
      // Hidden things come back more often than they go.
      const bool hidden = random_.chance(0.25);
      const bool loaded = camera && camera->viewIfLoaded() != nullptr;
      runLine(std::string("hide ") + (preview ? "preview " : "view ") + formatBool(hidden), preview && !loaded);
    }
  }

  CGRect screenBounds() {
    // The host's root view always fills the screen.
    const auto root = runner_.host().controller()->viewIfLoaded();
    return root ? root->bounds() : CGRectMake(0, 0, 375, 812);
  }

  /// The controller's preview in screen points (the whole screen when it has none).
  CGRect previewFrame() {
    const auto& camera = runner_.camera();
    const auto view = camera ? camera->viewIfLoaded() : nullptr;
    if (!view) return screenBounds();
    const CGRect frame = view->frame();
    if (frame.size.width <= 0 || frame.size.height <= 0) return screenBounds();
    return frame;
  }

  std::string pointIn(CGRect frame) {
    return num(frame.origin.x + random_.between(0, frame.size.width)) + " " +
           num(frame.origin.y + random_.between(0, frame.size.height));
  }

  void tap() {
    // Inside the controller's view a tap usually reaches the preview; a tap
    // outside it, on a hidden view or under an alert reaches nothing, and the
    // runner refuses it.
    const CGRect target = random_.chance(0.85) ? previewFrame() : screenBounds();
    runLine("tap " + pointIn(target), true);
  }

  void pinch() {
    std::string state;
    if (!pinching_) {
      static const std::vector<std::string> others{"changed", "ended", "cancelled", "failed"};
      state = random_.chance(0.85) ? "began" : random_.pick(others);
    } else {
      const double x = random_.uniform();
      state = x < 0.7 ? "changed" : x < 0.85 ? "ended" : x < 0.92 ? "cancelled" : x < 0.97 ? "failed" : "began";
    }
    std::string line = "pinch " + state + " " + num(random_.between(0.3, 3));
    if (random_.chance(0.5)) line += " " + pointIn(random_.chance(0.9) ? previewFrame() : screenBounds());
    const bool accepted = runLine(line, true);
    if (accepted) pinching_ = state == "began" || state == "changed";
  }

  void accel() {
    const double x = random_.uniform();
    if (x < 0.08) {
      runLine("accel-error");
    } else if (x < 0.55) {
      // Held still, with a little sensor noise.
      runLine("accel " + num(random_.between(-0.01, 0.01)) + " " + num(-1 + random_.between(-0.01, 0.01)) + " " +
              num(random_.between(-0.01, 0.01)));
    } else if (x < 0.85) {
      runLine("accel " + num(random_.between(-2, 2)) + " " + num(random_.between(-2, 2)) + " " +
              num(random_.between(-2, 2)));
    } else {
      static const std::vector<std::string> poses{"accel 1 0 0", "accel -1 0 0", "accel 0 1 0",     "accel 0 0 -1",
                                                  "accel 0 0 1", "accel 0 -1 0", "accel 0.7 -0.7 0"};
      runLine(random_.pick(poses));
    }
  }

  void notify() {
    static const std::vector<std::string> lines{"notify runtime-error",
                                                "notify runtime-error code=-11819",
                                                "notify runtime-error code=7",
                                                "notify runtime-error domain=NSOSStatusErrorDomain",
                                                "notify runtime-error code=-11800 domain=AVFoundationErrorDomain",
                                                "notify runtime-error no-error",
                                                "notify runtime-error no-userinfo",
                                                "notify runtime-error value=broken",
                                                "notify interrupted",
                                                "notify interrupted reason=1",
                                                "notify interrupted reason=3",
                                                "notify interrupted reason=2.5",
                                                "notify interrupted reason=-4",
                                                "notify interrupted reason=audio",
                                                "notify interruption-ended",
                                                "notify became-active",
                                                "notify became-active",
                                                "notify will-resign-active",
                                                "notify will-resign-active"};
    runLine(random_.pick(lines));
  }

  void device() {
    std::string line = "device";
    // Without a name the line means the controller's current camera, which
    // may not exist yet.
    const bool named = !cameraNames_.empty() && random_.chance(0.5);
    if (named) line += " " + random_.pick(cameraNames_);
    if (random_.chance(0.5)) {
      line += " iso " + std::to_string(25 + random_.below(3200));
    } else {
      line += " adjusting-focus " + formatBool(random_.chance(0.5));
    }
    runLine(line, !named);
  }

  bool anyFaultOn() const {
    return lockAlways_ || refusesInput_ || refusesPhotoOutput_ || refusesVideoOutput_ || connectionMissing_;
  }

  void fault() {
    std::string line;
    if (anyFaultOn() && random_.chance(0.5)) {
      // Undo a standing fault.
      if (lockAlways_)
        line = "fail lock off";
      else if (refusesInput_)
        line = "fail add-input off";
      else if (refusesPhotoOutput_)
        line = "fail add-photo-output off";
      else if (refusesVideoOutput_)
        line = "fail add-video-output off";
      else
        line = "fail photo-connection off";
    } else {
      static const std::vector<std::string> modes{"processing-error", "finish-error", "both-errors", "no-data",
                                                  "never-finishes"};
      const double x = random_.uniform();
      if (x < 0.35)
        line = "fail photo " + random_.pick(modes);
      else if (x < 0.5)
        line = random_.chance(0.6) ? "fail lock" : "fail lock " + std::to_string(1 + random_.below(3));
      else if (x < 0.53)
        line = "fail lock always";
      else if (x < 0.56)
        line = "fail lock off";
      else if (x < 0.59)
        line = "fail device-input";
      else if (x < 0.69)
        line = std::string("fail add-input ") + (random_.chance(0.5) ? "on" : "off");
      else if (x < 0.74)
        line = std::string("fail add-photo-output ") + (random_.chance(0.5) ? "on" : "off");
      else if (x < 0.79)
        line = std::string("fail add-video-output ") + (random_.chance(0.5) ? "on" : "off");
      else if (x < 0.92)
        line = "fail torch";
      else
        line = std::string("fail photo-connection ") + (random_.chance(0.5) ? "on" : "off");
    }
    runLine(line);
    noteFault(line);
  }

  void noteFault(const std::string& line) {
    if (line == "fail lock always") lockAlways_ = true;
    if (line == "fail lock off") lockAlways_ = false;
    if (line.starts_with("fail add-input ")) refusesInput_ = line.ends_with(" on");
    if (line.starts_with("fail add-photo-output ")) refusesPhotoOutput_ = line.ends_with(" on");
    if (line.starts_with("fail add-video-output ")) refusesVideoOutput_ = line.ends_with(" on");
    if (line.starts_with("fail photo-connection ")) connectionMissing_ = line.ends_with(" on");
  }

  void delegateLine() {
    static const std::vector<std::string> selectors{"camera:didCapturePhoto:",
                                                    "camera:didChangeFlashMode:",
                                                    "camera:didChangeTorch:",
                                                    "camera:didToggleCameraPosition:",
                                                    "camera:didChangeZoomLevel:zoomScale:",
                                                    "camera:didTapEndPoint:",
                                                    "camera:didPinchEndZoomLevel:zoomScale:",
                                                    "camera:didOutput:isStill:",
                                                    "camera:device:didChangeISO:",
                                                    "camera:device:didChangeAdjustingFocus:"};
    const double x = random_.uniform();
    // Mostly a delegate that takes photos, so that deliveries are checked.
    if (x < 0.45) {
      runLine("delegate all");
    } else if (x < 0.55) {
      runLine("delegate none");
    } else if (x < 0.65) {
      runLine("delegate release");
    } else {
      std::string line = "delegate";
      if (random_.chance(0.75)) line += " camera:didCapturePhoto:";
      for (std::size_t i = 1; i < selectors.size(); ++i)
        if (random_.chance(0.3)) line += " " + selectors[i];
      if (line == "delegate") line += " " + random_.pick(selectors);
      runLine(line);
    }
  }

  void print() {
    static const std::vector<std::string> paths{"camera.zoomScale",
                                                "camera.focusPoint",
                                                "camera.isFlashAvailable",
                                                "camera.exposureTargetBias",
                                                "camera.flashMode",
                                                "camera.cameraPosition",
                                                "camera.sessionPreset",
                                                "camera.view.frame",
                                                "camera.previewView.hidden",
                                                "camera.focusView.hidden",
                                                "camera.focusView.animations",
                                                "camera.captureAnimationView.alpha",
                                                "camera.videoOutputSettingFormatType",
                                                "camera.isLivePhotoCaptureEnabled",
                                                "camera.motionManager.motionState",
                                                "previewLayer.videoGravity",
                                                "previewLayer.session",
                                                "session.running",
                                                "session.running",
                                                "session.preset",
                                                "session.inputs",
                                                "session.outputs",
                                                "device.name",
                                                "device.videoZoomFactor",
                                                "device.focusPointOfInterest",
                                                "device.torchActive",
                                                "device.isAdjustingFocus",
                                                "connection.videoOrientation",
                                                "app.idleTimerDisabled",
                                                "motion.state",
                                                "motion.active",
                                                "orientation.active",
                                                "orientation.videoOrientation",
                                                "orientation.imageOrientation.back",
                                                "captures.inProgress",
                                                "captures.inProgress",
                                                "alert"};
    runLine("print " + random_.pick(paths));
  }

  void orientation() { runLine("world device-orientation " + std::to_string(random_.below(7))); }

  void answer(bool requestOpen) { runLine(random_.chance(0.7) ? "answer grant" : "answer deny", !requestOpen); }

  void alert(bool alertShown) { runLine(random_.chance(0.5) ? "alert cancel" : "alert settings", !alertShown); }

  // The host lets go of the controller; once the world has drained, nothing
  // of it may be left.
  void releaseAndDrain() {
    std::weak_ptr<KivoCamera> camera = runner_.camera();
    std::weak_ptr<KivoMotionManager> motion = runner_.camera()->motionManager();
    std::weak_ptr<KivoOrientation> estimator = runner_.camera()->orientation();
    runLine("release");
    pinching_ = false;
    // An open permission request keeps the controller until the user answers.
    if (world().capture().hasOpenPermissionRequest()) runLine(random_.chance(0.5) ? "answer grant" : "answer deny");
    auto* executor = world().deterministicExecutor();
    for (int i = 0; i < kDrainLines && executor->pendingBlockCount() > 0; ++i) runLine("advance 5");
    require(executor->pendingBlockCount() == 0,
            std::to_string(executor->pendingBlockCount()) + " blocks are still queued " +
                std::to_string(kDrainLines * static_cast<int>(kMaxAdvanceSeconds)) + " s after the release");
    require(camera.expired(), "the controller is still alive after the release and the drain");
    require(motion.expired(), "the controller's motion manager is still alive after the release and the drain");
    require(estimator.expired(),
            "the controller's orientation estimator is still alive after the release and the drain");
    require(checker_.destroyedSinceRelease(), "no `dealloc KivoCamera` after the release and the drain");
    require(KivoPhotoCaptureProcessor::liveCount() == processorBaseline_,
            std::to_string(KivoPhotoCaptureProcessor::liveCount() - processorBaseline_) +
                " capture processors are still alive after the release and the drain");
    require(checker_.capturesInProgress() == 0, "a capture handed to the photo output never ended");
  }

  const std::uint64_t seed_;
  const std::size_t lines_;
  Random random_;
  Totals& totals_;
  std::ostream discard_;  // the runner's printed trace; the checks read the recorded one
  Runner runner_;
  TraceChecker checker_;

  std::size_t linesRun_ = 0;
  std::string header_;
  std::string scenario_;
  std::deque<std::string> recentTrace_;
  std::uint64_t digest_ = 1469598103934665603ull;
  std::size_t processorBaseline_ = 0;

  // The generator's view of the world.
  std::vector<std::string> cameraNames_;
  bool pinching_ = false;
  bool lockAlways_ = false;
  bool refusesInput_ = false;
  bool refusesPhotoOutput_ = false;
  bool refusesVideoOutput_ = false;
  bool connectionMissing_ = false;

  // State followed across lines for the checks.
  SessionSetupResult setupResult_ = SessionSetupResult::success;
  bool worldIdleTimerDisabled_ = false;
  bool appeared_ = false;           // the controller got viewWillAppear and has not disappeared
  bool idleAtAppearance_ = false;   // the idle timer just before that appearance
  bool baselineDisturbed_ = false;  // something left the idle timer off the world's setting
};

std::string summary(const Totals& totals, double seconds) {
  std::string text =
      "RandomScenarioTest: " + std::to_string(totals.lines) + " lines (" + std::to_string(totals.refused) +
      " refused) in " + formatNumber(std::round(seconds * 10) / 10) + " s; " + std::to_string(totals.capturesHanded) +
      " captures (" + std::to_string(totals.photosWithBytes) + " photos, " + std::to_string(totals.photosWithoutData) +
      " without data, " + std::to_string(totals.capturesNotDelivered) + " with no delegate to take them), " +
      std::to_string(totals.frames) + " frames, " + std::to_string(totals.logLines) + " log lines, " +
      std::to_string(totals.events) + " events, " + std::to_string(totals.failedSetups) + " failed setups, " +
      std::to_string(totals.deallocs) + " controllers destroyed\n";
  return text;
}

// --- Tests ------------------------------------------------------------------------------------

TEST(RandomScenarioTest, InvariantsHoldInSeededWorlds) {
  const RunPlan plan = planFromEnvironment();
  Totals totals;
  CrashReportScope crashReports;
  const auto start = std::chrono::steady_clock::now();
  int failures = 0;
  for (const auto& [seed, lines] : plan.seeds) {
    SeedRun run(seed, lines, totals);
    if (auto report = run.run()) {
      ADD_FAILURE() << *report;
      // A broken invariant usually breaks in many seeds; a few reports say enough.
      if (++failures == 3) break;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fputs(summary(totals, seconds).c_str(), stdout);

  // The generator must keep reaching what it is meant to exercise; a change
  // that starves a kind of line would otherwise pass silently.
  if (failures == 0 && plan.totalSteps >= 20'000 && plan.seeds.size() >= 20) {
    EXPECT_GT(totals.photosWithBytes, 0u);
    EXPECT_GT(totals.photosWithoutData, 0u);
    EXPECT_GT(totals.capturesNotDelivered, 0u);
    EXPECT_GT(totals.frames, 0u);
    EXPECT_GT(totals.deallocs, 0u);
    EXPECT_GT(totals.failedSetups, 0u);
    EXPECT_LT(totals.refused * 5, totals.lines) << "the runner refused more than a fifth of the lines";
    for (const char* command : {"world",
                                "fail",
                                "delegate",
                                "create",
                                "create-at",
                                "set",
                                "attach",
                                "appear",
                                "appear-begin",
                                "appear-end",
                                "disappear",
                                "disappear-begin",
                                "disappear-end",
                                "layout",
                                "move-view",
                                "hide",
                                "release",
                                "tap",
                                "pinch",
                                "answer",
                                "alert",
                                "accel",
                                "accel-error",
                                "notify",
                                "device",
                                "advance",
                                "print",
                                "call capturePhoto",
                                "call toggleCameraPosition",
                                "call toggleTorch",
                                "call zoomWithScale",
                                "call promptToAppSettings"}) {
      EXPECT_GT(totals.commands[command], 0u) << "no accepted `" << command << "` line in the whole run";
    }
  }
}

TEST(RandomScenarioTest, ASeedGivesTheSameTraceEveryTime) {
  Totals totals;
  CrashReportScope crashReports;
  // One world at a time: each run is over before the next begins.
  const auto digestOf = [&](std::uint64_t seed) -> std::optional<std::uint64_t> {
    SeedRun run(seed, 300, totals);
    if (auto report = run.run()) {
      ADD_FAILURE() << *report;
      return std::nullopt;
    }
    return run.traceDigest();
  };
  const auto first = digestOf(7);
  const auto again = digestOf(7);
  const auto other = digestOf(8);
  ASSERT_TRUE(first && again && other);
  EXPECT_EQ(*first, *again) << "seed 7 gave two different traces";
  EXPECT_NE(*first, *other) << "seeds 7 and 8 gave the same trace";
}

// A crash cannot be reported by the test itself: the handler writes the
// scenario so far before the process dies.
[[noreturn]] void crashInSeed4() {
  CrashReportScope crashReports;
  const std::string header = "died in seed 4\n";
  const std::string scenario = "create\nattach\ncall capturePhoto\n";
  gCrash.header = &header;
  gCrash.scenario = &scenario;
  std::abort();
}

TEST(RandomScenarioDeathTest, ACrashWritesTheScenarioSoFar) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(crashInSeed4(), "died in seed 4.create.attach.call capturePhoto");
}

TEST(RandomScenarioCheckerTest, LinePatternsReadTheirSlots) {
  const LinePattern pattern(R"~(x <int> <num> <bool> <a|ab>c <ints> "<quoted>" <word> <time>)~");
  EXPECT_TRUE(pattern.matches(R"~(x -3 2.5e-07 true abc 1,-2,3 "" back-wide 0.3)~"));
  EXPECT_TRUE(pattern.matches(R"~(x 0 -1 false ac NULL "no quote" w 12)~"));
  EXPECT_FALSE(pattern.matches(R"~(x 1.5 1 true ac 1 "" w 1)~"));     // not an integer
  EXPECT_FALSE(pattern.matches(R"~(x 1 1 yes ac 1 "" w 1)~"));        // not a Boolean
  EXPECT_FALSE(pattern.matches(R"~(x 1 1 true ac 1, "" w 1)~"));      // a list ending in a comma
  EXPECT_FALSE(pattern.matches(R"~(x 1 1 true ac 1 "" w -1)~"));      // a negative time
  EXPECT_FALSE(pattern.matches(R"~(x 1 1 true ac 1 "" w 1 more)~"));  // text after the end
  EXPECT_EQ(pattern.prefix(), "x ");
}

// The checker on made-up traces: each invariant it checks can fail.

struct Step {
  std::string line;
  std::vector<std::string> trace;  // after the echo
  double now = 1000;
};

std::vector<std::string> check(const std::vector<Step>& steps) {
  TraceChecker checker;
  for (const auto& step : steps) {
    std::vector<std::string> trace{"> " + step.line};
    trace.insert(trace.end(), step.trace.begin(), step.trace.end());
    checker.step(kivocam::splitWords(step.line), false, trace, step.now);
  }
  return checker.violations();
}

const std::string kCaptureLine =
    "platform photo-output capturePhotoWithSettings:delegate: id=1 flash=0 highres=false @com.kivocamera.session.queue";
const std::string kCaptureEvent =
    R"~(event kivo_camera {"integer1":1,"integer2":0,"mode":"AVCaptureSessionPresetPhoto",)~"
    R"~("step":"capture","time":0.3} @main)~";
const std::string kInput = "platform session addInput: back-wide @com.kivocamera.session.queue";

TEST(RandomScenarioCheckerTest, AcceptsACaptureDeliveredOnce) {
  EXPECT_TRUE(check({{"create", {}},
                     {"attach", {kInput, kCaptureLine}},
                     {"advance 0.3", {kCaptureEvent, "delegate camera:didCapturePhoto: 5120 bytes @main"}, 1000.3}})
                  .empty());
}

TEST(RandomScenarioCheckerTest, RejectsWhatTheComponentNeverWrites) {
  EXPECT_EQ(check({{"create", {R"~("[KivoCamera](zoom) Zoom failed")~"}}}).size(), 1u);
  EXPECT_EQ(check({{"create", {R"~(event kivo_camera {"code":"10010"} @com.kivocamera.session.queue)~"}}}).size(), 1u);
  EXPECT_EQ(check({{"create", {"platform session startRunning @main"}}}).size(), 1u);
  EXPECT_EQ(check({{"create", {"something else"}}}).size(), 1u);
}

TEST(RandomScenarioCheckerTest, RejectsASecondCaptureWhileOneIsInProgress) {
  const std::string second =
      "platform photo-output capturePhotoWithSettings:delegate: id=2 flash=0 highres=false "
      "@com.kivocamera.session.queue";
  EXPECT_FALSE(check({{"create", {kInput, kCaptureLine}}, {"call capturePhoto", {second}}}).empty());
}

TEST(RandomScenarioCheckerTest, RejectsAMissingWrongOrUnexpectedDelivery) {
  // Ended without a delivery although the delegate takes photos.
  EXPECT_FALSE(check({{"create", {kInput, kCaptureLine}}, {"advance 0.3", {kCaptureEvent}, 1000.3}}).empty());
  // Bytes for a capture whose photo failed.
  EXPECT_FALSE(check({{"create", {kInput}},
                      {"fail photo no-data", {}},
                      {"call capturePhoto", {kCaptureLine}},
                      {"advance 0.3", {kCaptureEvent, "delegate camera:didCapturePhoto: 5120 bytes @main"}, 1000.3}})
                   .empty());
  // A delivery to a delegate that does not take photos.
  EXPECT_FALSE(check({{"create", {kInput, kCaptureLine}},
                      {"delegate camera:didTapEndPoint:", {}},
                      {"advance 0.3", {kCaptureEvent, "delegate camera:didCapturePhoto: 5120 bytes @main"}, 1000.3}})
                   .empty());
  // A delivery with no capture behind it.
  EXPECT_FALSE(check({{"create", {"delegate camera:didCapturePhoto: nil @main"}}}).empty());
  // A capture that is still not over long after its timetable.
  EXPECT_FALSE(check({{"create", {kInput, kCaptureLine}}, {"advance 1", {}, 1001}}).empty());
}

TEST(RandomScenarioCheckerTest, RejectsAStartAfterAFailedSetupAndAnEarlyDestruction) {
  TraceChecker checker;
  checker.step({"create"}, false, {"> create"}, 1000);
  checker.setupFailed();
  checker.step({"call", "startSession"}, false,
               {"> call startSession", "platform session startRunning @com.kivocamera.session.queue"}, 1000);
  EXPECT_EQ(checker.violations().size(), 1u);
  EXPECT_EQ(check({{"create", {"dealloc KivoCamera"}}}).size(), 1u);
}

}  // namespace
