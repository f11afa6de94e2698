#pragma once
// KivoCameraDelegate: how a KivoCamera tells its host what happened. The
// controller holds its delegate weakly and, for every callback, first asks
// `respondsToSelector`; nothing the callback alone needs is computed before
// that answer. Callbacks run on the queue each one names below.
// Thread-safe
// An implementation is called on several queues (main, the video output
// queue, the device's queue), so whatever its callbacks share must be; a
// KivoCameraDelegateBlocks is set up before it is handed to the controller.
//
// Two ways to implement it:
// - subclass KivoCameraDelegate, implement `cameraDidCapturePhoto` and any of
//   the others, and override `respondsToSelector` to say which ones you
//   implement (by default every callback counts as implemented);
// - or use KivoCameraDelegateBlocks and set only the callbacks you want: it
//   responds exactly to those.

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "CoreGraphics/CGGeometry.h"
#include "CoreMedia/CMSampleBuffer.h"
#include "Foundation/Data.h"

class KivoCamera;
class AVCaptureDevice;

enum class KivoCameraDelegateSelector {
  cameraDidCapturePhoto,                // camera:didCapturePhoto:                      main queue
  cameraDidChangeFlashMode,             // camera:didChangeFlashMode:                   main queue
  cameraDidChangeTorch,                 // camera:didChangeTorch:                       main queue
  cameraDidToggleCameraPosition,        // camera:didToggleCameraPosition:              main queue
  cameraDidChangeZoomLevelZoomScale,    // camera:didChangeZoomLevel:zoomScale:         main queue
  cameraDidTapEndPoint,                 // camera:didTapEndPoint:                       main thread
  cameraDidPinchEndZoomLevelZoomScale,  // camera:didPinchEndZoomLevel:zoomScale:       main thread
  cameraDidOutputIsStill,               // camera:didOutput:isStill:                    video output queue
  cameraDeviceDidChangeISO,             // camera:device:didChangeISO:                  the device's queue
  cameraDeviceDidChangeAdjustingFocus,  // camera:device:didChangeAdjustingFocus:       the device's queue
};

/// The selector as the object runtime spells it ("camera:didCapturePhoto:").
std::string_view selectorName(KivoCameraDelegateSelector selector);
/// The selector with that spelling, if it is one of the ten.
std::optional<KivoCameraDelegateSelector> selectorFromName(std::string_view name);

class KivoCameraDelegate {
 public:
  using Selector = KivoCameraDelegateSelector;
  virtual ~KivoCameraDelegate() = default;

  /// Whether the delegate implements `selector`. The required photo callback
  /// is asked too.
  virtual bool respondsToSelector(Selector /*selector*/) const { return true; }

  /// Required: a capture ended, with its encoded bytes or none.
  virtual void cameraDidCapturePhoto(KivoCamera& camera, const std::optional<Data>& photo) = 0;
  /// The flash mode after a change (0 off, 1 on, 2 auto).
  virtual void cameraDidChangeFlashMode(KivoCamera&, std::int64_t /*flashMode*/) {}
  /// The torch state that was asked for, even when nothing changed.
  virtual void cameraDidChangeTorch(KivoCamera&, bool /*on*/) {}
  /// True when the camera is now the back one.
  virtual void cameraDidToggleCameraPosition(KivoCamera&, bool /*isBack*/) {}
  virtual void cameraDidChangeZoomLevel(KivoCamera&, double /*level*/, double /*zoomScale*/) {}
  /// Where a tap landed, in the preview view's coordinates.
  virtual void cameraDidTapEndPoint(KivoCamera&, CGPoint /*point*/) {}
  /// A pinch ended: its unclamped level and the clamped zoom scale.
  virtual void cameraDidPinchEndZoomLevel(KivoCamera&, double /*level*/, double /*zoomScale*/) {}
  virtual void cameraDidOutput(KivoCamera&, const CMSampleBufferRef& /*sampleBuffer*/, bool /*isStill*/) {}
  virtual void cameraDeviceDidChangeISO(KivoCamera&, AVCaptureDevice&, float /*iso*/) {}
  virtual void cameraDeviceDidChangeAdjustingFocus(KivoCamera&, AVCaptureDevice&, bool /*adjusting*/) {}
};

/// A delegate made of closures; it responds exactly to the ones that are set.
class KivoCameraDelegateBlocks : public KivoCameraDelegate {
 public:
  std::function<void(KivoCamera&, const std::optional<Data>&)> didCapturePhoto;
  std::function<void(KivoCamera&, std::int64_t)> didChangeFlashMode;
  std::function<void(KivoCamera&, bool)> didChangeTorch;
  std::function<void(KivoCamera&, bool)> didToggleCameraPosition;
  std::function<void(KivoCamera&, double, double)> didChangeZoomLevel;
  std::function<void(KivoCamera&, CGPoint)> didTapEndPoint;
  std::function<void(KivoCamera&, double, double)> didPinchEndZoomLevel;
  std::function<void(KivoCamera&, const CMSampleBufferRef&, bool)> didOutput;
  std::function<void(KivoCamera&, AVCaptureDevice&, float)> deviceDidChangeISO;
  std::function<void(KivoCamera&, AVCaptureDevice&, bool)> deviceDidChangeAdjustingFocus;

  bool respondsToSelector(Selector selector) const override;

  void cameraDidCapturePhoto(KivoCamera& c, const std::optional<Data>& photo) override { call(didCapturePhoto, c, photo); }
  void cameraDidChangeFlashMode(KivoCamera& c, std::int64_t mode) override { call(didChangeFlashMode, c, mode); }
  void cameraDidChangeTorch(KivoCamera& c, bool on) override { call(didChangeTorch, c, on); }
  void cameraDidToggleCameraPosition(KivoCamera& c, bool back) override { call(didToggleCameraPosition, c, back); }
  void cameraDidChangeZoomLevel(KivoCamera& c, double l, double s) override { call(didChangeZoomLevel, c, l, s); }
  void cameraDidTapEndPoint(KivoCamera& c, CGPoint p) override { call(didTapEndPoint, c, p); }
  void cameraDidPinchEndZoomLevel(KivoCamera& c, double l, double s) override { call(didPinchEndZoomLevel, c, l, s); }
  void cameraDidOutput(KivoCamera& c, const CMSampleBufferRef& b, bool still) override { call(didOutput, c, b, still); }
  void cameraDeviceDidChangeISO(KivoCamera& c, AVCaptureDevice& d, float iso) override { call(deviceDidChangeISO, c, d, iso); }
  void cameraDeviceDidChangeAdjustingFocus(KivoCamera& c, AVCaptureDevice& d, bool a) override {
    call(deviceDidChangeAdjustingFocus, c, d, a);
  }

 private:
  template <class F, class... A>
  static void call(const F& f, A&&... args) {
    if (f) f(std::forward<A>(args)...);
  }
};
