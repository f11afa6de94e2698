#pragma once
// The checks of the randomized simulation: a broken invariant is a
// Violation, and the trace's grammar says which lines may follow the echo
// of a scenario line.

#include <stdexcept>
#include <algorithm>
#include <string>
#include <vector>

#include "Scenario.h"

namespace kivorandom {

struct Violation : std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline void require(bool condition, const std::string& message) {
  if (!condition) throw Violation(message);
}

/// Whether a trace line after the echo of `words` has one of the trace's forms.
inline bool wellFormed(const std::string& line, const std::vector<std::string>& words) {
  if (line == "dealloc KivoCamera") return true;
  if (line.starts_with('"')) return line.size() > 1 && line.ends_with('"');
  if (words[0] == "print") return line.starts_with(words[1] + " = ");
  if (words[0] == "snapshot") {
    const std::string size = line.substr(std::min(line.size(), words[1].size() + 14));
    return line.starts_with("snapshot " + words[1] + ".png ") && size.find('x') != std::string::npos &&
           size.find_first_not_of("0123456789x") == std::string::npos;
  }
  if (line.starts_with("result isAuthorized ")) return kivocam::joinWords(words) == "call isAuthorized";
  const auto at = line.rfind(" @");
  if (at == std::string::npos) return false;
  const std::string queue = line.substr(at + 2);
  if (queue != "main" && !queue.starts_with("com.kivocamera.")) return false;
  if (line.starts_with("event kivo_camera {")) return line[at - 1] == '}';
  return line.starts_with("platform ") || line.starts_with("delegate camera") ||
         line.starts_with("block isAuthorized ");
}

}  // namespace kivorandom
