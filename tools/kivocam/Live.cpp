#include "Live.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string_view>
#include <utility>

#include "CoreGraphics/CGGeometry.h"
#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "Foundation/TraceFormat.h"
#include "Foundation/WhileAlive.h"
#include "KivoCamera.h"
#include "KivoHostSurface.h"
#include "LiveWindow.h"
#include "RunnerDelegate.h"
#include "Scenario.h"
#include "sim/World.h"

namespace kivocam {

namespace {

// How long the wheel must rest before its pinch ends, in seconds.
constexpr double kPinchRest = 0.25;
// The pinch's spread a wheel notch multiplies or divides.
constexpr double kNotchFactor = 1.1;
// How long the window may take to show, and the controller to go once
// released, in seconds.
constexpr double kShowTimeout = 30;
constexpr double kDeallocTimeout = 30;

// A pinch's spread after `notches` notches (negative: towards the user),
// rounded so that the trace reads 1.21, not 1.2100000000000002.
double spreadAfter(int notches) { return std::round(std::pow(kNotchFactor, notches) * 1e4) / 1e4; }

std::string pointWords(CGPoint point) { return formatNumber(point.x) + " " + formatNumber(point.y); }

class LiveSession {
 public:
  LiveSession(LiveWindow& window, const LiveOptions& options, std::ostream& trace, std::ostream& errors)
      : window_(window), options_(options), errors_(errors), runner_(realtime(options.runner), trace),
        executor_(*runner_.world().threadedExecutor()) {}
  // The window draws the surface, which goes with the runner.
  ~LiveSession() { window_.close(); }
  LiveSession(const LiveSession&) = delete;
  LiveSession& operator=(const LiveSession&) = delete;

  ScenarioResult run();

 private:
  // What the user's input asks for, done from the top level in order.
  struct Pending {
    enum class Kind { line, nextFlash, quit };
    Kind kind = Kind::line;
    std::string line;
    std::uint64_t gesture = 0;  // the wheel pinch it belongs to, or 0
  };

  static RunnerOptions realtime(RunnerOptions options) {
    options.realtime = true;
    return options;
  }

  void onInput(const LiveInput& input);
  void click(CGPoint point);
  void key(char key);
  void notch(bool up, CGPoint point);
  void queue(std::string line, std::uint64_t gesture = 0) {
    pending_.push_back({Pending::Kind::line, std::move(line), gesture});
  }
  void endPinch();
  void askToQuit();
  /// Runs the next pending line; false when it is the quit.
  bool runPending();
  void quit();

  LiveWindow& window_;
  const LiveOptions& options_;
  std::ostream& errors_;
  Runner runner_;
  ThreadedExecutor& executor_;

  std::deque<Pending> pending_;
  bool quitAsked_ = false;
  bool torchOn_ = false;
  // The wheel's pinch: its number (0: none in progress), its notches and
  // where the pointer last was; a notch counter tells the delayed end
  // whether the wheel rested.
  std::uint64_t gestures_ = 0;
  std::uint64_t pinch_ = 0;
  int notches_ = 0;
  CGPoint pinchPoint_{};
  std::uint64_t notchCount_ = 0;
  std::uint64_t failedGesture_ = 0;
  // Held by delayed blocks, weakly: they do nothing once the session is gone.
  std::shared_ptr<LiveSession*> self_ = std::make_shared<LiveSession*>(this);
};

ScenarioResult LiveSession::run() {
  KIVO_ASSERT_MAIN_THREAD();
  for (const std::string_view line : {"create", "attach", "appear"}) {
    try {
      runner_.run(line);
    } catch (const ScenarioError& error) {
      throw RunFailure("the camera cannot be shown: " + std::string(error.what()));
    }
  }
  window_.show(runner_.host(), "kivocam", [this](const LiveInput& input) { onInput(input); });
  if (!executor_.runMainLoopUntil([this] { return window_.isMapped() || quitAsked_; }, kShowTimeout))
    throw RunFailure("the window did not show within " + formatNumber(kShowTimeout) + " s");

  std::string_view script = options_.script;
  if (script.starts_with("\xEF\xBB\xBF")) script.remove_prefix(3);
  int number = 0;
  bool scriptDone = script.empty();
  for (;;) {
    if (!pending_.empty()) {
      if (!runPending()) break;
      continue;
    }
    if (!scriptDone) {
      const std::size_t end = std::min(script.find('\n'), script.size());
      const std::string_view line = script.substr(0, end);
      scriptDone = end == script.size();
      script.remove_prefix(scriptDone ? end : end + 1);
      ++number;
      try {
        runner_.run(line);
      } catch (const ScenarioError& error) {
        window_.close();
        runner_.finish();
        return {1, number, error.what()};
      }
      continue;
    }
    if (options_.screenshot) {
      Data png;
      try {
        png = window_.screenshotPNG();
      } catch (const std::runtime_error& error) {
        throw RunFailure("cannot take the screenshot: " + std::string(error.what()));
      }
      if (const int error = writeFile(*options_.screenshot, png); error != 0)
        throw RunFailure("cannot write the screenshot " + options_.screenshot->string() + ": " +
                         std::strerror(error));
      break;
    }
    executor_.runMainLoop([this] { return !pending_.empty(); });
  }
  quit();
  return {};
}

// The host releases the controller; the run ends once it is gone, so that
// its dealloc is in the trace.
void LiveSession::quit() {
  pending_.clear();
  if (const std::weak_ptr<KivoCamera> camera = runner_.camera(); !camera.expired()) {
    runner_.run("release");
    executor_.runMainLoopUntil([&camera] { return camera.expired(); }, kDeallocTimeout);
  }
  window_.close();
  runner_.finish();
}

bool LiveSession::runPending() {
  const Pending next = std::move(pending_.front());
  pending_.pop_front();
  if (next.kind == Pending::Kind::quit) return false;
  if (next.gesture != 0 && next.gesture == failedGesture_) return true;
  std::string line = next.line;
  if (next.kind == Pending::Kind::nextFlash) {
    const auto& camera = runner_.camera();
    line = "call toggleFlash " + formatInteger(camera ? (camera->flashMode() + 1) % 3 : 0);
  }
  try {
    runner_.run(line);
  } catch (const ScenarioError& error) {
    errors_ << "kivocam: " << error.what() << std::endl;
    if (next.gesture != 0) failedGesture_ = next.gesture;
  }
  return true;
}

// Input after the quit is dropped; a pinch in progress ends first.
void LiveSession::askToQuit() {
  if (quitAsked_) return;
  endPinch();
  quitAsked_ = true;
  pending_.push_back({Pending::Kind::quit, {}, 0});
}

void LiveSession::onInput(const LiveInput& input) {
  KIVO_ASSERT_MAIN_THREAD();
  switch (input.kind) {
    case LiveInput::Kind::click: click(input.point); break;
    case LiveInput::Kind::wheelUp: notch(true, input.point); break;
    case LiveInput::Kind::wheelDown: notch(false, input.point); break;
    case LiveInput::Kind::key: key(input.key); break;
    case LiveInput::Kind::close: askToQuit(); break;
  }
}

void LiveSession::click(CGPoint point) {
  if (quitAsked_) return;
  KivoHostSurface& host = runner_.host();
  const auto alert = host.presentedAlert();
  if (!alert) return queue("tap " + pointWords(point));
  // The alert covers the screen: only its actions take a click.
  for (const auto& button : alert->actionButtons(CGRect{{0, 0}, host.size()}, host.scale())) {
    if (!button.frame.contains(point)) continue;
    switch (button.action->style()) {
      case UIAlertActionStyle::cancel: return queue("alert cancel");
      case UIAlertActionStyle::defaultStyle: return queue("alert settings");
      case UIAlertActionStyle::destructive:
        errors_ << "kivocam: a destructive action has no line to tap it with" << std::endl;
        return;
    }
  }
}

void LiveSession::key(char key) {
  if (quitAsked_) return;
  switch (key) {
    case ' ': return queue("call capturePhoto");
    case 't':
      torchOn_ = !torchOn_;
      return queue("call toggleTorch " + formatBool(torchOn_));
    case 'f': return pending_.push_back({Pending::Kind::nextFlash, {}, 0});
    case 'c': return queue("call toggleCameraPosition true");
    case 'q':
    case '\x1b': return askToQuit();
    default: return;
  }
}

void LiveSession::notch(bool up, CGPoint point) {
  if (quitAsked_) return;
  if (pinch_ == 0) {
    pinch_ = ++gestures_;
    notches_ = 0;
    queue("pinch began 1 " + pointWords(point), pinch_);
  }
  notches_ += up ? 1 : -1;
  pinchPoint_ = point;
  queue("pinch changed " + formatNumber(spreadAfter(notches_)) + " " + pointWords(point), pinch_);
  const std::uint64_t count = ++notchCount_;
  DispatchQueue::main().asyncAfter(
      kPinchRest, whileAlive(std::weak_ptr<LiveSession*>(self_), [count](const std::shared_ptr<LiveSession*>& self) {
        if ((*self)->notchCount_ == count) (*self)->endPinch();  // else the wheel moved again
      }));
}

void LiveSession::endPinch() {
  if (pinch_ == 0) return;
  queue("pinch ended " + formatNumber(spreadAfter(notches_)) + " " + pointWords(pinchPoint_), pinch_);
  pinch_ = 0;
}

}  // namespace

ScenarioResult runLive(LiveWindow& window, const LiveOptions& options, std::ostream& trace, std::ostream& errors) {
  LiveSession session(window, options, trace, errors);
  return session.run();
}

}  // namespace kivocam
