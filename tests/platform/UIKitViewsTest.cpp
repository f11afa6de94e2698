// The view system: geometry, hit testing, coordinate conversion, view
// animation, and the appearance a controller's view takes with it when it
// leaves the screen. The rest of lifecycle forwarding, gestures and alerts
// are checked through the host screen and the controller.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Dispatch/Executor.h"
#include "UIKit/UIView.h"
#include "UIKit/UIViewController.h"


namespace {

class UIKitViewsTest : public ::testing::Test {
 protected:
  DeterministicExecutor executor;
};

TEST_F(UIKitViewsTest, FrameBoundsAndCenterStayConsistentAndPointsConvertThroughThem) {
  auto view = UIView::create(CGRectMake(10, 20, 100, 50));
  EXPECT_EQ(view->center(), (CGPoint{60, 45}));
  EXPECT_EQ(view->bounds(), CGRectMake(0, 0, 100, 50));
  view->setCenter({0, 0});
  EXPECT_EQ(view->frame(), CGRectMake(-50, -25, 100, 50));
  view->setBounds(CGRectMake(5, 5, 20, 10));
  EXPECT_EQ(view->frame(), CGRectMake(-10, -5, 20, 10)) << "resized around the centre";
  view->setFrame(CGRectMake(0, 0, 8, 8));
  EXPECT_EQ(view->bounds(), CGRectMake(5, 5, 8, 8)) << "the bounds origin is kept";

  // Points convert through nested frames and bounds origins.
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

// A child controller that records the lifecycle calls it receives.
class RecordingController : public UIViewController {
 public:
  std::vector<std::string> calls;
  void viewWillAppear(bool) override { calls.push_back("willAppear"); }
  void viewDidAppear(bool) override { calls.push_back("didAppear"); }
  void viewWillDisappear(bool) override { calls.push_back("willDisappear"); }
  void viewDidDisappear(bool) override { calls.push_back("didDisappear"); }
};

TEST_F(UIKitViewsTest, AViewLeavingTheScreenTakesItsControllersPendingDisappearanceWithIt) {
  using Steps = std::vector<std::string>;
  struct Case {
    const char* name;
    void (*host)(UIViewController&);  // brings the host to the state under test
    Steps onRemoval;
  };
  const Case cases[] = {
      {"never shown", [](UIViewController&) {}, {}},
      {"appearing", [](UIViewController& h) { h.beginAppearanceTransition(true, false); },
       {"willDisappear", "didDisappear"}},
      {"shown",
       [](UIViewController& h) {
         h.beginAppearanceTransition(true, false);
         h.endAppearanceTransition(false);
       },
       {"willDisappear", "didDisappear"}},
      {"disappearing",
       [](UIViewController& h) {
         h.beginAppearanceTransition(true, false);
         h.endAppearanceTransition(false);
         h.beginAppearanceTransition(false, false);
       },
       {"didDisappear"}},
      {"shown then hidden",
       [](UIViewController& h) {
         for (bool appearing : {true, false}) {
           h.beginAppearanceTransition(appearing, false);
           h.endAppearanceTransition(false);
         }
       },
       {}},
  };
  for (const Case& c : cases) {
    auto host = UIViewController::create();
    auto child = std::make_shared<RecordingController>();
    host->addChildViewController(child);
    host->view()->addSubview(child->view());
    c.host(*host);
    child->calls.clear();
    child->view()->removeFromSuperview();
    EXPECT_EQ(child->calls, c.onRemoval) << c.name;
    EXPECT_EQ(child->appearance(), UIViewController::Appearance::disappeared) << c.name;
    child->calls.clear();
    host->view()->addSubview(child->view());
    child->view()->removeFromSuperview();
    EXPECT_THAT(child->calls, ::testing::IsEmpty()) << c.name << ": only once";
  }
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
