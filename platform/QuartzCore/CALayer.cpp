#include "QuartzCore/CALayer.h"

#include <algorithm>

#include "Dispatch/Dispatch.h"

namespace {

double defaultValue(std::string_view keyPath) {
  return (keyPath == "opacity" || keyPath == "transform.scale") ? 1.0 : 0.0;
}

// The values an evaluation works on: the model values, then each animation's
// result on top.
class Evaluation : public CAAnimationValues {
 public:
  explicit Evaluation(const CALayer& layer) : layer_(layer) {}
  double value(std::string_view keyPath) const override {
    auto it = values_.find(keyPath);
    return it != values_.end() ? it->second : layer_.valueForKeyPath(keyPath);
  }
  void setValue(std::string_view keyPath, double value) override { values_[std::string(keyPath)] = value; }

 private:
  const CALayer& layer_;
  std::map<std::string, double, std::less<>> values_;
};

}  // namespace

void CALayer::addAnimation(const std::shared_ptr<CAAnimation>& animation, std::string_view key) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!animation) return;
  removeAnimationForKey(key);
  animations_.push_back(Running{std::string(key), animation->copy(), CACurrentMediaTime()});
}

void CALayer::removeAnimationForKey(std::string_view key) {
  std::erase_if(animations_, [&](const Running& r) { return r.key == key; });
}

void CALayer::removeAllAnimations() { animations_.clear(); }

void CALayer::pruneFinished() const {
  const double now = CACurrentMediaTime();
  std::erase_if(animations_, [&](const Running& r) {
    return r.animation->isRemovedOnCompletion() && r.animation->hasFinished(now - r.beginTime);
  });
}

std::vector<std::string> CALayer::animationKeys() const {
  pruneFinished();
  std::vector<std::string> keys;
  for (const auto& r : animations_) keys.push_back(r.key);
  return keys;
}

std::shared_ptr<const CAAnimation> CALayer::animationForKey(std::string_view key) const {
  pruneFinished();
  for (const auto& r : animations_)
    if (r.key == key) return r.animation;
  return nullptr;
}

std::optional<double> CALayer::beginTimeForKey(std::string_view key) const {
  pruneFinished();
  for (const auto& r : animations_)
    if (r.key == key) return r.beginTime;
  return std::nullopt;
}

double CALayer::valueForKeyPath(std::string_view keyPath) const {
  auto it = model_.find(keyPath);
  return it != model_.end() ? it->second : defaultValue(keyPath);
}

void CALayer::setValueForKeyPath(std::string_view keyPath, double value) {
  auto it = model_.find(keyPath);
  if (it != model_.end())
    it->second = value;
  else
    model_.emplace(std::string(keyPath), value);
}

double CALayer::presentationValueForKeyPath(std::string_view keyPath) const {
  pruneFinished();
  return presentationValueForKeyPath(keyPath, CACurrentMediaTime());
}

double CALayer::presentationValueForKeyPath(std::string_view keyPath, double time) const {
  Evaluation evaluation(*this);
  for (const auto& r : animations_) r.animation->apply(time - r.beginTime, evaluation);
  return evaluation.value(keyPath);
}
