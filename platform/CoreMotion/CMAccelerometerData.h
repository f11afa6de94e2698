#pragma once
// Accelerometer samples of the motion sensor service.
// Thread-safe
// Plain values.

#include <cstdint>
#include <string_view>

/// Acceleration along the device's axes, in units of g. A device held upright
/// and still reads (0, -1, 0).
struct CMAcceleration {
  double x = 0;
  double y = 0;
  double z = 0;
  friend bool operator==(const CMAcceleration&, const CMAcceleration&) = default;
};

struct CMAccelerometerData {
  CMAcceleration acceleration;
  /// When the sample was taken, in seconds of the media clock (CACurrentMediaTime).
  double timestamp = 0;
};

/// Errors of the sensor service.
inline constexpr char CMErrorDomain[] = "CMErrorDomain";
enum CMError : std::int64_t {
  CMErrorNULL = 100,
  CMErrorDeviceRequiresMovement = 101,
  CMErrorTrueNorthNotAvailable = 102,
  CMErrorUnknown = 103,
};
