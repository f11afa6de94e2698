#include "UIKit/UIApplication.h"

#include "Dispatch/Dispatch.h"
#include "Foundation/PlatformTrace.h"
#include "Foundation/TraceFormat.h"

namespace {

// "scheme:rest" with a scheme of a letter followed by letters, digits, + - .
bool hasScheme(const std::string& url) {
  const auto colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!isAlpha(url[0])) return false;
  for (std::size_t i = 1; i < colon; ++i) {
    const char c = url[i];
    if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

UIApplication& UIApplication::shared() {
  static UIApplication application;
  return application;
}

void UIApplication::setIdleTimerDisabled(bool disabled) {
  KIVO_ASSERT_MAIN_THREAD();
  idleTimerDisabled_.store(disabled, std::memory_order_relaxed);
  tracePlatformCall("application", "setIdleTimerDisabled:", formatBool(disabled));
}

void UIApplication::openURL(const std::string& url, const UIApplicationOpenURLOptions& /*options*/,
                            UIApplicationOpenURLCompletion completion) {
  KIVO_ASSERT_MAIN_THREAD();
  tracePlatformCall("application", "openURL:", url);
  if (!completion) return;
  DispatchQueue::main().async([completion = std::move(completion), opened = hasScheme(url)] { completion(opened); });
}

void UIApplication::becomeActive() {
  setApplicationState(UIApplicationState::active);
  NotificationCenter::defaultCenter().post(UIApplicationDidBecomeActiveNotification, this);
}

void UIApplication::resignActive() {
  NotificationCenter::defaultCenter().post(UIApplicationWillResignActiveNotification, this);
  setApplicationState(UIApplicationState::inactive);
}

void UIApplication::resetToDefaults() {
  setIdleTimerDisabledSilently(false);
  setApplicationState(UIApplicationState::active);
}
