#include "FrameConversion.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace gstcam {

namespace {

bool isPortrait(AVCaptureVideoOrientation orientation) {
  return orientation == AVCaptureVideoOrientation::portrait ||
         orientation == AVCaptureVideoOrientation::portraitUpsideDown;
}

// Where one output row or column samples along a sensor axis: between
// sensor pixels `a` and `b`, `weight` / 256 of the way to `b`.
struct Tap {
  int a = 0;
  int b = 0;
  std::uint32_t weight = 0;
};

// The taps of `count` output pixels along a sensor axis of `length` pixels,
// walking it backwards when `reversed`, showing its centre 1/zoom.
std::vector<Tap> axisTaps(int count, int length, bool reversed, double zoom) {
  std::vector<Tap> taps(static_cast<std::size_t>(count));
  const double half = length / 2.0;
  for (int i = 0; i < count; ++i) {
    const double centre = reversed ? length - (i + 0.5) : i + 0.5;
    const double position = half + (centre - half) / zoom - 0.5;
    const double floor = std::floor(position);
    const int first = static_cast<int>(floor);
    taps[static_cast<std::size_t>(i)] = Tap{std::clamp(first, 0, length - 1), std::clamp(first + 1, 0, length - 1),
                                            static_cast<std::uint32_t>(std::lround((position - floor) * 256))};
  }
  return taps;
}

// The picture's rows at a zoom and orientation, one at a time: output
// columns walk one sensor axis and output rows the other (see the header for
// the turn of each orientation), each pixel bilinear between four.
class Sampler {
 public:
  Sampler(const BGRxView& source, double zoom, AVCaptureVideoOrientation orientation)
      : source_(source), portrait_(isPortrait(orientation)), size_(orientedSize(source.width, source.height, orientation)) {
    const double z = zoom >= 1 ? zoom : 1.0;
    exact_ = z == 1;
    const bool columnsReversed = orientation == AVCaptureVideoOrientation::landscapeLeft ||
                                 orientation == AVCaptureVideoOrientation::portrait;
    const bool rowsReversed = orientation == AVCaptureVideoOrientation::landscapeLeft ||
                              orientation == AVCaptureVideoOrientation::portraitUpsideDown;
    columns_ = axisTaps(size_.width, portrait_ ? source.height : source.width, columnsReversed, z);
    rows_ = axisTaps(size_.height, portrait_ ? source.width : source.height, rowsReversed, z);
  }

  const PictureSize& size() const { return size_; }

  /// Output row `y` as RGB, 3 bytes a pixel.
  void row(int y, std::uint8_t* rgb) const {
    const Tap& row = rows_[static_cast<std::size_t>(y)];
    if (exact_) {
      // Unzoomed, every output pixel is one sensor pixel.
      for (const Tap& column : columns_) {
        const Tap& across = portrait_ ? row : column;
        const Tap& down = portrait_ ? column : row;
        const std::uint8_t* pixel =
            source_.data + static_cast<std::size_t>(down.a) * source_.stride + static_cast<std::size_t>(across.a) * 4;
        rgb[0] = pixel[2], rgb[1] = pixel[1], rgb[2] = pixel[0];
        rgb += 3;
      }
      return;
    }
    for (const Tap& column : columns_) {
      const Tap& across = portrait_ ? row : column;
      const Tap& down = portrait_ ? column : row;
      const std::uint8_t* top = source_.data + static_cast<std::size_t>(down.a) * source_.stride;
      const std::uint8_t* bottom = source_.data + static_cast<std::size_t>(down.b) * source_.stride;
      const std::size_t a = static_cast<std::size_t>(across.a) * 4, b = static_cast<std::size_t>(across.b) * 4;
      for (std::size_t channel = 0; channel < 3; ++channel) {
        const std::uint32_t upper = top[a + channel] * (256 - across.weight) + top[b + channel] * across.weight;
        const std::uint32_t lower = bottom[a + channel] * (256 - across.weight) + bottom[b + channel] * across.weight;
        // BGRx in, RGB out.
        rgb[2 - channel] = static_cast<std::uint8_t>((upper * (256 - down.weight) + lower * down.weight + 32768) >> 16);
      }
      rgb += 3;
    }
  }

 private:
  const BGRxView source_;
  const bool portrait_;
  const PictureSize size_;
  bool exact_ = false;
  std::vector<Tap> columns_;
  std::vector<Tap> rows_;
};

// BT.601 in 16-bit fixed point: luma and the two colour differences of 8-bit
// RGB, in video range (luma 16-235, chroma 16-240) or full range.
struct YCbCrWeights {
  int y[3], cb[3], cr[3];
  int yOffset;

  explicit YCbCrWeights(bool videoRange) : yOffset(videoRange ? 16 : 0) {
    const double ys = videoRange ? 219.0 / 255 : 1.0, cs = videoRange ? 224.0 / 255 : 1.0;
    const double luma[3] = {0.299, 0.587, 0.114};
    for (int c = 0; c < 3; ++c) {
      y[c] = fixed(luma[c] * ys);
      // Cb = (B - Y) / 1.772, Cr = (R - Y) / 1.402.
      cb[c] = fixed(((c == 2 ? 1.0 : 0.0) - luma[c]) / 1.772 * cs);
      cr[c] = fixed(((c == 0 ? 1.0 : 0.0) - luma[c]) / 1.402 * cs);
    }
  }
  static int fixed(double value) { return static_cast<int>(std::lround(value * 65536)); }
  static std::uint8_t byte(int value) { return static_cast<std::uint8_t>(std::clamp(value, 0, 255)); }
  std::uint8_t luma(const std::uint8_t* rgb) const {
    return byte(yOffset + ((y[0] * rgb[0] + y[1] * rgb[1] + y[2] * rgb[2] + 32768) >> 16));
  }
  // Of the sums of `count` pixels' R, G and B.
  std::uint8_t chroma(const int* weights, const int* sums, int count) const {
    return byte(128 + (weights[0] * sums[0] + weights[1] * sums[1] + weights[2] * sums[2] + count * 32768) /
                          (count * 65536));
  }
};

void writeBGRA(const Sampler& sampler, const CVPixelBuffer& buffer, std::uint8_t* const* planes) {
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(sampler.size().width) * 3);
  for (int y = 0; y < sampler.size().height; ++y) {
    sampler.row(y, rgb.data());
    std::uint8_t* out = planes[0] + static_cast<std::size_t>(y) * buffer.bytesPerRowOfPlane(0);
    for (std::size_t x = 0; x < static_cast<std::size_t>(sampler.size().width); ++x, out += 4) {
      out[0] = rgb[3 * x + 2];
      out[1] = rgb[3 * x + 1];
      out[2] = rgb[3 * x];
      out[3] = 255;
    }
  }
}

// Two rows at a time: their luma, and one chroma row of the mean colour of
// each 2 x 2 block (odd sizes: of the pixels there are).
void writeNV12(const Sampler& sampler, bool videoRange, const CVPixelBuffer& buffer, std::uint8_t* const* planes) {
  const YCbCrWeights weights(videoRange);
  const int width = sampler.size().width, height = sampler.size().height;
  std::vector<std::uint8_t> rows(static_cast<std::size_t>(width) * 6);
  std::uint8_t* pair[2] = {rows.data(), rows.data() + static_cast<std::size_t>(width) * 3};
  for (int y = 0; y < height; y += 2) {
    const int count = std::min(2, height - y);
    for (int r = 0; r < count; ++r) {
      sampler.row(y + r, pair[r]);
      std::uint8_t* luma = planes[0] + static_cast<std::size_t>(y + r) * buffer.bytesPerRowOfPlane(0);
      for (int x = 0; x < width; ++x) luma[x] = weights.luma(pair[r] + 3 * x);
    }
    std::uint8_t* chroma = planes[1] + static_cast<std::size_t>(y / 2) * buffer.bytesPerRowOfPlane(1);
    for (int x = 0; x < width; x += 2, chroma += 2) {
      int sums[3] = {0, 0, 0}, pixels = 0;
      for (int r = 0; r < count; ++r) {
        for (int dx = 0; dx < std::min(2, width - x); ++dx, ++pixels) {
          const std::uint8_t* rgb = pair[r] + 3 * (x + dx);
          for (int c = 0; c < 3; ++c) sums[c] += rgb[c];
        }
      }
      chroma[0] = weights.chroma(weights.cb, sums, pixels);
      chroma[1] = weights.chroma(weights.cr, sums, pixels);
    }
  }
}

}  // namespace

PictureSize orientedSize(int width, int height, AVCaptureVideoOrientation orientation) {
  return isPortrait(orientation) ? PictureSize{height, width} : PictureSize{width, height};
}

std::vector<std::uint8_t> renderRGB(const BGRxView& source, double zoom, AVCaptureVideoOrientation orientation) {
  const Sampler sampler(source, zoom, orientation);
  const auto rowBytes = static_cast<std::size_t>(sampler.size().width) * 3;
  std::vector<std::uint8_t> rgb(rowBytes * static_cast<std::size_t>(sampler.size().height));
  for (int y = 0; y < sampler.size().height; ++y) sampler.row(y, rgb.data() + static_cast<std::size_t>(y) * rowBytes);
  return rgb;
}

void paintPixelBuffer(const BGRxView& source, double zoom, AVCaptureVideoOrientation orientation,
                      const CVPixelBuffer& buffer, std::uint8_t* const* planes) {
  const PictureSize size = orientedSize(source.width, source.height, orientation);
  if (buffer.width() != size.width || buffer.height() != size.height) return;
  const OSType format = buffer.pixelFormatType();
  if (format == kCVPixelFormatType_32BGRA && !(zoom > 1) && orientation == AVCaptureVideoOrientation::landscapeRight) {
    const auto rowBytes = static_cast<std::size_t>(size.width) * 4;
    for (int y = 0; y < size.height; ++y) {
      std::uint8_t* row = planes[0] + static_cast<std::size_t>(y) * buffer.bytesPerRowOfPlane(0);
      std::memcpy(row, source.data + static_cast<std::size_t>(y) * source.stride, rowBytes);
      for (std::size_t alpha = 3; alpha < rowBytes; alpha += 4) row[alpha] = 255;
    }
    return;
  }
  const Sampler sampler(source, zoom, orientation);
  if (format == kCVPixelFormatType_32BGRA)
    writeBGRA(sampler, buffer, planes);
  else
    writeNV12(sampler, format == kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, buffer, planes);
}

}  // namespace gstcam
