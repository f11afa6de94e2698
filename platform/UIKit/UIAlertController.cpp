#include "UIKit/UIAlertController.h"

std::shared_ptr<UIAlertAction> UIAlertAction::actionWithTitle(std::string title, UIAlertActionStyle style,
                                                              Handler handler) {
  return std::make_shared<UIAlertAction>(std::move(title), style, std::move(handler));
}

std::shared_ptr<UIAlertController> UIAlertController::alertControllerWithTitle(std::string title,
                                                                               std::string message,
                                                                               UIAlertControllerStyle style) {
  return std::make_shared<UIAlertController>(std::move(title), std::move(message), style);
}

bool UIAlertController::tapActionWithStyle(UIAlertActionStyle style) {
  for (const auto& action : actions_) {
    if (action->style() != style) continue;
    auto keepAlert = std::static_pointer_cast<UIAlertController>(shared_from_this());
    auto keepAction = action;
    dismissViewControllerAnimated(true, nullptr);
    if (keepAction->handler()) keepAction->handler()(*keepAction);
    return true;
  }
  return false;
}

std::string UIAlertController::traceDescription() const {
  const auto quoted = [](const std::string& text) {
    std::string out = "\"";
    out.append(text);
    out.push_back('"');
    return out;
  };
  std::string out = "alert ";
  out.append(quoted(title_));
  out.push_back(' ');
  out.append(quoted(message_));
  for (const auto& action : actions_) {
    out.push_back(' ');
    switch (action->style()) {
      case UIAlertActionStyle::cancel: out.append("cancel "); break;
      case UIAlertActionStyle::destructive: out.append("destructive "); break;
      default: out.append("default "); break;
    }
    out.append(quoted(action->title()));
  }
  return out;
}
