// The view system: controller loading and lifecycle forwarding, geometry,
// hit testing, coordinate conversion, gestures, alerts and view animation.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "Foundation/PlatformTrace.h"
#include "UIKit/UIAlertController.h"
#include "UIKit/UIGestureRecognizer.h"
#include "UIKit/UIScreen.h"
#include "UIKit/UIView.h"
#include "UIKit/UIViewController.h"

using ::testing::ElementsAre;

namespace {

class Recorder : public UIViewController {
 public:
  Recorder(std::string name, std::vector<std::string>& log) : name_(std::move(name)), log_(log) {}
  void viewDidLoad() override { log_.push_back(name_ + ".viewDidLoad"); }
  void viewWillAppear(bool animated) override {
    log_.push_back(name_ + ".viewWillAppear");
    UIViewController::viewWillAppear(animated);
  }
  void viewDidAppear(bool animated) override {
    log_.push_back(name_ + ".viewDidAppear");
    UIViewController::viewDidAppear(animated);
  }
  void viewWillDisappear(bool animated) override {
    log_.push_back(name_ + ".viewWillDisappear");
    UIViewController::viewWillDisappear(animated);
  }
  void viewDidDisappear(bool animated) override {
    log_.push_back(name_ + ".viewDidDisappear");
    UIViewController::viewDidDisappear(animated);
  }
  void viewDidLayoutSubviews() override {
    log_.push_back(name_ + ".viewDidLayoutSubviews");
    UIViewController::viewDidLayoutSubviews();
  }

 private:
  std::string name_;
  std::vector<std::string>& log_;
};

class UIKitViewsTest : public ::testing::Test {
 protected:
  DeterministicExecutor executor;
  std::vector<std::string> log;
  void TearDown() override { UIScreen::main().resetToDefaults(); }
};

TEST_F(UIKitViewsTest, TheFirstReadOfTheViewLoadsItWithTheScreenBounds) {
  UIScreen::main().setBounds(CGRectMake(0, 0, 320, 480));
  auto controller = std::make_shared<Recorder>("c", log);
  EXPECT_FALSE(controller->isViewLoaded());
  EXPECT_EQ(controller->viewIfLoaded(), nullptr);
  auto view = controller->view();
  EXPECT_TRUE(controller->isViewLoaded());
  EXPECT_EQ(view->frame(), CGRectMake(0, 0, 320, 480));
  EXPECT_EQ(controller->view(), view);
  EXPECT_THAT(log, ElementsAre("c.viewDidLoad")) << "loaded once";
  EXPECT_EQ(view->owningViewController(), controller);
}

TEST_F(UIKitViewsTest, LifecycleEventsReachChildrenInOrderAndLayoutReachesThemToo) {
  auto host = std::make_shared<Recorder>("host", log);
  auto first = std::make_shared<Recorder>("a", log);
  auto second = std::make_shared<Recorder>("b", log);
  host->addChildViewController(first);
  host->addChildViewController(second);
  EXPECT_EQ(first->parentViewController(), host);
  host->viewWillAppear(false);
  host->view()->layoutIfNeeded();
  second->removeFromParentViewController();
  host->viewDidDisappear(false);
  EXPECT_THAT(log, ElementsAre("host.viewWillAppear", "a.viewWillAppear", "b.viewWillAppear", "host.viewDidLoad",
                               "host.viewDidLayoutSubviews", "a.viewDidLayoutSubviews", "b.viewDidLayoutSubviews",
                               "host.viewDidDisappear", "a.viewDidDisappear"));
  EXPECT_EQ(second->parentViewController(), nullptr);
  EXPECT_EQ(host->childViewControllers().size(), 1u);
}

TEST_F(UIKitViewsTest, FrameBoundsAndCenterStayConsistent) {
  auto view = UIView::create(CGRectMake(10, 20, 100, 50));
  EXPECT_EQ(view->center(), (CGPoint{60, 45}));
  EXPECT_EQ(view->bounds(), CGRectMake(0, 0, 100, 50));
  view->setCenter({0, 0});
  EXPECT_EQ(view->frame(), CGRectMake(-50, -25, 100, 50));
  view->setBounds(CGRectMake(5, 5, 20, 10));
  EXPECT_EQ(view->frame(), CGRectMake(-10, -5, 20, 10)) << "resized around the centre";
  view->setFrame(CGRectMake(0, 0, 8, 8));
  EXPECT_EQ(view->bounds(), CGRectMake(5, 5, 8, 8)) << "the bounds origin is kept";
}

TEST_F(UIKitViewsTest, PointsConvertThroughNestedFramesAndBoundsOrigins) {
  auto root = UIView::create(CGRectMake(0, 0, 375, 812));
  auto camera = UIView::create(CGRectMake(10, 20, 355, 473));
  auto preview = UIView::create(CGRectMake(5, 5, 100, 100));
  root->addSubview(camera);
  camera->addSubview(preview);
  EXPECT_EQ(preview->convertPointToView({1, 2}, root.get()), (CGPoint{16, 27}));
  EXPECT_EQ(preview->convertPointFromView({16, 27}, nullptr), (CGPoint{1, 2}));
  EXPECT_EQ(camera->convertPointToView({0, 0}, preview.get()), (CGPoint{-5, -5}));
  camera->setBounds(CGRectMake(100, 0, 355, 473));  // scrolled contents
  EXPECT_EQ(preview->convertPointToView({0, 0}, root.get()), (CGPoint{-85, 25}));
}

TEST_F(UIKitViewsTest, HitTestingPassesOverHiddenTransparentAndUntouchableViews) {
  auto root = UIView::create(CGRectMake(0, 0, 300, 300));
  auto back = UIView::create(CGRectMake(0, 0, 300, 300));
  auto front = UIView::create(CGRectMake(0, 0, 150, 150));
  auto inner = UIView::create(CGRectMake(10, 10, 20, 20));
  root->addSubview(back);
  root->addSubview(front);
  front->addSubview(inner);
  EXPECT_EQ(root->hitTest({15, 15}), inner) << "deepest view";
  EXPECT_EQ(root->hitTest({100, 100}), front) << "topmost sibling";
  front->setAlpha(0.009);
  EXPECT_EQ(root->hitTest({15, 15}), back) << "alpha below 0.01 hides it and its subviews";
  front->setAlpha(0.01);
  EXPECT_EQ(root->hitTest({15, 15}), inner);
  front->setHidden(true);
  EXPECT_EQ(root->hitTest({15, 15}), back);
  front->setHidden(false);
  front->setUserInteractionEnabled(false);
  EXPECT_EQ(root->hitTest({15, 15}), back);
  EXPECT_EQ(root->hitTest({400, 5}), nullptr) << "outside";
}

struct PinchTarget {
  std::vector<std::pair<UIGestureRecognizerState, double>> seen;
  double setOnBegan = 2.0;
  void pinched(UIPinchGestureRecognizer& pinch) {
    seen.emplace_back(pinch.state(), pinch.scale());
    if (pinch.state() == UIGestureRecognizerState::began) pinch.setScale(setOnBegan);
  }
};

TEST_F(UIKitViewsTest, PinchScaleIsTheSetValueTimesTheSpreadSinceItWasSet) {
  auto view = UIView::create(CGRectMake(0, 0, 100, 100));
  auto pinch = UIPinchGestureRecognizer::create();
  auto target = std::make_shared<PinchTarget>();
  pinch->addTarget(target, &PinchTarget::pinched);
  view->addGestureRecognizer(pinch);
  pinch->deliverPinch(UIGestureRecognizerState::began, 1.1, {50, 50});
  EXPECT_DOUBLE_EQ(pinch->scale(), 2.0) << "set in the handler";
  pinch->deliverPinch(UIGestureRecognizerState::changed, 1.5, {50, 50});
  pinch->deliverPinch(UIGestureRecognizerState::ended, 1.5, {50, 50});
  ASSERT_EQ(target->seen.size(), 3u);
  EXPECT_DOUBLE_EQ(target->seen[0].second, 1.1) << "at began the set value is 1";
  EXPECT_DOUBLE_EQ(target->seen[1].second, 3.0);
  EXPECT_EQ(target->seen[2].first, UIGestureRecognizerState::ended);
  // A new pinch starts again from 1, whatever was set before.
  pinch->deliverPinch(UIGestureRecognizerState::began, 0.5, {50, 50});
  EXPECT_DOUBLE_EQ(target->seen[3].second, 0.5);
}

struct TapTarget {
  std::vector<CGPoint> taps;
  std::shared_ptr<UIView> view;
  void tapped(UITapGestureRecognizer& tap) { taps.push_back(tap.locationInView(view.get())); }
};

TEST_F(UIKitViewsTest, TapsReportTheirLocationInAnyViewAndSkipGoneTargets) {
  auto root = UIView::create(CGRectMake(0, 0, 375, 812));
  auto preview = UIView::create(CGRectMake(10, 20, 100, 100));
  root->addSubview(preview);
  auto tap = UITapGestureRecognizer::create();
  auto target = std::make_shared<TapTarget>();
  target->view = preview;
  tap->addTarget(target, &TapTarget::tapped);
  preview->addGestureRecognizer(tap);
  EXPECT_EQ(tap->view(), preview);
  tap->deliver(UIGestureRecognizerState::ended, {60, 70});
  EXPECT_THAT(target->taps, ElementsAre(CGPoint{50, 50}));
  std::weak_ptr<TapTarget> watch = target;
  target->view.reset();
  target.reset();
  EXPECT_TRUE(watch.expired()) << "recognisers hold targets weakly";
  tap->deliver(UIGestureRecognizerState::ended, {60, 70});  // skipped, no crash
}

TEST_F(UIKitViewsTest, ViewAnimationMovesThePresentationValueAndRestartsFromIt) {
  auto flash = UIView::create();
  flash->setAlpha(1.0);
  UIView::animateWithDuration(0.25, [&] { flash->setAlpha(0.0); });
  EXPECT_EQ(flash->alpha(), 0.0) << "the model value changes at once";
  EXPECT_DOUBLE_EQ(flash->presentationAlpha(), 1.0);
  executor.advance(0.125);
  EXPECT_NEAR(flash->presentationAlpha(), 0.5, 1e-6) << "half way on the symmetric ease-in-out curve";
  executor.advance(0.0625);
  const double atThreeQuarters = flash->presentationAlpha();
  EXPECT_LT(atThreeQuarters, 0.25) << "eased, not linear";
  // A second animation of the same property starts from what is on screen.
  UIView::animateWithDuration(0.25, [&] { flash->setAlpha(1.0); });
  EXPECT_NEAR(flash->presentationAlpha(), atThreeQuarters, 1e-12);
  executor.advance(0.25);
  EXPECT_DOUBLE_EQ(flash->presentationAlpha(), 1.0);
  EXPECT_TRUE(flash->layer()->animationKeys().empty()) << "finished and removed";
  // Set outside an animation block: on screen at once, ending a running fade.
  UIView::animateWithDuration(0.25, [&] { flash->setAlpha(0.0); });
  executor.advance(0.1);
  flash->setAlpha(1.0);
  EXPECT_DOUBLE_EQ(flash->presentationAlpha(), 1.0);
}

#ifndef NDEBUG
TEST_F(UIKitViewsTest, ProgrammingErrorsAssertWithTheirReason) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto parent = UIView::create();
  auto child = UIView::create();
  parent->addSubview(child);
  EXPECT_DEATH(parent->addSubview(parent), "cannot be added to itself or to one of its own subviews");
  EXPECT_DEATH(child->addSubview(parent), "cannot be added to itself or to one of its own subviews");
  EXPECT_DEATH(UIView::animateWithDuration(-1, [] {}), "duration must not be negative");
}
#endif

}  // namespace
