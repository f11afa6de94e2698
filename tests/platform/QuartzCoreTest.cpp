// Layer animation: timing curves, keyframe evaluation, fill and removal,
// evaluated on the virtual clock (groups through the reticle's animation in
// KivoFocusViewTest).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "QuartzCore/CAAnimation.h"
#include "QuartzCore/CALayer.h"

using ::testing::ElementsAre;

namespace {

TEST(CAMediaTimingFunctionTest, SolvesTheCurveForTime) {
  auto linear = CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear);
  auto easeInOut = CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseInEaseOut);
  for (double t : {0.0, 0.1, 0.37, 0.5, 0.99, 1.0}) EXPECT_NEAR(linear->evaluate(t), t, 1e-12);
  EXPECT_NEAR(easeInOut->evaluate(0.5), 0.5, 1e-6) << "symmetric curve (float control points)";
  EXPECT_LT(easeInOut->evaluate(0.2), 0.2) << "slow start";
  EXPECT_GT(easeInOut->evaluate(0.8), 0.8) << "slow end";
  // The reticle's curve (its value at 0.302 is worked by hand in KivoFocusViewTest) rises and stays in 0 ... 1.
  auto reticle = CAMediaTimingFunction::functionWithControlPoints(0.472f, 0.118f, 0.0f, 0.863f);
  for (int i = 1; i <= 100; ++i) EXPECT_GE(reticle->evaluate(i / 100.0), reticle->evaluate((i - 1) / 100.0)) << i;
  EXPECT_EQ(reticle->evaluate(-1), 0);
  EXPECT_EQ(reticle->evaluate(2), 1);
}

class LayerAnimationTest : public ::testing::Test {
 protected:
  DeterministicExecutor executor;
  std::shared_ptr<CALayer> layer = CALayer::layer();

  double scaleAt(double secondsFromNow) {
    return layer->presentationValueForKeyPath("transform.scale", CACurrentMediaTime() + secondsFromNow);
  }
};

// The shutter's scale pulse: 1 → 1.2 → 1 over 0.4 s, filled forwards.
std::shared_ptr<CAKeyframeAnimation> pulse() {
  auto animation = CAKeyframeAnimation::animationWithKeyPath("transform.scale");
  animation->setValues({1.0, 1.2, 1.0});
  animation->setKeyTimes({0.0, 0.5, 1.0});
  animation->setCalculationMode(kCAAnimationLinear);
  animation->setFillMode(kCAFillModeForwards);
  animation->setDuration(0.4);
  return animation;
}

TEST_F(LayerAnimationTest, AnAddedCopyStartsNowAndInterpolatesLinearlyBetweenKeyTimes) {
  auto animation = pulse();
  executor.advance(1.0);
  layer->addAnimation(animation, "pulse");
  animation->setValues({5.0, 5.0, 5.0});  // later edits do not reach the layer
  EXPECT_EQ(layer->beginTimeForKey("pulse"), 1001.0);
  EXPECT_DOUBLE_EQ(scaleAt(0.0), 1.0);
  EXPECT_NEAR(scaleAt(0.1), 1.1, 1e-12);
  EXPECT_NEAR(scaleAt(0.2), 1.2, 1e-12);
  EXPECT_NEAR(scaleAt(0.3), 1.1, 1e-12);
  EXPECT_NEAR(scaleAt(5.0), 1.0, 1e-12) << "held at its last value";
}

TEST_F(LayerAnimationTest, FillModeDecidesWhatRemainsAfterTheEnd) {
  layer->setValueForKeyPath("transform.scale", 3.0);
  auto held = pulse();
  held->setValues({1.0, 1.2, 0.5});
  held->setRemovedOnCompletion(false);
  layer->addAnimation(held, "held");
  EXPECT_DOUBLE_EQ(scaleAt(1.0), 0.5);
  held->setFillMode(kCAFillModeRemoved);
  layer->addAnimation(held, "held");  // replaces the first, same key
  EXPECT_DOUBLE_EQ(scaleAt(1.0), 3.0) << "the model value shows once it ends";
  EXPECT_THAT(layer->animationKeys(), ElementsAre("held"));
}

#ifndef NDEBUG
TEST(CAAnimationDeathTest, ProgrammingErrorsNameTheProblem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CABasicAnimation::animationWithKeyPath("opacity")->setDuration(-1), "must not be negative");
  EXPECT_DEATH(
      {
        DeterministicExecutor executor;
        auto layer = CALayer::layer();
        auto bad = CAKeyframeAnimation::animationWithKeyPath("opacity");
        bad->setValues({0, 1});
        bad->setKeyTimes({0, 0.5, 1});
        layer->addAnimation(bad, "bad");
        (void)layer->presentationValueForKeyPath("opacity");
      },
      "key times and values must have the same length");
}
#endif

}  // namespace
