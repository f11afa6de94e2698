// The focus reticle and its animation, evaluated through the layer at chosen
// times; the shutter's scale pulse.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "KivoFocusView.h"
#include "UIKit/UIImage.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class KivoFocusViewTest : public ::testing::Test {
 protected:
  DeterministicExecutor executor;
  std::shared_ptr<KivoFocusView> reticle = KivoFocusView::create(CGRectMake(0, 0, 110, 110));

  double valueAt(const char* keyPath, double sinceStart) const {
    const auto layer = reticle->focusImageView()->layer();
    return layer->presentationValueForKeyPath(keyPath, *layer->beginTimeForKey("FocusAnimation") + sinceStart);
  }
  double opacityAt(double sinceStart) const { return valueAt("opacity", sinceStart); }
  double scaleAt(double sinceStart) const { return valueAt("transform.scale", sinceStart); }
};

TEST_F(KivoFocusViewTest, TheAnimationShrinksThenBlinksTwiceOver1point3Seconds) {
  reticle->startAnimation();
  EXPECT_THAT(reticle->focusImageView()->layer()->animationKeys(), ElementsAre("FocusAnimation"));
  EXPECT_NEAR(scaleAt(0), 1.4925373134328357, 1e-12);
  // The shrink's Bézier (0.472, 0.118), (0, 0.863) at curve parameter 1/2,
  // worked by hand: x = 0.302 of the 0.5 s segment, eased progress 0.492875.
  EXPECT_NEAR(scaleAt(0.302 * 0.5), 1.4925373134328357 - 0.4925373134328357 * 0.492875, 1e-6);
  EXPECT_NEAR(scaleAt(0.5), 1.0, 1e-12);
  EXPECT_NEAR(scaleAt(1.2), 1.0, 1e-12);
  EXPECT_NEAR(opacityAt(0.25), 1.0, 1e-12) << "shown at full opacity while it shrinks";
  // The blinks: 1 → 0.55 at 19/30 s, → 1 at 25/30 s, → 0.55 at 31/30 s, → 1
  // at the end; the blink curve's control points lie on the diagonal, so half
  // way through a segment is half way between its values.
  EXPECT_NEAR(opacityAt(19.0 / 30), 0.55, 1e-7);
  EXPECT_NEAR(opacityAt((15.0 / 30 + 19.0 / 30) / 2), 0.775, 1e-6);
  EXPECT_NEAR(opacityAt(25.0 / 30), 1.0, 1e-7);
  EXPECT_NEAR(opacityAt(31.0 / 30), 0.55, 1e-7);
  EXPECT_NEAR(opacityAt(1.3 - 1e-9), 1.0, 1e-6);
  // After 1.3 s the group no longer shows (fill removed) but stays on the layer.
  executor.advance(1.3);
  EXPECT_DOUBLE_EQ(reticle->focusImageView()->presentationAlpha(), 0.0);
  EXPECT_THAT(reticle->focusImageView()->layer()->animationKeys(), ElementsAre("FocusAnimation"));
}

TEST_F(KivoFocusViewTest, StopRemovesTheAnimationAndHidesEvenWithoutAnImageView) {
  reticle->setHidden(false);
  reticle->startAnimation();
  reticle->stopAnimation();
  EXPECT_TRUE(reticle->isHidden());
  EXPECT_THAT(reticle->focusImageView()->layer()->animationKeys(), IsEmpty());
  EXPECT_EQ(reticle->focusImageView()->alpha(), 0);

  reticle->setHidden(false);
  reticle->setFocusImageView(nullptr);
  reticle->startAnimation();  // nothing to animate
  reticle->stopAnimation();
  EXPECT_TRUE(reticle->isHidden());
}

TEST(KivoCaptureAnimationTest, PulsesToOnePointTwoAtItsMidpointAndEndsAtOne) {
  DeterministicExecutor executor;
  auto layer = CALayer::layer();
  layer->addAnimation(KivoCaptureAnimation::animation(), "pulse");
  const double start = CACurrentMediaTime();
  EXPECT_NEAR(layer->presentationValueForKeyPath("transform.scale", start + 0.2), 1.2, 1e-12);
  EXPECT_NEAR(layer->presentationValueForKeyPath("transform.scale", start + 0.4), 1.0, 1e-12);
  EXPECT_NE(KivoCaptureAnimation::animation(), KivoCaptureAnimation::animation()) << "a new object each call";
}

}  // namespace
