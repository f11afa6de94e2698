#include "QuartzCore/CAAnimation.h"

#include <algorithm>
#include <cassert>
#include <cmath>

void CAAnimation::setDuration(double seconds) {
  assert(!(seconds < 0) && "CAAnimation: the duration must not be negative");
  duration_ = seconds < 0 ? 0 : seconds;
}

double CAAnimation::activeDuration() const {
  const double repeats = repeatCount_ > 0 ? static_cast<double>(repeatCount_) : 1.0;
  return effectiveDuration() * repeats * (autoreverses_ ? 2.0 : 1.0);
}

std::optional<double> CAAnimation::localTime(double elapsed) const {
  const double d = effectiveDuration();
  const bool fillsBackwards = fillMode_ == kCAFillModeBackwards || fillMode_ == kCAFillModeBoth;
  const bool fillsForwards = fillMode_ == kCAFillModeForwards || fillMode_ == kCAFillModeBoth;
  double fraction;
  if (elapsed < 0) {
    if (!fillsBackwards) return std::nullopt;
    fraction = 0;
  } else if (hasFinished(elapsed)) {
    if (!fillsForwards) return std::nullopt;
    // The state the last cycle ended in.
    if (autoreverses_) {
      fraction = 0;
    } else {
      const double repeats = repeatCount_ > 0 ? static_cast<double>(repeatCount_) : 1.0;
      const double partial = repeats - std::floor(repeats);
      fraction = partial > 0 ? partial : 1.0;
    }
  } else {
    const double period = autoreverses_ ? 2 * d : d;
    double position = std::fmod(elapsed, period);
    if (autoreverses_ && position > d) position = period - position;
    fraction = position / d;
  }
  if (timingFunction_) fraction = timingFunction_->evaluate(fraction);
  return fraction * d;
}

void CAAnimation::apply(double elapsed, CAAnimationValues& values) const {
  if (auto local = localTime(elapsed)) applyLocal(*local, values);
}

// --- Basic ------------------------------------------------------------------

std::shared_ptr<CABasicAnimation> CABasicAnimation::animationWithKeyPath(std::string_view keyPath) {
  auto animation = std::make_shared<CABasicAnimation>();
  animation->setKeyPath(keyPath);
  return animation;
}

void CABasicAnimation::applyLocal(double local, CAAnimationValues& values) const {
  const double underneath = values.value(keyPath());
  const double from = fromValue.value_or(underneath);
  const double to = toValue.value_or(underneath);
  const double p = local / effectiveDuration();
  values.setValue(keyPath(), from + (to - from) * p);
}

// --- Keyframe ---------------------------------------------------------------

std::shared_ptr<CAKeyframeAnimation> CAKeyframeAnimation::animationWithKeyPath(std::string_view keyPath) {
  auto animation = std::make_shared<CAKeyframeAnimation>();
  animation->setKeyPath(keyPath);
  return animation;
}

void CAKeyframeAnimation::applyLocal(double local, CAAnimationValues& values) const {
  const std::size_t n = values_.size();
  if (n == 0) return;
  assert((keyTimes_.empty() || keyTimes_.size() == n) &&
         "CAKeyframeAnimation: key times and values must have the same length");
  if (n == 1) {
    values.setValue(keyPath(), values_[0]);
    return;
  }
  const auto keyTime = [&](std::size_t i) {
    if (keyTimes_.size() == n) return keyTimes_[i];
    return static_cast<double>(i) / static_cast<double>(n - 1);
  };
  const double f = local / effectiveDuration();
  if (f <= keyTime(0)) {
    values.setValue(keyPath(), values_[0]);
    return;
  }
  // The segment [keyTime(i), keyTime(i + 1)) holding f; past the last key
  // time the last value holds.
  std::size_t i = 0;
  while (i + 1 < n && f >= keyTime(i + 1)) ++i;
  if (i + 1 >= n) {
    values.setValue(keyPath(), values_[n - 1]);
    return;
  }
  if (calculationMode_ == kCAAnimationDiscrete) {
    values.setValue(keyPath(), values_[i]);
    return;
  }
  const double span = keyTime(i + 1) - keyTime(i);
  double p = span > 0 ? (f - keyTime(i)) / span : 1.0;
  if (i < timingFunctions_.size() && timingFunctions_[i]) p = timingFunctions_[i]->evaluate(p);
  values.setValue(keyPath(), values_[i] + (values_[i + 1] - values_[i]) * p);
}

// --- Group ------------------------------------------------------------------

std::shared_ptr<CAAnimation> CAAnimationGroup::copy() const {
  auto group = std::make_shared<CAAnimationGroup>(*this);
  for (auto& child : group->animations_) child = child->copy();
  return group;
}

void CAAnimationGroup::applyLocal(double local, CAAnimationValues& values) const {
  for (const auto& child : animations_) child->apply(local, values);
}
