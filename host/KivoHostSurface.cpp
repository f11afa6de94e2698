#include "KivoHostSurface.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "Dispatch/Dispatch.h"
#include "Foundation/TraceFormat.h"
#include "Foundation/WhileAlive.h"
#include "QuartzCore/CALayer.h"
#include "UIKit/UIScreen.h"

namespace {

std::string describe(KivoHostSurface::Appearance appearance) {
  switch (appearance) {
    case KivoHostSurface::Appearance::disappeared: return "not shown";
    case KivoHostSurface::Appearance::appearing: return "appearing (between appear-begin and appear-end)";
    case KivoHostSurface::Appearance::shown: return "shown";
    case KivoHostSurface::Appearance::disappearing: return "disappearing (between disappear-begin and disappear-end)";
  }
  return "in an unknown state";
}

// What each step needs, said the way a scenario author thinks of it.
std::string requirement(KivoHostSurface::Appearance expected) {
  switch (expected) {
    case KivoHostSurface::Appearance::disappeared: return "it can only appear when not shown";
    case KivoHostSurface::Appearance::appearing: return "appear-end must follow appear-begin";
    case KivoHostSurface::Appearance::shown: return "it can only disappear when shown";
    case KivoHostSurface::Appearance::disappearing: return "disappear-end must follow disappear-begin";
  }
  return {};
}

std::string styleName(UIAlertActionStyle style) {
  switch (style) {
    case UIAlertActionStyle::cancel: return "cancel";
    case UIAlertActionStyle::destructive: return "destructive";
    case UIAlertActionStyle::defaultStyle: break;
  }
  return "default";
}

bool endsPinch(UIGestureRecognizerState state) {
  return state == UIGestureRecognizerState::ended || state == UIGestureRecognizerState::cancelled ||
         state == UIGestureRecognizerState::failed;
}

// The topmost alert in `controller`'s presentation chain, else in its
// children's, depth first.
std::shared_ptr<UIAlertController> findAlert(const std::shared_ptr<UIViewController>& controller) {
  if (auto presented = controller->presentedViewController()) {
    if (auto above = findAlert(presented)) return above;
    if (auto alert = std::dynamic_pointer_cast<UIAlertController>(presented)) return alert;
  }
  for (const auto& child : controller->childViewControllers()) {
    if (auto alert = findAlert(child)) return alert;
  }
  return nullptr;
}

constexpr int kMaxSide = 16384;
constexpr std::int64_t kMaxPixels = std::int64_t{1} << 25;

// Whether anything visible in `layer`'s tree animates at `time`, and the
// shortest frame interval of live content in it.
void survey(const CALayer& layer, double time, KivoHostSurface::Motion& motion) {
  if (layer.isHidden()) return;
  motion.animating = motion.animating || layer.hasRunningAnimationsAt(time);
  if (const double interval = layer.contentFrameInterval(); interval > 0)
    motion.liveInterval = motion.liveInterval > 0 ? std::min(motion.liveInterval, interval) : interval;
  for (const auto& sublayer : layer.sublayers()) survey(*sublayer, time, motion);
}

void surveyPresented(const UIViewController& controller, double time, KivoHostSurface::Motion& motion) {
  for (const auto& child : controller.childViewControllers()) surveyPresented(*child, time, motion);
  const auto presented = controller.presentedViewController();
  if (!presented) return;
  survey(*presented->view()->layer(), time, motion);
  surveyPresented(*presented, time, motion);
}

}  // namespace

// What the last render showed.
struct KivoHostSurface::Drawn {
  bool any = false;
  std::uint64_t changes = 0;  // CALayer::changeCount() after it
  bool animating = false;
  double liveInterval = 0;  // the shortest live content's frame interval on screen
  double at = 0;            // media time
  std::unique_ptr<CGContext> context;  // reused while the size stays
};

struct KivoHostSurface::Redraw {
  KivoHostSurface* surface;
  std::function<void()> handler;
  double interval;
  double deadline;  // media time of the next check
};

KivoHostSurface::KivoHostSurface() : controller_(UIViewController::create()), drawn_(std::make_unique<Drawn>()) {
  KIVO_ASSERT_MAIN_THREAD();
  controller_->view()->setBackgroundColor(UIColor::whiteColor());
  fitToScreen();
}

KivoHostSurface::~KivoHostSurface() {
  KIVO_ASSERT_MAIN_THREAD();
  if (redraw_) redraw_->surface = nullptr;
}

void KivoHostSurface::fitToScreen() { controller_->view()->setFrame(UIScreen::main().bounds()); }

void KivoHostSurface::requireEmbedded(const char* step) const {
  if (!embedded_) throw std::logic_error(std::string(step) + ": no controller is attached");
}

void KivoHostSurface::requireAppearance(const char* step, Appearance expected) const {
  if (appearance_ == expected) return;
  throw std::logic_error(std::string(step) + ": the host screen is " + describe(appearance_) + "; " +
                         requirement(expected));
}

// --- Embedding ----------------------------------------------------------------

void KivoHostSurface::attach(std::shared_ptr<UIViewController> child, const std::function<void()>& addToController) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!child) throw std::invalid_argument("attach: no controller to attach");
  if (embedded_) throw std::logic_error("attach: a controller is already attached");
  embedded_ = std::move(child);
  if (addToController) addToController();
}

void KivoHostSurface::release() {
  KIVO_ASSERT_MAIN_THREAD();
  requireEmbedded("release");
  // The host's reference goes first; `child` keeps the controller alive
  // until it is out of the view and controller trees.
  auto child = std::move(embedded_);
  pinching_.reset();
  if (auto view = child->viewIfLoaded()) view->removeFromSuperview();
  child->removeFromParentViewController();
}

// --- Appearance and layout ------------------------------------------------------

void KivoHostSurface::appear() {
  requireAppearance("appear", Appearance::disappeared);
  appearBegin();
  appearEnd();
}

void KivoHostSurface::appearBegin() {
  KIVO_ASSERT_MAIN_THREAD();
  requireAppearance("appear-begin", Appearance::disappeared);
  appearance_ = Appearance::appearing;
  controller_->beginAppearanceTransition(true, false);
  layout();
}

void KivoHostSurface::appearEnd() {
  KIVO_ASSERT_MAIN_THREAD();
  requireAppearance("appear-end", Appearance::appearing);
  appearance_ = Appearance::shown;
  controller_->endAppearanceTransition(false);
}

void KivoHostSurface::disappear() {
  requireAppearance("disappear", Appearance::shown);
  disappearBegin();
  disappearEnd();
}

void KivoHostSurface::disappearBegin() {
  KIVO_ASSERT_MAIN_THREAD();
  requireAppearance("disappear-begin", Appearance::shown);
  appearance_ = Appearance::disappearing;
  controller_->beginAppearanceTransition(false, false);
}

void KivoHostSurface::disappearEnd() {
  KIVO_ASSERT_MAIN_THREAD();
  requireAppearance("disappear-end", Appearance::disappearing);
  appearance_ = Appearance::disappeared;
  controller_->endAppearanceTransition(false);
}

void KivoHostSurface::layout() {
  KIVO_ASSERT_MAIN_THREAD();
  fitToScreen();
  controller_->view()->layoutIfNeeded();
}

void KivoHostSurface::moveView(CGRect frame) {
  KIVO_ASSERT_MAIN_THREAD();
  requireEmbedded("move-view");
  embedded_->view()->setFrame(frame);
  layout();
}

void KivoHostSurface::setViewHidden(bool hidden) {
  KIVO_ASSERT_MAIN_THREAD();
  requireEmbedded("hide view");
  embedded_->view()->setHidden(hidden);
}

// --- Gestures -------------------------------------------------------------------

std::shared_ptr<UIView> KivoHostSurface::hitTest(CGPoint screenPoint) {
  fitToScreen();
  auto root = controller_->view();
  return root->hitTest(root->convertPointFromView(screenPoint, nullptr));
}

void KivoHostSurface::tap(CGPoint screenPoint) {
  KIVO_ASSERT_MAIN_THREAD();
  if (presentedAlert())
    throw std::runtime_error("tap: an alert covers the screen at " + formatPoint(screenPoint));
  // Collected before any action runs: an action may change the view tree.
  std::vector<std::shared_ptr<UITapGestureRecognizer>> receivers;
  for (auto view = hitTest(screenPoint); view; view = view->superview()) {
    for (const auto& recognizer : view->gestureRecognizers()) {
      auto tapRecognizer = std::dynamic_pointer_cast<UITapGestureRecognizer>(recognizer);
      if (tapRecognizer && tapRecognizer->numberOfTapsRequired() == 1) receivers.push_back(tapRecognizer);
    }
  }
  if (receivers.empty()) throw std::runtime_error("tap: nothing receives a tap at " + formatPoint(screenPoint));
  for (const auto& recognizer : receivers) recognizer->deliver(UIGestureRecognizerState::ended, screenPoint);
}

void KivoHostSurface::pinch(UIGestureRecognizerState state, double factor, std::optional<CGPoint> at) {
  KIVO_ASSERT_MAIN_THREAD();
  const CGRect screen = UIScreen::main().bounds();
  const CGPoint point = at.value_or(CGPoint{screen.midX(), screen.midY()});

  std::shared_ptr<UIPinchGestureRecognizer> receiver;
  if (state != UIGestureRecognizerState::began) {
    // The fingers of the pinch in progress, if its view is still on screen.
    receiver = pinching_.lock();
    auto view = receiver ? receiver->view() : nullptr;
    if (!view || !view->isDescendantOfView(*controller_->view())) receiver.reset();
  }
  if (!receiver) {
    if (presentedAlert()) throw std::runtime_error("pinch: an alert covers the screen at " + formatPoint(point));
    for (auto view = hitTest(point); view && !receiver; view = view->superview()) {
      for (const auto& recognizer : view->gestureRecognizers()) {
        receiver = std::dynamic_pointer_cast<UIPinchGestureRecognizer>(recognizer);
        if (receiver) break;
      }
    }
  }
  if (!receiver) {
    pinching_.reset();
    throw std::runtime_error("pinch: nothing receives a pinch at " + formatPoint(point));
  }
  if (endsPinch(state))
    pinching_.reset();
  else
    pinching_ = receiver;
  receiver->deliverPinch(state, factor, point);
}

// --- Alerts ---------------------------------------------------------------------

std::shared_ptr<UIAlertController> KivoHostSurface::presentedAlert() const {
  KIVO_ASSERT_MAIN_THREAD();
  return findAlert(controller_);
}

void KivoHostSurface::alert(UIAlertActionStyle style) {
  KIVO_ASSERT_MAIN_THREAD();
  auto shown = presentedAlert();
  if (!shown) throw std::runtime_error("alert: no alert is presented");
  if (!shown->tapActionWithStyle(style))
    throw std::runtime_error("alert: the alert has no " + styleName(style) + " action");
}

// --- Pixels ---------------------------------------------------------------------

void KivoHostSurface::renderInContext(CGContext& context) {
  KIVO_ASSERT_MAIN_THREAD();
  fitToScreen();
  controller_->view()->layer()->renderInContext(context);
  renderPresented(context, *controller_, UIScreen::main().bounds());
}

void KivoHostSurface::renderPresented(CGContext& context, const UIViewController& controller, CGRect screen) {
  // Bottom to top, the reverse of the order `findAlert` looks in: the
  // children's presentations, then this controller's, then what that one
  // presents in turn.
  for (const auto& child : controller.childViewControllers()) renderPresented(context, *child, screen);
  const auto presented = controller.presentedViewController();
  if (!presented) return;
  const auto view = presented->view();
  view->setFrame(screen);
  view->layer()->renderInContext(context);
  renderPresented(context, *presented, screen);
}

// --- For GUI hosts ---------------------------------------------------------------

CGSize KivoHostSurface::size() const { return UIScreen::main().bounds().size; }

CGFloat KivoHostSurface::scale() const { return UIScreen::main().scale(); }

void KivoHostSurface::resize(CGSize size) {
  KIVO_ASSERT_MAIN_THREAD();
  const auto within = [](CGFloat side) { return side >= 1 && side <= kMaxSide; };
  if (!within(size.width) || !within(size.height))
    throw std::invalid_argument("resize: each side is 1 to " + std::to_string(kMaxSide) + " points, not " +
                                formatNumber(size.width) + " x " + formatNumber(size.height));
  UIScreen::main().setBounds(CGRect{{0, 0}, size});
  layout();
}

void KivoHostSurface::render(std::uint8_t* pixels, int width, int height, std::size_t bytesPerRow,
                             PixelOrder order) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!pixels || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide ||
      std::int64_t{width} * height > kMaxPixels)
    throw std::invalid_argument("render: " + std::to_string(width) + " x " + std::to_string(height) +
                                " pixels; 1 to " + std::to_string(kMaxSide) + " a side and at most " +
                                std::to_string(kMaxPixels) + " in all");
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  if (bytesPerRow < rowBytes)
    throw std::invalid_argument("render: rows of " + std::to_string(bytesPerRow) + " bytes hold less than " +
                                std::to_string(width) + " pixels");

  // The picture is of this moment; a render that takes a while must not
  // push the next camera frame's redraw back.
  const double startedAt = CACurrentMediaTime();
  auto& context = drawn_->context;
  if (!context || context->width() != width || context->height() != height)
    context = std::make_unique<CGContext>(width, height);
  const CGRect screen = UIScreen::main().bounds();
  context->clear();
  context->saveGState();
  context->scaleCTM(width / screen.width(), height / screen.height());
  context->translateCTM(-screen.origin.x, -screen.origin.y);
  renderInContext(*context);
  context->restoreGState();

  // What this picture shows, for needsRedraw.
  const Motion motion = motionAt(CACurrentMediaTime());
  *drawn_ = Drawn{true, CALayer::changeCount(), motion.animating, motion.liveInterval, startedAt, std::move(context)};

  const std::uint8_t* from = drawn_->context->data();
  const bool swap = order == PixelOrder::bgra;
  for (int y = 0; y < height; ++y, from += rowBytes) {
    std::uint8_t* to = pixels + static_cast<std::size_t>(y) * bytesPerRow;
    for (std::size_t x = 0; x < rowBytes; x += 4) {
      to[x] = from[x + (swap ? 2 : 0)];
      to[x + 1] = from[x + 1];
      to[x + 2] = from[x + (swap ? 0 : 2)];
      to[x + 3] = 0xFF;
    }
  }
}

KivoHostSurface::Motion KivoHostSurface::motionAt(double time) const {
  Motion motion;
  survey(*controller_->view()->layer(), time, motion);
  surveyPresented(*controller_, time, motion);
  return motion;
}

bool KivoHostSurface::needsRedraw() const {
  KIVO_ASSERT_MAIN_THREAD();
  const Drawn& drawn = *drawn_;
  if (!drawn.any || drawn.animating || CALayer::changeCount() != drawn.changes) return true;
  const double now = CACurrentMediaTime();
  const Motion motion = motionAt(now);
  if (motion.animating || (motion.liveInterval == 0) != (drawn.liveInterval == 0)) return true;
  // A camera's next frame, with a quarter of a frame's slack for the clock
  // that asks.
  return motion.liveInterval > 0 && now - drawn.at >= motion.liveInterval * 0.75;
}

void KivoHostSurface::setRedrawHandler(std::function<void()> handler, double maximumRate) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!(maximumRate > 0) || !std::isfinite(maximumRate) || maximumRate > 1000)
    throw std::invalid_argument("setRedrawHandler: a rate above 0 and at most 1000 a second, not " +
                                formatNumber(maximumRate));
  if (redraw_) redraw_->surface = nullptr;
  redraw_.reset();
  if (!handler) return;
  redraw_ = std::make_shared<Redraw>(Redraw{this, std::move(handler), 1 / maximumRate, CACurrentMediaTime()});
  scheduleRedrawCheck(redraw_);
}

// Checks keep to a grid of the rate from the first one, so the handler's own
// work does not stretch the period; a check that comes later than a whole
// interval starts the grid again from now rather than catching up in a burst.
void KivoHostSurface::scheduleRedrawCheck(const std::shared_ptr<Redraw>& redraw) {
  const double now = CACurrentMediaTime();
  redraw->deadline += redraw->interval;
  if (redraw->deadline < now) redraw->deadline = now + redraw->interval;
  auto check = [](const std::shared_ptr<Redraw>& redraw) {
    if (!redraw->surface) return;
    KivoHostSurface& surface = *redraw->surface;
    if (surface.needsRedraw()) redraw->handler();
    // Unless the handler replaced or stopped itself.
    if (redraw->surface && surface.redraw_ == redraw) scheduleRedrawCheck(redraw);
  };
  DispatchQueue::main().asyncAfter(redraw->deadline - now, whileAlive(std::weak_ptr<Redraw>(redraw), check));
}
