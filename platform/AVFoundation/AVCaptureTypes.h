#pragma once
// The capture framework's vocabulary: media types, device types, session
// presets, video gravities, notification names and keys, and the raw-valued
// enumerations.
// Thread-safe
// Constants and plain values.
//
// String constants are spelled as the platform spells them; their text is
// what traces and logs show.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

using AVMediaType = std::string_view;
inline constexpr AVMediaType AVMediaTypeVideo = "vide";
inline constexpr AVMediaType AVMediaTypeAudio = "soun";

using AVCaptureDeviceType = std::string_view;
inline constexpr AVCaptureDeviceType AVCaptureDeviceTypeBuiltInWideAngleCamera =
    "AVCaptureDeviceTypeBuiltInWideAngleCamera";
inline constexpr AVCaptureDeviceType AVCaptureDeviceTypeBuiltInDualCamera = "AVCaptureDeviceTypeBuiltInDualCamera";
inline constexpr AVCaptureDeviceType AVCaptureDeviceTypeBuiltInDualWideCamera =
    "AVCaptureDeviceTypeBuiltInDualWideCamera";
inline constexpr AVCaptureDeviceType AVCaptureDeviceTypeBuiltInTripleCamera =
    "AVCaptureDeviceTypeBuiltInTripleCamera";

using AVCaptureSessionPreset = std::string_view;
inline constexpr AVCaptureSessionPreset AVCaptureSessionPresetPhoto = "AVCaptureSessionPresetPhoto";
inline constexpr AVCaptureSessionPreset AVCaptureSessionPresetHigh = "AVCaptureSessionPresetHigh";
inline constexpr AVCaptureSessionPreset AVCaptureSessionPresetMedium = "AVCaptureSessionPresetMedium";
inline constexpr AVCaptureSessionPreset AVCaptureSessionPresetLow = "AVCaptureSessionPresetLow";
inline constexpr AVCaptureSessionPreset AVCaptureSessionPreset352x288 = "AVCaptureSessionPreset352x288";
inline constexpr AVCaptureSessionPreset AVCaptureSessionPreset640x480 = "AVCaptureSessionPreset640x480";
inline constexpr AVCaptureSessionPreset AVCaptureSessionPreset1280x720 = "AVCaptureSessionPreset1280x720";
inline constexpr AVCaptureSessionPreset AVCaptureSessionPreset1920x1080 = "AVCaptureSessionPreset1920x1080";
inline constexpr AVCaptureSessionPreset AVCaptureSessionPreset3840x2160 = "AVCaptureSessionPreset3840x2160";
inline constexpr AVCaptureSessionPreset AVCaptureSessionPresetiFrame960x540 = "AVCaptureSessionPresetiFrame960x540";
inline constexpr AVCaptureSessionPreset AVCaptureSessionPresetiFrame1280x720 =
    "AVCaptureSessionPresetiFrame1280x720";
inline constexpr AVCaptureSessionPreset AVCaptureSessionPresetInputPriority = "AVCaptureSessionPresetInputPriority";

/// Every preset a camera can support (the input-priority marker is not one).
inline constexpr std::array<AVCaptureSessionPreset, 11> AVCaptureSessionPresetsAll{
    AVCaptureSessionPresetPhoto,         AVCaptureSessionPresetHigh,          AVCaptureSessionPresetMedium,
    AVCaptureSessionPresetLow,           AVCaptureSessionPreset352x288,       AVCaptureSessionPreset640x480,
    AVCaptureSessionPreset1280x720,      AVCaptureSessionPreset1920x1080,     AVCaptureSessionPreset3840x2160,
    AVCaptureSessionPresetiFrame960x540, AVCaptureSessionPresetiFrame1280x720};

/// True for the presets of AVCaptureSessionPresetsAll and the input-priority marker.
bool AVCaptureSessionPresetIsKnown(std::string_view preset);

using AVLayerVideoGravity = std::string_view;
inline constexpr AVLayerVideoGravity AVLayerVideoGravityResizeAspect = "AVLayerVideoGravityResizeAspect";
inline constexpr AVLayerVideoGravity AVLayerVideoGravityResizeAspectFill = "AVLayerVideoGravityResizeAspectFill";
inline constexpr AVLayerVideoGravity AVLayerVideoGravityResize = "AVLayerVideoGravityResize";

// Session notifications and their user-info keys.
inline constexpr std::string_view AVCaptureSessionRuntimeErrorNotification = "AVCaptureSessionRuntimeErrorNotification";
inline constexpr std::string_view AVCaptureSessionWasInterruptedNotification =
    "AVCaptureSessionWasInterruptedNotification";
inline constexpr std::string_view AVCaptureSessionInterruptionEndedNotification =
    "AVCaptureSessionInterruptionEndedNotification";
inline constexpr std::string_view AVCaptureSessionErrorKey = "AVCaptureSessionErrorKey";
inline constexpr std::string_view AVCaptureSessionInterruptionReasonKey = "AVCaptureSessionInterruptionReasonKey";

inline constexpr std::string_view AVFoundationErrorDomain = "AVFoundationErrorDomain";

/// Error codes of AVFoundationErrorDomain used here.
enum AVError : std::int64_t {
  AVErrorUnknown = -11800,
  AVErrorDeviceNotConnected = -11814,
  AVErrorSessionNotRunning = -11803,
};

enum class AVAuthorizationStatus : std::int64_t { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };

enum class AVCaptureDevicePosition : std::int64_t { unspecified = 0, back = 1, front = 2 };
std::optional<AVCaptureDevicePosition> AVCaptureDevicePositionFromRawValue(std::int64_t raw);

enum class AVCaptureFocusMode : std::int64_t { locked = 0, autoFocus = 1, continuousAutoFocus = 2 };
enum class AVCaptureExposureMode : std::int64_t { locked = 0, autoExpose = 1, continuousAutoExposure = 2, custom = 3 };
enum class AVCaptureWhiteBalanceMode : std::int64_t { locked = 0, autoWhiteBalance = 1, continuousAutoWhiteBalance = 2 };
enum class AVCaptureTorchMode : std::int64_t { off = 0, on = 1, automatic = 2 };

enum class AVCaptureFlashMode : std::int64_t { off = 0, on = 1, automatic = 2 };
std::optional<AVCaptureFlashMode> AVCaptureFlashModeFromRawValue(std::int64_t raw);

enum class AVCaptureVideoOrientation : std::int64_t {
  portrait = 1,
  portraitUpsideDown = 2,
  landscapeRight = 3,
  landscapeLeft = 4,
};
std::optional<AVCaptureVideoOrientation> AVCaptureVideoOrientationFromRawValue(std::int64_t raw);

enum class AVCaptureSessionInterruptionReason : std::int64_t {
  videoDeviceNotAvailableInBackground = 1,
  audioDeviceInUseByAnotherClient = 2,
  videoDeviceInUseByAnotherClient = 3,
  videoDeviceNotAvailableWithMultipleForegroundApps = 4,
  videoDeviceNotAvailableDueToSystemPressure = 5,
};

/// Colour spaces of a device format.
enum class AVCaptureColorSpace : std::int64_t { sRGB = 0, P3_D65 = 1, HLG_BT2020 = 2, logEncoded = 3 };

/// The raw value of a raw-valued enumeration.
template <class E>
constexpr std::int64_t rawValue(E value) {
  return static_cast<std::int64_t>(value);
}
