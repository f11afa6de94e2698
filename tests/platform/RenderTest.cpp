// What the view system draws: the layer tree mirrored from the views, the
// presentation values of running animations, the camera preview with its
// gravity and mirroring, and an alert over the host screen. Checked by
// reading pixels back from the context.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "AVFoundation/AVFoundation.h"
#include "CoreGraphics/CGContext.h"
#include "QuartzCore/CAAnimation.h"
#include "UIKit/UIAlertController.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIScreen.h"
#include "UIKit/UIView.h"
#include "sim/HostScreen.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"

namespace {

struct RGB {
  int r, g, b;
};

RGB pixelAt(const CGContext& context, int x, int y) {
  const std::uint8_t* p = context.data() + static_cast<std::size_t>(y) * context.bytesPerRow() + 4 * x;
  return {p[0], p[1], p[2]};
}

// Names the colours these pictures are made of.
std::string colourName(RGB p) {
  if (p.r > 200 && p.g < 60 && p.b < 60) return "red";
  if (p.g > 200 && p.r < 60 && p.b < 60) return "green";
  if (p.b > 200 && p.r < 60 && p.g < 60) return "blue";
  if (std::abs(p.r - p.g) > 12 || std::abs(p.g - p.b) > 12) return "other";
  return p.r > 235 ? "white" : p.r < 20 ? "black" : "grey";
}

std::shared_ptr<UIView> addView(const std::shared_ptr<UIView>& parent, CGRect frame, UIColor colour) {
  auto view = UIView::create(frame);
  view->setBackgroundColor(colour);
  parent->addSubview(view);
  return view;
}

class RenderTest : public ::testing::Test {
 protected:
  sim::World world;
};

// Built before the root's layer exists (the layers take the views' state when
// made), then changed through the setters (the layers follow).
TEST_F(RenderTest, TheLayerTreeMirrorsTheViewsBeforeAndAfterItIsMade) {
  const UIColor red{1, 0, 0, 1}, green{0, 1, 0, 1}, blue{0, 0, 1, 1};
  auto root = UIView::create(CGRectMake(0, 0, 100, 100));
  root->setBackgroundColor(UIColor::whiteColor());
  auto hiddenParent = addView(root, CGRectMake(0, 0, 20, 20), red);
  addView(hiddenParent, CGRectMake(5, 5, 10, 10), blue);
  hiddenParent->setHidden(true);
  auto faded = addView(root, CGRectMake(40, 0, 20, 20), UIColor::clearColor());
  addView(faded, CGRectMake(0, 0, 20, 20), UIColor::blackColor());
  faded->setAlpha(0.5);
  addView(root, CGRectMake(0, 40, 30, 30), red);
  auto front = addView(root, CGRectMake(10, 50, 30, 30), blue);
  auto clipper = addView(root, CGRectMake(60, 60, 20, 20), UIColor::clearColor());
  addView(clipper, CGRectMake(10, 10, 30, 30), green);
  clipper->setClipsToBounds(true);
  auto gone = addView(root, CGRectMake(0, 90, 10, 10), UIColor::blackColor());
  auto mover = addView(root, CGRectMake(90, 0, 10, 10), UIColor::blackColor());

  const auto render = [&] {
    auto context = std::make_unique<CGContext>(100, 100);
    root->layer()->renderInContext(*context);
    return context;
  };
  const auto before = render();
  hiddenParent->setHidden(false);
  faded->setAlpha(1);
  root->sendSubviewToBack(front);
  clipper->setClipsToBounds(false);
  gone->removeFromSuperview();
  mover->setCenter({95, 35});
  const auto after = render();

  const struct {
    int x, y;
    const char *before, *after;
  } cases[] = {
      {10, 10, "white", "blue"},   // hidden with its subviews, then shown
      {50, 10, "grey", "black"},   // the parent's alpha fades its subview
      {20, 60, "blue", "red"},     // stacking order follows the subviews'
      {85, 85, "white", "green"},  // clipped to the parent's bounds, then not
      {70, 70, "green", "green"},
      {5, 95, "black", "white"},   // removed from its superview
      {95, 5, "black", "white"},   // moved
      {95, 35, "white", "black"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(colourName(pixelAt(*before, c.x, c.y)), c.before) << "before, at " << c.x << ", " << c.y;
    EXPECT_EQ(colourName(pixelAt(*after, c.x, c.y)), c.after) << "after, at " << c.x << ", " << c.y;
  }
}

TEST_F(RenderTest, AScaleAnimationRendersAtItsPresentationValue) {
  auto root = UIView::create(CGRectMake(0, 0, 100, 100));
  root->setBackgroundColor(UIColor::whiteColor());
  auto imageView = UIImageView::create(CGRectMake(40, 40, 20, 20));
  imageView->setImage(UIImage::imageWithPixels(2, 2, {255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255}));
  root->addSubview(imageView);
  auto grow = CABasicAnimation::animationWithKeyPath("transform.scale");
  grow->fromValue = 1;
  grow->toValue = 3;
  grow->setDuration(1);
  imageView->layer()->setValueForKeyPath("transform.scale", 3);
  imageView->layer()->addAnimation(grow, "grow");

  // The width of the image on its middle row.
  const auto redWidth = [&] {
    CGContext context(100, 100);
    root->layer()->renderInContext(context);
    int width = 0;
    for (int x = 0; x < 100; ++x) width += colourName(pixelAt(context, x, 50)) == "red";
    return width;
  };
  const int start = redWidth();
  world.advance(0.5);
  const int midway = redWidth();
  world.advance(1);
  const int end = redWidth();
  EXPECT_NEAR(start, 20, 1);
  EXPECT_GT(midway, start + 5);
  EXPECT_LT(midway, end - 5);
  EXPECT_NEAR(end, 60, 1) << "the model value once the animation is over";
}

// The simulated camera's portrait picture (3:4) in an 80 x 40 preview: resize-
// aspect leaves bars at the sides, resize-aspect-fill crops the top and
// bottom (where the chart's red marker is), resize shows it all stretched.
TEST_F(RenderTest, ThePreviewDrawsTheCameraPictureWithItsGravityAndMirrorsTheFrontCamera) {
  const struct {
    const char* camera;
    AVLayerVideoGravity gravity;
    bool bars;
    bool markerShown;
    bool markerOnTheRight;
  } cases[] = {
      {"back-wide", AVLayerVideoGravityResizeAspect, true, true, true},
      {"back-wide", AVLayerVideoGravityResizeAspectFill, false, false, false},
      {"back-wide", AVLayerVideoGravityResize, false, true, true},
      {"front-wide", AVLayerVideoGravityResizeAspect, true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.camera) + " " + std::string(c.gravity));
    auto session = AVCaptureSession::create();
    session->addInput(AVCaptureDeviceInput::createWithDevice(world.capture().camera(c.camera)));
    auto layer = AVCaptureVideoPreviewLayer::layerWithSession(session);
    layer->setBounds(CGRectMake(0, 0, 80, 40));
    layer->setVideoGravity(c.gravity);
    const auto render = [&] {
      auto context = std::make_unique<CGContext>(80, 40);
      layer->renderInContext(*context);
      return context;
    };

    const auto stopped = render();
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 80; ++x) ASSERT_EQ(colourName(pixelAt(*stopped, x, y)), "black") << x << ", " << y;

    session->startRunning();
    const auto running = render();
    EXPECT_NE(colourName(pixelAt(*running, 40, 20)), "black") << "the picture";
    EXPECT_EQ(colourName(pixelAt(*running, 3, 20)) == "black", c.bars);
    EXPECT_EQ(colourName(pixelAt(*running, 76, 20)) == "black", c.bars);
    int redCount = 0, redX = 0;
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 80; ++x)
        if (colourName(pixelAt(*running, x, y)) == "red") ++redCount, redX += x;
    EXPECT_EQ(redCount > 0, c.markerShown);
    if (c.markerShown && redCount > 0) {
      EXPECT_EQ(redX / redCount > 40, c.markerOnTheRight);
    }
  }
}

TEST_F(RenderTest, AnAlertDimsTheScreenAndDrawsItsDialogInTheMiddle) {
  sim::HostScreen host;
  const CGRect screen = UIScreen::main().bounds();
  const int width = static_cast<int>(screen.size.width), height = static_cast<int>(screen.size.height);
  const int midX = width / 2, midY = height / 2;
  CGContext bare(width, height);
  host.renderInContext(bare);
  ASSERT_EQ(colourName(pixelAt(bare, 5, 5)), "white");

  auto alert = UIAlertController::alertControllerWithTitle("Camera access is off", "Allow it in Settings.",
                                                           UIAlertControllerStyle::alert);
  alert->addAction(UIAlertAction::actionWithTitle("OK", UIAlertActionStyle::cancel, nullptr));
  alert->addAction(UIAlertAction::actionWithTitle("Settings", UIAlertActionStyle::defaultStyle, nullptr));
  host.controller()->presentViewController(alert, false, nullptr);
  CGContext shown(width, height);
  host.renderInContext(shown);
  for (const auto& [x, y] : {std::pair{5, 5}, std::pair{width - 5, height - 5}, std::pair{midX, 50}})
    EXPECT_EQ(colourName(pixelAt(shown, x, y)), "grey") << x << ", " << y;
  EXPECT_EQ(colourName(pixelAt(shown, midX - 130, midY)), "white") << "the dialog's panel";
  EXPECT_EQ(colourName(pixelAt(shown, midX - 140, midY)), "grey") << "beside the dialog";

  if (!CGContextFontsAvailable()) GTEST_SKIP() << "no font to draw the dialog's text with";
  int ink = 0, tint = 0;
  for (int y = midY - 80; y < midY + 80; ++y) {
    for (int x = midX - 135; x < midX + 135; ++x) {
      const RGB p = pixelAt(shown, x, y);
      ink += p.r < 100 && p.g < 100 && p.b < 100;
      tint += p.b > 200 && p.r < 100;
    }
  }
  EXPECT_GT(ink, 50) << "title and message";
  EXPECT_GT(tint, 20) << "the actions' titles";
}

}  // namespace
