#include "UIKit/UIViewController.h"

#include <algorithm>

#include "Dispatch/Dispatch.h"
#include "Foundation/PlatformTrace.h"
#include "UIKit/UIScreen.h"

UIViewController::~UIViewController() {
  handOverToMain(std::move(view_), std::move(children_), std::move(presented_));
}

std::shared_ptr<UIView> UIViewController::view() {
  KIVO_ASSERT_MAIN_THREAD();
  if (!view_) {
    loadView();
    if (!view_) setView(UIView::create(UIScreen::main().bounds()));
    viewDidLoad();
  }
  return view_;
}

void UIViewController::loadView() { setView(UIView::create(UIScreen::main().bounds())); }

void UIViewController::setView(std::shared_ptr<UIView> view) {
  KIVO_ASSERT_MAIN_THREAD();
  if (view_) view_->owner_.reset();
  view_ = std::move(view);
  if (view_) view_->owner_ = weak_from_this();
}

void UIViewController::viewWillAppear(bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  const auto children = children_;
  for (const auto& child : children) child->sendAppearance(Appearance::appearing, animated);
}

void UIViewController::viewDidAppear(bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  const auto children = children_;
  for (const auto& child : children) child->sendAppearance(Appearance::appeared, animated);
}

void UIViewController::viewWillDisappear(bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  const auto children = children_;
  for (const auto& child : children) child->sendAppearance(Appearance::disappearing, animated);
}

void UIViewController::viewDidDisappear(bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  const auto children = children_;
  for (const auto& child : children) child->sendAppearance(Appearance::disappeared, animated);
}

void UIViewController::beginAppearanceTransition(bool isAppearing, bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  sendAppearance(isAppearing ? Appearance::appearing : Appearance::disappearing, animated);
}

void UIViewController::endAppearanceTransition(bool animated) {
  KIVO_ASSERT_MAIN_THREAD();
  if (appearance_ == Appearance::appearing) sendAppearance(Appearance::appeared, animated);
  else if (appearance_ == Appearance::disappearing) sendAppearance(Appearance::disappeared, animated);
}

void UIViewController::sendAppearance(Appearance next, bool animated) {
  appearance_ = next;
  switch (next) {
    case Appearance::appearing: viewWillAppear(animated); break;
    case Appearance::appeared: viewDidAppear(animated); break;
    case Appearance::disappearing: viewWillDisappear(animated); break;
    case Appearance::disappeared: viewDidDisappear(animated); break;
  }
}

void UIViewController::rootViewRemoved() {
  // The removed view's caller holds this controller for the call, so the
  // callbacks may drop every other reference.
  if (appearance_ == Appearance::appearing || appearance_ == Appearance::appeared)
    sendAppearance(Appearance::disappearing, false);
  if (appearance_ == Appearance::disappearing) sendAppearance(Appearance::disappeared, false);
}

void UIViewController::viewDidLayoutSubviews() {
  KIVO_ASSERT_MAIN_THREAD();
  const auto children = children_;
  for (const auto& child : children) child->viewDidLayoutSubviews();
}

void UIViewController::addChildViewController(const std::shared_ptr<UIViewController>& child) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!child || child.get() == this) return;
  child->removeFromParentViewController();
  children_.push_back(child);
  child->parent_ = weak_from_this();
}

void UIViewController::removeFromParentViewController() {
  KIVO_ASSERT_MAIN_THREAD();
  auto parent = parent_.lock();
  parent_.reset();
  if (!parent) return;
  auto keep = shared_from_this();  // the parent may hold the last reference
  std::erase_if(parent->children_, [this](const auto& c) { return c.get() == this; });
}

void UIViewController::presentViewController(const std::shared_ptr<UIViewController>& controller, bool,
                                             std::function<void()> completion) {
  KIVO_ASSERT_MAIN_THREAD();
  if (!controller) return;
  if (isPlatformCallTraced()) tracePlatformCall(traceName(), "presentViewController:", controller->traceDescription());
  presented_ = controller;
  controller->presenting_ = weak_from_this();
  if (completion) DispatchQueue::main().async(std::move(completion));
}

void UIViewController::dismissViewControllerAnimated(bool, std::function<void()> completion) {
  KIVO_ASSERT_MAIN_THREAD();
  // Called on the presented controller or on its presenter.
  auto presenter = presented_ ? shared_from_this() : presenting_.lock();
  if (presenter && presenter->presented_) {
    presenter->presented_->presenting_.reset();
    presenter->presented_.reset();
  }
  if (completion) DispatchQueue::main().async(std::move(completion));
}
