// KivoCamera: embedding, the view lifecycle, the view set-up and the shutter
// flash. Everything here runs on the main thread except the blocks queued on
// the session queue, and the shutter flash may be asked for from any queue.

#include <algorithm>

#include "AVFoundation/AVCaptureSession.h"
#include "Foundation/NotificationCenter.h"
#include "KivoCamera.h"
#include "KivoFocusView.h"
#include "KivoMotionManager.h"
#include "KivoOrientation.h"
#include "KivoPreviewView.h"
#include "UIKit/UIApplication.h"
#include "UIKit/UIScreen.h"

void KivoCamera::addToController(const std::shared_ptr<UIViewController>& controller) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!controller) return;
  controller->addChildViewController(self());
  controller->view()->addSubview(view());
}

void KivoCamera::viewDidLoad() {
  KIVO_ASSERT_MAIN_THREAD();
  UIViewController::viewDidLoad();
  view()->setBackgroundColor(UIColor::blackColor());
  addPreviewLayer();
  addFocusView();
  handleSessionAfterAuthorization();
}

void KivoCamera::addPreviewLayer() {
  previewView_ = KivoPreviewView::create(previewFrame_.value_or(CGRectZero), videoGravity_);
  previewView_->setBackgroundColor(UIColor::blackColor());
  if (previewView_) {
    view()->addSubview(previewView_);
    view()->sendSubviewToBack(previewView_);
    addGestureRecognizer();
    addCaptureAnimationView();
    previewView_->previewLayer()->setSession(session_);
  }
}

void KivoCamera::addFocusView() {
  if (!focusView_) {
    const double side = std::min(UIScreen::main().bounds().size.width, 375.0) * 0.29333333333333333;
    focusView_ = KivoFocusView::create(CGRectMake(0, 0, side, side));
  }
  focusView_->setHidden(true);
  if (previewView_) previewView_->addSubview(focusView_);
}

void KivoCamera::addCaptureAnimationView() {
  if (!shouldShowCaptureAnimation_ || !previewView_) return;
  captureAnimationView_ = UIView::create(previewView_->frame());
  captureAnimationView_->setBackgroundColor(UIColor::blackColor());
  captureAnimationView_->setAlpha(0);
  view()->addSubview(captureAnimationView_);
}

void KivoCamera::viewWillAppear(bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  UIViewController::viewWillAppear(animated);
  if (previewView_) previewView_->setHidden(true);
  if (shouldUseDeviceOrientation_) {
    if (auto estimator = orientation()) estimator->start();
  }
  if (shouldResetFocusAfterMove_) {
    if (auto manager = motionManager()) manager->start();
    focusAfterMotion();
  }
  auto& application = UIApplication::shared();
  isIdleTimerDisabled_ = application.isIdleTimerDisabled();
  application.setIdleTimerDisabled(true);
  handleSessionAfterSetupResult();
}

void KivoCamera::viewDidLayoutSubviews() {
  KIVO_ASSERT_MAIN_THREAD();
  UIViewController::viewDidLayoutSubviews();
  if (previewFrame_) view()->setFrame(*previewFrame_);
  if (previewView_) previewView_->setFrame(view()->bounds());
  if (captureAnimationView_) captureAnimationView_->setFrame(view()->bounds());
}

void KivoCamera::viewDidAppear(bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  UIViewController::viewDidAppear(animated);
  isViewDidAppear_ = true;
  if (previewView_) previewView_->setHidden(false);
  focusWithAnimated(shouldShowFocusAfterLaunch_);
}

void KivoCamera::viewWillDisappear(bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  sessionQueue_.async([self = self()] {
    if (self->sessionSetupResult_ != SessionSetupResult::success) return;
    self->stopSession();
    NotificationCenter::defaultCenter().removeObserver(self.get());
  });
  UIViewController::viewWillDisappear(animated);
  isViewDidAppear_ = false;
}

void KivoCamera::viewDidDisappear(bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  UIViewController::viewDidDisappear(animated);
  UIApplication::shared().setIdleTimerDisabled(isIdleTimerDisabled_);
  if (shouldUseDeviceOrientation_) {
    if (auto estimator = orientation()) estimator->stop();
  }
  if (shouldResetFocusAfterMove_) {
    if (auto manager = motionManager()) manager->stop();
  }
}

void KivoCamera::capturePhotoAnimation() {
  DispatchQueue::main().async([self = self()] {
    KIVO_ASSERT_MAIN_THREAD();
    const auto overlay = self->captureAnimationView_;
    if (!overlay) return;
    overlay->setAlpha(1.0);
    UIView::animateWithDuration(0.25, [&overlay] { overlay->setAlpha(0.0); });
  });
}
