#pragma once
// The sensor hardware behind CMMotionManager. A world (the simulator, or a
// real device backend) installs one process-wide with ScopedCMMotionBackend;
// without one the platform behaves as a device held upright and still: the
// accelerometer is available and reads (0, -1, 0) g, and no update fails.
//
// Thread-safe
// A backend is called from whatever queue a manager's timer runs on, and
// from the threads that start and stop managers.

#include <cstdint>
#include <memory>
#include <variant>

#include "CoreMotion/CMAccelerometerData.h"
#include "Foundation/NSError.h"

/// One reading of the accelerometer for one client: a sample, or an error
/// that replaces the sample of this update.
using CMAccelerometerReading = std::variant<CMAcceleration, NSError>;

class CMMotionBackend {
 public:
  virtual ~CMMotionBackend() = default;

  virtual bool isAccelerometerAvailable() = 0;

  /// A manager with the process-unique id `client` has started or stopped
  /// accelerometer updates. Stops arrive at the backend the client started
  /// under, if it still exists; a backend may be told of clients it never saw.
  virtual void accelerometerClientDidStart(std::uint64_t client) = 0;
  virtual void accelerometerClientDidStop(std::uint64_t client) = 0;

  /// The reading for the update `client` is about to deliver.
  virtual CMAccelerometerReading readAccelerometer(std::uint64_t client) = 0;
};

/// The installed backend, or null (the defaults above apply).
std::shared_ptr<CMMotionBackend> installedCMMotionBackend();

/// Installs `backend` for its lifetime and restores the previous one after.
/// Installers must be destroyed in the reverse order of their creation.
class [[nodiscard]] ScopedCMMotionBackend {
 public:
  explicit ScopedCMMotionBackend(std::shared_ptr<CMMotionBackend> backend);
  ~ScopedCMMotionBackend();
  ScopedCMMotionBackend(const ScopedCMMotionBackend&) = delete;
  ScopedCMMotionBackend& operator=(const ScopedCMMotionBackend&) = delete;

 private:
  std::shared_ptr<CMMotionBackend> previous_;
};
