#include "sim/Trace.h"

#include "Foundation/DebugPrint.h"
#include "Foundation/JSONEncoder.h"
#include "Foundation/ThreadSafety.h"
#include "Foundation/TraceFormat.h"

namespace sim {

void Trace::setSink(Sink sink) {
  kivo::MutexLock lock(mutex_);
  sink_ = std::move(sink);
}

void Trace::setRecording(bool recording) {
  kivo::MutexLock lock(mutex_);
  recording_ = recording;
  if (!recording) lines_.clear();
}

void Trace::add(std::string line) {
  kivo::MutexLock lock(mutex_);
  if (sink_) sink_(line);
  if (recording_) lines_.push_back(std::move(line));
}

std::vector<std::string> Trace::lines() const {
  kivo::MutexLock lock(mutex_);
  return lines_;
}

std::vector<std::string> Trace::take() {
  kivo::MutexLock lock(mutex_);
  std::vector<std::string> taken;
  taken.swap(lines_);
  return taken;
}

void Trace::clear() {
  kivo::MutexLock lock(mutex_);
  lines_.clear();
}

std::string Trace::platformLine(std::string_view receiver, std::string_view selector, std::string_view arguments,
                                std::string_view queue) {
  std::string line = "platform ";
  line.append(receiver);
  line.push_back(' ');
  line.append(selector);
  if (!arguments.empty()) {
    line.push_back(' ');
    line.append(arguments);
  }
  line.append(" @");
  line.append(queue);
  return line;
}

std::string Trace::eventLine(std::string_view name, const std::map<std::string, UserInfoValue>& parameters,
                             std::string_view queue) {
  JSONObject object;
  for (const auto& [key, value] : parameters) {
    if (const auto* number = std::get_if<NSNumber>(&value)) {
      if (number->isFloatingPoint())
        object.emplace(key, number->doubleValue());
      else
        object.emplace(key, number->integerValue());
    } else if (const auto* text = std::get_if<std::string>(&value)) {
      object.emplace(key, *text);
    } else {
      object.emplace(key, std::get<NSError>(value).description());
    }
  }
  std::string line = "event ";
  line.append(name);
  line.push_back(' ');
  line.append(JSONEncoder::encode(JSONValue(std::move(object))).value_or("{}"));
  line.append(" @");
  line.append(queue);
  return line;
}

std::string Trace::logLine(std::string_view text) { return debugDescription(text); }

}  // namespace sim
