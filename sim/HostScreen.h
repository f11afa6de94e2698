#pragma once
// sim::HostScreen: the simulated host application's screen, in which a driver
// embeds one camera controller and which it drives through appearance,
// layout, view changes, taps, pinches and alert answers. It uses the
// platform's view system only. Main thread only.
//
// Appearance runs in four steps, each allowed only where it makes sense:
//
//   disappeared --appearBegin--> appearing --appearEnd--> shown
//   shown --disappearBegin--> disappearing --disappearEnd--> disappeared
//
// The screen starts disappeared and may appear again after it disappeared.
// Any other order (appear-end without appear-begin, appearing twice,
// disappearing while not shown, appearing while still disappearing) throws
// std::logic_error naming the step and the state, and changes nothing.
//
// The host's root view always fills the main screen: it is fitted to the
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

#include <functional>
#include <memory>
#include <optional>

#include "CoreGraphics/CGContext.h"
#include "CoreGraphics/CGGeometry.h"
#include "UIKit/UIAlertController.h"
#include "UIKit/UIGestureRecognizer.h"
#include "UIKit/UIViewController.h"

namespace sim {

class HostScreen {
 public:
  enum class Appearance { disappeared, appearing, shown, disappearing };

  /// Makes the host's own plain controller and loads its view.
  HostScreen();
  HostScreen(const HostScreen&) = delete;
  HostScreen& operator=(const HostScreen&) = delete;

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
};

}  // namespace sim
