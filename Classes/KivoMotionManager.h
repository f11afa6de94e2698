#pragma once
// KivoMotionManager: decides from accelerometer samples whether the device is
// moving or has come to rest, and calls its change hook on every moving
// sample and once when the device has rested for more than half a second
// after a move.
//
// Thread-safe
// Except the detector and its state, bound to the operation queue current
// when `start()` was called (the main queue in practice). The owner writes
// the public fields from the main thread; every field read across queues is
// atomic, the change hook behind a small mutex.

#include <atomic>
#include <functional>
#include <memory>

#include "CoreMotion/CMAccelerometerData.h"
#include "KivoCameraEnum.h"
#include "Foundation/ThreadSafety.h"

class CMMotionManager;

class KivoMotionManager : public std::enable_shared_from_this<KivoMotionManager> {
 public:
  /// (state, canFocusNow): (moving, false) on every moving sample; (the
  /// state, true) once after a rest of more than `delayDuration`.
  using MotionStateDidChangeBlock = std::function<void(KivoMotionState state, bool canFocusNow)>;

  static constexpr double kDelayDuration = 0.5;

  /// Creates the sensor object; when the accelerometer is available, hands it
  /// the update interval (0.1 s).
  static std::shared_ptr<KivoMotionManager> create();
  ~KivoMotionManager();
  KivoMotionManager(const KivoMotionManager&) = delete;
  KivoMotionManager& operator=(const KivoMotionManager&) = delete;

  /// Stored only: a change after creation does not reach the sensor.
  double accelerometerUpdateInterval() const { return accelerometerUpdateInterval_.load(std::memory_order_relaxed); }
  void setAccelerometerUpdateInterval(double seconds) { accelerometerUpdateInterval_.store(seconds, std::memory_order_relaxed); }

  /// Distance in g between consecutive samples above which a sample is moving.
  double movingThreshold() const { return movingThreshold_.load(std::memory_order_relaxed); }
  void setMovingThreshold(double threshold) { movingThreshold_.store(threshold, std::memory_order_relaxed); }

  KivoMotionState motionState() const { return motionState_->load(std::memory_order_relaxed); }
  void setMotionState(KivoMotionState state) { motionState_->store(state, std::memory_order_relaxed); }
  /// The cell that holds `motionState`, for a reader that reads the state on
  /// every video frame without holding (or reference-counting) the manager:
  /// the cell outlives the manager as long as the reader keeps it.
  std::shared_ptr<const std::atomic<KivoMotionState>> motionStateCell() const { return motionState_; }

  MotionStateDidChangeBlock motionStateDidChangeBlock() const;
  void setMotionStateDidChangeBlock(MotionStateDidChangeBlock block);

  /// Held true by the owner while it focuses; every sample meanwhile resets
  /// the detector.
  bool isFocusing() const { return isFocusing_.load(std::memory_order_relaxed); }
  void setIsFocusing(bool focusing) { isFocusing_.store(focusing, std::memory_order_relaxed); }

  /// Starts accelerometer updates on the caller's operation queue (the main
  /// one when it has none), if available and not already running.
  void start();
  /// Stops the updates if they run; the detector keeps its state.
  void stop();

  /// Whether the accelerometer updates run (for inspection).
  bool isActive() const;

 private:
  KivoMotionManager();
  void handleAccelerometerUpdate(const CMAccelerometerData& data);

  std::atomic<double> accelerometerUpdateInterval_{0.1};
  std::atomic<double> movingThreshold_{0.1};
  const std::shared_ptr<std::atomic<KivoMotionState>> motionState_ =
      std::make_shared<std::atomic<KivoMotionState>>(KivoMotionState::undetermined);
  /// The block, replaced whole and called outside the lock.
  std::shared_ptr<const MotionStateDidChangeBlock> loadBlock() const;
  mutable kivo::Mutex blockMutex_;
  std::shared_ptr<const MotionStateDidChangeBlock> motionStateDidChangeBlock_ KIVO_GUARDED_BY(blockMutex_);
  std::atomic<bool> isFocusing_{false};
  const std::shared_ptr<CMMotionManager> motionManager_;

  // Detector state, on the update queue only.
  CMAcceleration acceleration_{0, 0, 0};
  double staticTimestamp_ = 0;
  bool canFocus_ = false;
};
