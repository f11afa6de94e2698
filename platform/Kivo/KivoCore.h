#pragma once
// The maker's tracker: `Kivo()` hands out the host's shared object, and its
// `Tracking_Event` takes one analytics event. Callers fetch it anew for every
// event and keep it only for that call.
//
// A host installs its tracker with ScopedKivoHost. With none installed,
// `Kivo()` returns a tracker that drops every event, so it is never null.
// Thread-safe
// `Kivo()` may be called on any queue, and trackers must accept events from
// any queue.

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "Foundation/NotificationCenter.h"

/// A parameter value: a text, or a number object (doubles for times,
/// integers for raw values). A variant whose constructors keep literals
/// unambiguous: "10010" is a text, 0 and 2.5 are numbers.
class TrackingValue : public std::variant<std::string, NSNumber> {
 public:
  TrackingValue(std::string text) : variant(std::move(text)) {}              // NOLINT(google-explicit-constructor)
  TrackingValue(const char* text) : variant(std::string(text)) {}            // NOLINT(google-explicit-constructor)
  TrackingValue(std::string_view text) : variant(std::string(text)) {}       // NOLINT(google-explicit-constructor)
  TrackingValue(NSNumber number) : variant(number) {}                        // NOLINT(google-explicit-constructor)
  template <std::integral I>
    requires(!std::same_as<I, bool>)
  TrackingValue(I integer) : variant(NSNumber(static_cast<std::int64_t>(integer))) {}  // NOLINT
  TrackingValue(double number) : variant(NSNumber(number)) {}                // NOLINT(google-explicit-constructor)

  const std::variant<std::string, NSNumber>& value() const { return *this; }
};
using TrackingParameters = std::map<std::string, TrackingValue>;

class KivoCore {
 public:
  virtual ~KivoCore() = default;

  /// Takes one event. This base tracker drops it.
  virtual void Tracking_Event(const std::string& /*name*/, const TrackingParameters& /*parameters*/) {}
};

/// The installed host tracker, or the dropping one. Never null.
std::shared_ptr<KivoCore> Kivo();

/// Installs `tracker` for its lifetime (null installs the dropping one) and
/// restores the previous one afterwards. Installers end in reverse order.
class [[nodiscard]] ScopedKivoHost {
 public:
  explicit ScopedKivoHost(std::shared_ptr<KivoCore> tracker);
  ~ScopedKivoHost();
  ScopedKivoHost(const ScopedKivoHost&) = delete;
  ScopedKivoHost& operator=(const ScopedKivoHost&) = delete;

 private:
  std::shared_ptr<KivoCore> previous_;
};
