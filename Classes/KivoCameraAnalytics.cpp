#include "KivoCameraAnalytics.h"

#include <map>

#include "Foundation/JSONEncoder.h"
#include "Kivo/KivoCore.h"

namespace {

void send(const TrackingParameters& parameters) {
  Kivo()->Tracking_Event(KivoCameraAnalytics::kEventName, parameters);
}

std::string codeText(KivoCameraError error) { return std::to_string(rawValue(error)); }

}  // namespace

void KivoCameraAnalytics::analytics(KivoCameraAuthorizationStatus status) {
  send({{"status", std::to_string(rawValue(status))}});
}

void KivoCameraAnalytics::analytics(KivoCameraError errorCode, std::optional<std::int64_t> contentCode) {
  TrackingParameters parameters{{"code", codeText(errorCode)}};
  if (contentCode) parameters.emplace("content", std::to_string(*contentCode));
  send(parameters);
}

void KivoCameraAnalytics::analytics(KivoCameraPerfomanceStep step, KivoCameraError errorCode) {
  send({{"code", codeText(errorCode)}, {"step", std::string(rawValue(step))}});
}

void KivoCameraAnalytics::analytics(KivoCameraPerfomanceStep step, double time, const std::string& sessionPreset,
                                    std::optional<std::int64_t> cameraPosition,
                                    std::optional<std::int64_t> flashMode) {
  TrackingParameters parameters{
      {"step", std::string(rawValue(step))}, {"time", NSNumber(time)}, {"mode", sessionPreset}};
  if (step == KivoCameraPerfomanceStep::capture) {
    if (cameraPosition) parameters.emplace("integer1", NSNumber(*cameraPosition));
    if (flashMode) parameters.emplace("integer2", NSNumber(*flashMode));
  }
  send(parameters);
}

void KivoCameraAnalytics::analyticsColorSpacesError(const std::vector<std::string>& supportedColorSpaces,
                                                    const std::string& activeColorSpace) {
  std::string joined;
  for (const auto& space : supportedColorSpaces) {
    if (!joined.empty()) joined.push_back(',');
    joined.append(space);
  }
  if (supportedColorSpaces.empty()) joined = "NULL";
  const auto json = JSONEncoder::encode(
      std::map<std::string, std::string>{{"SupportedColorSpaces", joined}, {"ActiveColorSpace", activeColorSpace}});
  if (!json) return;
  send({{"code", codeText(KivoCameraError::notSupportedActiveColorSpace)}, {"content", *json}});
}
