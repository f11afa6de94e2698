#pragma once
// The shared application: idle timer, open-URL requests and the active
// state. One per process; the world that owns the platform sets it up and
// resets it when it goes away.
// Thread-safe
// Except the platform calls setIdleTimerDisabled and openURL: Thread-bound:
// main.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "Foundation/NotificationCenter.h"

/// The URL of the application's own page in the system settings.
inline constexpr char UIApplicationOpenSettingsURLString[] = "app-settings:";

/// Posted on the default centre, with the shared application as the object.
inline constexpr char UIApplicationDidBecomeActiveNotification[] = "UIApplicationDidBecomeActiveNotification";
inline constexpr char UIApplicationWillResignActiveNotification[] = "UIApplicationWillResignActiveNotification";

enum class UIApplicationState : std::int64_t { active = 0, inactive = 1, background = 2 };

using UIApplicationOpenURLOptions = UserInfo;
using UIApplicationOpenURLCompletion = std::function<void(bool success)>;

class UIApplication {
 public:
  static UIApplication& shared();

  bool isIdleTimerDisabled() const { return idleTimerDisabled_.load(std::memory_order_relaxed); }
  /// Stores the setting and traces `application setIdleTimerDisabled: B`, every
  /// time, even when the value does not change. Main thread.
  void setIdleTimerDisabled(bool disabled);

  /// Traces `application openURL: URL` and asks the system to open it. The
  /// system opens any URL with a scheme ("app-settings:", "https://…"). The
  /// completion, if any, gets the outcome later on the main queue. Main thread.
  void openURL(const std::string& url, const UIApplicationOpenURLOptions& options,
               UIApplicationOpenURLCompletion completion);

  UIApplicationState applicationState() const {
    return static_cast<UIApplicationState>(state_.load(std::memory_order_relaxed));
  }

  // --- Driver-only: set by the world that hosts the process (no trace) -----
  /// The setting the application starts with.
  void setIdleTimerDisabledSilently(bool disabled) { idleTimerDisabled_.store(disabled, std::memory_order_relaxed); }
  void setApplicationState(UIApplicationState state) {
    state_.store(static_cast<std::int64_t>(state), std::memory_order_relaxed);
  }
  /// Enters the active state and posts UIApplicationDidBecomeActiveNotification
  /// on the calling thread.
  void becomeActive();
  /// Enters the inactive state and posts UIApplicationWillResignActiveNotification
  /// on the calling thread (before the state changes, as the name says).
  void resignActive();
  /// Back to a fresh process: idle timer enabled, active.
  void resetToDefaults();

 private:
  UIApplication() = default;
  std::atomic<bool> idleTimerDisabled_{false};
  std::atomic<std::int64_t> state_{static_cast<std::int64_t>(UIApplicationState::active)};
};
