#pragma once
// Key-value observation of one property.
// Thread-safe
// The property may be changed and observed from any thread; observers are
// called synchronously on the thread that changes the value, outside the
// property's lock.
//
// `observe` returns a KeyValueObservation token. Destroying, resetting or
// replacing the token ends the observation; a token that outlives its
// property does nothing; ending an observation while notifications are being
// delivered is safe (an ended observation is not called again).

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "Foundation/ThreadSafety.h"

enum NSKeyValueObservingOptions : unsigned {
  NSKeyValueObservingOptionNew = 0x01,
  NSKeyValueObservingOptionOld = 0x02,
};

template <class T>
struct KeyValueChange {
  std::optional<T> newValue;  // present when the observation asked for it
  std::optional<T> oldValue;
};

namespace kvo_detail {
// Registrations alive in the process, ended ones a property still keeps
// included.
inline std::atomic<std::size_t> liveRegistrations{0};

struct RegistrationBase {
  std::atomic<bool> active{true};
  RegistrationBase() { liveRegistrations.fetch_add(1, std::memory_order_relaxed); }
  RegistrationBase(const RegistrationBase&) = delete;
  RegistrationBase& operator=(const RegistrationBase&) = delete;
  virtual ~RegistrationBase() { liveRegistrations.fetch_sub(1, std::memory_order_relaxed); }
};
}  // namespace kvo_detail

/// The token of one observation.
class [[nodiscard]] KeyValueObservation {
 public:
  KeyValueObservation() = default;
  explicit KeyValueObservation(std::shared_ptr<kvo_detail::RegistrationBase> registration)
      : registration_(std::move(registration)) {}
  KeyValueObservation(KeyValueObservation&& other) noexcept = default;
  KeyValueObservation& operator=(KeyValueObservation&& other) noexcept {
    if (this != &other) {
      invalidate();
      registration_ = std::move(other.registration_);
    }
    return *this;
  }
  KeyValueObservation(const KeyValueObservation&) = delete;
  KeyValueObservation& operator=(const KeyValueObservation&) = delete;
  ~KeyValueObservation() { invalidate(); }

  /// Ends the observation; idempotent.
  void invalidate() {
    if (registration_) registration_->active = false;
    registration_.reset();
  }
  bool isActive() const { return registration_ && registration_->active; }

  /// Registrations alive in the whole process, whether their observation is
  /// active or has ended and its property still holds it (for leak tests).
  static std::size_t liveRegistrationCount() {
    return kvo_detail::liveRegistrations.load(std::memory_order_relaxed);
  }

 private:
  std::shared_ptr<kvo_detail::RegistrationBase> registration_;
};

/// A property whose changes can be observed.
template <class T>
class ObservableProperty {
 public:
  using Handler = std::function<void(const KeyValueChange<T>&)>;

  explicit ObservableProperty(T initial = T{}) : state_(std::make_shared<State>(std::move(initial))) {}

  T get() const {
    kivo::MutexLock lock(state_->mutex);
    return state_->value;
  }

  /// Stores `value` and reports the change to every active observer, even
  /// when the value is unchanged (as the platform does for explicit sets).
  void set(T value) {
    T old;
    std::vector<std::shared_ptr<Registration>> ended;  // released after the lock
    std::vector<std::shared_ptr<Registration>> snapshot;
    {
      kivo::MutexLock lock(state_->mutex);
      old = std::exchange(state_->value, value);
      ended = takeEndedLocked();
      snapshot = state_->registrations;
    }
    for (const auto& registration : snapshot) {
      if (!registration->active) continue;
      KeyValueChange<T> change;
      if (registration->options & NSKeyValueObservingOptionNew) change.newValue = value;
      if (registration->options & NSKeyValueObservingOptionOld) change.oldValue = old;
      registration->handler(change);
    }
  }

  /// Registers `handler`; also drops the ended observations (see
  /// takeEndedLocked).
  KeyValueObservation observe(unsigned options, Handler handler) {
    auto registration = std::make_shared<Registration>(options, std::move(handler));
    std::vector<std::shared_ptr<Registration>> ended;  // released after the lock
    {
      kivo::MutexLock lock(state_->mutex);
      ended = takeEndedLocked();
      state_->registrations.push_back(registration);
    }
    return KeyValueObservation(std::move(registration));
  }

  /// Active observations, for tests.
  std::size_t observerCount() const {
    kivo::MutexLock lock(state_->mutex);
    std::size_t n = 0;
    for (const auto& r : state_->registrations) n += r->active ? 1 : 0;
    return n;
  }

 private:
  struct Registration : kvo_detail::RegistrationBase {
    Registration(unsigned options_, Handler handler_) : options(options_), handler(std::move(handler_)) {}
    const unsigned options;
    const Handler handler;
  };
  struct State {
    explicit State(T initial) : value(std::move(initial)) {}
    mutable kivo::Mutex mutex;
    T value KIVO_GUARDED_BY(mutex);
    std::vector<std::shared_ptr<Registration>> registrations KIVO_GUARDED_BY(mutex);
  };
  /// Removes the ended registrations, keeping the order of the others, and
  /// returns them so that the caller lets them go (with whatever their
  /// handlers captured) outside the lock. Both `observe` and `set` prune: a
  /// property observed by many short-lived owners and rarely changed must
  /// not keep every ended registration until its next change.
  std::vector<std::shared_ptr<Registration>> takeEndedLocked() KIVO_REQUIRES(state_->mutex) {
    auto& registrations = state_->registrations;
    std::vector<std::shared_ptr<Registration>> ended;
    auto kept = registrations.begin();
    for (auto it = registrations.begin(); it != registrations.end(); ++it) {
      if (!(*it)->active) {
        ended.push_back(std::move(*it));
      } else {
        if (kept != it) *kept = std::move(*it);
        ++kept;
      }
    }
    registrations.erase(kept, registrations.end());
    return ended;
  }

  std::shared_ptr<State> state_;
};
