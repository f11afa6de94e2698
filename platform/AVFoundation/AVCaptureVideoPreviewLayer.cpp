#include "AVFoundation/AVCaptureVideoPreviewLayer.h"

#include "AVFoundation/AVCaptureSession.h"

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
  return session_ ? session_->currentFrame() : nullptr;
}
