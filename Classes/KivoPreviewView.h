#pragma once
// KivoPreviewView: the view that shows the live camera picture. Its backing
// layer is a video preview layer, and every read of `previewLayer` puts the
// gravity the view was made with back on that layer.
// Thread-bound: main
// Like every view.

#include <memory>
#include <string>

#include "AVFoundation/AVCaptureVideoPreviewLayer.h"
#include "UIKit/UIView.h"

class AVCaptureSession;

class KivoPreviewView : public UIView {
 public:
  /// A preview over `frame` that keeps `videoGravity`.
  static std::shared_ptr<KivoPreviewView> create(CGRect frame, std::string videoGravity);
  /// As loaded from an archive: the gravity is resize-aspect.
  static std::shared_ptr<KivoPreviewView> createFromArchive(CGRect frame);

  KivoPreviewView(CGRect frame, std::string videoGravity);

  /// The view's own layer as a video preview layer, with the stored gravity
  /// set on it first. A layer of another class is a fatal programming error.
  std::shared_ptr<AVCaptureVideoPreviewLayer> previewLayer() const;

  /// The session the layer shows (both go through `previewLayer`).
  std::shared_ptr<AVCaptureSession> session() const;
  void setSession(std::shared_ptr<AVCaptureSession> session);

 protected:
  std::shared_ptr<CALayer> makeLayer() const override { return AVCaptureVideoPreviewLayer::create(); }

 private:
  const std::string videoGravity_;
};
