#pragma once
// A layer: a rectangle in its superlayer's space with a background, an image
// and content a subclass draws; a tree of sublayers; the model values of its
// animatable properties and the animations added to it, keyed.
// Thread-bound: main
// Like the views that own layers.
//
// Geometry: `bounds` is the layer's own coordinate space; `position` is where
// the centre of the bounds (the anchor point) lies in the superlayer's space.
//
// Adding an animation copies it and starts it at the current media time
// (CACurrentMediaTime). The presentation value of a key path is its model
// value with the running animations applied in the order they were added.
// An animation that has run its course and is removed on completion leaves
// the layer the next time the layer is looked at.
//
// Rendering draws the tree back to front with the presentation "opacity" and
// "transform.scale" of each sublayer at the current media time, so an
// animation renders as it is at that moment. Opacity multiplies down the
// tree: each layer of a translucent subtree is blended on its own, so where
// two sublayers overlap the one behind shows through (the subtree is not
// flattened into one picture first).

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CoreGraphics/CGContext.h"
#include "CoreGraphics/CGGeometry.h"
#include "CoreGraphics/CGImage.h"
#include "Dispatch/Dispatch.h"
#include "QuartzCore/CAAnimation.h"

class CALayer : public std::enable_shared_from_this<CALayer> {
 public:
  static std::shared_ptr<CALayer> layer() { return std::make_shared<CALayer>(); }
  CALayer() = default;
  virtual ~CALayer() = default;
  CALayer(const CALayer&) = delete;
  CALayer& operator=(const CALayer&) = delete;

  // --- Geometry and appearance --------------------------------------------
  CGRect bounds() const {
    KIVO_ASSERT_MAIN_THREAD();
    return bounds_;
  }
  void setBounds(CGRect bounds) {
    KIVO_ASSERT_MAIN_THREAD();
    if (bounds_ == bounds) return;
    bounds_ = bounds;
    noteChange();
  }
  CGPoint position() const {
    KIVO_ASSERT_MAIN_THREAD();
    return position_;
  }
  void setPosition(CGPoint position) {
    KIVO_ASSERT_MAIN_THREAD();
    if (position_ == position) return;
    position_ = position;
    noteChange();
  }
  /// Clear until set.
  CGColor backgroundColor() const {
    KIVO_ASSERT_MAIN_THREAD();
    return backgroundColor_;
  }
  void setBackgroundColor(CGColor color) {
    KIVO_ASSERT_MAIN_THREAD();
    if (backgroundColor_ == color) return;
    backgroundColor_ = color;
    noteChange();
  }
  /// A hidden layer is not drawn, nor are its sublayers.
  bool isHidden() const {
    KIVO_ASSERT_MAIN_THREAD();
    return hidden_;
  }
  void setHidden(bool hidden) {
    KIVO_ASSERT_MAIN_THREAD();
    if (hidden_ == hidden) return;
    hidden_ = hidden;
    noteChange();
  }
  /// Whether the sublayers are clipped to the bounds.
  bool masksToBounds() const {
    KIVO_ASSERT_MAIN_THREAD();
    return masksToBounds_;
  }
  void setMasksToBounds(bool masks) {
    KIVO_ASSERT_MAIN_THREAD();
    if (masksToBounds_ == masks) return;
    masksToBounds_ = masks;
    noteChange();
  }
  /// An image drawn stretched over the bounds, above the background.
  const CGImageRef& contents() const {
    KIVO_ASSERT_MAIN_THREAD();
    return contents_;
  }
  void setContents(CGImageRef image) {
    KIVO_ASSERT_MAIN_THREAD();
    if (contents_ == image) return;
    contents_ = std::move(image);
    noteChange();
  }

  // --- Tree ---------------------------------------------------------------
  const std::vector<std::shared_ptr<CALayer>>& sublayers() const {
    KIVO_ASSERT_MAIN_THREAD();
    return sublayers_;
  }
  std::shared_ptr<CALayer> superlayer() const {
    KIVO_ASSERT_MAIN_THREAD();
    return superlayer_.lock();
  }
  /// Adds `layer` on top, moving it from any other superlayer. Adding a
  /// layer to itself or to one of its own sublayers is a programming error
  /// (asserts in debug builds; ignored otherwise).
  void addSublayer(const std::shared_ptr<CALayer>& layer);
  /// Inserts `layer` at `index` among the sublayers (0 is the back; past
  /// the end, the top), moving it from any other superlayer.
  void insertSublayer(const std::shared_ptr<CALayer>& layer, std::size_t index);
  void removeFromSuperlayer();

  // --- Drawing --------------------------------------------------------------
  /// Draws the layer's own content in its coordinate space, above the
  /// background and contents, clipped to the bounds. Nothing by default.
  virtual void drawInContext(CGContext& context);
  /// Renders the layer and its sublayers into `context`, the bounds' origin
  /// at the context's current origin: background, contents, drawInContext,
  /// then each visible sublayer at its position, scaled about its anchor by
  /// its presentation "transform.scale" and faded by its presentation
  /// "opacity", clipped to the bounds where `masksToBounds`. The layer's own
  /// opacity and scale are left to its superlayer; rendering starts at full
  /// alpha and restores the context's state when done. A hidden layer
  /// renders nothing.
  void renderInContext(CGContext& context);

  // --- Animation ------------------------------------------------------------
  /// Adds a copy of `animation` under `key`, replacing an animation with the
  /// same key.
  void addAnimation(const std::shared_ptr<CAAnimation>& animation, std::string_view key);
  void removeAnimationForKey(std::string_view key);
  /// Also from a dying view's destructor, on whichever queue lets go of it
  /// last.
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

  /// Whether an animation of this layer is still under way at media time `time`.
  bool hasRunningAnimationsAt(double time) const;

  // --- Redrawing --------------------------------------------------------------
  /// Counts every change to any layer (geometry, look, the tree, animations,
  /// model values): a picture drawn at one count is current while the count
  /// stays and nothing animates or plays.
  static std::uint64_t changeCount();
  /// Seconds between new pictures of content that changes by itself (a
  /// camera's live picture); 0 for content that changes only when told.
  virtual double contentFrameInterval() const { return 0; }

  /// What is on screen now, or at media time `time`. Allocates nothing.
  double presentationValueForKeyPath(std::string_view keyPath) const;
  double presentationValueForKeyPath(std::string_view keyPath, double time) const;

 protected:
  /// Subclasses call it when a property of theirs changes what they draw.
  static void noteChange();

 private:
  struct Running {
    std::string key;
    std::shared_ptr<CAAnimation> animation;
    double beginTime;
  };
  void pruneFinished() const KIVO_REQUIRES(mainThread);
  /// Draws this layer and its sublayers in its own coordinates under the
  /// context's CTM, with everything multiplied by `alpha`.
  void renderTree(CGContext& context, CGFloat alpha) KIVO_REQUIRES(mainThread);
  bool isAncestorOrSelf(const CALayer& layer) const KIVO_REQUIRES(mainThread);

  CGRect bounds_ KIVO_GUARDED_BY(mainThread);
  CGPoint position_ KIVO_GUARDED_BY(mainThread);
  CGColor backgroundColor_ KIVO_GUARDED_BY(mainThread){0, 0, 0, 0};
  bool hidden_ KIVO_GUARDED_BY(mainThread) = false;
  bool masksToBounds_ KIVO_GUARDED_BY(mainThread) = false;
  CGImageRef contents_ KIVO_GUARDED_BY(mainThread);
  std::vector<std::shared_ptr<CALayer>> sublayers_ KIVO_GUARDED_BY(mainThread);
  std::weak_ptr<CALayer> superlayer_ KIVO_GUARDED_BY(mainThread);

  std::map<std::string, double, std::less<>> model_ KIVO_GUARDED_BY(mainThread);
  mutable std::vector<Running> animations_ KIVO_GUARDED_BY(mainThread);
};
