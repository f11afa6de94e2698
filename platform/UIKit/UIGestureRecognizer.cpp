#include "UIKit/UIGestureRecognizer.h"

#include "Dispatch/Dispatch.h"
#include "UIKit/UIView.h"

CGPoint UIGestureRecognizer::locationInView(const UIView* view) const {
  KIVO_ASSERT_MAIN_THREAD();
  return view ? view->convertPointFromView(location_, nullptr) : location_;
}

void UIGestureRecognizer::deliver(UIGestureRecognizerState state, CGPoint locationInWindow) {
  KIVO_ASSERT_MAIN_THREAD();
  state_ = state;
  location_ = locationInWindow;
  auto keep = shared_from_this();  // an action may drop the last reference
  const auto actions = actions_;
  for (const auto& action : actions) action(*this);
}

void UIPinchGestureRecognizer::deliverPinch(UIGestureRecognizerState state, double spread,
                                            CGPoint locationInWindow) {
  KIVO_ASSERT_MAIN_THREAD();
  if (state == UIGestureRecognizerState::began) scaleAtSet_ = 1;
  spread_ = spread;
  deliver(state, locationInWindow);
}
