#pragma once
// Images as the drawing API reads them: a rectangle of 8-bit pixels in one of
// a few layouts, rows top to bottom. An image does not copy its pixels: it
// points at them and may hold an owner that keeps them alive, so a camera
// frame or a decoded picture can be drawn where it lies.
// Thread-safe
// Immutable, as long as the pixels it points at do not change.

#include <cstddef>
#include <cstdint>
#include <memory>

/// Byte order of a pixel and how its alpha is stored.
enum class CGImagePixelLayout {
  rgbaPremultiplied,  // R, G, B, A; colour already multiplied by alpha
  rgbaStraight,       // R, G, B, A; colour not multiplied by alpha
  bgraOpaque,         // B, G, R, X; the fourth byte is ignored (a camera frame)
  rgbaOpaque,         // R, G, B, X; the fourth byte is ignored
};

class CGImage {
 public:
  /// An image of `width` x `height` pixels at `data`, `bytesPerRow` apart.
  /// `owner`, when given, is held as long as the image (and its copies) live.
  /// Sizes must be 1 ... 16384 and `bytesPerRow` at least 4 x width, with
  /// `data` non-null (a programming error otherwise: std::invalid_argument).
  CGImage(int width, int height, std::size_t bytesPerRow, CGImagePixelLayout layout, const std::uint8_t* data,
          std::shared_ptr<const void> owner = nullptr);

  int width() const { return width_; }
  int height() const { return height_; }
  std::size_t bytesPerRow() const { return bytesPerRow_; }
  CGImagePixelLayout layout() const { return layout_; }
  const std::uint8_t* data() const { return data_; }
  bool isOpaque() const { return layout_ == CGImagePixelLayout::bgraOpaque || layout_ == CGImagePixelLayout::rgbaOpaque; }

 private:
  int width_;
  int height_;
  std::size_t bytesPerRow_;
  CGImagePixelLayout layout_;
  const std::uint8_t* data_;
  std::shared_ptr<const void> owner_;
};

using CGImageRef = std::shared_ptr<const CGImage>;
