// The options of `world camera`: each changes one thing in the description
// of the simulated camera the line adds.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "AVFoundation/AVCaptureTypes.h"
#include "Commands.h"
#include "Scenario.h"

namespace kivocam {

namespace {

template <bool AVCaptureDeviceDescription::*field>
void toggle(AVCaptureDeviceDescription& camera, std::string_view sign, const std::string&) {
  camera.*field = sign == "+";
}

std::vector<std::string_view> splitList(std::string_view text) {
  std::vector<std::string_view> items;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    items.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
    if (text.empty()) items.emplace_back();  // "1," ends in an empty item
  }
  return items;
}

constexpr double kInf = std::numeric_limits<double>::infinity();
// The bias and the ISO are 32-bit values: a number beyond the 32-bit range is
// refused rather than read as infinity.
constexpr double kFloatMax = arg::kLargestNumber32;

double number(std::string_view text, const std::string& what, double min, double max = kInf) {
  return readArg(arg::number({}, min, max), text, what).number;
}

std::int64_t whole(std::string_view text, const std::string& what, double min = -kInf) {
  return readArg(arg::whole({}, min, kInf), text, what).whole;
}

const Choices& presetWords() {
  static const Choices words = [] {
    Choices all;
    for (const auto preset : AVCaptureSessionPresetsAll) all.push_back({preset});
    return all;
  }();
  return words;
}

}  // namespace

const std::vector<CameraOption>& cameraOptions() {
  using D = AVCaptureDeviceDescription;
  using W = std::string_view;
  using S = const std::string&;
  static const std::vector<CameraOption> options{
      {"torch", "+torch|-torch", "a torch (default: back cameras)", toggle<&D::hasTorch>},
      {"flash", "+flash|-flash", "a flash (default: back cameras)", toggle<&D::hasFlash>},
      {"poi", "+poi|-poi", "a focus point of interest (default on)", toggle<&D::focusPointOfInterestSupported>},
      {"continuous-focus", "+continuous-focus|-continuous-focus", "continuous autofocus (default on)",
       toggle<&D::continuousAutoFocusSupported>},
      {"smooth-focus", "+smooth-focus|-smooth-focus", "smooth autofocus (default on)",
       toggle<&D::smoothAutoFocusSupported>},
      {"continuous-exposure", "+continuous-exposure|-continuous-exposure", "continuous auto exposure (default on)",
       toggle<&D::continuousAutoExposureSupported>},
      {"continuous-wb", "+continuous-wb|-continuous-wb", "continuous auto white balance (default on)",
       toggle<&D::continuousAutoWhiteBalanceSupported>},
      {"low-light-boost", "+low-light-boost|-low-light-boost", "low-light boost (default on)",
       toggle<&D::lowLightBoostSupported>},
      {"min-focus", "min-focus=N",
       "the minimum focus distance in mm, a whole number >= 0 (default 120 back, 200 front)",
       [](D& c, W v, S what) { c.minimumFocusDistance = whole(v, what, 0); }},
      {"bias", "bias=MIN..MAX", "the exposure target bias range, 32-bit numbers, MIN <= MAX (default -8..8)",
       [](D& c, W v, S what) {
         const std::size_t dots = v.find("..");
         if (dots == std::string_view::npos)
           throw ScenarioError(what + ": expected MIN..MAX, not \"" + std::string(v) + "\"");
         const double low = number(v.substr(0, dots), what, -kFloatMax, kFloatMax);
         const double high = number(v.substr(dots + 2), what, -kFloatMax, kFloatMax);
         if (low > high)
           throw ScenarioError(what + ": expected MIN..MAX with MIN <= MAX, not \"" + std::string(v) + "\"");
         c.minExposureTargetBias = static_cast<float>(low);
         c.maxExposureTargetBias = static_cast<float>(high);
       }},
      {"iso", "iso=N", "the ISO, a 32-bit number >= 0 (default 100)",
       [](D& c, W v, S what) { c.iso = static_cast<float>(number(v, what, 0, kFloatMax)); }},
      {"color-spaces", "color-spaces=A,B,...", "the supported colour spaces, whole numbers; may be none (default 0,1)",
       [](D& c, W v, S what) {
         c.supportedColorSpaces.clear();
         for (const std::string_view item : splitList(v)) c.supportedColorSpaces.push_back(whole(item, what));
       }},
      {"active-color-space", "active-color-space=N", "the active colour space, a whole number (default 0)",
       [](D& c, W v, S what) { c.activeColorSpace = whole(v, what); }},
      {"presets", "presets=P,P,...", "the session presets it supports, by name (default all)",
       [](D& c, W v, S what) {
         const Arg preset = arg::oneOf(presetWords(), {}, "session preset");
         c.supportedSessionPresets.clear();
         for (const std::string_view item : splitList(v))
           c.supportedSessionPresets.push_back(readArg(preset, item, what).word);
       }},
      {"fps", "fps=N", "the video frame rate, 1 to 1000 (default 30)",
       [](D& c, W v, S what) { c.frameRate = number(v, what, 1, 1000); }},
      {"max-zoom", "max-zoom=N", "the highest zoom factor, at least 1 (default 16)",
       [](D& c, W v, S what) { c.maxVideoZoomFactor = number(v, what, 1); }},
  };
  return options;
}

sim::CameraSetup cameraFromWords(AVCaptureDevicePosition position, sim::CameraType type,
                                 const std::vector<Value>& options, const std::string& what) {
  auto setup = sim::CameraSetup::defaults(position, type);
  for (const Value& option : options) {
    const std::string_view text = option.word;
    const bool isSwitch = text.starts_with('+') || text.starts_with('-');
    const std::size_t equals = text.find('=');
    const std::string_view name = isSwitch ? text.substr(1) : text.substr(0, equals);
    const auto& all = cameraOptions();
    const auto found = std::find_if(all.begin(), all.end(), [&](const CameraOption& o) {
      return o.name == name && o.usage.starts_with('+') == isSwitch;
    });
    if (found == all.end() || (!isSwitch && equals == std::string_view::npos))
      throw ScenarioError(what + ": unknown option \"" + std::string(text) + "\"");
    found->apply(setup.description, isSwitch ? text.substr(0, 1) : text.substr(equals + 1),
                 what + ": " + std::string(name));
  }
  return setup;
}

}  // namespace kivocam
