#pragma once
// Pixel buffers: the picture of one video frame, in one of the three pixel
// formats video outputs offer ('420v', '420f', 'BGRA'), as planes of bytes
// with their strides.
//
// A buffer's pixels are made on first access: a device layer that can draw a
// frame on demand hands over a painter instead of bytes, so a frame that
// nobody looks at costs no drawing and no pixel memory. Layouts:
//   - 'BGRA': one plane, 4 bytes a pixel (B, G, R, A), rows of 4 x width bytes;
//   - '420v' / '420f': plane 0 is luma (1 byte a pixel, rows of width bytes),
//     plane 1 interleaved Cb, Cr at half resolution each way (rounded up;
//     rows of 2 x ceil(width / 2) bytes). '420v' uses video range (luma
//     16-235, chroma 16-240), '420f' full range (0-255).
//
// Thread-safe
// The geometry is fixed at creation, and the first access from any thread
// paints the pixels once; they are never changed afterwards.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "CoreMedia/CMFormatDescription.h"

class CVPixelBuffer {
 public:
  /// Fills the planes of `buffer` (already sized; planes[i] is the first byte
  /// of plane i). Must not touch the buffer's own pixel accessors.
  using Painter = std::function<void(const CVPixelBuffer& buffer, std::uint8_t* const* planes)>;

  /// True for the three formats a buffer can have.
  static bool isSupportedPixelFormat(OSType format);

  /// A buffer painted on first access. Width and height must be 1 ... 16384
  /// and the format supported (a programming error otherwise).
  CVPixelBuffer(int width, int height, OSType pixelFormat, Painter painter);
  /// A buffer with its bytes already made, in the layout above (the size must
  /// match it exactly; a programming error otherwise).
  CVPixelBuffer(int width, int height, OSType pixelFormat, std::vector<std::uint8_t> bytes);
  CVPixelBuffer(const CVPixelBuffer&) = delete;
  CVPixelBuffer& operator=(const CVPixelBuffer&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  OSType pixelFormatType() const { return format_; }
  std::size_t planeCount() const { return planeCount_; }
  int widthOfPlane(std::size_t plane) const;
  int heightOfPlane(std::size_t plane) const;
  std::size_t bytesPerRowOfPlane(std::size_t plane) const;
  /// Total bytes of pixel memory once painted.
  std::size_t dataSize() const { return size_; }

  /// The first byte of a plane; paints the pixels if they were not made yet.
  const std::uint8_t* baseAddressOfPlane(std::size_t plane) const;
  /// Whether the pixels exist yet (for diagnostics and tests).
  bool isPainted() const;

  /// The colour at (x, y) as 8-bit R, G, B, converted from the buffer's
  /// format (BT.601). Paints the pixels if needed. Out of range: black.
  std::array<std::uint8_t, 3> rgbAt(int x, int y) const;

 private:
  void layOut();
  void paint() const;

  const int width_;
  const int height_;
  const OSType format_;
  std::size_t planeCount_ = 1;
  std::array<std::size_t, 2> offsets_{};
  std::array<std::size_t, 2> strides_{};
  std::size_t size_ = 0;
  mutable std::once_flag painted_;
  mutable std::atomic<bool> ready_{false};
  mutable Painter painter_;
  mutable std::vector<std::uint8_t> bytes_;
};

using CVPixelBufferRef = std::shared_ptr<const CVPixelBuffer>;
using CVImageBufferRef = CVPixelBufferRef;

/// Writes an RGB picture (3 bytes a pixel, rows of 3 x width bytes, the
/// buffer's own size) into `planes` in the buffer's format. For painters.
void CVPixelBufferWriteRGB(const CVPixelBuffer& buffer, std::uint8_t* const* planes, const std::uint8_t* rgb);

// The platform's accessor functions; none for a null buffer.
inline std::size_t CVPixelBufferGetWidth(const CVPixelBufferRef& b) { return b ? b->width() : 0; }
inline std::size_t CVPixelBufferGetHeight(const CVPixelBufferRef& b) { return b ? b->height() : 0; }
inline OSType CVPixelBufferGetPixelFormatType(const CVPixelBufferRef& b) { return b ? b->pixelFormatType() : 0; }
inline std::size_t CVPixelBufferGetPlaneCount(const CVPixelBufferRef& b) { return b ? b->planeCount() : 0; }
