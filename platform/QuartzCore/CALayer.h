#pragma once
// A layer: model values of its animatable properties and the animations
// added to it, keyed. Main thread only, like the views that own layers.
//
// Adding an animation copies it and starts it at the current media time
// (CACurrentMediaTime). The presentation value of a key path is its model
// value with the running animations applied in the order they were added.
// An animation that has run its course and is removed on completion leaves
// the layer the next time the layer is looked at.

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "QuartzCore/CAAnimation.h"

class CALayer : public std::enable_shared_from_this<CALayer> {
 public:
  static std::shared_ptr<CALayer> layer() { return std::make_shared<CALayer>(); }
  CALayer() = default;
  virtual ~CALayer() = default;
  CALayer(const CALayer&) = delete;
  CALayer& operator=(const CALayer&) = delete;

  /// Adds a copy of `animation` under `key`, replacing an animation with the
  /// same key.
  void addAnimation(const std::shared_ptr<CAAnimation>& animation, std::string_view key);
  void removeAnimationForKey(std::string_view key);
  void removeAllAnimations();
  /// The keys of the animations on the layer, in the order added.
  std::vector<std::string> animationKeys() const;
  std::shared_ptr<const CAAnimation> animationForKey(std::string_view key) const;
  /// When the animation under `key` began, in media time.
  std::optional<double> beginTimeForKey(std::string_view key) const;

  /// Model values of animatable scalar key paths ("opacity" 1 and
  /// "transform.scale" 1 unless set; any other key path 0).
  double valueForKeyPath(std::string_view keyPath) const;
  void setValueForKeyPath(std::string_view keyPath, double value);
  float opacity() const { return static_cast<float>(valueForKeyPath("opacity")); }
  void setOpacity(float opacity) { setValueForKeyPath("opacity", opacity); }

  /// What is on screen now, or at media time `time`.
  double presentationValueForKeyPath(std::string_view keyPath) const;
  double presentationValueForKeyPath(std::string_view keyPath, double time) const;

 private:
  struct Running {
    std::string key;
    std::shared_ptr<CAAnimation> animation;
    double beginTime;
  };
  void pruneFinished() const;

  std::map<std::string, double, std::less<>> model_;
  mutable std::vector<Running> animations_;
};
