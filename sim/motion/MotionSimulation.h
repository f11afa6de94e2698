#pragma once
// The simulated accelerometer behind CMMotionManager: whether the device has
// one, the physical acceleration it measures, and injected update errors.
//
// Constructing it installs it as the sensor backend; destroying it uninstalls
// it. Managers that outlive it keep running on the platform's defaults (an
// available accelerometer reading (0, -1, 0)) for as long as their queues
// run.
// Thread-safe
// Settings may change from the driving thread while managers read on their
// queues.

#include <cstddef>
#include <memory>

#include "CoreMotion/CMAccelerometerData.h"
#include "CoreMotion/CMMotionBackend.h"

namespace sim {

class MotionSimulation {
 public:
  MotionSimulation();
  ~MotionSimulation();
  MotionSimulation(const MotionSimulation&) = delete;
  MotionSimulation& operator=(const MotionSimulation&) = delete;

  /// Whether the device has an accelerometer (default true). Managers check it
  /// when they start; turning it off does not stop running ones.
  void setAccelerometerAvailable(bool available);
  bool isAccelerometerAvailable() const;

  /// The acceleration every active manager samples from now on, in g
  /// (initially (0, -1, 0): held upright).
  void setAcceleration(double x, double y, double z);
  CMAcceleration acceleration() const;

  /// The next update of every manager active now carries only an error
  /// (CMErrorDomain, CMErrorUnknown) in place of its sample; later updates are
  /// samples again. Managers started afterwards are not affected.
  void injectError();

  /// Managers whose accelerometer updates run.
  std::size_t activeManagerCount() const;

 private:
  class Backend;
  std::shared_ptr<Backend> backend_;
  ScopedCMMotionBackend installation_;
};

}  // namespace sim
