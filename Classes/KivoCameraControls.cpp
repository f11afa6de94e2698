// KivoCamera: the gesture recognisers, focus and exposure, and zoom. All of
// it runs synchronously on the caller's thread: focus, which may show the
// reticle, on the main thread (the host, the gestures, the lifecycle and the
// motion detector's hook call it there); the exposure bias and zoom, which
// touch only the device and atomics, on any (the camera switch zooms from
// its caller's). The device is locked around each change. Only the end of a
// focus is reported on the camera's queue, and hands the reticle to the
// main queue.
//
// Showing the reticle: a focus asked for with `animated` true (every tap, and
// the focus at appearance while shouldShowFocusAfterLaunch is on) also shows
// the reticle at the point it focuses, so the user sees where the camera
// focuses. With `animated` false the device is focused the same way, without
// the reticle.

#include <algorithm>
#include <cmath>

#include "AVFoundation/AVCaptureDevice.h"
#include "Foundation/WhileAlive.h"
#include "KivoCamera.h"
#include "KivoCameraSafeDict.h"
#include "KivoCameraAnalytics.h"
#include "KivoCameraLog.h"
#include "KivoFocusView.h"
#include "KivoMotionManager.h"
#include "KivoPreviewView.h"
#include "UIKit/UIGestureRecognizer.h"
#include "UIKit/UIImage.h"

// --- Gestures ----------------------------------------------------------------------------

void KivoCamera::addGestureRecognizer() {
  auto pinch = UIPinchGestureRecognizer::create();
  pinch->addTarget(self(), &KivoCamera::pinchGesture);
  if (previewView_) previewView_->addGestureRecognizer(pinch);
  auto tap = UITapGestureRecognizer::create();
  tap->addTarget(self(), &KivoCamera::tapGesture);
  tap->setNumberOfTapsRequired(1);
  if (previewView_) previewView_->addGestureRecognizer(tap);
}

void KivoCamera::tapGesture(UITapGestureRecognizer& tap) {
  KIVO_ASSERT_MAIN_THREAD();
  const CGPoint point = tap.locationInView(previewView_.get());
  focusAtPoint(point, true);
  notifyDelegate(KivoCameraDelegateSelector::cameraDidTapEndPoint,
                 [&](KivoCameraDelegate& delegate) { delegate.cameraDidTapEndPoint(*this, point); });
}

// --- Focus -----------------------------------------------------------------------------------

void KivoCamera::focusAtPoint(CGPoint point, bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  const auto device = videoDevice();
  if (sessionSetupResult_ != SessionSetupResult::success || !device || !previewView_) return;
  const CGRect bounds = previewView_->bounds();
  const double w = bounds.size.width, h = bounds.size.height;
  // A preview with no area yet (before the first layout) maps no point to
  // the sensor.
  if (!(w > 0) || !(h > 0)) return;
  const auto manager = motionManager();
  if (manager) manager->setIsFocusing(true);
  if (device->lockForConfiguration()) {
    if (device->isFocusPointOfInterestSupported() &&
        device->isFocusModeSupported(AVCaptureFocusMode::continuousAutoFocus)) {
      // The preview's vertical axis is the sensor's first coordinate; its
      // horizontal axis, reversed, the second.
      device->setFocusPointOfInterest({point.y / h, 1.0 - point.x / w});
      device->setFocusMode(AVCaptureFocusMode::continuousAutoFocus);
      if (device->isSmoothAutoFocusSupported()) device->setSmoothAutoFocusEnabled(true);
    }
    device->unlockForConfiguration();
  } else {
    KivoCameraAnalytics::analytics(KivoCameraError::focus);
    kivoLog(KivoCameraError::focus, ") Error Focus");
  }
  if (manager) manager->setIsFocusing(false);
  if (animated) focusAnimation(point);
}

void KivoCamera::focusWithAnimated(bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  if (focusPoint_) {
    focusAtPoint(*focusPoint_, animated);
  } else {
    focusCenterWithAnimated(animated);
  }
}

void KivoCamera::focusCenterWithAnimated(bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  if (previewView_) focusAtPoint(previewView_->center(), animated);
}

void KivoCamera::focusAnimation(CGPoint point) {
  if (sessionSetupResult_ != SessionSetupResult::success || !shouldShowFocus_ || !focusView_) return;
  focusView_->setCenter(point);
  focusView_->setHidden(false);
  focusView_->startAnimation();
}

void KivoCamera::focusEnded() {
  const auto device = videoDevice();
  if (!device || device->isAdjustingFocus()) return;
  // Reported on the camera's queue; the reticle is a view.
  DispatchQueue::main().async([self = self()] {
    KIVO_ASSERT_MAIN_THREAD();
    if (self->focusView_ && self->focusView_->superview()) self->focusView_->stopAnimation();
  });
}

void KivoCamera::focusAfterMotion() {
  if (!shouldResetFocusAfterMove_) return;
  const auto manager = motionManager();
  if (!manager) return;
  manager->setMotionStateDidChangeBlock(
      whileAlive(weakSelf(), [](const std::shared_ptr<KivoCamera>& self, KivoMotionState state, bool canFocusNow) {
        // The detector runs on the operation queue it was started on: the
        // main one, from viewWillAppear.
        KIVO_ASSERT_MAIN_THREAD();
        if (!self->isViewDidAppear_) return;
        if (self->inProgressPhotoCaptureDelegates_->count() != 0) return;
        if (state == KivoMotionState::moving && self->focusView_) self->focusView_->stopAnimation();
        if (canFocusNow && state == KivoMotionState::still) self->focusWithAnimated(true);
      }));
}

void KivoCamera::setFocusImage(std::shared_ptr<UIImage> image) {
  KIVO_ASSERT_MAIN_THREAD();
  if (focusView_ && focusView_->focusImageView()) focusView_->focusImageView()->setImage(std::move(image));
}

void KivoCamera::setExposureTargetBias(float bias) {
  const auto device = videoDevice();
  if (!device || cameraPosition_ != static_cast<std::int64_t>(AVCaptureDevicePosition::back)) return;
  NSError error;
  if (!device->lockForConfiguration(&error)) {
    KivoCameraAnalytics::analytics(KivoCameraError::exposureLocking);
    std::string message = ") ";
    message.append(error.description());
    kivoLog(KivoCameraError::exposureLocking, message);
    return;
  }
  device->setExposureTargetBias(bias, nullptr);
  device->unlockForConfiguration();
}

// --- Zoom ---------------------------------------------------------------------------------

namespace {

// The level of `scale` between the two bounds, clamped to [0, 1].
double levelOfScale(double scale, double minScale, double maxScale) {
  double level = (scale - minScale) / (maxScale - minScale);
  level = std::min(level, 1.0);
  if (!(level >= 0)) level = 0;
  return level;
}

}  // namespace

void KivoCamera::zoomWithScale(double scale) {
  zoomWithScale(scale, false);
}

void KivoCamera::zoomWithScale(double scale, bool animation) {
  zoomWithLevel(levelOfScale(scale, minZoomScale_, maxZoomScale_), animation, false);
}

void KivoCamera::zoomWithLevel(double level) {
  zoomWithLevel(level, false, false);
}

void KivoCamera::zoomWithLevel(double level, bool animation, bool needCallBack) {
  const double maxScale = maxZoomScale_, minScale = minZoomScale_;
  if (!(minScale < maxScale)) return;
  const auto device = videoDevice();
  if (!device) return;
  double l = level >= 0 ? level : 0;
  if (!(l < 1.0)) l = 1.0;
  double scale = minScale + l * (maxScale - minScale);
  scale = scale < maxScale ? scale : maxScale;
  scale = std::max(scale, 1.0);
  zoomScale_ = scale;  // stored before the lock: kept even when locking fails
  if (!device->lockForConfiguration()) {
    KivoCameraAnalytics::analytics(KivoCameraError::zoom);
    kivoLog(KivoCameraError::zoom, ") Error Zoom");
    return;
  }
  if (animation) {
    device->rampToVideoZoomFactor(zoomScale_, 2.0f);
  } else {
    device->setVideoZoomFactor(zoomScale_);
  }
  if (needCallBack) {
    DispatchQueue::main().async([self = self()] {
      self->notifyDelegate(KivoCameraDelegateSelector::cameraDidChangeZoomLevelZoomScale,
                           [&](KivoCameraDelegate& delegate) {
                             const double maxScale = self->maxZoomScale_, minScale = self->minZoomScale_;
                             if (!(maxScale - minScale > 0)) return;
                             const double scale = self->zoomScale_;  // its value now
                             delegate.cameraDidChangeZoomLevel(*self, levelOfScale(scale, minScale, maxScale), scale);
                           });
    });
  }
  device->unlockForConfiguration();
}

void KivoCamera::pinchGesture(UIPinchGestureRecognizer& pinch) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!shouldPinchToZoom_) return;
  if (pinch.state() == UIGestureRecognizerState::began) pinch.setScale(zoomScale_);
  // Without a range (equal bounds) every scale is level 0; zooming then does
  // nothing, as for any request.
  const double range = maxZoomScale_ - minZoomScale_;
  const double level = range != 0 ? (pinch.scale() - minZoomScale_) / range : 0.0;
  zoomWithLevel(level, false, true);
  const auto state = pinch.state();
  if (state == UIGestureRecognizerState::ended || state == UIGestureRecognizerState::cancelled ||
      state == UIGestureRecognizerState::failed) {
    notifyDelegate(KivoCameraDelegateSelector::cameraDidPinchEndZoomLevelZoomScale,
                   [&](KivoCameraDelegate& delegate) { delegate.cameraDidPinchEndZoomLevel(*this, level, zoomScale_); });
    focusWithAnimated(false);
  }
}
