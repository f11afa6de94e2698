#include "KivoCameraLog.h"

#include <cassert>
#include <string>

#include "Foundation/DebugPrint.h"

void kivoLog(KivoCameraError error, std::string_view message) {
  assert(message.empty() || message.front() == ')');
  constexpr std::string_view prefix = "[KivoCamera](";
  const std::string_view name = caseName(error);
  std::string line;
  line.reserve(prefix.size() + name.size() + message.size() + 1);
  line += prefix;
  line += name;
  if (message.empty()) {
    line += ')';
  } else {
    line += message;
  }
  debugPrint(line);
}

void kivoLogLine(std::string_view line) { debugPrint(line); }
