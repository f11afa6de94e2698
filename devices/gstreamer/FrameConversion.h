#pragma once
// From the pipeline's hub format (BGRx rows) to what the capture framework
// hands out: the picture at the camera's digital zoom, turned to the
// connection's orientation, as RGB rows (for stills) or painted into a pixel
// buffer ('BGRA', '420v', '420f').
//
// Orientation follows the platform's convention (sim/capture/TestChart.h):
// the sensor is landscape and upright in landscape right; landscape left
// turns it by 180 degrees, portrait by 90 degrees clockwise, portrait upside
// down by 90 degrees counter-clockwise; portrait pictures swap width and
// height. A zoom factor z shows the centre 1/z, scaled back up (bilinear).
//
// Thread-safe
// Pure functions.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "AVFoundation/AVCaptureTypes.h"
#include "CoreVideo/CVPixelBuffer.h"

namespace gstcam {

/// A BGRx picture someone else owns: 4 bytes a pixel (B, G, R, unused).
struct BGRxView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  std::size_t stride = 0;
};

/// Width and height of the picture of a `width` x `height` sensor in `orientation`.
struct PictureSize {
  int width = 0;
  int height = 0;
};
PictureSize orientedSize(int width, int height, AVCaptureVideoOrientation orientation);

/// The picture at `zoom` (below 1 counts as 1) in `orientation`: RGB rows,
/// 3 bytes a pixel, of the oriented size.
std::vector<std::uint8_t> renderRGB(const BGRxView& source, double zoom, AVCaptureVideoOrientation orientation);

/// Paints `buffer` (of the oriented size) with the picture. The upright,
/// unzoomed 'BGRA' case copies rows.
void paintPixelBuffer(const BGRxView& source, double zoom, AVCaptureVideoOrientation orientation,
                      const CVPixelBuffer& buffer, std::uint8_t* const* planes);

}  // namespace gstcam
