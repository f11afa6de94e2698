#pragma once
// The simulated host application's screen: the host surface a real GUI host
// uses, driven here by scenario lines, tests and benchmarks.
// Thread-bound: main

#include "KivoHostSurface.h"

namespace sim {
using HostScreen = ::KivoHostSurface;
}  // namespace sim
