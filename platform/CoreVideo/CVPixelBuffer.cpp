#include "CoreVideo/CVPixelBuffer.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "Foundation/FatalError.h"

namespace {

constexpr int kMaxDimension = 16384;

bool biplanar(OSType format) {
  return format == kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange ||
         format == kCVPixelFormatType_420YpCbCr8BiPlanarFullRange;
}

std::uint8_t clampByte(double value) { return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L)); }

// BT.601 luma and colour differences of 8-bit RGB, in 0 ... 1 and -0.5 ... 0.5.
struct YCbCr {
  double y, cb, cr;
};

YCbCr toYCbCr(const std::uint8_t* rgb) {
  const double r = rgb[0] / 255.0, g = rgb[1] / 255.0, b = rgb[2] / 255.0;
  const double y = 0.299 * r + 0.587 * g + 0.114 * b;
  return {y, (b - y) / 1.772, (r - y) / 1.402};
}

}  // namespace

bool CVPixelBuffer::isSupportedPixelFormat(OSType format) {
  return format == kCVPixelFormatType_32BGRA || biplanar(format);
}

CVPixelBuffer::CVPixelBuffer(int width, int height, OSType pixelFormat, Painter painter)
    : width_(width), height_(height), format_(pixelFormat), painter_(std::move(painter)) {
  layOut();
}

CVPixelBuffer::CVPixelBuffer(int width, int height, OSType pixelFormat, std::vector<std::uint8_t> bytes)
    : width_(width), height_(height), format_(pixelFormat), bytes_(std::move(bytes)) {
  layOut();
  if (bytes_.size() != size_) fatalError("CVPixelBuffer: the bytes do not match the size and format");
  std::call_once(painted_, [] {});
  ready_.store(true, std::memory_order_release);
}

void CVPixelBuffer::layOut() {
  if (width_ < 1 || height_ < 1 || width_ > kMaxDimension || height_ > kMaxDimension)
    fatalError("CVPixelBuffer: width and height must be 1 ... 16384, not " + std::to_string(width_) + " x " +
               std::to_string(height_));
  if (!isSupportedPixelFormat(format_)) fatalError("CVPixelBuffer: unsupported pixel format " + std::to_string(format_));
  const auto w = static_cast<std::size_t>(width_);
  const auto h = static_cast<std::size_t>(height_);
  if (!biplanar(format_)) {
    planeCount_ = 1;
    strides_[0] = 4 * w;
    size_ = strides_[0] * h;
    return;
  }
  planeCount_ = 2;
  strides_[0] = w;
  strides_[1] = 2 * ((w + 1) / 2);
  offsets_[1] = strides_[0] * h;
  size_ = offsets_[1] + strides_[1] * ((h + 1) / 2);
}

int CVPixelBuffer::widthOfPlane(std::size_t plane) const {
  if (plane >= planeCount_) return 0;
  return plane == 0 ? width_ : (width_ + 1) / 2;
}

int CVPixelBuffer::heightOfPlane(std::size_t plane) const {
  if (plane >= planeCount_) return 0;
  return plane == 0 ? height_ : (height_ + 1) / 2;
}

std::size_t CVPixelBuffer::bytesPerRowOfPlane(std::size_t plane) const {
  return plane < planeCount_ ? strides_[plane] : 0;
}

void CVPixelBuffer::paint() const {
  std::call_once(painted_, [this] {
    bytes_.assign(size_, 0);
    std::uint8_t* planes[2] = {bytes_.data(), bytes_.data() + offsets_[1]};
    if (painter_) painter_(*this, planes);
    painter_ = nullptr;  // what it captured is no longer needed
    ready_.store(true, std::memory_order_release);
  });
}

const std::uint8_t* CVPixelBuffer::baseAddressOfPlane(std::size_t plane) const {
  if (plane >= planeCount_) return nullptr;
  paint();
  return bytes_.data() + offsets_[plane];
}

bool CVPixelBuffer::isPainted() const { return ready_.load(std::memory_order_acquire); }

std::array<std::uint8_t, 3> CVPixelBuffer::rgbAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return {0, 0, 0};
  paint();
  const auto ux = static_cast<std::size_t>(x);
  const auto uy = static_cast<std::size_t>(y);
  if (!biplanar(format_)) {
    const std::uint8_t* p = bytes_.data() + uy * strides_[0] + 4 * ux;
    return {p[2], p[1], p[0]};
  }
  const std::uint8_t* chroma = bytes_.data() + offsets_[1] + (uy / 2) * strides_[1] + 2 * (ux / 2);
  double luma = bytes_[uy * strides_[0] + ux];
  double cb = chroma[0], cr = chroma[1];
  if (format_ == kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange) {
    luma = (luma - 16) * 255.0 / 219.0;
    cb = (cb - 128) * 255.0 / 224.0;
    cr = (cr - 128) * 255.0 / 224.0;
  } else {
    cb -= 128;
    cr -= 128;
  }
  return {clampByte(luma + 1.402 * cr), clampByte(luma - 0.344136 * cb - 0.714136 * cr), clampByte(luma + 1.772 * cb)};
}

void CVPixelBufferWriteRGB(const CVPixelBuffer& buffer, std::uint8_t* const* planes, const std::uint8_t* rgb) {
  const auto w = static_cast<std::size_t>(buffer.width());
  const auto h = static_cast<std::size_t>(buffer.height());
  const OSType format = buffer.pixelFormatType();
  if (!biplanar(format)) {
    for (std::size_t y = 0; y < h; ++y) {
      std::uint8_t* row = planes[0] + y * buffer.bytesPerRowOfPlane(0);
      const std::uint8_t* source = rgb + y * w * 3;
      for (std::size_t x = 0; x < w; ++x) {
        row[4 * x] = source[3 * x + 2];
        row[4 * x + 1] = source[3 * x + 1];
        row[4 * x + 2] = source[3 * x];
        row[4 * x + 3] = 255;
      }
    }
    return;
  }
  const bool video = format == kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange;
  const double lumaScale = video ? 219 : 255, lumaOffset = video ? 16 : 0, chromaScale = video ? 224 : 255;
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t x = 0; x < w; ++x)
      planes[0][y * buffer.bytesPerRowOfPlane(0) + x] = clampByte(lumaOffset + lumaScale * toYCbCr(rgb + (y * w + x) * 3).y);
  }
  // Each chroma sample is the mean of the (up to four) pixels it covers.
  for (std::size_t cy = 0; cy < (h + 1) / 2; ++cy) {
    for (std::size_t cx = 0; cx < (w + 1) / 2; ++cx) {
      double cb = 0, cr = 0;
      int count = 0;
      for (std::size_t y = 2 * cy; y < std::min(h, 2 * cy + 2); ++y) {
        for (std::size_t x = 2 * cx; x < std::min(w, 2 * cx + 2); ++x) {
          const YCbCr c = toYCbCr(rgb + (y * w + x) * 3);
          cb += c.cb;
          cr += c.cr;
          ++count;
        }
      }
      std::uint8_t* out = planes[1] + cy * buffer.bytesPerRowOfPlane(1) + 2 * cx;
      out[0] = clampByte(128 + chromaScale * cb / count);
      out[1] = clampByte(128 + chromaScale * cr / count);
    }
  }
}
