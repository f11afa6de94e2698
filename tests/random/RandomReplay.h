#pragma once
// The replay of the randomized simulation: the lines a seed's run accepted,
// run again as one scenario file, run to their end with the same trace (the
// run is repeatable, and the refused lines changed nothing).

#include <sstream>
#include <string>

#include "Runner.h"
#include "random/RandomChecks.h"

namespace kivorandom {

inline void requireSameReplay(const std::string& accepted, const std::string& trace, const kivocam::RunnerOptions& options) {
  std::ostringstream replay;
  const auto result = kivocam::runScenario(accepted, options, replay);
  require(result.status == 0,
          "the accepted lines, replayed, stop at line " + std::to_string(result.line) + ": " + result.message);
  const std::string replayed = replay.str();
  std::size_t at = 0;
  while (at < trace.size() && at < replayed.size() && trace[at] == replayed[at]) ++at;
  require(replayed == trace,
          "the accepted lines, replayed, give another trace, around: " + trace.substr(at > 80 ? at - 80 : 0, 160));
}

}  // namespace kivorandom
