#include "AVFoundation/AVCaptureVideoPreviewLayer.h"

#include <algorithm>
#include <cmath>

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCaptureSession.h"
#include "Dispatch/Dispatch.h"

namespace {

// Where a picture of `width` x `height` pixels goes in `bounds`.
CGRect placePicture(std::string_view gravity, CGRect bounds, double width, double height) {
  if (gravity == AVLayerVideoGravityResize) return bounds;
  const double sx = bounds.size.width / width;
  const double sy = bounds.size.height / height;
  const double s = gravity == AVLayerVideoGravityResizeAspectFill ? std::max(sx, sy) : std::min(sx, sy);
  const double w = width * s, h = height * s;
  return CGRectMake(bounds.midX() - w / 2, bounds.midY() - h / 2, w, h);
}

}  // namespace

std::shared_ptr<AVCaptureVideoPreviewLayer> AVCaptureVideoPreviewLayer::create() {
  return std::make_shared<AVCaptureVideoPreviewLayer>();
}

std::shared_ptr<AVCaptureVideoPreviewLayer> AVCaptureVideoPreviewLayer::layerWithSession(
    std::shared_ptr<AVCaptureSession> session) {
  auto layer = create();
  layer->setSession(std::move(session));
  return layer;
}

CVPixelBufferRef AVCaptureVideoPreviewLayer::currentFrame() const {
  KIVO_ASSERT_MAIN_THREAD();
  return session_ ? session_->currentFrame() : nullptr;
}

double AVCaptureVideoPreviewLayer::contentFrameInterval() const {
  KIVO_ASSERT_MAIN_THREAD();
  if (!session_ || !session_->isRunning()) return 0;
  const auto device = session_->videoDevice();
  const double interval = device ? CMTimeGetSeconds(device->activeVideoMinFrameDuration()) : 0;
  return interval > 0 && std::isfinite(interval) ? interval : 0;
}

void AVCaptureVideoPreviewLayer::drawInContext(CGContext& context) {
  KIVO_ASSERT_MAIN_THREAD();
  const CGRect area = bounds();
  context.setFillColor({0, 0, 0, 1});
  context.fillRect(area);
  if (!session_) return;
  AVCaptureDevicePosition position = AVCaptureDevicePosition::unspecified;
  const CVPixelBufferRef frame = session_->currentFrame(position);
  if (!frame) return;

  const int width = frame->width();
  const int height = frame->height();
  context.saveGState();
  context.clipToRect(area);  // what resize-aspect-fill crops
  if (position == AVCaptureDevicePosition::front) {
    // Mirrored about the bounds' vertical centre line.
    context.translateCTM(2 * area.midX(), 0);
    context.scaleCTM(-1, 1);
  }
  const CGRect placed = placePicture(videoGravity_, area, width, height);
  if (frame->pixelFormatType() == kCVPixelFormatType_32BGRA) {
    // Drawn where it lies; the image holds the frame while it lives.
    const CGImage picture(width, height, frame->bytesPerRowOfPlane(0), CGImagePixelLayout::bgraOpaque,
                          frame->baseAddressOfPlane(0), frame);
    context.drawImage(placed, picture);
  } else {
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    scratch_.resize(rowBytes * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
      std::uint8_t* row = scratch_.data() + static_cast<std::size_t>(y) * rowBytes;
      for (int x = 0; x < width; ++x) {
        const auto rgb = frame->rgbAt(x, y);
        std::copy(rgb.begin(), rgb.end(), row + 4 * x);
      }
    }
    const CGImage picture(width, height, rowBytes, CGImagePixelLayout::rgbaOpaque, scratch_.data());
    context.drawImage(placed, picture);
  }
  context.restoreGState();
}
