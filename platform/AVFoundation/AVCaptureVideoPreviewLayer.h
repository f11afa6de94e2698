#pragma once
// The data of the layer that shows a session's live picture: the session it
// shows and how the picture fills the layer. Main thread only, like every
// layer. The layer holds its session strongly (the session does not know its
// layers, so there is no cycle).

#include <memory>
#include <string>

#include "AVFoundation/AVCaptureTypes.h"
#include "CoreVideo/CVPixelBuffer.h"
#include "QuartzCore/CALayer.h"

class AVCaptureSession;

class AVCaptureVideoPreviewLayer : public CALayer {
 public:
  static std::shared_ptr<AVCaptureVideoPreviewLayer> create();
  static std::shared_ptr<AVCaptureVideoPreviewLayer> layerWithSession(std::shared_ptr<AVCaptureSession> session);
  AVCaptureVideoPreviewLayer() = default;
  ~AVCaptureVideoPreviewLayer() override = default;

  const std::shared_ptr<AVCaptureSession>& session() const { return session_; }
  void setSession(std::shared_ptr<AVCaptureSession> session) { session_ = std::move(session); }

  /// The picture the layer shows now: its session's current camera picture
  /// while the session runs with a camera input, otherwise none (black).
  CVPixelBufferRef currentFrame() const;

  /// AVLayerVideoGravityResizeAspect until set.
  const std::string& videoGravity() const { return videoGravity_; }
  void setVideoGravity(AVLayerVideoGravity gravity) { videoGravity_ = std::string(gravity); }

 private:
  std::shared_ptr<AVCaptureSession> session_;
  std::string videoGravity_{AVLayerVideoGravityResizeAspect};
};
