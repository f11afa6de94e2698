#pragma once
// The current device: how it is held. One per process, set by the world
// (any time) and read from any queue.
// Thread-safe

#include <atomic>
#include <cstdint>
#include <optional>

enum class UIDeviceOrientation : std::int64_t {
  unknown = 0,
  portrait = 1,
  portraitUpsideDown = 2,
  landscapeLeft = 3,
  landscapeRight = 4,
  faceUp = 5,
  faceDown = 6,
};

/// The orientation with that raw value; none outside 0–6.
std::optional<UIDeviceOrientation> UIDeviceOrientationFromRawValue(std::int64_t rawValue);

class UIDevice {
 public:
  static UIDevice& current();

  UIDeviceOrientation orientation() const {
    return static_cast<UIDeviceOrientation>(orientation_.load(std::memory_order_relaxed));
  }

  // --- Driver-only: set by the world that hosts the process -----------------
  void setOrientation(UIDeviceOrientation orientation) {
    orientation_.store(static_cast<std::int64_t>(orientation), std::memory_order_relaxed);
  }
  /// Back to a fresh process: held in portrait.
  void resetToDefaults() { setOrientation(UIDeviceOrientation::portrait); }

 private:
  UIDevice() = default;
  std::atomic<std::int64_t> orientation_{static_cast<std::int64_t>(UIDeviceOrientation::portrait)};
};
