#include "UIKit/UIImage.h"

#include <png.h>

#include <cstring>
#include <fstream>
#include <iterator>

UIImage::UIImage(std::uint32_t width, std::uint32_t height, std::vector<std::uint8_t> rgba)
    : width_(width),
      height_(height),
      pixels_(std::make_shared<const std::vector<std::uint8_t>>(std::move(rgba))) {}

CGImageRef UIImage::CGImage() const {
  std::call_once(imageMade_, [this] {
    const bool drawable = width_ > 0 && height_ > 0 && width_ <= kMaximumSide && height_ <= kMaximumSide &&
                          pixels_->size() >= std::size_t{width_} * height_ * 4;
    if (!drawable) return;
    image_ = std::make_shared<const ::CGImage>(static_cast<int>(width_), static_cast<int>(height_),
                                               std::size_t{width_} * 4, CGImagePixelLayout::rgbaStraight,
                                               pixels_->data(), pixels_);
  });
  return image_;
}

std::shared_ptr<UIImage> UIImage::imageWithPixels(std::uint32_t width, std::uint32_t height,
                                                  std::vector<std::uint8_t> rgba) {
  if (width == 0 || height == 0) return nullptr;
  if (rgba.size() != std::size_t{width} * height * 4) return nullptr;
  return std::make_shared<UIImage>(width, height, std::move(rgba));
}

std::shared_ptr<UIImage> UIImage::imageWithData(const Data& data) {
  // The simplified libpng interface reports failures through its return value
  // and never long-jumps through our frames.
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (data.empty() || !png_image_begin_read_from_memory(&image, data.data(), data.size())) {
    png_image_free(&image);
    return nullptr;
  }
  if (image.width == 0 || image.height == 0 || image.width > kMaximumSide || image.height > kMaximumSide) {
    png_image_free(&image);
    return nullptr;
  }
  image.format = PNG_FORMAT_RGBA;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    return nullptr;
  }
  return std::make_shared<UIImage>(image.width, image.height, std::move(pixels));
}

std::shared_ptr<UIImage> UIImage::imageWithContentsOfFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return nullptr;
  Data bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return nullptr;
  return imageWithData(bytes);
}
