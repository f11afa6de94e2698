#include "sim/HostScreen.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "Dispatch/Dispatch.h"
#include "Foundation/TraceFormat.h"
#include "UIKit/UIScreen.h"

namespace sim {

namespace {

std::string describe(HostScreen::Appearance appearance) {
  switch (appearance) {
    case HostScreen::Appearance::disappeared: return "not shown";
    case HostScreen::Appearance::appearing: return "appearing (between appear-begin and appear-end)";
    case HostScreen::Appearance::shown: return "shown";
    case HostScreen::Appearance::disappearing: return "disappearing (between disappear-begin and disappear-end)";
  }
  return "in an unknown state";
}

// What each step needs, said the way a scenario author thinks of it.
std::string requirement(HostScreen::Appearance expected) {
  switch (expected) {
    case HostScreen::Appearance::disappeared: return "it can only appear when not shown";
    case HostScreen::Appearance::appearing: return "appear-end must follow appear-begin";
    case HostScreen::Appearance::shown: return "it can only disappear when shown";
    case HostScreen::Appearance::disappearing: return "disappear-end must follow disappear-begin";
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

}  // namespace

HostScreen::HostScreen() : controller_(UIViewController::create()) {
  KIVO_ASSERT_MAIN_THREAD();
  controller_->view()->setBackgroundColor(UIColor::whiteColor());
  fitToScreen();
}

void HostScreen::fitToScreen() { controller_->view()->setFrame(UIScreen::main().bounds()); }

void HostScreen::requireEmbedded(const char* step) const {
  if (!embedded_) throw std::logic_error(std::string(step) + ": no controller is attached");
}

void HostScreen::requireAppearance(const char* step, Appearance expected) const {
  if (appearance_ == expected) return;
  throw std::logic_error(std::string(step) + ": the host screen is " + describe(appearance_) + "; " +
                         requirement(expected));
}

// --- Embedding ----------------------------------------------------------------

void HostScreen::attach(std::shared_ptr<UIViewController> child, const std::function<void()>& addToController) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!child) throw std::invalid_argument("attach: no controller to attach");
  if (embedded_) throw std::logic_error("attach: a controller is already attached");
  embedded_ = std::move(child);
  if (addToController) addToController();
}

void HostScreen::release() {
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

void HostScreen::appear() {
  requireAppearance("appear", Appearance::disappeared);
  appearBegin();
  appearEnd();
}

void HostScreen::appearBegin() {
  KIVO_ASSERT_MAIN_THREAD();
  requireAppearance("appear-begin", Appearance::disappeared);
  appearance_ = Appearance::appearing;
  controller_->beginAppearanceTransition(true, false);
  layout();
}

void HostScreen::appearEnd() {
  KIVO_ASSERT_MAIN_THREAD();
  requireAppearance("appear-end", Appearance::appearing);
  appearance_ = Appearance::shown;
  controller_->endAppearanceTransition(false);
}

void HostScreen::disappear() {
  requireAppearance("disappear", Appearance::shown);
  disappearBegin();
  disappearEnd();
}

void HostScreen::disappearBegin() {
  KIVO_ASSERT_MAIN_THREAD();
  requireAppearance("disappear-begin", Appearance::shown);
  appearance_ = Appearance::disappearing;
  controller_->beginAppearanceTransition(false, false);
}

void HostScreen::disappearEnd() {
  KIVO_ASSERT_MAIN_THREAD();
  requireAppearance("disappear-end", Appearance::disappearing);
  appearance_ = Appearance::disappeared;
  controller_->endAppearanceTransition(false);
}

void HostScreen::layout() {
  KIVO_ASSERT_MAIN_THREAD();
  fitToScreen();
  controller_->view()->layoutIfNeeded();
}

void HostScreen::moveView(CGRect frame) {
  KIVO_ASSERT_MAIN_THREAD();
  requireEmbedded("move-view");
  embedded_->view()->setFrame(frame);
  layout();
}

void HostScreen::setViewHidden(bool hidden) {
  KIVO_ASSERT_MAIN_THREAD();
  requireEmbedded("hide view");
  embedded_->view()->setHidden(hidden);
}

// --- Gestures -------------------------------------------------------------------

std::shared_ptr<UIView> HostScreen::hitTest(CGPoint screenPoint) {
  fitToScreen();
  auto root = controller_->view();
  return root->hitTest(root->convertPointFromView(screenPoint, nullptr));
}

void HostScreen::tap(CGPoint screenPoint) {
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

void HostScreen::pinch(UIGestureRecognizerState state, double factor, std::optional<CGPoint> at) {
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

std::shared_ptr<UIAlertController> HostScreen::presentedAlert() const {
  KIVO_ASSERT_MAIN_THREAD();
  return findAlert(controller_);
}

void HostScreen::alert(UIAlertActionStyle style) {
  KIVO_ASSERT_MAIN_THREAD();
  auto shown = presentedAlert();
  if (!shown) throw std::runtime_error("alert: no alert is presented");
  if (!shown->tapActionWithStyle(style))
    throw std::runtime_error("alert: the alert has no " + styleName(style) + " action");
}

// --- Pixels ---------------------------------------------------------------------

void HostScreen::renderInContext(CGContext& context) {
  KIVO_ASSERT_MAIN_THREAD();
  fitToScreen();
  controller_->view()->layer()->renderInContext(context);
  renderPresented(context, *controller_, UIScreen::main().bounds());
}

void HostScreen::renderPresented(CGContext& context, const UIViewController& controller, CGRect screen) {
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

}  // namespace sim
