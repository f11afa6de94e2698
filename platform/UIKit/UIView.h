#pragma once
// Views: a tree of rectangles with a backing layer each.
// Thread-bound: main
// Asserted in debug builds where it matters; UIColor is a plain value.
//
// Geometry: `frame` is the view's rectangle in its superview's coordinates,
// `bounds` its own coordinate space (origin usually zero), `center` the
// frame's centre; setting any of them keeps the other two consistent.
//
// Views are reference objects made with the static `create` functions (or a
// subclass's own). The backing layer is made on first use by `makeLayer()`,
// which a subclass overrides to be backed by a layer class of its own. Once
// made, the layer mirrors the view: bounds, centre (its position), hidden,
// background colour, alpha (its opacity), clipsToBounds (masksToBounds), and
// the subviews' layers as sublayers in the subviews' order. What is drawn is
// the layer tree; hit-testing stays with the views.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CoreGraphics/CGContext.h"
#include "CoreGraphics/CGGeometry.h"
#include "Dispatch/Dispatch.h"
#include "QuartzCore/CALayer.h"

class UIGestureRecognizer;
class UIViewController;

struct UIColor {
  double red = 0, green = 0, blue = 0, alpha = 1;
  static UIColor blackColor() { return {0, 0, 0, 1}; }
  static UIColor whiteColor() { return {1, 1, 1, 1}; }
  static UIColor clearColor() { return {0, 0, 0, 0}; }
  /// The same colour for drawing.
  ::CGColor CGColor() const { return {red, green, blue, alpha}; }
  friend bool operator==(const UIColor&, const UIColor&) = default;
};

class UIView : public std::enable_shared_from_this<UIView> {
 public:
  static std::shared_ptr<UIView> create(CGRect frame = CGRectZero);
  explicit UIView(CGRect frame = CGRectZero);
  virtual ~UIView();
  UIView(const UIView&) = delete;
  UIView& operator=(const UIView&) = delete;

  // --- Geometry ---------------------------------------------------------
  CGRect frame() const;
  void setFrame(CGRect frame);
  CGRect bounds() const {
    KIVO_ASSERT_MAIN_THREAD();
    return bounds_;
  }
  void setBounds(CGRect bounds);
  CGPoint center() const;
  void setCenter(CGPoint center);

  // --- Appearance -------------------------------------------------------
  bool isHidden() const {
    KIVO_ASSERT_MAIN_THREAD();
    return hidden_;
  }
  void setHidden(bool hidden);
  /// The model alpha (the layer's opacity). Set inside an `animateWithDuration`
  /// block, it animates from the value on screen; set outside one, it takes
  /// effect at once and ends a running alpha animation.
  double alpha() const;
  void setAlpha(double alpha);
  /// The alpha on screen now, with animations applied.
  double presentationAlpha() const;
  const UIColor& backgroundColor() const {
    KIVO_ASSERT_MAIN_THREAD();
    return backgroundColor_;
  }
  void setBackgroundColor(UIColor color);
  /// Whether subviews are clipped to the bounds when drawn (not when
  /// hit-tested). Off until set.
  bool clipsToBounds() const {
    KIVO_ASSERT_MAIN_THREAD();
    return clipsToBounds_;
  }
  void setClipsToBounds(bool clips);
  bool isUserInteractionEnabled() const {
    KIVO_ASSERT_MAIN_THREAD();
    return userInteractionEnabled_;
  }
  void setUserInteractionEnabled(bool enabled) {
    KIVO_ASSERT_MAIN_THREAD();
    userInteractionEnabled_ = enabled;
  }

  // --- Hierarchy --------------------------------------------------------
  std::shared_ptr<UIView> superview() const {
    KIVO_ASSERT_MAIN_THREAD();
    return superview_.lock();
  }
  const std::vector<std::shared_ptr<UIView>>& subviews() const {
    KIVO_ASSERT_MAIN_THREAD();
    return subviews_;
  }
  /// Adds `view` on top of the subviews, moving it from any other superview.
  /// Adding a view to itself or to one of its own subviews is a programming
  /// error (asserts in debug builds; ignored otherwise).
  void addSubview(const std::shared_ptr<UIView>& view);
  void sendSubviewToBack(const std::shared_ptr<UIView>& view);
  void removeFromSuperview();
  bool isDescendantOfView(const UIView& view) const;

  // --- Layer ------------------------------------------------------------
  /// The backing layer, made by `makeLayer()` on first use with the view's
  /// state and its subviews' layers. Also from a dying view's destructor, on
  /// whichever queue lets go of it last.
  std::shared_ptr<CALayer> layer() const;

  // --- Gestures ---------------------------------------------------------
  void addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer);
  const std::vector<std::shared_ptr<UIGestureRecognizer>>& gestureRecognizers() const {
    KIVO_ASSERT_MAIN_THREAD();
    return recognizers_;
  }

  // --- Coordinates and touches ------------------------------------------
  /// Converts a point in this view's coordinates into `view`'s (null: the
  /// root of this view's tree, the window's coordinates).
  CGPoint convertPointToView(CGPoint point, const UIView* view) const;
  CGPoint convertPointFromView(CGPoint point, const UIView* view) const;
  bool pointInside(CGPoint point) const {
    KIVO_ASSERT_MAIN_THREAD();
    return bounds_.contains(point);
  }
  /// The deepest visible, touchable view containing `point` (in this view's
  /// coordinates): hidden views, views with user interaction off and views
  /// whose alpha is below 0.01 are passed over with their subviews.
  std::shared_ptr<UIView> hitTest(CGPoint point);

  // --- Layout -----------------------------------------------------------
  /// Lays this view out: `layoutSubviews`, then the owning controller's
  /// `viewDidLayoutSubviews` when this is a controller's root view.
  void layoutIfNeeded();
  virtual void layoutSubviews() {}

  /// The controller whose root view this is, if any.
  std::shared_ptr<UIViewController> owningViewController() const {
    KIVO_ASSERT_MAIN_THREAD();
    return owner_.lock();
  }

  // --- View animation ---------------------------------------------------
  /// Runs `animations` now; animatable properties set inside it (alpha)
  /// animate over `duration` seconds with the ease-in-ease-out curve. A
  /// negative duration is a programming error (asserts; treated as 0).
  static void animateWithDuration(double duration, const std::function<void()>& animations);

 protected:
  /// The layer class of this view class.
  virtual std::shared_ptr<CALayer> makeLayer() const { return CALayer::layer(); }

 private:
  friend class UIViewController;
  CGPoint toRoot(CGPoint point) const KIVO_REQUIRES(mainThread);
  /// The layer's bounds and position from the view's, when it is made.
  void updateLayerGeometry() const KIVO_REQUIRES(mainThread);
  CGPoint fromRoot(CGPoint point) const KIVO_REQUIRES(mainThread);

  // The frame's origin is stored (not derived from the centre) so that a
  // frame set is read back exactly.
  CGRect bounds_ KIVO_GUARDED_BY(mainThread);
  CGPoint origin_ KIVO_GUARDED_BY(mainThread);
  bool hidden_ KIVO_GUARDED_BY(mainThread) = false;
  bool clipsToBounds_ KIVO_GUARDED_BY(mainThread) = false;
  UIColor backgroundColor_ KIVO_GUARDED_BY(mainThread) = UIColor::clearColor();
  bool userInteractionEnabled_ KIVO_GUARDED_BY(mainThread) = true;
  std::weak_ptr<UIView> superview_ KIVO_GUARDED_BY(mainThread);
  std::vector<std::shared_ptr<UIView>> subviews_ KIVO_GUARDED_BY(mainThread);
  std::vector<std::shared_ptr<UIGestureRecognizer>> recognizers_ KIVO_GUARDED_BY(mainThread);
  mutable std::shared_ptr<CALayer> layer_ KIVO_GUARDED_BY(mainThread);
  double alpha_ KIVO_GUARDED_BY(mainThread) = 1.0;
  std::weak_ptr<UIViewController> owner_ KIVO_GUARDED_BY(mainThread);
};

class UIImage;

/// A view showing one image, stretched over its bounds (its layer's contents).
class UIImageView : public UIView {
 public:
  static std::shared_ptr<UIImageView> create(CGRect frame = CGRectZero);
  using UIView::UIView;
  const std::shared_ptr<UIImage>& image() const {
    KIVO_ASSERT_MAIN_THREAD();
    return image_;
  }
  void setImage(std::shared_ptr<UIImage> image);

 private:
  std::shared_ptr<UIImage> image_ KIVO_GUARDED_BY(mainThread);
};
