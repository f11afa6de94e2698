#include "UIKit/UIAlertController.h"

#include <cmath>
#include <vector>

#include "CoreGraphics/CGContext.h"
#include "Dispatch/Dispatch.h"
#include "UIKit/UIScreen.h"

namespace {

// The dialog's measures, in points.
constexpr CGFloat kDialogWidth = 270;
constexpr CGFloat kCornerRadius = 14;
constexpr CGFloat kSideInset = 16;
constexpr CGFloat kTopInset = 20;
constexpr CGFloat kParagraphGap = 4;
constexpr CGFloat kBottomInset = 20;
constexpr CGFloat kActionHeight = 44;
constexpr CGFloat kActionInset = 8;

constexpr CGColor kPanelColor{0.97, 0.97, 0.97, 1};
constexpr CGColor kTextColor{0, 0, 0, 1};
constexpr CGColor kSeparatorColor{0.78, 0.78, 0.8, 1};
constexpr CGColor kTintColor{0, 0.48, 1, 1};

// An action's title centred in its cell.
void drawAction(CGContext& context, const UIAlertAction& action, CGRect cell) {
  const CGTextStyle style{17, action.style() == UIAlertActionStyle::cancel ? CGFontWeight::bold : CGFontWeight::regular,
                          kTintColor};
  const CGFloat width = cell.size.width - 2 * kActionInset;
  const CGFloat height = CGContext::sizeOfText(action.title(), style, width).height;
  context.drawText(action.title(),
                   CGRectMake(cell.origin.x + kActionInset, cell.midY() - height / 2, width, height), style);
}

CGFloat hairlineAt(CGFloat scale) { return scale > 0 ? 1 / scale : 1; }

// Where each part of the dialog goes in a view of `area`, with separators
// `hairline` points thick (one pixel at the drawing's scale).
struct DialogLayout {
  CGRect dialog;
  CGRect title;
  CGRect message;
  std::vector<CGRect> separators;
  std::vector<UIAlertController::ActionButton> buttons;
};

DialogLayout layOut(const UIAlertController& alert, CGRect area, CGFloat hairline) {
  DialogLayout layout;
  const CGTextStyle titleStyle{17, CGFontWeight::bold, kTextColor};
  const CGTextStyle messageStyle{13, CGFontWeight::regular, kTextColor};
  const CGFloat textWidth = kDialogWidth - 2 * kSideInset;
  const std::string& title = alert.title();
  const std::string& message = alert.message();
  const CGFloat titleHeight = title.empty() ? 0 : CGContext::sizeOfText(title, titleStyle, textWidth).height;
  const CGFloat messageHeight = message.empty() ? 0 : CGContext::sizeOfText(message, messageStyle, textWidth).height;
  const CGFloat gap = title.empty() || message.empty() ? 0 : kParagraphGap;
  const CGFloat textHeight = kTopInset + titleHeight + gap + messageHeight + kBottomInset;

  const auto& actions = alert.actions();
  const bool sideBySide = actions.size() == 2;
  const std::size_t rows = sideBySide ? 1 : actions.size();
  const CGFloat height = textHeight + static_cast<CGFloat>(rows) * (hairline + kActionHeight);
  layout.dialog = CGRectMake(area.midX() - kDialogWidth / 2, area.midY() - height / 2, kDialogWidth, height);
  const CGFloat left = layout.dialog.origin.x;
  CGFloat y = layout.dialog.origin.y + kTopInset;
  layout.title = CGRectMake(left + kSideInset, y, textWidth, titleHeight);
  y += titleHeight + gap;
  layout.message = CGRectMake(left + kSideInset, y, textWidth, messageHeight);
  y = layout.dialog.origin.y + textHeight;

  if (sideBySide) {
    // The cancel action on the left.
    const std::size_t first =
        actions[1]->style() == UIAlertActionStyle::cancel && actions[0]->style() != UIAlertActionStyle::cancel ? 1
                                                                                                              : 0;
    const CGFloat half = (kDialogWidth - hairline) / 2;
    layout.separators = {CGRectMake(left, y, kDialogWidth, hairline),
                         CGRectMake(left + half, y + hairline, hairline, kActionHeight)};
    layout.buttons = {{actions[first], CGRectMake(left, y + hairline, half, kActionHeight)},
                      {actions[1 - first], CGRectMake(left + half + hairline, y + hairline, half, kActionHeight)}};
    return layout;
  }
  // One action a row, the cancel action last.
  for (const bool cancelPass : {false, true}) {
    for (const auto& action : actions) {
      if ((action->style() == UIAlertActionStyle::cancel) != cancelPass) continue;
      layout.separators.push_back(CGRectMake(left, y, kDialogWidth, hairline));
      layout.buttons.push_back({action, CGRectMake(left, y + hairline, kDialogWidth, kActionHeight)});
      y += hairline + kActionHeight;
    }
  }
  return layout;
}

// Draws the alert's dialog centred in its bounds; the dimming is the
// layer's background.
class AlertLayer final : public CALayer {
 public:
  explicit AlertLayer(std::weak_ptr<const UIAlertController> alert) : alert_(std::move(alert)) {}

  void drawInContext(CGContext& context) override {
    KIVO_ASSERT_MAIN_THREAD();
    const auto alert = alert_.lock();
    if (!alert) return;
    // Separators are one pixel thick at the context's scale.
    const CGAffineTransform ctm = context.getCTM();
    const DialogLayout layout = layOut(*alert, bounds(), hairlineAt(std::hypot(ctm.a, ctm.b)));

    context.setFillColor(kPanelColor);
    context.fillRoundedRect(layout.dialog, kCornerRadius);
    if (!alert->title().empty())
      context.drawText(alert->title(), layout.title, CGTextStyle{17, CGFontWeight::bold, kTextColor});
    if (!alert->message().empty())
      context.drawText(alert->message(), layout.message, CGTextStyle{13, CGFontWeight::regular, kTextColor});
    context.setFillColor(kSeparatorColor);
    for (const CGRect& separator : layout.separators) context.fillRect(separator);
    for (const auto& button : layout.buttons) drawAction(context, *button.action, button.frame);
  }

 private:
  std::weak_ptr<const UIAlertController> alert_;
};

class AlertView final : public UIView {
 public:
  AlertView(CGRect frame, std::weak_ptr<const UIAlertController> alert) : UIView(frame), alert_(std::move(alert)) {}

 protected:
  std::shared_ptr<CALayer> makeLayer() const override { return std::make_shared<AlertLayer>(alert_); }

 private:
  std::weak_ptr<const UIAlertController> alert_;
};

}  // namespace

std::shared_ptr<UIAlertAction> UIAlertAction::actionWithTitle(std::string title, UIAlertActionStyle style,
                                                              Handler handler) {
  return std::make_shared<UIAlertAction>(std::move(title), style, std::move(handler));
}

std::shared_ptr<UIAlertController> UIAlertController::alertControllerWithTitle(std::string title,
                                                                               std::string message,
                                                                               UIAlertControllerStyle style) {
  return std::make_shared<UIAlertController>(std::move(title), std::move(message), style);
}

void UIAlertController::loadView() {
  // The layer holds the alert weakly: the alert owns its view.
  auto view = std::make_shared<AlertView>(UIScreen::main().bounds(),
                                          std::static_pointer_cast<const UIAlertController>(shared_from_this()));
  view->setBackgroundColor({0, 0, 0, 0.4});
  setView(std::move(view));
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

std::vector<UIAlertController::ActionButton> UIAlertController::actionButtons(CGRect bounds, CGFloat scale) const {
  KIVO_ASSERT_MAIN_THREAD();
  return layOut(*this, bounds, hairlineAt(scale)).buttons;
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
