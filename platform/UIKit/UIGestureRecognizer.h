#pragma once
// Gesture recognisers with target-action.
// Thread-bound: main
// A recogniser
// holds its targets weakly, as the view system does; an action whose target
// is gone is skipped.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "CoreGraphics/CGGeometry.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/WhileAlive.h"

class UIView;

enum class UIGestureRecognizerState : std::int64_t {
  possible = 0,
  began = 1,
  changed = 2,
  ended = 3,
  cancelled = 4,
  failed = 5,
  recognized = 3,
};

class UIGestureRecognizer : public std::enable_shared_from_this<UIGestureRecognizer> {
 public:
  virtual ~UIGestureRecognizer() = default;

  /// Adds the action `(target->*action)(recognizer)`, holding `target` weakly.
  template <class T, class R>
  void addTarget(const std::shared_ptr<T>& target, void (T::*action)(R&)) {
    KIVO_ASSERT_MAIN_THREAD();
    actions_.push_back(
        whileAlive(std::weak_ptr<T>(target), [action](const std::shared_ptr<T>& self, UIGestureRecognizer& recognizer) {
          ((*self).*action)(static_cast<R&>(recognizer));
        }));
  }

  UIGestureRecognizerState state() const {
    KIVO_ASSERT_MAIN_THREAD();
    return state_;
  }
  std::shared_ptr<UIView> view() const {
    KIVO_ASSERT_MAIN_THREAD();
    return view_.lock();
  }

  /// Where the touch is, in `view`'s coordinates (null: the window's).
  CGPoint locationInView(const UIView* view) const;

  // --- Driver-only: the user's touches, delivered by a host shell --------
  /// Sets the state and the touch location (window coordinates), then sends
  /// every action once.
  void deliver(UIGestureRecognizerState state, CGPoint locationInWindow);

 private:
  friend class UIView;
  std::weak_ptr<UIView> view_ KIVO_GUARDED_BY(mainThread);
  std::vector<std::function<void(UIGestureRecognizer&)>> actions_ KIVO_GUARDED_BY(mainThread);
  UIGestureRecognizerState state_ KIVO_GUARDED_BY(mainThread) = UIGestureRecognizerState::possible;
  CGPoint location_ KIVO_GUARDED_BY(mainThread);
};

class UITapGestureRecognizer : public UIGestureRecognizer {
 public:
  static std::shared_ptr<UITapGestureRecognizer> create() { return std::make_shared<UITapGestureRecognizer>(); }
  std::int64_t numberOfTapsRequired() const {
    KIVO_ASSERT_MAIN_THREAD();
    return numberOfTapsRequired_;
  }
  void setNumberOfTapsRequired(std::int64_t taps) {
    KIVO_ASSERT_MAIN_THREAD();
    numberOfTapsRequired_ = taps;
  }

 private:
  std::int64_t numberOfTapsRequired_ KIVO_GUARDED_BY(mainThread) = 1;
};

/// `scale` is the scale last set (1 when a pinch begins) times the spread of
/// the fingers relative to their spread when it was set.
class UIPinchGestureRecognizer : public UIGestureRecognizer {
 public:
  static std::shared_ptr<UIPinchGestureRecognizer> create() { return std::make_shared<UIPinchGestureRecognizer>(); }
  double scale() const {
    KIVO_ASSERT_MAIN_THREAD();
    return scaleAtSet_ * spread_;
  }
  /// The current spread becomes the reference for later steps.
  void setScale(double scale) {
    KIVO_ASSERT_MAIN_THREAD();
    scaleAtSet_ = scale;
    spread_ = 1;
  }

  // --- Driver-only: the user's touches, delivered by a host shell --------
  /// One pinch step: at `began` the scale set so far resets to 1 first;
  /// `spread` is relative to the spread when the scale was last set.
  void deliverPinch(UIGestureRecognizerState state, double spread, CGPoint locationInWindow);

 private:
  double scaleAtSet_ KIVO_GUARDED_BY(mainThread) = 1;
  double spread_ KIVO_GUARDED_BY(mainThread) = 1;
};
