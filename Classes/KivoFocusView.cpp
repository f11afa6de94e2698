#include "KivoFocusView.h"

#include "Dispatch/Dispatch.h"
#include "Kivo/KivoResource.h"

std::shared_ptr<KivoFocusView> KivoFocusView::create(CGRect frame) {
  KIVO_ASSERT_MAIN_THREAD();
  auto view = std::make_shared<KivoFocusView>(frame);
  view->setUp();
  return view;
}

KivoFocusView::KivoFocusView(CGRect frame) : UIView(frame) {}

void KivoFocusView::setUp() {
  setUserInteractionEnabled(false);
  // The frame, not the bounds: the two agree for a reticle made at the origin.
  focusImageView_ = UIImageView::create(frame());
  focusImageView_->setImage(imageNamedOrMain(kDefaultImageName, "KivoFocusView"));
  focusImageView_->setAlpha(0);
  addSubview(focusImageView_);
}

// On the main thread: a controller let go of elsewhere hands its views over to it.
KivoFocusView::~KivoFocusView() {
  KIVO_ASSERT_MAIN_THREAD();
  if (focusImageView_) focusImageView_->layer()->removeAllAnimations();
}

void KivoFocusView::startAnimation() {
  KIVO_ASSERT_MAIN_THREAD();
  if (focusImageView_) focusImageView_->layer()->removeAllAnimations();
  auto animation = KivoFocusAnimation::focusAnimationWithDuration(kAnimationDuration);
  if (animation && focusImageView_) focusImageView_->layer()->addAnimation(animation, kAnimationKey);
}

void KivoFocusView::stopAnimation() {
  KIVO_ASSERT_MAIN_THREAD();
  if (focusImageView_) {
    focusImageView_->layer()->removeAllAnimations();
    focusImageView_->setAlpha(0);
  }
  setHidden(true);
}

std::shared_ptr<CAAnimation> KivoFocusAnimation::focusAnimationWithDuration(double d) {
  const auto bezier = [](float c1x, float c1y, float c2x, float c2y) {
    return CAMediaTimingFunction::functionWithControlPoints(c1x, c1y, c2x, c2y);
  };
  const auto linear = CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear);

  auto scale = CAKeyframeAnimation::animationWithKeyPath("transform.scale");
  scale->setValues({1.4925373134328357, 1.0, 1.0});
  scale->setKeyTimes({0.0, 0.5 / d, 1.0});
  scale->setTimingFunctions({bezier(0.472f, 0.118f, 0.0f, 0.863f), linear});
  scale->setAutoreverses(false);
  scale->setFillMode(kCAFillModeForwards);
  scale->setDuration(d);

  const auto blink = bezier(0.167f, 0.167f, 0.833f, 0.833f);
  auto opacity = CAKeyframeAnimation::animationWithKeyPath("opacity");
  opacity->setValues({1.0, 1.0, 0.55, 1.0, 0.55, 1.0});
  opacity->setKeyTimes({0.0, 0.5 / d, 0.6333333333333333 / d, 0.8333333333333333 / d, 1.0333333333333332 / d, 1.0});
  opacity->setTimingFunctions({linear, blink, blink, blink, blink});
  opacity->setDuration(d);
  opacity->setAutoreverses(false);
  opacity->setFillMode(kCAFillModeForwards);

  auto group = CAAnimationGroup::animation();
  group->setAnimations({scale, opacity});
  group->setRemovedOnCompletion(false);
  group->setDuration(d);
  return group;
}

std::shared_ptr<CAKeyframeAnimation> KivoCaptureAnimation::animation() {
  auto animation = CAKeyframeAnimation::animationWithKeyPath("transform.scale");
  animation->setValues({1.0, 1.2, 1.0});
  animation->setKeyTimes({0.0, 0.5, 1.0});
  animation->setCalculationMode(kCAAnimationLinear);
  animation->setAutoreverses(false);
  animation->setFillMode(kCAFillModeForwards);
  animation->setDuration(0.4);
  animation->setRepeatCount(0);
  return animation;
}
