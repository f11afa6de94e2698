#include "UIKit/UIView.h"

#include <algorithm>
#include <cassert>

#include "Dispatch/Dispatch.h"
#include "UIKit/UIGestureRecognizer.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIViewController.h"

namespace {

// The duration of the innermost `animateWithDuration` block being run, if any.
std::optional<double>& currentAnimationDuration() {
  static std::optional<double> duration;  // the main thread's, like every view
  return duration;
}

}  // namespace

std::shared_ptr<UIView> UIView::create(CGRect frame) { return std::make_shared<UIView>(frame); }

UIView::UIView(CGRect frame) { setFrame(frame); }

UIView::~UIView() = default;

CGRect UIView::frame() const {
  KIVO_ASSERT_MAIN_THREAD();
  return CGRect{origin_, bounds_.size};
}

void UIView::setFrame(CGRect frame) {
  KIVO_ASSERT_MAIN_THREAD();
  bounds_.size = frame.size;
  origin_ = frame.origin;
  updateLayerGeometry();
}

CGPoint UIView::center() const {
  KIVO_ASSERT_MAIN_THREAD();
  return {origin_.x + bounds_.size.width / 2, origin_.y + bounds_.size.height / 2};
}

void UIView::setCenter(CGPoint center) {
  KIVO_ASSERT_MAIN_THREAD();
  origin_ = {center.x - bounds_.size.width / 2, center.y - bounds_.size.height / 2};
  updateLayerGeometry();
}

void UIView::setBounds(CGRect bounds) {
  KIVO_ASSERT_MAIN_THREAD();
  // Resized around the centre.
  const CGPoint keep = center();
  bounds_ = bounds;
  setCenter(keep);
}

void UIView::updateLayerGeometry() const {
  if (!layer_) return;
  layer_->setBounds(bounds_);
  layer_->setPosition(center());
}

void UIView::setHidden(bool hidden) {
  KIVO_ASSERT_MAIN_THREAD();
  hidden_ = hidden;
  if (layer_) layer_->setHidden(hidden);
}

void UIView::setBackgroundColor(UIColor color) {
  KIVO_ASSERT_MAIN_THREAD();
  backgroundColor_ = color;
  if (layer_) layer_->setBackgroundColor(color.CGColor());
}

void UIView::setClipsToBounds(bool clips) {
  KIVO_ASSERT_MAIN_THREAD();
  clipsToBounds_ = clips;
  if (layer_) layer_->setMasksToBounds(clips);
}

double UIView::alpha() const {
  KIVO_ASSERT_MAIN_THREAD();
  return alpha_;
}

void UIView::setAlpha(double alpha) {
  KIVO_ASSERT_MAIN_THREAD();
  auto backing = layer();
  const auto& duration = currentAnimationDuration();
  if (duration && *duration > 0) {
    auto animation = CABasicAnimation::animationWithKeyPath("opacity");
    animation->fromValue = backing->presentationValueForKeyPath("opacity");
    animation->toValue = alpha;
    animation->setDuration(*duration);
    animation->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseInEaseOut));
    backing->addAnimation(animation, "opacity");
  } else {
    backing->removeAnimationForKey("opacity");
  }
  alpha_ = alpha;
  backing->setOpacity(static_cast<float>(alpha));
}

double UIView::presentationAlpha() const { return layer()->presentationValueForKeyPath("opacity"); }

void UIView::animateWithDuration(double duration, const std::function<void()>& animations) {
  KIVO_ASSERT_MAIN_THREAD();
  assert(!(duration < 0) && "animateWithDuration: the duration must not be negative");
  auto& current = currentAnimationDuration();
  const std::optional<double> outer = current;
  current = duration < 0 ? 0 : duration;
  struct Restore {
    std::optional<double>& slot;
    std::optional<double> value;
    ~Restore() { slot = value; }
  } restore{current, outer};
  if (animations) animations();
}

std::shared_ptr<CALayer> UIView::layer() const {
  KIVO_ASSERT_MAIN_THREAD();
  if (!layer_) {
    layer_ = makeLayer();
    layer_->setOpacity(static_cast<float>(alpha_));
    layer_->setHidden(hidden_);
    layer_->setBackgroundColor(backgroundColor_.CGColor());
    layer_->setMasksToBounds(clipsToBounds_);
    updateLayerGeometry();
    // Each subview's layer is made here if it was not yet, with its own.
    for (const auto& subview : subviews_) layer_->addSublayer(subview->layer());
  }
  return layer_;
}

// --- Hierarchy ----------------------------------------------------------------

bool UIView::isDescendantOfView(const UIView& view) const {
  KIVO_ASSERT_MAIN_THREAD();
  for (const UIView* v = this; v != nullptr;) {
    if (v == &view) return true;
    auto parent = v->superview_.lock();
    v = parent.get();
  }
  return false;
}

void UIView::addSubview(const std::shared_ptr<UIView>& view) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!view) return;
  const bool cycle = isDescendantOfView(*view);
  assert(!cycle && "addSubview: a view cannot be added to itself or to one of its own subviews");
  if (cycle) return;
  auto keep = view;  // survives its removal from an old superview
  keep->removeFromSuperview();
  subviews_.push_back(keep);
  keep->superview_ = weak_from_this();
  if (layer_) layer_->addSublayer(keep->layer());
}

void UIView::sendSubviewToBack(const std::shared_ptr<UIView>& view) {
  KIVO_ASSERT_MAIN_THREAD();
  auto it = std::find(subviews_.begin(), subviews_.end(), view);
  if (it == subviews_.end()) return;
  std::rotate(subviews_.begin(), it, it + 1);
  if (layer_) layer_->insertSublayer(view->layer(), 0);
}

void UIView::removeFromSuperview() {
  KIVO_ASSERT_MAIN_THREAD();
  auto parent = superview_.lock();
  superview_.reset();
  if (!parent) return;
  auto keep = shared_from_this();  // the parent may hold the last reference
  std::erase_if(parent->subviews_, [this](const auto& v) { return v.get() == this; });
  if (layer_) layer_->removeFromSuperlayer();
  if (auto owner = owner_.lock()) owner->rootViewRemoved();
}

void UIView::addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!recognizer) return;
  if (auto old = recognizer->view(); old && old.get() != this)
    std::erase(old->recognizers_, recognizer);
  if (std::find(recognizers_.begin(), recognizers_.end(), recognizer) == recognizers_.end())
    recognizers_.push_back(recognizer);
  recognizer->view_ = weak_from_this();
}

// --- Coordinates ----------------------------------------------------------------

CGPoint UIView::toRoot(CGPoint point) const {
  CGPoint p = point;
  for (const UIView* v = this;;) {
    auto parent = v->superview_.lock();
    if (!parent) break;
    const CGRect f = v->frame();
    p = {p.x - v->bounds_.origin.x + f.origin.x, p.y - v->bounds_.origin.y + f.origin.y};
    v = parent.get();
  }
  return p;
}

CGPoint UIView::fromRoot(CGPoint point) const {
  std::vector<const UIView*> chain;
  for (const UIView* v = this;;) {
    auto parent = v->superview_.lock();
    if (!parent) break;
    chain.push_back(v);
    v = parent.get();
  }
  CGPoint p = point;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const CGRect f = (*it)->frame();
    p = {p.x - f.origin.x + (*it)->bounds_.origin.x, p.y - f.origin.y + (*it)->bounds_.origin.y};
  }
  return p;
}

CGPoint UIView::convertPointToView(CGPoint point, const UIView* view) const {
  KIVO_ASSERT_MAIN_THREAD();
  const CGPoint root = toRoot(point);
  return view ? view->fromRoot(root) : root;
}

CGPoint UIView::convertPointFromView(CGPoint point, const UIView* view) const {
  KIVO_ASSERT_MAIN_THREAD();
  const CGPoint root = view ? view->toRoot(point) : point;
  return fromRoot(root);
}

std::shared_ptr<UIView> UIView::hitTest(CGPoint point) {
  KIVO_ASSERT_MAIN_THREAD();
  if (hidden_ || !userInteractionEnabled_ || alpha_ < 0.01 || !pointInside(point)) return nullptr;
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    const auto& child = *it;
    const CGRect f = child->frame();
    const CGPoint inChild{point.x - f.origin.x + child->bounds_.origin.x, point.y - f.origin.y + child->bounds_.origin.y};
    if (auto hit = child->hitTest(inChild)) return hit;
  }
  return shared_from_this();
}

void UIView::layoutIfNeeded() {
  KIVO_ASSERT_MAIN_THREAD();
  layoutSubviews();
  if (auto controller = owner_.lock()) controller->viewDidLayoutSubviews();
}

std::shared_ptr<UIImageView> UIImageView::create(CGRect frame) { return std::make_shared<UIImageView>(frame); }

void UIImageView::setImage(std::shared_ptr<UIImage> image) {
  KIVO_ASSERT_MAIN_THREAD();
  image_ = std::move(image);
  layer()->setContents(image_ ? image_->CGImage() : nullptr);
}
