#pragma once
// KivoFocusView: the focus reticle, a square view holding one image view
// whose layer carries the focus animation; KivoFocusAnimation builds that
// animation. The reticle shows only while the animation runs: the image
// view's own alpha is 0 and the animation drives its layer's opacity.
// Thread-bound: main
// Like every view. KivoFocusAnimation and KivoCaptureAnimation only build
// animations, which are plain values: Thread-safe.

#include <memory>

#include "QuartzCore/CAAnimation.h"
#include "UIKit/UIView.h"

class UIImageView;

class KivoFocusView : public UIView {
 public:
  /// A reticle over `frame` with the default image; it takes no touches.
  static std::shared_ptr<KivoFocusView> create(CGRect frame);
  explicit KivoFocusView(CGRect frame);
  ~KivoFocusView() override;

  /// The reticle picture. Setting it only stores it: the new image view is
  /// not added as a subview, nor the old one removed.
  const std::shared_ptr<UIImageView>& focusImageView() const {
    KIVO_ASSERT_MAIN_THREAD();
    return focusImageView_;
  }
  void setFocusImageView(std::shared_ptr<UIImageView> imageView) {
    KIVO_ASSERT_MAIN_THREAD();
    focusImageView_ = std::move(imageView);
  }

  /// Replaces any running animation with a new 1.3 s focus animation under
  /// the key "FocusAnimation". Does not unhide the view.
  void startAnimation();
  /// Removes the animations, sets the image view's alpha to 0 and hides the
  /// view.
  void stopAnimation();

  static constexpr double kAnimationDuration = 1.3;
  static constexpr const char* kAnimationKey = "FocusAnimation";
  static constexpr const char* kDefaultImageName = "KivoCameraFocusDefault";

 private:
  void setUp() KIVO_REQUIRES(mainThread);
  std::shared_ptr<UIImageView> focusImageView_ KIVO_GUARDED_BY(mainThread);
};

class KivoFocusAnimation {
 public:
  /// The reticle animation for `duration` seconds: a scale from 1/0.67 down
  /// to 1 in the first half second, then two blinks of the opacity, as one
  /// group that stays on the layer when it ends.
  static std::shared_ptr<CAAnimation> focusAnimationWithDuration(double duration);
};

/// KivoCaptureAnimation: a short scale pulse that hosts may add to a layer
/// of their own.
class KivoCaptureAnimation {
 public:
  static std::shared_ptr<CAKeyframeAnimation> animation();
};
