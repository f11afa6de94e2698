#pragma once
// JPEG files of RGB pictures, through libjpeg: how camera layers encode their
// stills, and how a picture is read back from one.
// Thread-safe
// Pure functions.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "Foundation/Data.h"

/// An RGB picture: rows top to bottom, 3 bytes (R, G, B) a pixel.
struct CGRGBPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;

  const std::uint8_t* at(int x, int y) const { return &pixels[(static_cast<std::size_t>(y) * width + x) * 3]; }
};

/// Baseline JPEG of `width` x `height` RGB rows at `quality` (clamped to
/// 0-100), or none when the size is empty or larger than `rgb` holds, or
/// libjpeg fails.
std::optional<Data> CGJPEGEncodeRGB(const std::vector<std::uint8_t>& rgb, int width, int height, int quality);

/// The picture, or none when `data` is not a JPEG libjpeg can read.
std::optional<CGRGBPicture> CGJPEGDecodeRGB(const Data& data);
