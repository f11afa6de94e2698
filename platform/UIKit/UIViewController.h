#pragma once
// View controllers: a lazily loaded root view, the appearance and layout
// lifecycle forwarded to child controllers, containment and presentation.
// Thread-bound: main
//
// Each controller remembers what the view system last told it about its
// appearance:
//
//   disappeared --will-appear--> appearing --did-appear--> appeared
//   appeared --will-disappear--> disappearing --did-disappear--> disappeared
//
// A controller hears it from its host (`beginAppearanceTransition`,
// `endAppearanceTransition`) or from its parent, whose base lifecycle methods
// forward each event to the children. When the root view of a controller
// that is appearing or appeared leaves its superview, the view system sends
// it the disappearance it has not had yet (`viewWillDisappear(false)`, then
// `viewDidDisappear(false)`), as a view leaving a visible window does; one
// that is disappearing gets only `viewDidDisappear(false)`.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Dispatch/Dispatch.h"
#include "UIKit/UIView.h"

class UIViewController : public std::enable_shared_from_this<UIViewController> {
 public:
  static std::shared_ptr<UIViewController> create() { return std::make_shared<UIViewController>(); }
  UIViewController() = default;
  /// On whichever thread lets go last; see handOverToMain.
  virtual ~UIViewController();
  UIViewController(const UIViewController&) = delete;
  UIViewController& operator=(const UIViewController&) = delete;

  /// The root view. The first read loads it: `loadView()` makes a plain view
  /// with the main screen's bounds as its frame, then `viewDidLoad()` runs.
  std::shared_ptr<UIView> view();
  bool isViewLoaded() const {
    KIVO_ASSERT_MAIN_THREAD();
    return view_ != nullptr;
  }
  std::shared_ptr<UIView> viewIfLoaded() const {
    KIVO_ASSERT_MAIN_THREAD();
    return view_;
  }

  // Lifecycle. The base implementations forward each event to the child
  // controllers, in the order they were added.
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool animated);
  virtual void viewDidAppear(bool animated);
  virtual void viewWillDisappear(bool animated);
  virtual void viewDidDisappear(bool animated);
  virtual void viewDidLayoutSubviews();

  enum class Appearance { disappeared, appearing, appeared, disappearing };
  Appearance appearance() const {
    KIVO_ASSERT_MAIN_THREAD();
    return appearance_;
  }
  /// The host announces that this controller starts to appear or disappear:
  /// `viewWillAppear` or `viewWillDisappear`.
  void beginAppearanceTransition(bool isAppearing, bool animated);
  /// The host ends the transition begun last: `viewDidAppear` or
  /// `viewDidDisappear`. Does nothing when no transition is under way.
  void endAppearanceTransition(bool animated);

  // Containment.
  void addChildViewController(const std::shared_ptr<UIViewController>& child);
  void removeFromParentViewController();
  const std::vector<std::shared_ptr<UIViewController>>& childViewControllers() const {
    KIVO_ASSERT_MAIN_THREAD();
    return children_;
  }
  std::shared_ptr<UIViewController> parentViewController() const {
    KIVO_ASSERT_MAIN_THREAD();
    return parent_.lock();
  }

  // Presentation (without animation: the presented controller is in place
  // when the call returns; `completion` is queued on the main queue).
  void presentViewController(const std::shared_ptr<UIViewController>& controller, bool animated,
                             std::function<void()> completion);
  void dismissViewControllerAnimated(bool animated, std::function<void()> completion);
  std::shared_ptr<UIViewController> presentedViewController() const {
    KIVO_ASSERT_MAIN_THREAD();
    return presented_;
  }
  std::shared_ptr<UIViewController> presentingViewController() const {
    KIVO_ASSERT_MAIN_THREAD();
    return presenting_.lock();
  }

  /// How the trace names this controller as a receiver.
  virtual std::string traceName() const { return "UIViewController"; }
  /// How the trace describes this controller when it is presented.
  virtual std::string traceDescription() const { return traceName(); }

 protected:
  virtual void loadView();
  void setView(std::shared_ptr<UIView> view);
  /// Views and controllers live on the main thread. A controller let go of
  /// elsewhere (by the last block of a worker queue that held it) hands the
  /// references it holds to them to the main queue, so that they are
  /// destroyed there: a subclass passes its own, this class its root view,
  /// children and presented controller. Without an executor no other thread
  /// runs, and they go where they are.
  template <class... References>
  static void handOverToMain(References&&... references) {
    if (isMainThread() || !isExecutorInstalled()) return;
    DispatchQueue::main().async([... held = std::move(references)] {});
  }

 private:
  friend class UIView;
  /// Records `next`, then calls the lifecycle method that announces it.
  void sendAppearance(Appearance next, bool animated) KIVO_REQUIRES(mainThread);
  /// The root view left its superview.
  void rootViewRemoved() KIVO_REQUIRES(mainThread);

  std::shared_ptr<UIView> view_ KIVO_GUARDED_BY(mainThread);
  Appearance appearance_ KIVO_GUARDED_BY(mainThread) = Appearance::disappeared;
  std::vector<std::shared_ptr<UIViewController>> children_ KIVO_GUARDED_BY(mainThread);
  std::weak_ptr<UIViewController> parent_ KIVO_GUARDED_BY(mainThread);
  std::shared_ptr<UIViewController> presented_ KIVO_GUARDED_BY(mainThread);
  std::weak_ptr<UIViewController> presenting_ KIVO_GUARDED_BY(mainThread);
};
