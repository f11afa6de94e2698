#pragma once
// The simulated scene and its photos: a test chart whose structure shows the
// zoom and the orientation of a picture, and its JPEG file bytes.
// Thread-safe
// Pure functions.
//
// The chart, in its own unit square (x right, y down): an 8 x 8 checkerboard
// of light and dark grey, a green cross through the centre, and a red square
// marker near the top-left corner (x and y from 1/16 to 1/4) that no
// rotation or mirror maps onto itself.
//
// The sensor is landscape (width >= height, as the world's photo size gives
// it) and sees the chart upright when the connection's orientation is
// landscape right. The other orientations rotate the picture as the platform
// does: landscape left by 180 degrees, portrait by 90 degrees clockwise
// (the marker lands top right) and portrait upside down by 90 degrees
// counter-clockwise (bottom left); portrait pictures swap width and height.
// A zoom factor z shows the centre 1/z of the chart.

#include <optional>

#include "AVFoundation/AVCaptureTypes.h"
#include "CoreGraphics/CGJPEG.h"
#include "Foundation/Data.h"

namespace sim {

using RGBImage = ::CGRGBPicture;

/// The chart as the camera sees it. `sensorWidth` x `sensorHeight` is the
/// landscape sensor size; zoom factors below 1 count as 1.
RGBImage renderTestChart(int sensorWidth, int sensorHeight, double zoomFactor,
                         AVCaptureVideoOrientation orientation);

/// Baseline JPEG of the image (quality 0-100).
Data encodeJPEG(const RGBImage& image, int quality = 85);

/// The decoded picture, or none when `data` is not a JPEG libjpeg can read.
std::optional<RGBImage> decodeJPEG(const Data& data);

}  // namespace sim
