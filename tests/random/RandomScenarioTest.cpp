// Randomized simulation: seeded worlds driven by lines drawn from kivocam's
// command table (RandomLines.h), with the run's invariants checked after
// every line (RandomChecks.h) and the whole run replayed (RandomReplay.h):
//   - a line is performed or refused as a wrong line; nothing else escapes,
//     and the queues always settle;
//   - a line whose needs are unmet is refused for that, and a refused line
//     leaves nothing but its echo in the trace;
//   - every trace line has a known form and names its queue;
//   - at most one capture is in progress, there are never more photos
//     delivered than captures asked for, and the controller is destroyed only
//     once the host has let go of it;
//   - after a release and a drain nothing of the controller is left;
//   - the accepted lines, run again as a scenario file, run to their end with
//     the same trace (the run is repeatable, and refused lines changed nothing).
// A failing seed prints the scenario `kivocam run` replays; a crash writes it
// from the signal handler.
//
// Size: KIVO_RANDOM_STEPS lines (default 40,000; 15,000 under the
// sanitizers), 500 per seed, seeds 1, 2, ...; KIVO_RANDOM_SEED=N runs seed N.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>

#include "KivoCameraInspector.h"
#include "KivoMotionManager.h"
#include "KivoOrientation.h"
#include "KivoPhotoCapture.h"
#include "random/RandomChecks.h"
#include "random/RandomLines.h"
#include "random/RandomReplay.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KIVO_RANDOM_SANITIZED 1
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

using kivocam::ScenarioError;
using kivorandom::require;
using kivorandom::requireSameReplay;
using kivorandom::Violation;
using kivorandom::wellFormed;

constexpr std::size_t kLinesPerSeed = 500;
#ifdef KIVO_RANDOM_SANITIZED
constexpr std::size_t kDefaultLines = 15'000;
#else
constexpr std::size_t kDefaultLines = 40'000;
#endif
const kivocam::RunnerOptions kOptions{.maxAdvanceSeconds = 5};

// The header and scenario of the seed running now, written if the process dies.
std::pair<const std::string*, const std::string*> gCrash;

void writeCrashReport() {
  for (const std::string* text : {gCrash.first, gCrash.second})
    if (text && ::write(STDERR_FILENO, text->data(), text->size()) < 0) return;
}

struct Totals {
  std::size_t lines = 0, refused = 0;
  std::map<std::string, std::size_t, std::less<>> accepted;  // by command
};

class SeedRun {
 public:
  SeedRun(std::uint64_t seed, std::size_t lines, Totals& totals)
      : seed_(seed), lines_(lines), totals_(totals), runner_(kOptions, discard_), draw_(seed, runner_, 5) {}

  /// Runs the seed: none when every invariant held, else the report.
  std::optional<std::string> run() {
    const std::string header = "\nRandomScenarioTest: seed " + std::to_string(seed_) +
                               " died; its scenario (save it as " + file() + " and run `kivocam run " + file() + "`):\n";
    gCrash = {&header, &scenario_};
    std::optional<std::string> failure;
    try {
      processors_ = KivoPhotoCaptureProcessor::liveCount();
      while (linesRun_ < lines_) {
        const auto [command, text] = draw_.next();
        const auto unmet = runner_.unmet(command->needs);
        const auto refusal = say(std::string(command->name), text);
        if (unmet)
          require(refusal == std::string(command->name) + ": " + std::string(*unmet),
                  "a line whose needs were unmet was not refused for that: " + refusal.value_or("accepted"));
        if (command->name == "release" && !refusal) drain(released_);
        if (runner_.camera()) released_ = Released(*runner_.camera());
      }
      if (runner_.camera() && !say("release", "release")) drain(released_);
      runner_.finish();
      requireSameReplay(accepted_, trace_, kOptions);
    } catch (const std::exception& error) {
      failure = report((dynamic_cast<const Violation*>(&error) ? "" : "unexpected exception: ") +
                       std::string(error.what()));
    }
    gCrash = {};
    return failure;
  }

 private:
  // What must go with a controller the host has let go of.
  struct Released {
    Released() = default;
    explicit Released(KivoCamera& camera)
        : controller(camera.weak_from_this()), motion(camera.motionManager()), orientation(camera.orientation()) {}
    std::weak_ptr<const void> controller, motion, orientation;
  };

  /// Runs one line and checks after it; the runner's message when it refused the line.
  std::optional<std::string> say(const std::string& name, const std::string& line) {
    ++linesRun_;
    ++totals_.lines;
    const bool held = runner_.camera() != nullptr;
    std::optional<std::string> refusal;
    try {
      runner_.run(line);
    } catch (const ScenarioError& error) {
      refusal = error.what();
    }
    const auto trace = runner_.world().trace().take();
    scenario_ += (refusal ? "# refused: " + line + "  (" + *refusal + ")" : line) + "\n";
    require(!refusal || !refusal->starts_with("the queues never settle"), *refusal);
    require(!refusal || trace.size() == 1, "a refused line left more than its echo in the trace");
    ++(refusal ? totals_.refused : totals_.accepted[name]);
    if (refusal) return refusal;
    accepted_ += line + "\n";
    const auto words = kivocam::splitWords(line);
    for (const std::string& traced : trace) {
      trace_ += traced + "\n";
      if (&traced == &trace.front()) continue;
      require(wellFormed(traced, words), "a trace line of no known form: " + traced);
      require(traced != "dealloc KivoCamera" || (!held || name == "release"),
              "the controller was destroyed while the host holds it");
      captures_ += traced.find(" capturePhotoWithSettings:delegate: ") != std::string::npos;
    }
    require(runner_.photosDelivered() <= captures_, "more photos delivered than captures asked for");
    require(!runner_.camera() || KivoCameraInspector::capturesInProgress(*runner_.camera()) <= 1, "two captures in progress");
    return refusal;
  }

  // Once the world has drained after a release (the user answers an open
  // permission request, which holds the controller), nothing of it is left.
  void drain(const Released& released) {
    if (runner_.unmet(kivocam::Needs::openRequest) == std::nullopt) say("answer", "answer deny");
    auto* executor = runner_.world().deterministicExecutor();
    for (int i = 0; i < 4 && executor->pendingBlockCount() > 0; ++i) say("advance", "advance 5");
    require(executor->pendingBlockCount() == 0 && released.controller.expired() && released.motion.expired() &&
                released.orientation.expired() && KivoPhotoCaptureProcessor::liveCount() == processors_,
            "after a release and a drain something is left: queued blocks, the controller, its motion manager, "
            "orientation estimator or a capture processor");
  }

  std::string file() const { return "seed-" + std::to_string(seed_) + ".kvs"; }
  std::string report(const std::string& message) const {
    return "seed " + std::to_string(seed_) + ", line " + std::to_string(linesRun_) + ": " + message +
           "\nRun this seed alone with KIVO_RANDOM_SEED=" + std::to_string(seed_) + ".\n--- scenario: save as " +
           file() + " and run `kivocam run " + file() + "` ---\n" + scenario_ + "--- end of scenario ---";
  }

  const std::uint64_t seed_;
  const std::size_t lines_;
  Totals& totals_;
  std::ostream discard_{nullptr};  // the runner's printed trace; the checks read the recorded one
  kivocam::Runner runner_;
  kivorandom::LineDrawer draw_;
  std::size_t linesRun_ = 0, processors_ = 0;
  std::int64_t captures_ = 0;
  Released released_;
  std::string scenario_, accepted_, trace_;
};

class CrashReportScope {
 public:
  CrashReportScope() {
#ifdef KIVO_RANDOM_SANITIZED
    __sanitizer_set_death_callback(&writeCrashReport);  // the sanitizers handle faults themselves
    for (const int signal : {SIGABRT}) {
#else
    for (const int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
#endif
      struct sigaction action = {};
      action.sa_handler = [](int signal) {
        writeCrashReport();
        ::raise(signal);
      };
      action.sa_flags = SA_RESETHAND;  // the raised signal then takes its default action
      sigemptyset(&action.sa_mask);
      struct sigaction previous = {};
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

TEST(RandomScenarioTest, InvariantsHoldInSeededWorlds) {
  const auto number = [](const char* name) { return std::strtoull(std::getenv(name), nullptr, 10); };
  const bool oneSeed = std::getenv("KIVO_RANDOM_SEED") != nullptr;
  std::size_t left = std::getenv("KIVO_RANDOM_STEPS") ? number("KIVO_RANDOM_STEPS") : 0;
  left = left > 0 ? left : oneSeed ? kLinesPerSeed : kDefaultLines;
  const std::size_t total = left;
  CrashReportScope crashReports;
  Totals totals;
  int failures = 0;
  for (std::uint64_t seed = oneSeed ? number("KIVO_RANDOM_SEED") : 1; left > 0 && failures < 3; ++seed) {
    const std::size_t lines = oneSeed ? left : std::min(left, kLinesPerSeed);
    left -= lines;
    if (auto report = SeedRun(seed, lines, totals).run()) {
      ADD_FAILURE() << *report;  // a broken invariant usually breaks in many seeds: a few reports say enough
      ++failures;
    }
  }
  std::printf("RandomScenarioTest: %zu lines, %zu refused\n", totals.lines, totals.refused);
  if (failures > 0 || total < 20'000) return;
  // The drawing must keep reaching every command, and mostly with lines the runner accepts.
  EXPECT_LT(totals.refused * 4, totals.lines) << "the runner refused more than a quarter of the lines";
  for (const kivocam::Command* command : kivocam::allCommands())
    EXPECT_GT(totals.accepted[std::string(command->name)], 0u) << "no accepted `" << command->name << "` line";
  for (const kivocam::CameraOption& option : kivocam::cameraOptions())
    EXPECT_TRUE(option.usage.starts_with('+') || kivorandom::cameraOptionValues().contains(option.name))
        << "no values for `world camera` option " << option.name;
}

}  // namespace
