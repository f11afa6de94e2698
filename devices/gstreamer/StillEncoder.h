#pragma once
// Stills as files: a JPEG (libjpeg) of RGB rows.
// Thread-safe
// A pure function.

#include <cstdint>
#include <optional>
#include <vector>

#include "Foundation/Data.h"

namespace gstcam {

/// Baseline JPEG of `width` x `height` RGB rows (3 bytes a pixel), or none
/// when libjpeg fails.
std::optional<Data> encodeJPEG(const std::vector<std::uint8_t>& rgb, int width, int height, int quality = 90);

}  // namespace gstcam
