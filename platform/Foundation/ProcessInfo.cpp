#include "Foundation/ProcessInfo.h"

#include "Foundation/ThreadSafety.h"

namespace {
kivo::Mutex gMutex;
OperatingSystemVersion gVersion KIVO_GUARDED_BY(gMutex);
}  // namespace

namespace ProcessInfo {

OperatingSystemVersion operatingSystemVersion() {
  kivo::MutexLock lock(gMutex);
  return gVersion;
}

bool isOperatingSystemAtLeast(int major, int minor) {
  const OperatingSystemVersion v = operatingSystemVersion();
  return v.majorVersion > major || (v.majorVersion == major && v.minorVersion >= minor);
}

void setOperatingSystemVersion(OperatingSystemVersion version) {
  kivo::MutexLock lock(gMutex);
  gVersion = version;
}

}  // namespace ProcessInfo
