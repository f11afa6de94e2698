// What the view system draws, read back from the pixels: the layer tree
// mirrored from the views, animations at their presentation values, the
// camera preview's gravity and mirroring, and an alert over the host screen.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "AVFoundation/AVFoundation.h"
#include "CoreGraphics/CGContext.h"
#include "UIKit/UIAlertController.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIScreen.h"
#include "sim/HostScreen.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"

namespace {

using Picture = std::unique_ptr<CGContext>;

Picture render(CALayer& layer, int width, int height) {
  auto context = std::make_unique<CGContext>(width, height);
  layer.renderInContext(*context);
  return context;
}

// The colour at a pixel, by name.
std::string colourAt(const Picture& picture, int x, int y) {
  const std::uint8_t* p = picture->data() + static_cast<std::size_t>(y) * picture->bytesPerRow() + 4 * x;
  const int r = p[0], g = p[1], b = p[2];
  if (r > 200 && g < 60 && b < 60) return "red";
  if (g > 200 && r < 60 && b < 60) return "green";
  if (b > 200 && r < 60) return g < 60 ? "blue" : "tint";
  if (std::abs(r - g) > 12 || std::abs(g - b) > 12) return "other";
  return r > 235 ? "white" : r < 20 ? "black" : r < 100 ? "dark" : "grey";
}

std::shared_ptr<UIView> addView(const std::shared_ptr<UIView>& parent, CGRect frame, UIColor colour) {
  auto view = UIView::create(frame);
  view->setBackgroundColor(colour);
  if (parent) parent->addSubview(view);
  return view;
}

class RenderTest : public ::testing::Test {
 protected:
  sim::World world;
  std::shared_ptr<UIView> root = addView(nullptr, CGRectMake(0, 0, 100, 100), UIColor::whiteColor());
};

// Built before the root's layer exists (the layers take the views' state when
// made), then changed through the setters (the layers follow).
TEST_F(RenderTest, TheLayerTreeMirrorsTheViewsBeforeAndAfterItIsMade) {
  const UIColor red{1, 0, 0, 1}, green{0, 1, 0, 1}, blue{0, 0, 1, 1}, black = UIColor::blackColor();
  auto hiddenParent = addView(root, CGRectMake(0, 0, 20, 20), red);
  addView(hiddenParent, CGRectMake(5, 5, 10, 10), blue);
  hiddenParent->setHidden(true);
  auto faded = addView(root, CGRectMake(40, 0, 20, 20), UIColor::clearColor());
  addView(faded, CGRectMake(0, 0, 20, 20), black);
  faded->setAlpha(0.5);
  addView(root, CGRectMake(0, 40, 30, 30), red);
  auto front = addView(root, CGRectMake(10, 50, 30, 30), blue);
  auto clipper = addView(root, CGRectMake(60, 60, 20, 20), UIColor::clearColor());
  addView(clipper, CGRectMake(10, 10, 30, 30), green);
  clipper->setClipsToBounds(true);
  auto gone = addView(root, CGRectMake(0, 90, 10, 10), black);
  auto mover = addView(root, CGRectMake(90, 0, 10, 10), black);

  const auto before = render(*root->layer(), 100, 100);
  hiddenParent->setHidden(false);
  faded->setAlpha(1);
  root->sendSubviewToBack(front);
  clipper->setClipsToBounds(false);
  gone->removeFromSuperview();
  mover->setCenter({95, 35});
  const auto after = render(*root->layer(), 100, 100);

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
    EXPECT_EQ(colourAt(before, c.x, c.y), c.before) << "before, at " << c.x << ", " << c.y;
    EXPECT_EQ(colourAt(after, c.x, c.y), c.after) << "after, at " << c.x << ", " << c.y;
  }
}

TEST_F(RenderTest, AScaleAnimationRendersAtItsPresentationValue) {
  auto imageView = UIImageView::create(CGRectMake(40, 40, 20, 20));
  imageView->setImage(UIImage::imageWithPixels(1, 1, {255, 0, 0, 255}));
  root->addSubview(imageView);
  auto grow = CABasicAnimation::animationWithKeyPath("transform.scale");
  grow->fromValue = 1;
  grow->toValue = 3;
  grow->setDuration(1);
  imageView->layer()->setValueForKeyPath("transform.scale", 3);
  imageView->layer()->addAnimation(grow, "grow");

  const auto imageWidth = [&] {  // on its middle row
    const auto picture = render(*root->layer(), 100, 100);
    int width = 0;
    for (int x = 0; x < 100; ++x) width += colourAt(picture, x, 50) == "red";
    return width;
  };
  const int start = imageWidth();
  world.advance(0.5);
  const int midway = imageWidth();
  world.advance(1);
  const int end = imageWidth();
  EXPECT_NEAR(start, 20, 1);
  EXPECT_GT(midway, start + 5);
  EXPECT_LT(midway, end - 5);
  EXPECT_NEAR(end, 60, 1) << "the model value once the animation is over";
}

// The simulated camera's portrait picture (3:4) in an 80 x 40 preview: resize-
// aspect leaves bars at the sides, resize-aspect-fill crops the top and
// bottom (where the chart's red marker is), resize shows it all, stretched.
TEST_F(RenderTest, ThePreviewDrawsTheCameraPictureWithItsGravityAndMirrorsTheFrontCamera) {
  const struct {
    const char* camera;
    AVLayerVideoGravity gravity;
    bool bars, markerShown, markerOnTheRight;
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
    const auto stopped = render(*layer, 80, 40);
    for (const int x : {3, 40, 76}) EXPECT_EQ(colourAt(stopped, x, 20), "black") << "stopped";

    session->startRunning();
    const auto running = render(*layer, 80, 40);
    EXPECT_NE(colourAt(running, 40, 20), "black");
    EXPECT_EQ(colourAt(running, 3, 20) == "black", c.bars);
    EXPECT_EQ(colourAt(running, 76, 20) == "black", c.bars);
    int redCount = 0, redX = 0;
    for (int i = 0; i < 80 * 40; ++i)
      if (colourAt(running, i % 80, i / 80) == "red") ++redCount, redX += i % 80;
    ASSERT_EQ(redCount > 0, c.markerShown);
    if (!c.markerShown) continue;
    EXPECT_EQ(redX / redCount > 40, c.markerOnTheRight);
  }
}

TEST_F(RenderTest, AnAlertDimsTheScreenAndDrawsItsDialogInTheMiddle) {
  sim::HostScreen host;
  const int width = static_cast<int>(UIScreen::main().bounds().size.width), midX = width / 2;
  const int height = static_cast<int>(UIScreen::main().bounds().size.height), midY = height / 2;
  const auto renderScreen = [&] {
    auto context = std::make_unique<CGContext>(width, height);
    host.renderInContext(*context);
    return context;
  };
  ASSERT_EQ(colourAt(renderScreen(), 5, 5), "white");
  auto alert = UIAlertController::alertControllerWithTitle("Camera access is off", "Allow it in Settings.",
                                                           UIAlertControllerStyle::alert);
  alert->addAction(UIAlertAction::actionWithTitle("OK", UIAlertActionStyle::cancel, nullptr));
  alert->addAction(UIAlertAction::actionWithTitle("Settings", UIAlertActionStyle::defaultStyle, nullptr));
  host.controller()->presentViewController(alert, false, nullptr);
  const auto shown = renderScreen();
  // Dimmed around the dialog, whose light panel is 270 points wide.
  const std::pair<int, int> dimmed[] = {{5, 5}, {width - 5, height - 5}, {midX - 140, midY}};
  for (const auto& [x, y] : dimmed) EXPECT_EQ(colourAt(shown, x, y), "grey") << x << ", " << y;
  EXPECT_EQ(colourAt(shown, midX - 130, midY), "white");

  if (!CGContextFontsAvailable()) GTEST_SKIP() << "no font to draw the dialog's text with";
  int ink = 0, tint = 0;
  for (int y = midY - 80; y < midY + 80; ++y) {
    for (int x = midX - 135; x < midX + 135; ++x) {
      const std::string colour = colourAt(shown, x, y);
      ink += colour == "black" || colour == "dark";
      tint += colour == "tint";
    }
  }
  EXPECT_GT(ink, 50) << "title and message";
  EXPECT_GT(tint, 20) << "the actions' titles";
}

}  // namespace
