#pragma once
// KivoHostSurface: a host application's screen, in which the host embeds one
// camera controller and which it drives through appearance, layout, view
// changes, taps, pinches and alert answers; a GUI host also renders it into
// its own pixels and hears when a redraw is due. The scenario runner's host
// screen (sim::HostScreen) is this class. It uses the platform's view system
// only.
//
// Thread-bound: main.
//
// Appearance runs in four steps, each allowed only where it makes sense:
//
//   disappeared --appearBegin--> appearing --appearEnd--> shown
//   shown --disappearBegin--> disappearing --disappearEnd--> disappeared
//
// The surface starts disappeared and may appear again after it disappeared.
// Any other order (appear-end without appear-begin, appearing twice,
// disappearing while not shown, appearing while still disappearing) throws
// std::logic_error naming the step and the state, and changes nothing.
//
// The surface is the main screen: its size is the screen's bounds in points
// (a GUI host sets them with `resize` when its window changes) and its scale
// the screen's. The host's root view always fills it: it is fitted to the
// screen's bounds at construction, before every layout pass and before every
// hit test, as a window keeps its root view at its own size.
//
// Gestures are hit-tested from the root view as the view system does. While
// an alert is presented it covers the whole screen, so a tap or a new pinch
// reaches nothing beneath it.
//
// The screen is drawn as a person would see it: the root view (white) with
// everything in it, then each presented controller's view over it, fitted to
// the screen, the topmost last.
//
// A redraw is due when the picture may have changed since the last render: a
// layer changed anywhere (a view moved, hid, showed, an alert came or went),
// an animation is running, or a preview's camera has had a new frame (one
// per frame interval of its device while its session runs). A GUI host
// either asks `needsRedraw` on its own clock or sets a redraw handler, which
// the surface calls on the main queue at most at the rate it was given.
//
//   KivoHostSurface surface;
//   surface.attach(camera, [&] { camera->addToController(surface.controller()); });
//   surface.setRedrawHandler([&] { surface.render(pixels, w, h, w * 4); window.update(); });
//   surface.appear();
//   ...  // clicks: surface.tap({x, y}); wheel: surface.pinch(...)
//   surface.disappear();
//   surface.release();

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "CoreGraphics/CGContext.h"
#include "CoreGraphics/CGGeometry.h"
#include "UIKit/UIAlertController.h"
#include "UIKit/UIGestureRecognizer.h"
#include "UIKit/UIViewController.h"

class KivoHostSurface {
 public:
  enum class Appearance { disappeared, appearing, shown, disappearing };

  /// Makes the host's own plain controller and loads its view.
  KivoHostSurface();
  /// Stops the redraw handler; the embedded controller, if still attached,
  /// goes with the host controller's view tree.
  ~KivoHostSurface();
  KivoHostSurface(const KivoHostSurface&) = delete;
  KivoHostSurface& operator=(const KivoHostSurface&) = delete;

  /// The host's own controller, whose view is the screen's root view.
  const std::shared_ptr<UIViewController>& controller() const { return controller_; }
  /// The embedded controller, until `release`.
  const std::shared_ptr<UIViewController>& embedded() const { return embedded_; }
  Appearance appearance() const { return appearance_; }

  /// Remembers `child` as the embedded controller (held strongly until
  /// `release`) and runs `addToController`, which embeds it in `controller()`
  /// the way the child itself does. A controller attached while the screen is
  /// shown gets no appearance events from the host. Throws std::logic_error
  /// when a controller is already attached, std::invalid_argument for null.
  void attach(std::shared_ptr<UIViewController> child, const std::function<void()>& addToController);

  /// `appearBegin` then `appearEnd`, with nothing run in between.
  void appear();
  /// The host controller begins to appear (`viewWillAppear(false)`), then a
  /// layout pass.
  void appearBegin();
  /// The host controller has appeared (`viewDidAppear(false)`).
  void appearEnd();
  /// `disappearBegin` then `disappearEnd`, with nothing run in between.
  void disappear();
  /// The host controller begins to disappear (`viewWillDisappear(false)`).
  void disappearBegin();
  /// The host controller has disappeared (`viewDidDisappear(false)`).
  void disappearEnd();

  /// A layout pass: the root view's `layoutIfNeeded`, which reaches the host
  /// controller's `viewDidLayoutSubviews` and through it the children's.
  void layout();
  /// Sets the embedded controller's view frame, then a layout pass. Throws
  /// std::logic_error without an embedded controller.
  void moveView(CGRect frame);
  /// Hides or shows the embedded controller's view. Throws std::logic_error
  /// without an embedded controller.
  void setViewHidden(bool hidden);

  /// A one-finger single tap at `screenPoint`: every tap recogniser needing
  /// one tap on the view hit and on its ancestors, innermost first, receives
  /// `ended` at that point. Throws std::runtime_error when nothing receives it.
  void tap(CGPoint screenPoint);
  /// One pinch step at `at` (default: the centre of the main screen), sent to
  /// the first pinch recogniser on the view hit or its ancestors. The fingers
  /// stay on the view that got `began`: later steps go to that recogniser
  /// even when their point hits elsewhere, until a step ends the pinch
  /// (`ended`, `cancelled`, `failed`) or the recogniser leaves the screen.
  /// A step with no pinch in progress is hit-tested like `began`, and unless
  /// it ends the pinch the fingers then stay there too. Throws
  /// std::runtime_error when nothing receives it.
  void pinch(UIGestureRecognizerState state, double factor, std::optional<CGPoint> at = std::nullopt);

  /// The alert presented by the host controller or by any controller in its
  /// tree (the topmost one in a presentation chain), or null.
  std::shared_ptr<UIAlertController> presentedAlert() const;
  /// The user taps the presented alert's first action of `style`. Throws
  /// std::runtime_error when no alert is presented or it has no such action.
  void alert(UIAlertActionStyle style);

  /// Draws the screen at this moment into `context`, whose CTM maps the
  /// screen's points to its pixels (the screen's scale): the root view fitted
  /// to the screen, then the presented controllers' views as `presentedAlert`
  /// finds them, the topmost last. Animations show their presentation values
  /// at the current media time.
  void renderInContext(CGContext& context);

  // --- For GUI hosts --------------------------------------------------------

  /// The surface in points (the main screen's bounds) and its pixels per point.
  CGSize size() const;
  CGFloat scale() const;
  /// The host's window now has `size` points: the main screen takes it, then
  /// a layout pass. Each side from 1 to 16384, else std::invalid_argument.
  void resize(CGSize size);

  enum class PixelOrder { rgba, bgra };
  /// Draws the screen now into the host's `width` x `height` pixels, 4 bytes
  /// each in `order`, opaque (alpha 255), rows `bytesPerRow` apart, the
  /// surface scaled to fill them (size() x scale() gives one screen pixel
  /// each). Clears needsRedraw. Throws std::invalid_argument for no pixels,
  /// a side beyond 16384, more than 2^25 pixels or rows shorter than
  /// `width` x 4 bytes. Allocates only when the size changes.
  void render(std::uint8_t* pixels, int width, int height, std::size_t bytesPerRow,
              PixelOrder order = PixelOrder::rgba);
  /// Whether the screen may look different from the last render (always
  /// before the first).
  bool needsRedraw() const;
  /// `handler` is called on the main queue whenever a redraw is due, at most
  /// `maximumRate` times a second (checked at that rate; 60 when the host does
  /// not know its display's). None stops the calls. A handler may render,
  /// resize, tap or pinch, but not destroy the surface.
  void setRedrawHandler(std::function<void()> handler, double maximumRate = 60);

  /// Removes the embedded controller's view from its superview (a controller
  /// that has appeared then gets its disappearance callbacks from the view
  /// system) and the controller from its parent, and drops the host's
  /// reference (and any pinch in progress). Throws std::logic_error without
  /// an embedded controller.
  void release();

 private:
  void fitToScreen();
  /// The views presented from `controller`'s tree, bottom to top.
  void renderPresented(CGContext& context, const UIViewController& controller, CGRect screen);
  void requireEmbedded(const char* step) const;
  struct Redraw;
  static void scheduleRedrawCheck(const std::shared_ptr<Redraw>& redraw);

 public:
  /// What keeps the screen moving: an animation under way, and the shortest
  /// frame interval of live content shown (0: none).
  struct Motion {
    bool animating = false;
    double liveInterval = 0;
  };

 private:
  Motion motionAt(double time) const;
  void requireAppearance(const char* step, Appearance expected) const;
  /// The view hit at `screenPoint`, or null; also null while an alert covers
  /// the screen.
  std::shared_ptr<UIView> hitTest(CGPoint screenPoint);

  std::shared_ptr<UIViewController> controller_;
  std::shared_ptr<UIViewController> embedded_;
  Appearance appearance_ = Appearance::disappeared;
  // The recogniser of the pinch in progress; weak, as the host holds nothing
  // of the embedded controller but the controller itself.
  std::weak_ptr<UIPinchGestureRecognizer> pinching_;
  // What the last render showed, to tell whether the next one is due.
  struct Drawn;
  std::unique_ptr<Drawn> drawn_;
  // The redraw handler's state, held weakly by its queued checks.
  std::shared_ptr<Redraw> redraw_;
};
