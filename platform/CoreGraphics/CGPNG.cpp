// PNG encoding of a bitmap context through libpng's simplified interface,
// which reports failures through its return value and never long-jumps
// through our frames.
#include <png.h>

#include <cstring>
#include <vector>

#include "CoreGraphics/CGContext.h"

std::optional<Data> CGBitmapContextCreatePNGData(const CGContext& context) {
  const int width = context.width(), height = context.height();
  const std::uint8_t* const pixels = context.data();
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  bool opaque = true;
  for (std::size_t i = 0; i < count && opaque; ++i) opaque = pixels[i * 4 + 3] == 255;

  // Straight colour, 3 or 4 bytes a pixel.
  const int channels = opaque ? 3 : 4;
  std::vector<std::uint8_t> straight(count * static_cast<std::size_t>(channels));
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = pixels + i * 4;
    std::uint8_t* q = straight.data() + i * static_cast<std::size_t>(channels);
    const unsigned a = p[3];
    if (opaque) {
      std::memcpy(q, p, 3);
      continue;
    }
    for (int c = 0; c < 3; ++c) {
      const unsigned v = a == 0 ? 0 : (p[c] * 255u + a / 2) / a;
      q[c] = static_cast<std::uint8_t>(v > 255 ? 255 : v);
    }
    q[3] = static_cast<std::uint8_t>(a);
  }

  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = opaque ? PNG_FORMAT_RGB : PNG_FORMAT_RGBA;
  const auto stride = static_cast<png_int_32>(width * channels);
  // First the size, then the bytes.
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, straight.data(), stride, nullptr) || size == 0) {
    png_image_free(&image);
    return std::nullopt;
  }
  Data png(size);
  if (!png_image_write_to_memory(&image, png.data(), &size, 0, straight.data(), stride, nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  png.resize(size);
  return png;
}
