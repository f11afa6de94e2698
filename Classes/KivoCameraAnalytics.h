#pragma once
// KivoCameraAnalytics: builds and sends the component's analytics events.
// Every event is named "kivo_camera"; parameters are texts except "time" (a
// double) and "integer1"/"integer2" (integers). Each builder fetches the
// host's tracker with Kivo() anew and sends at once on the calling queue.
// Thread-safe
// Stateless.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "KivoCameraEnum.h"

class KivoCameraAnalytics {
 public:
  static constexpr const char* kEventName = "kivo_camera";

  /// "status": the permission outcome.
  static void analytics(KivoCameraAuthorizationStatus status);
  /// "code", and "content" when a content code is given.
  static void analytics(KivoCameraError errorCode, std::optional<std::int64_t> contentCode = std::nullopt);
  /// "code" and "step": a preview check finding.
  static void analytics(KivoCameraPerfomanceStep step, KivoCameraError errorCode);
  /// "step", "time" and "mode"; for the capture step also "integer1" (the
  /// camera position) and "integer2" (the flash mode) when given.
  static void analytics(KivoCameraPerfomanceStep step, double time, const std::string& sessionPreset,
                        std::optional<std::int64_t> cameraPosition, std::optional<std::int64_t> flashMode);
  /// "code" 30000 and "content" the JSON of the supported colour spaces
  /// (joined with ",", or "NULL" when none) and the active one. Nothing is
  /// sent when the JSON cannot be made.
  static void analyticsColorSpacesError(const std::vector<std::string>& supportedColorSpaces,
                                        const std::string& activeColorSpace);
};
