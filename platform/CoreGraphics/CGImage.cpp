#include "CoreGraphics/CGImage.h"

#include <stdexcept>
#include <utility>

namespace {
constexpr int kMaximumSide = 16384;
}

CGImage::CGImage(int width, int height, std::size_t bytesPerRow, CGImagePixelLayout layout, const std::uint8_t* data,
                 std::shared_ptr<const void> owner)
    : width_(width), height_(height), bytesPerRow_(bytesPerRow), layout_(layout), data_(data), owner_(std::move(owner)) {
  if (width < 1 || width > kMaximumSide || height < 1 || height > kMaximumSide)
    throw std::invalid_argument("CGImage: width and height must be 1 ... 16384");
  if (bytesPerRow < static_cast<std::size_t>(width) * 4)
    throw std::invalid_argument("CGImage: bytesPerRow must be at least 4 x width");
  if (data == nullptr) throw std::invalid_argument("CGImage: data must not be null");
  switch (layout) {
    case CGImagePixelLayout::rgbaPremultiplied:
    case CGImagePixelLayout::rgbaStraight:
    case CGImagePixelLayout::bgraOpaque:
    case CGImagePixelLayout::rgbaOpaque:
      return;
  }
  throw std::invalid_argument("CGImage: unknown pixel layout");
}
