#include "Foundation/ProcessInfo.h"

#include <mutex>

namespace {
std::mutex gMutex;
OperatingSystemVersion gVersion;
}  // namespace

namespace ProcessInfo {

OperatingSystemVersion operatingSystemVersion() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gVersion;
}

bool isOperatingSystemAtLeast(int major, int minor) {
  const OperatingSystemVersion v = operatingSystemVersion();
  return v.majorVersion > major || (v.majorVersion == major && v.minorVersion >= minor);
}

void setOperatingSystemVersion(OperatingSystemVersion version) {
  std::lock_guard<std::mutex> lock(gMutex);
  gVersion = version;
}

}  // namespace ProcessInfo
