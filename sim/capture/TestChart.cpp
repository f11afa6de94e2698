#include "sim/capture/TestChart.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "Foundation/FatalError.h"

namespace sim {

namespace {

// The chart's colour at (x, y) of its unit square.
void chartColor(double x, double y, std::uint8_t* rgb) {
  if (x >= 1.0 / 16 && x < 0.25 && y >= 1.0 / 16 && y < 0.25) {
    rgb[0] = 230, rgb[1] = 30, rgb[2] = 30;
    return;
  }
  if (std::abs(x - 0.5) < 0.01 || std::abs(y - 0.5) < 0.01) {
    rgb[0] = 30, rgb[1] = 200, rgb[2] = 60;
    return;
  }
  const int cx = std::clamp(static_cast<int>(x * 8), 0, 7);
  const int cy = std::clamp(static_cast<int>(y * 8), 0, 7);
  const std::uint8_t grey = ((cx + cy) % 2 == 0) ? 210 : 50;
  rgb[0] = rgb[1] = rgb[2] = grey;
}

}  // namespace

RGBImage renderTestChart(int sensorWidth, int sensorHeight, double zoomFactor,
                         AVCaptureVideoOrientation orientation) {
  const bool portrait = orientation == AVCaptureVideoOrientation::portrait ||
                        orientation == AVCaptureVideoOrientation::portraitUpsideDown;
  RGBImage image;
  image.width = portrait ? sensorHeight : sensorWidth;
  image.height = portrait ? sensorWidth : sensorHeight;
  image.pixels.resize(static_cast<std::size_t>(image.width) * image.height * 3);
  const double zoom = zoomFactor >= 1 ? zoomFactor : 1.0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      // The sensor pixel this output pixel comes from.
      int sx = x, sy = y;
      switch (orientation) {
        case AVCaptureVideoOrientation::landscapeRight: break;
        case AVCaptureVideoOrientation::landscapeLeft: sx = sensorWidth - 1 - x, sy = sensorHeight - 1 - y; break;
        case AVCaptureVideoOrientation::portrait: sx = y, sy = sensorHeight - 1 - x; break;
        case AVCaptureVideoOrientation::portraitUpsideDown: sx = sensorWidth - 1 - y, sy = x; break;
      }
      const double u = 0.5 + ((sx + 0.5) / sensorWidth - 0.5) / zoom;
      const double v = 0.5 + ((sy + 0.5) / sensorHeight - 0.5) / zoom;
      chartColor(u, v, &image.pixels[(static_cast<std::size_t>(y) * image.width + x) * 3]);
    }
  }
  return image;
}

Data encodeJPEG(const RGBImage& image, int quality) {
  auto data = CGJPEGEncodeRGB(image.pixels, image.width, image.height, quality);
  if (!data) fatalError("libjpeg could not encode the test chart");
  return std::move(*data);
}

std::optional<RGBImage> decodeJPEG(const Data& data) { return CGJPEGDecodeRGB(data); }

}  // namespace sim
