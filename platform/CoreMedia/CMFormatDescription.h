#pragma once
// Pixel format codes of video frames and the dictionary key that selects one
// in output settings.
// Thread-safe
// Constants only.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

using OSType = std::uint32_t;

inline constexpr OSType kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange = 875704438;  // '420v'
inline constexpr OSType kCVPixelFormatType_420YpCbCr8BiPlanarFullRange = 875704422;   // '420f'
inline constexpr OSType kCVPixelFormatType_32BGRA = 1111970369;                        // 'BGRA'
inline constexpr OSType kCMVideoCodecType_JPEG = 1785750887;                          // 'jpeg'

inline constexpr std::string_view kCVPixelBufferPixelFormatTypeKey = "PixelFormatType";

/// Output settings: keys such as kCVPixelBufferPixelFormatTypeKey to numbers.
using CVPixelBufferAttributes = std::map<std::string, std::int64_t, std::less<>>;
