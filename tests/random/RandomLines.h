#pragma once
// Random scenario lines drawn from kivocam's command table: a command by
// weight (rarely one whose needs the run does not meet), then its arguments
// from the table's own description of them (kinds, ranges, words, optional,
// keyed and repeated ones). A new command or argument is drawn as soon as the
// table has it. The same seed against the same run state gives the same lines.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Commands.h"
#include "Foundation/TraceFormat.h"
#include "KivoCamera.h"
#include "Runner.h"
#include "UIKit/UIScreen.h"
#include "sim/HostScreen.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"

namespace kivorandom {

using kivocam::Arg;
using kivocam::Command;

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(engine_() % n); }
  double uniform() { return static_cast<double>(engine_() >> 11) * (1.0 / 9007199254740992.0); }
  bool chance(double p) { return uniform() < p; }
  double between(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  template <class T>
  const T& pick(const std::vector<T>& items) {
    return items[below(items.size())];
  }

 private:
  std::mt19937_64 engine_;  // its sequence is fixed by the standard
};

/// The values of `world camera`'s NAME=VALUE options (switches need none).
inline const std::map<std::string_view, std::vector<std::string>>& cameraOptionValues() {
  static const std::map<std::string_view, std::vector<std::string>> values{
      {"min-focus", {"0", "80", "399"}},
      {"bias", {"-3..3", "-0.5..8", "0..0"}},
      {"iso", {"25", "3200"}},
      {"color-spaces", {"", "0", "0,1,2"}},
      {"active-color-space", {"0", "2", "3"}},
      {"presets", {"AVCaptureSessionPresetPhoto", "AVCaptureSessionPreset640x480,AVCaptureSessionPresetHigh"}},
      {"fps", {"1", "30", "60"}},
      {"max-zoom", {"1", "4", "16"}},
  };
  return values;
}

class LineDrawer {
 public:
  LineDrawer(std::uint64_t seed, kivocam::Runner& runner, double maxAdvanceSeconds)
      : random_(seed), runner_(runner), maxAdvance_(maxAdvanceSeconds) {}

  struct Line {
    const Command* command;
    std::string text;
  };

  Line next() {
    const auto& commands = kivocam::allCommands();
    std::vector<double> weights;
    double total = 0;
    for (const Command* command : commands)
      total += weights.emplace_back(weight(*command) * (runner_.unmet(command->needs) ? 0.02 : 1));
    double x = random_.uniform() * total;
    std::size_t i = 0;
    while (i + 1 < commands.size() && x >= weights[i]) x -= weights[i++];
    return {commands[i], words(*commands[i])};
  }

 private:
  double weight(const Command& command) const {
    using A = sim::HostScreen::Appearance;
    static const std::map<std::string_view, double> weights{
        {"advance", 12},  {"call capturePhoto", 5}, {"create", 4}, {"create-at", 2}, {"answer", 6}, {"alert", 6},
        {"accel", 3},     {"set", 3},               {"release", 0.3}, {"fail photo", 2}};
    static const std::map<std::string_view, A> appearanceFrom{
        {"appear", A::disappeared},   {"appear-begin", A::disappeared}, {"appear-end", A::appearing},
        {"disappear", A::shown},      {"disappear-begin", A::shown},    {"disappear-end", A::disappearing}};
    const bool attached = runner_.host().embedded() != nullptr;
    if (const auto from = appearanceFrom.find(command.name); from != appearanceFrom.end())
      return attached && runner_.host().appearance() == from->second ? 4 : 0.05;
    if (command.name == "attach") return attached ? 0.05 : 10;
    if (command.name == "tap" || command.name == "pinch") return attached ? 3 : 0.1;
    const auto found = weights.find(command.name);
    return found == weights.end() ? 1 : found->second;
  }

  std::string words(const Command& command) {
    std::string line(command.name);
    const auto add = [&line](const std::string& word) { line += " " + word; };
    if (command.name == "advance") return line + " " + advance();
    if (command.name == "set") {
      const kivocam::Property& property = random_.pick(kivocam::properties());
      return line + " " + std::string(property.name) + " " + value(property.value, property.name);
    }
    if (command.name == "world camera") return line + " " + camera(command);
    const bool optionals = random_.chance(0.5);  // optional positional arguments go together
    for (const Arg& arg : command.args) {
      if (!arg.key.empty()) {
        if (!arg.optional || random_.chance(0.5)) add(std::string(arg.key) + "=" + value(arg, arg.key));
      } else if (arg.kind == Arg::Kind::literal) {
        add(std::string(arg.name));
      } else if (!arg.optional || optionals) {
        const std::size_t count = arg.repeated ? 1 + random_.below(3) : 1;
        for (std::size_t i = 0; i < count; ++i)
          if (arg.name == "camera")
            line += cameraName();
          else
            add(value(arg, command.name == "accel" ? "accel" : arg.name));
      }
    }
    return line;
  }

  std::string advance() {
    const std::vector<double> steps{0, 0.01, 0.05, 0.1, 0.1, 0.25, 0.3, 0.5, 1, 2, 5};
    const double step = random_.pick(steps);
    return formatNumber(maxAdvance_ < 1 ? std::round(random_.uniform() * maxAdvance_ * 1e4) / 1e4
                                        : std::min(step, maxAdvance_));
  }

  /// A number of the argument's range, in a span that means something for what it names.
  std::string number(const Arg& arg, std::string_view hint) {
    const auto view = runner_.camera() ? runner_.camera()->viewIfLoaded() : nullptr;
    const CGRect screen = UIScreen::main().bounds(), area = view && !view->isHidden() ? view->frame() : screen;
    static const std::map<std::string_view, std::pair<double, double>> spans{
        {"scale", {0.3, 6}},         {"factor", {0.3, 3}},         {"level", {-0.3, 1.3}},
        {"bias", {-10, 10}},         {"zoomScale", {0.5, 6}},      {"minZoomScale", {0.5, 2}},
        {"maxZoomScale", {1, 8}},    {"motionManager.movingThreshold", {0, 1}}, {"accel", {-1.2, 1.2}}};
    std::pair<double, double> span{0, 10};
    if (hint == "x") span = {area.origin.x - 10, area.origin.x + area.size.width + 10};  // a point of the view
    if (hint == "y") span = {area.origin.y - 10, area.origin.y + area.size.height + 10};
    if (hint == "width" || hint == "height") span = {50, hint == "width" ? screen.size.width : screen.size.height};
    if (const auto found = spans.find(hint); found != spans.end()) span = found->second;
    const double lo = std::max(span.first, arg.min), hi = std::min(span.second, arg.max);
    const double value = std::round(random_.between(lo, hi) * 100) / 100;
    return formatNumber(arg.aboveMin && value <= arg.min ? hi : value);
  }

  std::string value(const Arg& arg, std::string_view hint) {
    if (arg.choices && (arg.kind == Arg::Kind::choice || random_.chance(0.3)))
      return std::string(random_.pick(*arg.choices).word);
    switch (arg.kind) {
      case Arg::Kind::number: return number(arg, hint);
      case Arg::Kind::whole: {  // mostly small, now and then anywhere in a wide span
        const bool wide = random_.chance(0.3);
        const double lo = wide ? std::max(arg.min, -20000.0) : std::clamp(0.0, arg.min, arg.max);
        const double hi = std::min(arg.max, wide ? 1e10 : lo + 6);
        return std::to_string(static_cast<std::int64_t>(lo + std::floor(random_.uniform() * (hi - lo + 1))));
      }
      case Arg::Kind::flag: return formatBool(random_.chance(0.5));
      case Arg::Kind::onOff: return random_.chance(0.5) ? "on" : "off";
      case Arg::Kind::word: return random_.pick<std::string>({"AVFoundationErrorDomain", "NSOSStatusErrorDomain"});
      default: return random_.pick<std::string>({"1", "2.5", "-4", "audio"});
    }
  }

  /// ` NAME` of one of the world's cameras, or nothing (the current camera).
  std::string cameraName() {
    const auto cameras = runner_.world().capture().cameras();
    if (cameras.empty() || random_.chance(0.3)) return "";
    return " " + random_.pick(cameras)->uniqueID();
  }

  /// `world camera`: a place and a type, and now and then an option.
  std::string camera(const Command& command) {
    std::string words = value(command.args[0], {}) + " " + value(command.args[1], {});
    for (const kivocam::CameraOption& option : kivocam::cameraOptions()) {
      if (!random_.chance(0.1)) continue;
      const std::string name(option.name);
      if (option.usage.starts_with('+'))
        words += (random_.chance(0.5) ? " +" : " -") + name;
      else if (const auto values = cameraOptionValues().find(option.name); values != cameraOptionValues().end())
        words += " " + name + "=" + random_.pick(values->second);
    }
    return words;
  }

  Random random_;
  kivocam::Runner& runner_;
  const double maxAdvance_;
};

}  // namespace kivorandom
