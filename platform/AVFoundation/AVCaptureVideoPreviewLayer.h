#pragma once
// The layer that shows a session's live picture: the session it shows and
// how the picture fills the layer.
// Thread-bound: main
// Like every layer. The layer holds its session strongly (the session does not know its layers, so
// there is no cycle).
//
// It draws black over its bounds, then the session's current picture placed
// with the video gravity: resize-aspect shows the whole picture centred
// (black bars where the shapes differ), resize-aspect-fill fills the bounds
// and crops the picture's overflow evenly, resize stretches it. A front
// camera's picture is mirrored left to right, as a user expects to see
// themself (the photos it takes are not).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

  const std::shared_ptr<AVCaptureSession>& session() const {
    KIVO_ASSERT_MAIN_THREAD();
    return session_;
  }
  void setSession(std::shared_ptr<AVCaptureSession> session) {
    KIVO_ASSERT_MAIN_THREAD();
    session_ = std::move(session);
    noteChange();
  }

  /// The picture the layer shows now: its session's current camera picture
  /// while the session runs with a camera input, otherwise none (black).
  CVPixelBufferRef currentFrame() const;

  /// AVLayerVideoGravityResizeAspect until set; an unknown gravity draws as
  /// resize-aspect.
  const std::string& videoGravity() const {
    KIVO_ASSERT_MAIN_THREAD();
    return videoGravity_;
  }
  void setVideoGravity(AVLayerVideoGravity gravity) {
    KIVO_ASSERT_MAIN_THREAD();
    videoGravity_ = std::string(gravity);
    noteChange();
  }

  void drawInContext(CGContext& context) override;
  /// A new picture every frame interval of the camera (its minimum frame
  /// duration) while the session runs with a camera input; 0 otherwise.
  double contentFrameInterval() const override;

 private:
  std::shared_ptr<AVCaptureSession> session_ KIVO_GUARDED_BY(mainThread);
  std::string videoGravity_ KIVO_GUARDED_BY(mainThread){AVLayerVideoGravityResizeAspect};
  // A picture in a format drawing cannot read directly, converted to RGB;
  // kept so that each frame reuses it.
  std::vector<std::uint8_t> scratch_ KIVO_GUARDED_BY(mainThread);
};
