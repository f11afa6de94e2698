#pragma once
// sim::World: the simulated platform of one test or one kivocam run.
//
// While a World exists it is the platform: it installs the executor (and so
// the main queue and the media clock), the capture and motion simulations
// behind the capture framework and the sensor service, the host's tracker,
// the memory statistics and the OS version, and it collects the trace.
// Destroying it tears all of that down; platform objects still held by the
// host then find an empty platform and do nothing harmful.
//
// Thread-bound: main
// The thread that creates it is the main thread: configuration and drivers
// are called there. Except the trace, Thread-safe: lines may come from any
// queue.

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Dispatch/Executor.h"
#include "AVFoundation/AVCaptureTypes.h"
#include "sim/Trace.h"
#include "sim/capture/CameraSetup.h"

class ScopedCMMotionBackend;

namespace sim {

class CaptureSimulation;
class MotionSimulation;

/// An `advance` would take the world past its budget of simulated work, or
/// did at the moment it stopped. The message names the budget and what
/// exceeded it.
class WorkBudgetExceeded : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class World {
 public:
  enum class Mode { deterministic, realtime };

  explicit World(Mode mode = Mode::deterministic);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  Mode mode() const { return mode_; }

  // --- Time -------------------------------------------------------------
  /// Runs every ready block until none is ready (no time passes). In real
  /// time, pumps the main queue until it has nothing left to do.
  void runUntilIdle();
  /// Lets `seconds` of (virtual or real) time pass, running what comes due.
  /// With a work budget (deterministic mode), throws WorkBudgetExceeded
  /// before any time passes when the frames of the streams running now
  /// would exceed it, and otherwise stops at the first moment after which
  /// the world's work exceeds it, the clock left there.
  void advance(double seconds);
  double now() const;
  /// The deterministic executor, or null in real time.
  DeterministicExecutor* deterministicExecutor() { return deterministic_.get(); }
  ThreadedExecutor* threadedExecutor() { return threaded_.get(); }

  // --- Budget of simulated work ------------------------------------------
  /// What the world may do in all, counted from its creation. In the
  /// deterministic mode a long `advance` costs processor time and trace in
  /// proportion to the frames and sensor updates it delivers, however
  /// little real time it takes; the budget bounds both. Real time paces
  /// itself: the threaded mode has no budget.
  struct WorkBudget {
    /// Video frames delivered by the cameras' streams.
    std::uint64_t videoFrames = std::numeric_limits<std::uint64_t>::max();
    /// Accelerometer updates delivered to the sensor's clients.
    std::uint64_t accelerometerUpdates = std::numeric_limits<std::uint64_t>::max();
  };
  /// No budget by default.
  void setWorkBudget(const WorkBudget& budget) { budget_ = budget; }
  std::uint64_t videoFramesDelivered() const;
  std::uint64_t accelerometerUpdatesDelivered() const;

  // --- Trace ------------------------------------------------------------
  Trace& trace() { return trace_; }

  // --- World settings ---------------------------------------------------
  // Settings marked fixed describe the device before the controller exists
  // (see `markControllerCreated`): changing one afterwards is a programming
  // error (std::logic_error). Values out of range throw std::invalid_argument.
  // Drivers check both before they call.
  void setPlatformVersion(int majorVersion);                  // fixed
  void setScreen(double width, double height);                // fixed
  void setScreenScale(int scale);                             // fixed; 1, 2 or 3
  void setMemory(std::uint64_t bytes);                        // fixed
  void setMemoryUnavailable();                                // fixed
  void setDeviceOrientation(int rawValue);                    // any time, 0-6
  void setIdleTimerDisabled(bool disabled);                   // fixed
  /// Adds a camera; the first one replaces the default back and front wide
  /// cameras. A second camera of the same name throws std::invalid_argument.
  void addCamera(const CameraSetup& camera);                            // fixed
  void setNoCameras();                                                  // fixed
  void setPermission(AVAuthorizationStatus status);                     // fixed
  void setAccelerometerAvailable(bool available);                       // fixed

  // --- Simulations --------------------------------------------------------
  /// Cameras, permission, capture faults and physics; drivers of devices and
  /// session notifications.
  CaptureSimulation& capture() { return *capture_; }
  /// The accelerometer.
  MotionSimulation& motion() { return *motion_; }

  // --- Application events -------------------------------------------------
  void notifyBecameActive();
  void notifyWillResignActive();

  /// Called by the driver once the controller exists.
  void markControllerCreated() { controllerCreated_ = true; }
  bool controllerCreated() const { return controllerCreated_; }

  /// The page size the simulated kernel reports.
  static constexpr std::uint64_t kPageSize = 16384;
  /// The most free memory the kernel statistics can count (2^32 pages, less a byte).
  static constexpr std::uint64_t kMaxMemoryBytes = (std::uint64_t{1} << 32) * kPageSize - 1;

 private:
  void requireBeforeCreate(const char* setter) const;
  bool budgeted() const;
  /// Throws WorkBudgetExceeded when the work so far exceeds the budget.
  void checkBudget() const;
  void advanceWithinBudget(double seconds);
  static std::uint64_t roomFor(std::uint64_t budget, std::uint64_t used);
  void installMemory(std::optional<std::uint64_t> bytes);

  const Mode mode_;
  Trace trace_;
  std::unique_ptr<DeterministicExecutor> deterministic_;
  std::unique_ptr<ThreadedExecutor> threaded_;
  struct Hooks;
  std::unique_ptr<Hooks> hooks_;
  std::unique_ptr<CaptureSimulation> capture_;
  std::unique_ptr<MotionSimulation> motion_;
  class CountingMotionBackend;
  std::shared_ptr<CountingMotionBackend> motionCounter_;
  std::unique_ptr<ScopedCMMotionBackend> motionCounterInstallation_;
  WorkBudget budget_;
  bool controllerCreated_ = false;
};

}  // namespace sim
