// Random scenarios on threaded queues and the real clock (kivocam's
// --realtime), meant for ThreadSanitizer: lines drawn as in the deterministic
// randomized test, every `advance` a few milliseconds at most. Threaded runs
// are not repeatable, so no trace is compared; what must hold whatever the
// interleaving: a line is performed or refused as a wrong line and nothing
// else escapes, and once the run has finished every controller it made is
// destroyed, with its capture processors.
//
// Size: KIVO_REALTIME_LINES lines per seed (default 120), seeds 1 and 2.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "KivoPhotoCapture.h"
#include "random/RandomLines.h"

namespace {

constexpr double kMaxAdvanceSeconds = 0.005;

TEST(RealtimeRandomTest, ThreadedRunsRefuseOnlyWrongLinesAndLeaveNothingBehind) {
  const char* configured = std::getenv("KIVO_REALTIME_LINES");
  const std::size_t lines = configured ? std::strtoull(configured, nullptr, 10) : 120;
  for (std::uint64_t seed = 1; seed <= 2; ++seed) {
    const std::size_t processors = KivoPhotoCaptureProcessor::liveCount();
    std::vector<std::weak_ptr<KivoCamera>> controllers;
    std::string scenario;
    {
      std::ostream discard(nullptr);
      kivocam::Runner runner({.realtime = true, .maxAdvanceSeconds = kMaxAdvanceSeconds, .recordTrace = false},
                             discard);
      kivorandom::LineDrawer draw(seed, runner, kMaxAdvanceSeconds);
      for (std::size_t i = 0; i < lines; ++i) {
        const std::string line = draw.next().text;
        scenario += line + "\n";
        try {
          runner.run(line);
        } catch (const kivocam::ScenarioError&) {
          scenario += "# refused\n";  // a wrong line, as kivocam reports it
        } catch (const std::exception& error) {
          FAIL() << "seed " << seed << ": " << error.what() << " at the last line of\n" << scenario;
        }
        if (runner.camera() && (controllers.empty() || controllers.back().lock() != runner.camera()))
          controllers.push_back(runner.camera());
      }
      runner.finish();
    }
    for (const auto& controller : controllers)
      EXPECT_TRUE(controller.expired()) << "seed " << seed << ": a controller outlived its run of\n" << scenario;
    EXPECT_EQ(KivoPhotoCaptureProcessor::liveCount(), processors) << "seed " << seed;
  }
}

}  // namespace
