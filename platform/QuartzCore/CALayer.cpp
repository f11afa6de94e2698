#include "QuartzCore/CALayer.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>

#include "Dispatch/Dispatch.h"

namespace {

double defaultValue(std::string_view keyPath) {
  return (keyPath == "opacity" || keyPath == "transform.scale") ? 1.0 : 0.0;
}

// The value of one key path as the animations build it up over the model
// value. An animation reads and writes only its own key path, so the values
// of the other key paths cannot change the result: they are read from the
// model and their writes dropped, and an evaluation allocates nothing.
class Evaluation final : public CAAnimationValues {
 public:
  Evaluation(const CALayer& layer, std::string_view keyPath)
      : layer_(layer), keyPath_(keyPath), value_(layer.valueForKeyPath(keyPath)) {}
  double value(std::string_view keyPath) const override {
    return keyPath == keyPath_ ? value_ : layer_.valueForKeyPath(keyPath);
  }
  void setValue(std::string_view keyPath, double value) override {
    if (keyPath == keyPath_) value_ = value;
  }
  double result() const { return value_; }

 private:
  const CALayer& layer_;
  const std::string_view keyPath_;
  double value_;
};

}  // namespace

// --- Tree -----------------------------------------------------------------------

bool CALayer::isAncestorOrSelf(const CALayer& layer) const {
  for (const CALayer* l = &layer; l != nullptr;) {
    if (l == this) return true;
    auto parent = l->superlayer_.lock();
    l = parent.get();
  }
  return false;
}

void CALayer::addSublayer(const std::shared_ptr<CALayer>& layer) {
  KIVO_ASSERT_MAIN_THREAD();
  insertSublayer(layer, sublayers_.size());
}

void CALayer::insertSublayer(const std::shared_ptr<CALayer>& layer, std::size_t index) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!layer) return;
  const bool cycle = layer->isAncestorOrSelf(*this);
  assert(!cycle && "insertSublayer: a layer cannot be added to itself or to one of its own sublayers");
  if (cycle) return;
  auto keep = layer;  // survives its removal from an old superlayer
  keep->removeFromSuperlayer();
  index = std::min(index, sublayers_.size());
  sublayers_.insert(sublayers_.begin() + static_cast<std::ptrdiff_t>(index), keep);
  keep->superlayer_ = weak_from_this();
  noteChange();
}

void CALayer::removeFromSuperlayer() {
  KIVO_ASSERT_MAIN_THREAD();
  auto parent = superlayer_.lock();
  superlayer_.reset();
  if (!parent) return;
  auto keep = shared_from_this();  // the parent may hold the last reference
  std::erase_if(parent->sublayers_, [this](const auto& l) { return l.get() == this; });
  noteChange();
}

// --- Drawing ----------------------------------------------------------------------

void CALayer::drawInContext(CGContext&) {}

void CALayer::renderInContext(CGContext& context) {
  KIVO_ASSERT_MAIN_THREAD();
  if (hidden_) return;
  context.saveGState();
  context.translateCTM(-bounds_.origin.x, -bounds_.origin.y);
  context.setAlpha(1);
  renderTree(context, 1);
  context.restoreGState();
}

void CALayer::renderTree(CGContext& context, CGFloat alpha) {
  if (backgroundColor_.alpha > 0) {
    context.setFillColor(backgroundColor_);
    context.fillRect(bounds_);
  }
  if (contents_) context.drawImage(bounds_, *contents_);
  // What a layer draws itself lies in its bounds, as in a backing store of
  // that size.
  context.saveGState();
  context.clipToRect(bounds_);
  drawInContext(context);
  context.restoreGState();

  if (sublayers_.empty()) return;
  context.saveGState();
  if (masksToBounds_) context.clipToRect(bounds_);
  for (const auto& sublayer : sublayers_) {
    if (sublayer->hidden_) continue;
    const CGFloat opacity = std::clamp(sublayer->presentationValueForKeyPath("opacity"), 0.0, 1.0);
    const CGFloat sublayerAlpha = alpha * opacity;
    if (!(sublayerAlpha > 0)) continue;
    const CGFloat scale = sublayer->presentationValueForKeyPath("transform.scale");
    if (scale == 0 || !std::isfinite(scale)) continue;  // nothing to see, and no inverse to sample through
    const CGRect b = sublayer->bounds_;
    context.saveGState();
    // Sublayer space to ours: about the anchor (the bounds' centre), which
    // lands on the position.
    context.translateCTM(sublayer->position_.x, sublayer->position_.y);
    context.scaleCTM(scale, scale);
    context.translateCTM(-b.midX(), -b.midY());
    context.setAlpha(sublayerAlpha);
    sublayer->renderTree(context, sublayerAlpha);
    context.restoreGState();
  }
  context.restoreGState();
}

// --- Animation ----------------------------------------------------------------------

void CALayer::addAnimation(const std::shared_ptr<CAAnimation>& animation, std::string_view key) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!animation) return;
  removeAnimationForKey(key);
  animations_.push_back(Running{std::string(key), animation->copy(), CACurrentMediaTime()});
  noteChange();
}

void CALayer::removeAnimationForKey(std::string_view key) {
  KIVO_ASSERT_MAIN_THREAD();
  if (std::erase_if(animations_, [&](const Running& r) { return r.key == key; }) > 0) noteChange();
}

void CALayer::removeAllAnimations() {
  KIVO_ASSERT_MAIN_THREAD();
  if (animations_.empty()) return;
  animations_.clear();
  noteChange();
}

void CALayer::pruneFinished() const {
  const double now = CACurrentMediaTime();
  std::erase_if(animations_, [&](const Running& r) {
    return r.animation->isRemovedOnCompletion() && r.animation->hasFinished(now - r.beginTime);
  });
}

bool CALayer::hasRunningAnimationsAt(double time) const {
  KIVO_ASSERT_MAIN_THREAD();
  return std::any_of(animations_.begin(), animations_.end(),
                     [&](const Running& r) { return !r.animation->hasFinished(time - r.beginTime); });
}

namespace {
std::atomic<std::uint64_t> layerChanges{0};
}  // namespace

std::uint64_t CALayer::changeCount() { return layerChanges.load(std::memory_order_relaxed); }
void CALayer::noteChange() { layerChanges.fetch_add(1, std::memory_order_relaxed); }

std::vector<std::string> CALayer::animationKeys() const {
  KIVO_ASSERT_MAIN_THREAD();
  pruneFinished();
  std::vector<std::string> keys;
  for (const auto& r : animations_) keys.push_back(r.key);
  return keys;
}

std::shared_ptr<const CAAnimation> CALayer::animationForKey(std::string_view key) const {
  KIVO_ASSERT_MAIN_THREAD();
  pruneFinished();
  for (const auto& r : animations_)
    if (r.key == key) return r.animation;
  return nullptr;
}

std::optional<double> CALayer::beginTimeForKey(std::string_view key) const {
  KIVO_ASSERT_MAIN_THREAD();
  pruneFinished();
  for (const auto& r : animations_)
    if (r.key == key) return r.beginTime;
  return std::nullopt;
}

double CALayer::valueForKeyPath(std::string_view keyPath) const {
  KIVO_ASSERT_MAIN_THREAD();
  auto it = model_.find(keyPath);
  return it != model_.end() ? it->second : defaultValue(keyPath);
}

void CALayer::setValueForKeyPath(std::string_view keyPath, double value) {
  KIVO_ASSERT_MAIN_THREAD();
  auto it = model_.find(keyPath);
  if (it != model_.end()) {
    if (it->second == value) return;
    it->second = value;
  } else {
    model_.emplace(std::string(keyPath), value);
  }
  noteChange();
}

double CALayer::presentationValueForKeyPath(std::string_view keyPath) const {
  KIVO_ASSERT_MAIN_THREAD();
  pruneFinished();
  return presentationValueForKeyPath(keyPath, CACurrentMediaTime());
}

double CALayer::presentationValueForKeyPath(std::string_view keyPath, double time) const {
  KIVO_ASSERT_MAIN_THREAD();
  Evaluation evaluation(*this, keyPath);
  for (const auto& r : animations_) r.animation->apply(time - r.beginTime, evaluation);
  return evaluation.result();
}
