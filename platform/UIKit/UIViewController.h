#pragma once
// View controllers: a lazily loaded root view, the appearance and layout
// lifecycle forwarded to child controllers, containment and presentation.
// Main thread only.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "UIKit/UIView.h"

class UIViewController : public std::enable_shared_from_this<UIViewController> {
 public:
  static std::shared_ptr<UIViewController> create() { return std::make_shared<UIViewController>(); }
  UIViewController() = default;
  virtual ~UIViewController() = default;
  UIViewController(const UIViewController&) = delete;
  UIViewController& operator=(const UIViewController&) = delete;

  /// The root view. The first read loads it: `loadView()` makes a plain view
  /// with the main screen's bounds as its frame, then `viewDidLoad()` runs.
  std::shared_ptr<UIView> view();
  bool isViewLoaded() const { return view_ != nullptr; }
  std::shared_ptr<UIView> viewIfLoaded() const { return view_; }

  // Lifecycle. The base implementations forward each event to the child
  // controllers, in the order they were added.
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool animated);
  virtual void viewDidAppear(bool animated);
  virtual void viewWillDisappear(bool animated);
  virtual void viewDidDisappear(bool animated);
  virtual void viewDidLayoutSubviews();

  // Containment.
  void addChildViewController(const std::shared_ptr<UIViewController>& child);
  void removeFromParentViewController();
  const std::vector<std::shared_ptr<UIViewController>>& childViewControllers() const { return children_; }
  std::shared_ptr<UIViewController> parentViewController() const { return parent_.lock(); }

  // Presentation (without animation: the presented controller is in place
  // when the call returns; `completion` is queued on the main queue).
  void presentViewController(const std::shared_ptr<UIViewController>& controller, bool animated,
                             std::function<void()> completion);
  void dismissViewControllerAnimated(bool animated, std::function<void()> completion);
  std::shared_ptr<UIViewController> presentedViewController() const { return presented_; }
  std::shared_ptr<UIViewController> presentingViewController() const { return presenting_.lock(); }

  /// How the trace names this controller as a receiver.
  virtual std::string traceName() const { return "UIViewController"; }
  /// How the trace describes this controller when it is presented.
  virtual std::string traceDescription() const { return traceName(); }

 protected:
  virtual void loadView();
  void setView(std::shared_ptr<UIView> view);

 private:
  std::shared_ptr<UIView> view_;
  std::vector<std::shared_ptr<UIViewController>> children_;
  std::weak_ptr<UIViewController> parent_;
  std::shared_ptr<UIViewController> presented_;
  std::weak_ptr<UIViewController> presenting_;
};
