// The runner's budget of simulated work: what a run may deliver in all, and
// where an advance that goes past it stops.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "Runner.h"
#include "sim/World.h"

namespace kivocam {
namespace {

struct Outcome {
  std::string trace;
  std::string refusal;
  double clock = 0;
};

Outcome run(const std::vector<std::string>& lines, std::uint64_t frames, std::uint64_t updates) {
  std::ostringstream out;
  Outcome outcome;
  {
    Runner runner({.maxVideoFrames = frames, .maxAccelerometerUpdates = updates, .recordTrace = false}, out);
    for (const auto& line : lines) {
      try {
        runner.run(line);
      } catch (const ScenarioError& error) {
        outcome.refusal = error.what();
        break;
      }
    }
    outcome.clock = runner.world().now();
  }
  outcome.trace = out.str();
  return outcome;
}

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

constexpr auto kNone = std::numeric_limits<std::uint64_t>::max();
const std::vector<std::string> kVideoAt1000 = {"world camera back wide fps=1000", "create",
                                               "set enableVideoDataOutput true", "attach", "appear"};

TEST(WorkBudget, AnAdvancePastItIsRefusedBeforeItRunsOrStoppedWhereItGoesPast) {
  struct Case {
    const char* what;
    std::vector<std::string> advances;
    std::uint64_t frames, updates;
    std::string refusal;
    std::size_t framesTraced;
    double clock;
  };
  const std::vector<Case> cases = {
      {"frames the running stream certainly delivers", {"advance 0.2", "advance 1"}, 500, kNone,
       "advance: the run's budget of 500 video frames would be exceeded: 1000 more are due in 1 s, 200 were "
       "delivered before",
       200, 1000.2},
      {"the last frame falls inside the advance: it is the one past the budget", {"advance 1", "advance 1"}, 999,
       kNone, "advance: the run's budget of 999 video frames was exceeded at time 1001", 1000, 1001},
      {"sensor updates, known only as they come", {"advance 0.2", "advance 1"}, kNone, 5,
       "advance: the run's budget of 5 accelerometer updates was exceeded at time 1000.6", 600, 1000.6},
      {"within both", {"advance 2"}, 2000, 20, "", 2000, 1002},
  };
  for (const auto& c : cases) {
    auto lines = kVideoAt1000;
    lines.insert(lines.end(), c.advances.begin(), c.advances.end());
    const Outcome outcome = run(lines, c.frames, c.updates);
    EXPECT_EQ(outcome.refusal, c.refusal) << c.what;
    EXPECT_EQ(count(outcome.trace, "delegate camera:didOutput:isStill:"), c.framesTraced) << c.what;
    EXPECT_EQ(outcome.clock, c.clock) << c.what;
  }
}

}  // namespace
}  // namespace kivocam
