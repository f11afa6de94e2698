#pragma once
// Layer animations: basic and keyframe animations of scalar key paths
// ("opacity", "transform.scale", ...) and animation groups. An animation is a
// description; a layer copies it when it is added and evaluates it against
// the time elapsed since then.
// Thread-safe
// As plain values are: built on any thread, one object changed by one thread
// at a time. The copy a layer makes is the layer's: Thread-bound: main.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QuartzCore/CAMediaTimingFunction.h"

inline constexpr std::string_view kCAFillModeRemoved = "removed";
inline constexpr std::string_view kCAFillModeForwards = "forwards";
inline constexpr std::string_view kCAFillModeBackwards = "backwards";
inline constexpr std::string_view kCAFillModeBoth = "both";

inline constexpr std::string_view kCAAnimationLinear = "linear";
inline constexpr std::string_view kCAAnimationDiscrete = "discrete";
inline constexpr std::string_view kCAAnimationPaced = "paced";
inline constexpr std::string_view kCAAnimationCubic = "cubic";

/// Values of animated key paths, as a layer evaluates them.
class CAAnimationValues {
 public:
  virtual ~CAAnimationValues() = default;
  virtual double value(std::string_view keyPath) const = 0;
  virtual void setValue(std::string_view keyPath, double value) = 0;
};

class CAAnimation {
 public:
  /// The duration used when none (0) is set.
  static constexpr double kDefaultDuration = 0.25;

  virtual ~CAAnimation() = default;
  virtual std::shared_ptr<CAAnimation> copy() const = 0;

  double duration() const { return duration_; }
  /// A negative duration is a programming error (asserts in debug builds;
  /// treated as 0 otherwise).
  void setDuration(double seconds);
  float repeatCount() const { return repeatCount_; }
  void setRepeatCount(float count) { repeatCount_ = count; }
  bool autoreverses() const { return autoreverses_; }
  void setAutoreverses(bool value) { autoreverses_ = value; }
  const std::string& fillMode() const { return fillMode_; }
  void setFillMode(std::string_view mode) { fillMode_ = std::string(mode); }
  bool isRemovedOnCompletion() const { return removedOnCompletion_; }
  void setRemovedOnCompletion(bool value) { removedOnCompletion_ = value; }
  const std::shared_ptr<CAMediaTimingFunction>& timingFunction() const { return timingFunction_; }
  void setTimingFunction(std::shared_ptr<CAMediaTimingFunction> function) { timingFunction_ = std::move(function); }

  /// The simple duration actually used (the default when 0).
  double effectiveDuration() const { return duration_ > 0 ? duration_ : kDefaultDuration; }
  /// How long the animation runs, repeats and reversals included.
  double activeDuration() const;
  /// Whether the animation has run its course `elapsed` seconds after it began.
  /// Times are media-clock doubles: an elapsed time within a nanosecond of
  /// the end counts as the end, so clock rounding cannot keep it running.
  bool hasFinished(double elapsed) const { return elapsed >= activeDuration() - kTimeTolerance; }
  static constexpr double kTimeTolerance = 1e-9;

  /// Applies the animation's values at `elapsed` seconds after it began,
  /// over the values underneath (the model values, or earlier animations).
  /// Does nothing when the animation does not contribute at that time.
  void apply(double elapsed, CAAnimationValues& values) const;

 protected:
  /// Applies the values at local time `local` in [0, effectiveDuration()].
  virtual void applyLocal(double local, CAAnimationValues& values) const = 0;

 private:
  std::optional<double> localTime(double elapsed) const;

  double duration_ = 0;
  float repeatCount_ = 0;
  bool autoreverses_ = false;
  std::string fillMode_ = std::string(kCAFillModeRemoved);
  bool removedOnCompletion_ = true;
  std::shared_ptr<CAMediaTimingFunction> timingFunction_;
};

class CAPropertyAnimation : public CAAnimation {
 public:
  const std::string& keyPath() const { return keyPath_; }
  void setKeyPath(std::string_view keyPath) { keyPath_ = std::string(keyPath); }

 private:
  std::string keyPath_;
};

/// Interpolates from `fromValue` to `toValue`; a missing end takes the value
/// underneath.
class CABasicAnimation : public CAPropertyAnimation {
 public:
  static std::shared_ptr<CABasicAnimation> animationWithKeyPath(std::string_view keyPath);
  std::shared_ptr<CAAnimation> copy() const override { return std::make_shared<CABasicAnimation>(*this); }

  std::optional<double> fromValue;
  std::optional<double> toValue;

 protected:
  void applyLocal(double local, CAAnimationValues& values) const override;
};

/// Interpolates through `values` at `keyTimes` (fractions of the duration;
/// evenly spaced when empty), easing each segment with the timing function of
/// the same index (linear when missing). Linear and discrete calculation modes
/// are evaluated as the platform does; paced and cubic are evaluated as linear.
class CAKeyframeAnimation : public CAPropertyAnimation {
 public:
  static std::shared_ptr<CAKeyframeAnimation> animationWithKeyPath(std::string_view keyPath);
  std::shared_ptr<CAAnimation> copy() const override { return std::make_shared<CAKeyframeAnimation>(*this); }

  const std::vector<double>& values() const { return values_; }
  void setValues(std::vector<double> values) { values_ = std::move(values); }
  const std::vector<double>& keyTimes() const { return keyTimes_; }
  /// Key times and values of different lengths are a programming error,
  /// asserted when the animation is evaluated.
  void setKeyTimes(std::vector<double> keyTimes) { keyTimes_ = std::move(keyTimes); }
  const std::vector<std::shared_ptr<CAMediaTimingFunction>>& timingFunctions() const { return timingFunctions_; }
  void setTimingFunctions(std::vector<std::shared_ptr<CAMediaTimingFunction>> functions) {
    timingFunctions_ = std::move(functions);
  }
  const std::string& calculationMode() const { return calculationMode_; }
  void setCalculationMode(std::string_view mode) { calculationMode_ = std::string(mode); }

 protected:
  void applyLocal(double local, CAAnimationValues& values) const override;

 private:
  std::vector<double> values_;
  std::vector<double> keyTimes_;
  std::vector<std::shared_ptr<CAMediaTimingFunction>> timingFunctions_;
  std::string calculationMode_ = std::string(kCAAnimationLinear);
};

/// Runs its animations together on the group's own clock; a child is cut off
/// where the group's duration ends.
class CAAnimationGroup : public CAAnimation {
 public:
  static std::shared_ptr<CAAnimationGroup> animation() { return std::make_shared<CAAnimationGroup>(); }
  std::shared_ptr<CAAnimation> copy() const override;

  const std::vector<std::shared_ptr<CAAnimation>>& animations() const { return animations_; }
  void setAnimations(std::vector<std::shared_ptr<CAAnimation>> animations) { animations_ = std::move(animations); }

 protected:
  void applyLocal(double local, CAAnimationValues& values) const override;

 private:
  std::vector<std::shared_ptr<CAAnimation>> animations_;
};
