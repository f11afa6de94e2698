#pragma once
// Key-value observation of one property. Thread-safe: the property may be
// changed and observed from any thread; observers are called synchronously on
// the thread that changes the value, outside the property's lock.
//
// `observe` returns a KeyValueObservation token. Destroying, resetting or
// replacing the token ends the observation; a token that outlives its
// property does nothing; ending an observation while notifications are being
// delivered is safe (an ended observation is not called again).

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

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
struct RegistrationBase {
  std::atomic<bool> active{true};
  virtual ~RegistrationBase() = default;
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
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->value;
  }

  /// Stores `value` and reports the change to every active observer, even
  /// when the value is unchanged (as the platform does for explicit sets).
  void set(T value) {
    T old;
    std::vector<std::shared_ptr<Registration>> snapshot;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      old = std::exchange(state_->value, value);
      std::erase_if(state_->registrations, [](const auto& r) { return !r->active; });
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

  KeyValueObservation observe(unsigned options, Handler handler) {
    auto registration = std::make_shared<Registration>(options, std::move(handler));
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->registrations.push_back(registration);
    return KeyValueObservation(registration);
  }

  /// Active observations, for tests.
  std::size_t observerCount() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
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
    mutable std::mutex mutex;
    T value;
    std::vector<std::shared_ptr<Registration>> registrations;
  };
  std::shared_ptr<State> state_;
};
