#pragma once
// KivoCameraAuthorization: the camera permission for hosts, and the alert
// that leads the user to the application's settings page. Class methods only.
// Thread-safe
// The answer and the alert reach the main queue whichever queue asks.

#include <functional>
#include <memory>

class UIViewController;

class KivoCameraAuthorization {
 public:
  /// True exactly when video access is authorised. Any thread; synchronous.
  static bool isAuthorized();

  /// Always asks the platform for access; 0.1 s after its answer, calls
  /// `block` (if any) with the answer on the main queue.
  static void isAuthorizedWithBlock(std::function<void(bool authorized)> block);

  /// Queues on the main queue an alert over `controller` (nothing without
  /// one): title and message from the text keys, a cancel action that only
  /// closes it, and a settings action that opens the application's settings.
  static void promptToAppSettings(const std::shared_ptr<UIViewController>& controller);
};
