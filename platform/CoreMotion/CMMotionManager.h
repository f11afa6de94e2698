#pragma once
// The motion sensor service: accelerometer updates delivered on an operation
// queue.
// Thread-safe
// Any thread may start, stop or query a manager.
//
// While active, a manager takes a reading from the installed CMMotionBackend
// every update interval (the interval in force when updates started), the
// first one interval after the start, and hands it to its handler as an
// operation on the queue given at the start. The timer runs on that queue's
// dispatch queue: a reading is taken at its due time and delivered next in
// the queue's order. Due times are start + k × interval, so they do not
// drift. Once the executor is gone nothing more arrives. Timers and queued
// updates hold the manager weakly: a stopped or destroyed manager receives
// nothing more, and once stop() has returned no update begins for the run it
// ended.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "CoreMotion/CMAccelerometerData.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/NSError.h"
#include "Foundation/ThreadSafety.h"

class CMMotionBackend;

using CMAccelerometerHandler =
    std::function<void(std::optional<CMAccelerometerData> data, std::optional<NSError> error)>;

class CMMotionManager : public std::enable_shared_from_this<CMMotionManager> {
 public:
  /// The interval used until one is set: 100 updates per second.
  static constexpr double kDefaultUpdateInterval = 0.01;
  /// Intervals below this (and ones that are not finite) run at this rate.
  static constexpr double kMinimumUpdateInterval = 0.01;

  static std::shared_ptr<CMMotionManager> create();
  ~CMMotionManager();
  CMMotionManager(const CMMotionManager&) = delete;
  CMMotionManager& operator=(const CMMotionManager&) = delete;

  /// Asks the installed backend (true without one).
  bool isAccelerometerAvailable() const;

  /// Seconds between updates, as set. Takes effect at the next start.
  double accelerometerUpdateInterval() const { return updateInterval_.load(std::memory_order_relaxed); }
  void setAccelerometerUpdateInterval(double seconds) {
    updateInterval_.store(seconds, std::memory_order_relaxed);
  }

  /// Starts updates to `handler` on `queue` (the main operation queue when
  /// null). Without an accelerometer nothing starts. Starting while active
  /// restarts with the new queue, handler and interval.
  void startAccelerometerUpdatesToQueue(std::shared_ptr<OperationQueue> queue, CMAccelerometerHandler handler);

  /// Ends updates; no-op when inactive.
  void stopAccelerometerUpdates();

  bool isAccelerometerActive() const { return active_.load(std::memory_order_acquire); }

 private:
  CMMotionManager();

  /// Arms the timer of update `index` (1-based) of run `run`.
  void scheduleUpdate(std::uint64_t run, std::uint64_t index);
  /// Timer fired: read the backend and queue the update on the operation queue.
  void timerFired(std::uint64_t run, std::uint64_t index);
  /// Runs on the operation queue.
  void deliver(std::uint64_t run, std::optional<CMAccelerometerData> data, std::optional<NSError> error);
  /// What ending a run hands back, to be destroyed outside mutex_.
  struct EndedRun {
    std::shared_ptr<OperationQueue> queue;
    std::shared_ptr<const CMAccelerometerHandler> handler;
  };
  /// Ends the current run, if any, and tells the backend it started under.
  EndedRun endRunLocked() KIVO_REQUIRES(mutex_);

  const std::uint64_t clientId_;
  std::atomic<double> updateInterval_{kDefaultUpdateInterval};
  std::atomic<bool> active_{false};

  mutable kivo::Mutex mutex_;
  // A run is one start..stop span; timers and queued updates carry the run
  // they belong to and die with it.
  std::uint64_t run_ KIVO_GUARDED_BY(mutex_) = 0;
  std::shared_ptr<OperationQueue> queue_ KIVO_GUARDED_BY(mutex_);
  std::shared_ptr<const CMAccelerometerHandler> handler_ KIVO_GUARDED_BY(mutex_);
  double runStart_ KIVO_GUARDED_BY(mutex_) = 0;
  double runInterval_ KIVO_GUARDED_BY(mutex_) = kDefaultUpdateInterval;
  std::weak_ptr<CMMotionBackend> startedUnder_ KIVO_GUARDED_BY(mutex_);
};
