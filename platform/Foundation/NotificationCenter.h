#pragma once
// Notifications and the default notification centre.
// Thread-safe
// Any thread may register, remove or post; handlers run synchronously on the
// posting thread, in registration order, outside the centre's lock (so a
// handler may register, remove or post itself).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Foundation/NSError.h"
#include "Foundation/ThreadSafety.h"
#include "Foundation/WhileAlive.h"

/// A number object of the platform: integer, floating or Boolean.
class NSNumber {
 public:
  NSNumber(std::int64_t value) : value_(value) {}  // NOLINT(google-explicit-constructor)
  NSNumber(int value) : value_(std::int64_t{value}) {}  // NOLINT(google-explicit-constructor)
  NSNumber(double value) : value_(value) {}  // NOLINT(google-explicit-constructor)
  NSNumber(bool value) : value_(value) {}  // NOLINT(google-explicit-constructor)

  std::int64_t integerValue() const;
  double doubleValue() const;
  bool boolValue() const { return integerValue() != 0 || doubleValue() != 0; }
  bool isFloatingPoint() const { return std::holds_alternative<double>(value_); }

  friend bool operator==(const NSNumber&, const NSNumber&) = default;

 private:
  std::variant<std::int64_t, double, bool> value_;
};

/// A value of a user-info dictionary: a number, a text or an error.
using UserInfoValue = std::variant<NSNumber, std::string, NSError>;
using UserInfo = std::map<std::string, UserInfoValue, std::less<>>;

/// The integer of a value that is a number object; none for texts and errors.
std::optional<std::int64_t> integerValueOf(const UserInfoValue& value);

struct Notification {
  std::string name;
  /// The posting object, compared by identity only; null for none.
  const void* object = nullptr;
  std::optional<UserInfo> userInfo;
};

class NotificationCenter {
 public:
  using Handler = std::function<void(const Notification&)>;

  /// The process's default centre.
  static NotificationCenter& defaultCenter();

  /// Registers `handler` for notifications called `name` (empty: every name)
  /// posted by `object` (null: any object). The registration belongs to
  /// `observer`, which it holds weakly: once the observer is gone the
  /// registration is skipped and dropped.
  void addObserver(std::weak_ptr<const void> observer, Handler handler, std::string name,
                   const void* object);

  /// The selector form: calls `(observer->*selector)(notification)` while the
  /// observer lives.
  template <class T>
  void addObserver(const std::shared_ptr<T>& observer, void (T::*selector)(const Notification&),
                   std::string name, const void* object) {
    addObserver(
        std::weak_ptr<const void>(observer),
        whileAlive(std::weak_ptr<T>(observer), [selector](const std::shared_ptr<T>& self,
                                                          const Notification& notification) {
          ((*self).*selector)(notification);
        }),
        std::move(name), object);
  }

  /// The selector form for handlers without an argument.
  template <class T>
  void addObserver(const std::shared_ptr<T>& observer, void (T::*selector)(), std::string name,
                   const void* object) {
    addObserver(
        std::weak_ptr<const void>(observer),
        whileAlive(std::weak_ptr<T>(observer),
                   [selector](const std::shared_ptr<T>& self, const Notification&) { ((*self).*selector)(); }),
        std::move(name), object);
  }

  /// Removes every registration of `observer`, for every name and object.
  void removeObserver(const void* observer);

  /// Delivers the notification to every matching live registration.
  void post(const Notification& notification);
  void post(std::string name, const void* object, std::optional<UserInfo> userInfo = std::nullopt);

  /// Drops every registration (the platform is being torn down).
  void removeAllObservers();

  /// Live registrations, for diagnostics and tests.
  std::size_t registrationCount() const;

 private:
  struct Registration {
    std::weak_ptr<const void> observer;
    const void* observerIdentity;
    std::string name;
    const void* object;
    Handler handler;
    bool removed = false;  // guarded by mutex_
  };

  mutable kivo::Mutex mutex_;
  std::vector<std::shared_ptr<Registration>> registrations_ KIVO_GUARDED_BY(mutex_);
};
