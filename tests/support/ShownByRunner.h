#pragma once
// A camera shown on the host screen by kivocam's runner on the deterministic
// world (`create`, `attach`, `appear`, half a second to settle), for tests
// that drive it with scenario lines and look at the screen.

#include <gtest/gtest.h>

#include <initializer_list>
#include <ostream>

#include "Runner.h"
#include "sim/HostScreen.h"

namespace kivocam {

class ShownByRunner : public ::testing::Test {
 protected:
  ShownByRunner() : runner_(options(), discard_) { run({"create", "attach", "appear", "advance 0.5"}); }
  static RunnerOptions options() {
    RunnerOptions o;
    o.recordTrace = false;
    return o;
  }
  void run(std::initializer_list<const char*> lines) {
    for (const char* line : lines) runner_.run(line);
  }
  sim::HostScreen& screen() { return runner_.host(); }

  std::ostream discard_{nullptr};
  Runner runner_;
};

}  // namespace kivocam
