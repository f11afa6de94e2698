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

}  // namespace

PictureSize orientedSize(int width, int height, AVCaptureVideoOrientation orientation) {
  return isPortrait(orientation) ? PictureSize{height, width} : PictureSize{width, height};
}

std::vector<std::uint8_t> renderRGB(const BGRxView& source, double zoom, AVCaptureVideoOrientation orientation) {
  const PictureSize size = orientedSize(source.width, source.height, orientation);
  const double z = zoom >= 1 ? zoom : 1.0;
  // Output columns walk one sensor axis and output rows the other (see the
  // header for the turn of each orientation).
  const bool portrait = isPortrait(orientation);
  const bool columnsReversed = orientation == AVCaptureVideoOrientation::landscapeLeft ||
                               orientation == AVCaptureVideoOrientation::portrait;
  const bool rowsReversed = orientation == AVCaptureVideoOrientation::landscapeLeft ||
                            orientation == AVCaptureVideoOrientation::portraitUpsideDown;
  const auto columns = axisTaps(size.width, portrait ? source.height : source.width, columnsReversed, z);
  const auto rows = axisTaps(size.height, portrait ? source.width : source.height, rowsReversed, z);

  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(size.width) * size.height * 3);
  std::uint8_t* out = rgb.data();
  for (const Tap& row : rows) {
    for (const Tap& column : columns) {
      const Tap& x = portrait ? row : column;
      const Tap& y = portrait ? column : row;
      const std::uint8_t* top = source.data + static_cast<std::size_t>(y.a) * source.stride;
      const std::uint8_t* bottom = source.data + static_cast<std::size_t>(y.b) * source.stride;
      for (int channel = 0; channel < 3; ++channel) {
        const auto offsetA = static_cast<std::size_t>(x.a) * 4 + channel;
        const auto offsetB = static_cast<std::size_t>(x.b) * 4 + channel;
        const std::uint32_t upper = top[offsetA] * (256 - x.weight) + top[offsetB] * x.weight;
        const std::uint32_t lower = bottom[offsetA] * (256 - x.weight) + bottom[offsetB] * x.weight;
        // BGRx in, RGB out.
        out[2 - channel] = static_cast<std::uint8_t>((upper * (256 - y.weight) + lower * y.weight + 32768) >> 16);
      }
      out += 3;
    }
  }
  return rgb;
}

void paintPixelBuffer(const BGRxView& source, double zoom, AVCaptureVideoOrientation orientation,
                      const CVPixelBuffer& buffer, std::uint8_t* const* planes) {
  const PictureSize size = orientedSize(source.width, source.height, orientation);
  if (buffer.width() != size.width || buffer.height() != size.height) return;
  if (buffer.pixelFormatType() == kCVPixelFormatType_32BGRA && !(zoom > 1) &&
      orientation == AVCaptureVideoOrientation::landscapeRight) {
    const auto rowBytes = static_cast<std::size_t>(size.width) * 4;
    for (int y = 0; y < size.height; ++y) {
      std::uint8_t* row = planes[0] + static_cast<std::size_t>(y) * buffer.bytesPerRowOfPlane(0);
      std::memcpy(row, source.data + static_cast<std::size_t>(y) * source.stride, rowBytes);
      for (std::size_t alpha = 3; alpha < rowBytes; alpha += 4) row[alpha] = 255;
    }
    return;
  }
  const auto rgb = renderRGB(source, zoom, orientation);
  CVPixelBufferWriteRGB(buffer, planes, rgb.data());
}

}  // namespace gstcam
