#pragma once
// Alerts: a title, a message and actions with handlers. Main thread only.
//
// An alert's view covers the screen, dimming what is under it, and draws the
// dialog in its middle: a rounded light panel 270 points wide with the title
// (bold) and the message as centred paragraphs, and under a thin line the
// actions' titles in the tint colour, two side by side (the cancel action
// bold on the left) or each in its own row.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "UIKit/UIViewController.h"

enum class UIAlertActionStyle : std::int64_t { defaultStyle = 0, cancel = 1, destructive = 2 };
enum class UIAlertControllerStyle : std::int64_t { actionSheet = 0, alert = 1 };

class UIAlertAction {
 public:
  using Handler = std::function<void(UIAlertAction&)>;
  static std::shared_ptr<UIAlertAction> actionWithTitle(std::string title, UIAlertActionStyle style,
                                                        Handler handler);
  UIAlertAction(std::string title, UIAlertActionStyle style, Handler handler)
      : title_(std::move(title)), style_(style), handler_(std::move(handler)) {}

  const std::string& title() const { return title_; }
  UIAlertActionStyle style() const { return style_; }
  const Handler& handler() const { return handler_; }

 private:
  std::string title_;
  UIAlertActionStyle style_;
  Handler handler_;
};

class UIAlertController : public UIViewController {
 public:
  static std::shared_ptr<UIAlertController> alertControllerWithTitle(std::string title, std::string message,
                                                                     UIAlertControllerStyle style);
  UIAlertController(std::string title, std::string message, UIAlertControllerStyle style)
      : title_(std::move(title)), message_(std::move(message)), style_(style) {}

  const std::string& title() const { return title_; }
  const std::string& message() const { return message_; }
  UIAlertControllerStyle preferredStyle() const { return style_; }
  void addAction(std::shared_ptr<UIAlertAction> action) { actions_.push_back(std::move(action)); }
  const std::vector<std::shared_ptr<UIAlertAction>>& actions() const { return actions_; }

  /// An action's button as the alert's view draws it.
  struct ActionButton {
    std::shared_ptr<UIAlertAction> action;
    CGRect frame;  // in the view's points
  };
  /// Where the view puts the actions' buttons when its bounds are `bounds`
  /// and it is drawn at `scale` pixels a point (the separators between them
  /// are one pixel thick), in drawing order; for a host that finds the
  /// action under a pointer.
  std::vector<ActionButton> actionButtons(CGRect bounds, CGFloat scale) const;

  /// Driver-only: the user taps the first action of `style`: the alert is
  /// dismissed, then the action's handler runs. Returns false when there is
  /// no such action.
  bool tapActionWithStyle(UIAlertActionStyle style);

  std::string traceName() const override { return "UIAlertController"; }
  /// alert "TITLE" "MESSAGE" followed by each action as STYLE "TITLE".
  std::string traceDescription() const override;

 protected:
  void loadView() override;

 private:
  std::string title_;
  std::string message_;
  UIAlertControllerStyle style_;
  std::vector<std::shared_ptr<UIAlertAction>> actions_;
};
