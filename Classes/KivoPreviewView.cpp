#include "KivoPreviewView.h"

#include "AVFoundation/AVCaptureSession.h"
#include "Foundation/FatalError.h"

std::shared_ptr<KivoPreviewView> KivoPreviewView::create(CGRect frame, std::string videoGravity) {
  return std::make_shared<KivoPreviewView>(frame, std::move(videoGravity));
}

std::shared_ptr<KivoPreviewView> KivoPreviewView::createFromArchive(CGRect frame) {
  return create(frame, std::string(AVLayerVideoGravityResizeAspect));
}

KivoPreviewView::KivoPreviewView(CGRect frame, std::string videoGravity)
    : UIView(frame), videoGravity_(std::move(videoGravity)) {}

std::shared_ptr<AVCaptureVideoPreviewLayer> KivoPreviewView::previewLayer() const {
  auto layer = std::dynamic_pointer_cast<AVCaptureVideoPreviewLayer>(this->layer());
  if (!layer) {
    fatalError("Expected `AVCaptureVideoPreviewLayer` type for layer. Check PreviewView.layerClass implementation.");
  }
  layer->setVideoGravity(videoGravity_);
  return layer;
}

std::shared_ptr<AVCaptureSession> KivoPreviewView::session() const { return previewLayer()->session(); }

void KivoPreviewView::setSession(std::shared_ptr<AVCaptureSession> session) {
  previewLayer()->setSession(std::move(session));
}
