#pragma once
// The running OS's version.
// Thread-safe

struct OperatingSystemVersion {
  int majorVersion = 17;
  int minorVersion = 0;
  int patchVersion = 0;
};

namespace ProcessInfo {

OperatingSystemVersion operatingSystemVersion();

/// True when the OS is at least `major`.`minor`.
bool isOperatingSystemAtLeast(int major, int minor = 0);

/// The version a simulated device reports (17.0 until set).
void setOperatingSystemVersion(OperatingSystemVersion version);

}  // namespace ProcessInfo
