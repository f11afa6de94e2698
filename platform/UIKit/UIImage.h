#pragma once
// Images of the view system: decoded RGBA pixels.
// Thread-safe
// Immutable once made, so one image may be shared and read from any thread.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CoreGraphics/CGGeometry.h"
#include "CoreGraphics/CGImage.h"
#include "Foundation/Data.h"

class UIImage {
 public:
  /// Decodes PNG bytes; null when they are not a PNG this platform can read.
  static std::shared_ptr<UIImage> imageWithData(const Data& data);
  /// Reads and decodes a PNG file; null when it is missing or unreadable.
  static std::shared_ptr<UIImage> imageWithContentsOfFile(const std::string& path);
  /// An image of `width` × `height` pixels, rows top to bottom, 4 bytes per
  /// pixel (R, G, B, A, alpha not premultiplied). Null when the sizes disagree
  /// or are zero.
  static std::shared_ptr<UIImage> imageWithPixels(std::uint32_t width, std::uint32_t height,
                                                  std::vector<std::uint8_t> rgba);

  /// Size in points; with a scale of 1, one point per pixel.
  CGSize size() const { return {static_cast<CGFloat>(width_), static_cast<CGFloat>(height_)}; }
  CGFloat scale() const { return 1; }
  std::uint32_t pixelWidth() const { return width_; }
  std::uint32_t pixelHeight() const { return height_; }
  /// Row-major RGBA8, straight alpha, pixelWidth() * pixelHeight() * 4 bytes.
  const std::vector<std::uint8_t>& rgbaPixels() const { return *pixels_; }
  /// The pixels as a drawing image, made on first use and then shared; it
  /// keeps the pixels alive as long as it lives. Null when the image is
  /// larger than drawing accepts (kMaximumSide a side) or has no pixels.
  CGImageRef CGImage() const;

  /// Largest side accepted from a file, guarding against absurd headers.
  static constexpr std::uint32_t kMaximumSide = 16384;

  UIImage(std::uint32_t width, std::uint32_t height, std::vector<std::uint8_t> rgba);

 private:
  std::uint32_t width_;
  std::uint32_t height_;
  std::shared_ptr<const std::vector<std::uint8_t>> pixels_;
  mutable std::once_flag imageMade_;
  mutable CGImageRef image_;
};
