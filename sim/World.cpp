#include "sim/World.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "CoreMotion/CMMotionBackend.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/DebugPrint.h"
#include "Foundation/NotificationCenter.h"
#include "Foundation/PlatformTrace.h"
#include "Foundation/ProcessInfo.h"
#include "Foundation/TraceFormat.h"
#include "Kivo/KivoCore.h"
#include "Mach/HostStatistics.h"
#include "UIKit/UIApplication.h"
#include "UIKit/UIDevice.h"
#include "UIKit/UIScreen.h"
#include "sim/capture/CaptureSimulation.h"
#include "sim/motion/MotionSimulation.h"

namespace sim {

namespace {

constexpr auto kMost = std::numeric_limits<std::uint64_t>::max();

// The host's tracker: every event becomes a trace line with the queue that
// sent it.
class TracingTracker : public KivoCore {
 public:
  explicit TracingTracker(Trace& trace) : trace_(trace) {}
  void Tracking_Event(const std::string& name, const TrackingParameters& parameters) override {
    std::map<std::string, UserInfoValue> values;
    for (const auto& [key, value] : parameters) {
      std::visit([&, &key = key](const auto& v) { values.emplace(key, v); }, value.value());
    }
    trace_.add(Trace::eventLine(name, values, DispatchQueue::currentLabel()));
  }

 private:
  Trace& trace_;
};

void resetPlatformSingletons() {
  UIScreen::main().resetToDefaults();
  UIDevice::current().resetToDefaults();
  UIApplication::shared().resetToDefaults();
  ProcessInfo::setOperatingSystemVersion({17, 0, 0});
}

}  // namespace

// The sensor backend the platform sees: the motion simulation's, with the
// accelerometer updates it reads counted for the work budget.
class World::CountingMotionBackend final : public CMMotionBackend {
 public:
  explicit CountingMotionBackend(std::shared_ptr<CMMotionBackend> simulation) : simulation_(std::move(simulation)) {}

  bool isAccelerometerAvailable() override { return simulation_->isAccelerometerAvailable(); }
  void accelerometerClientDidStart(std::uint64_t client) override { simulation_->accelerometerClientDidStart(client); }
  void accelerometerClientDidStop(std::uint64_t client) override { simulation_->accelerometerClientDidStop(client); }
  CMAccelerometerReading readAccelerometer(std::uint64_t client) override {
    updates_.fetch_add(1, std::memory_order_relaxed);
    return simulation_->readAccelerometer(client);
  }

  std::uint64_t updates() const { return updates_.load(std::memory_order_relaxed); }

 private:
  const std::shared_ptr<CMMotionBackend> simulation_;
  std::atomic<std::uint64_t> updates_{0};
};

// What the World installs into the platform for its lifetime. Members are
// destroyed in reverse order, so the trace hooks go last.
struct World::Hooks {
  std::optional<ScopedDebugPrintCapture> logCapture;
  std::optional<ScopedPlatformCallSink> callSink;
  std::optional<ScopedHostStatisticsOverride> memory;
  std::optional<ScopedKivoHost> tracker;
};

World::World(Mode mode) : mode_(mode), hooks_(std::make_unique<Hooks>()) {
  if (mode == Mode::deterministic)
    deterministic_ = std::make_unique<DeterministicExecutor>();
  else
    threaded_ = std::make_unique<ThreadedExecutor>(2);

  hooks_->logCapture.emplace([this](std::string_view text) { trace_.add(Trace::logLine(text)); });
  hooks_->callSink.emplace([this](std::string_view receiver, std::string_view selector, std::string_view arguments) {
    trace_.add(Trace::platformLine(receiver, selector, arguments, DispatchQueue::currentLabel()));
  });
  hooks_->tracker.emplace(std::make_shared<TracingTracker>(trace_));
  resetPlatformSingletons();
  installMemory(std::uint64_t{4294967296});
  capture_ = std::make_unique<CaptureSimulation>();
  motion_ = std::make_unique<MotionSimulation>();
  motionCounter_ = std::make_shared<CountingMotionBackend>(installedCMMotionBackend());
  motionCounterInstallation_ = std::make_unique<ScopedCMMotionBackend>(motionCounter_);
}

World::~World() {
  NotificationCenter::defaultCenter().removeAllObservers();
  motionCounterInstallation_.reset();
  motion_.reset();
  capture_.reset();
  hooks_.reset();
  resetPlatformSingletons();
  // The executor goes last: it drops every block still pending.
  deterministic_.reset();
  threaded_.reset();
}

// --- Time -------------------------------------------------------------------

void World::runUntilIdle() {
  if (deterministic_) {
    deterministic_->runUntilIdle();
  } else {
    threaded_->runMainLoopFor(0.01);
  }
}

void World::advance(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0)
    throw std::invalid_argument("sim::World::advance: the time must be finite and not negative");
  if (!deterministic_)
    threaded_->runMainLoopFor(seconds);
  else if (budgeted())
    advanceWithinBudget(seconds);
  else
    deterministic_->advance(seconds);
}

// One advance, checked against the budget after each moment something came
// due, so that it stops right after the moment that goes past it; refused
// before anything runs when the running streams certainly deliver too many
// frames in it.
void World::advanceWithinBudget(double seconds) {
  const auto frames = capture_->framesDueWithin(seconds);
  const std::uint64_t delivered = capture_->framesDelivered();
  if (frames.count - std::min(frames.count, frames.streams) > roomFor(budget_.videoFrames, delivered))
    throw WorkBudgetExceeded("the run's budget of " + std::to_string(budget_.videoFrames) +
                             " video frames would be exceeded: " + std::to_string(frames.count) + " more are due in " +
                             formatNumber(seconds) + " s, " + std::to_string(delivered) + " were delivered before");
  deterministic_->advance(seconds, [this] { checkBudget(); });
  checkBudget();
}

std::uint64_t World::roomFor(std::uint64_t budget, std::uint64_t used) { return budget - std::min(budget, used); }

bool World::budgeted() const { return budget_.videoFrames != kMost || budget_.accelerometerUpdates != kMost; }

void World::checkBudget() const {
  const auto exceeded = [this](std::uint64_t budget, std::string_view what) {
    throw WorkBudgetExceeded("the run's budget of " + std::to_string(budget) + " " + std::string(what) +
                             " was exceeded at time " + formatNumber(now()));
  };
  if (videoFramesDelivered() > budget_.videoFrames) exceeded(budget_.videoFrames, "video frames");
  if (accelerometerUpdatesDelivered() > budget_.accelerometerUpdates)
    exceeded(budget_.accelerometerUpdates, "accelerometer updates");
}

std::uint64_t World::videoFramesDelivered() const { return capture_->framesDelivered(); }

std::uint64_t World::accelerometerUpdatesDelivered() const { return motionCounter_->updates(); }

double World::now() const { return deterministic_ ? deterministic_->now() : threaded_->now(); }

// --- Settings ---------------------------------------------------------------

void World::requireBeforeCreate(const char* setter) const {
  if (controllerCreated_)
    throw std::logic_error(std::string("sim::World::") + setter + " after the controller was created");
}

void World::setPlatformVersion(int majorVersion) {
  requireBeforeCreate("setPlatformVersion");
  if (majorVersion < 1) throw std::invalid_argument("sim::World::setPlatformVersion: not a major version");
  ProcessInfo::setOperatingSystemVersion({majorVersion, 0, 0});
}

void World::setScreen(double width, double height) {
  requireBeforeCreate("setScreen");
  if (!(width > 0) || !(height > 0) || !std::isfinite(width) || !std::isfinite(height))
    throw std::invalid_argument("sim::World::setScreen: the size must be positive and finite");
  UIScreen::main().setBounds(CGRectMake(0, 0, width, height));
}

void World::setScreenScale(int scale) {
  requireBeforeCreate("setScreenScale");
  if (scale < 1 || scale > 3) throw std::invalid_argument("sim::World::setScreenScale: the scale must be 1, 2 or 3");
  UIScreen::main().setScale(scale);
}

void World::setMemory(std::uint64_t bytes) {
  requireBeforeCreate("setMemory");
  installMemory(bytes);
}

void World::setMemoryUnavailable() {
  requireBeforeCreate("setMemoryUnavailable");
  installMemory(std::nullopt);
}

void World::installMemory(std::optional<std::uint64_t> bytes) {
  if (bytes && *bytes > kMaxMemoryBytes)
    throw std::invalid_argument("sim::World::setMemory: more than the kernel statistics count");
  hooks_->memory.reset();
  if (!bytes) {
    hooks_->memory.emplace(HostStatisticsProvider{}, static_cast<vm_size_t>(kPageSize));
    return;
  }
  const auto count = static_cast<natural_t>(*bytes / kPageSize);
  hooks_->memory.emplace(
      [count](vm_statistics_data_t& stats) {
        stats = {};
        // Split between free and inactive pages: the probe adds the two.
        stats.free_count = count / 2;
        stats.inactive_count = count - count / 2;
        return KERN_SUCCESS;
      },
      static_cast<vm_size_t>(kPageSize));
}

void World::setDeviceOrientation(int rawValue) {
  const auto orientation = UIDeviceOrientationFromRawValue(rawValue);
  if (!orientation) throw std::invalid_argument("sim::World::setDeviceOrientation: not a raw device orientation");
  UIDevice::current().setOrientation(*orientation);
}

void World::setIdleTimerDisabled(bool disabled) {
  requireBeforeCreate("setIdleTimerDisabled");
  UIApplication::shared().setIdleTimerDisabledSilently(disabled);
}

void World::addCamera(const CameraSetup& camera) {
  requireBeforeCreate("addCamera");
  capture_->addCamera(camera);
}

void World::setNoCameras() {
  requireBeforeCreate("setNoCameras");
  capture_->setNoCameras();
}

void World::setPermission(AVAuthorizationStatus status) {
  requireBeforeCreate("setPermission");
  capture_->setAuthorizationStatus(status);
}

void World::setAccelerometerAvailable(bool available) {
  requireBeforeCreate("setAccelerometerAvailable");
  motion_->setAccelerometerAvailable(available);
}

void World::notifyBecameActive() { UIApplication::shared().becomeActive(); }

void World::notifyWillResignActive() { UIApplication::shared().resignActive(); }

}  // namespace sim
