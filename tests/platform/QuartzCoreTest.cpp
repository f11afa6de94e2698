// Layer animation: timing curves, keyframe evaluation, groups, fill and
// removal, evaluated on the virtual clock.

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

  // By hand, at curve parameter s = 0.5 of (0.472, 0.118), (0, 0.863) (the
  // reticle's shrink): x = 3(1/4)(1/2)(0.472) + 0 + 1/8 = 0.302,
  // y = 3(1/4)(1/2)(0.118) + 3(1/2)(1/4)(0.863) + 1/8 = 0.492875.
  auto reticle = CAMediaTimingFunction::functionWithControlPoints(0.472f, 0.118f, 0.0f, 0.863f);
  EXPECT_NEAR(reticle->evaluate(0.302), 0.492875, 1e-6);
  double previous = 0;
  for (int i = 1; i <= 100; ++i) {
    const double y = reticle->evaluate(i / 100.0);
    EXPECT_GE(y, previous) << "monotonic at " << i;
    previous = y;
  }
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

TEST_F(LayerAnimationTest, GroupsRunChildrenOnTheirClockAndStopAtTheirEnd) {
  auto opacity = CAKeyframeAnimation::animationWithKeyPath("opacity");
  opacity->setValues({1.0, 1.0, 0.55, 1.0});
  opacity->setKeyTimes({0.0, 0.5, 0.75, 1.0});
  opacity->setTimingFunctions({nullptr, CAMediaTimingFunction::functionWithControlPoints(0.167f, 0.167f, 0.833f, 0.833f),
                               nullptr});
  opacity->setDuration(2.0);  // longer than the group: cut off at 1 s
  opacity->setFillMode(kCAFillModeForwards);
  auto group = CAAnimationGroup::animation();
  group->setAnimations({pulse(), opacity});
  group->setDuration(1.0);
  group->setRemovedOnCompletion(false);
  layer->setOpacity(0);
  layer->addAnimation(group, "group");
  const double start = CACurrentMediaTime();
  EXPECT_NEAR(layer->presentationValueForKeyPath("opacity", start + 0.5), 1.0, 1e-12);
  // Half way through the symmetric-eased segment 1 → 0.55 (1.0 s .. 1.5 s of
  // the child) lies beyond the group's end; inside, at 0.9 s, the child is
  // still on its first flat segment.
  EXPECT_NEAR(layer->presentationValueForKeyPath("opacity", start + 0.9), 1.0, 1e-12);
  EXPECT_NEAR(layer->presentationValueForKeyPath("transform.scale", start + 0.2), 1.2, 1e-12);
  EXPECT_NEAR(layer->presentationValueForKeyPath("transform.scale", start + 0.7), 1.0, 1e-12) << "child filled";
  executor.advance(1.0);
  EXPECT_DOUBLE_EQ(layer->presentationValueForKeyPath("opacity"), 0.0) << "group ended, fill removed";
  EXPECT_THAT(layer->animationKeys(), ElementsAre("group")) << "kept: removal on completion is off";
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
