#pragma once
// A fixture for the capture stand-ins: a deterministic executor, a simulated
// capture world and the platform calls it makes, one line each
// ("back-wide setVideoZoomFactor: 2.5").

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "Dispatch/Executor.h"
#include "Foundation/PlatformTrace.h"
#include "sim/capture/CaptureSimulation.h"

class CaptureWorldTest : public ::testing::Test {
 protected:
  DeterministicExecutor executor;
  sim::CaptureSimulation world;
  std::vector<std::string> calls;
  ScopedPlatformCallSink sink{[this](std::string_view receiver, std::string_view selector, std::string_view args) {
    std::string line(receiver);
    line.append(" ").append(selector);
    if (!args.empty()) line.append(" ").append(args);
    calls.push_back(line);
  }};
};
