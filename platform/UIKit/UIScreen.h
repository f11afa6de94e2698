#pragma once
// The main screen: its bounds in points and its scale (pixels per point).
// One per process, set by the world and read from any queue.
//
// Thread-safe.

#include <mutex>

#include "CoreGraphics/CGGeometry.h"

class UIScreen {
 public:
  static constexpr CGFloat kDefaultWidth = 375;
  static constexpr CGFloat kDefaultHeight = 812;

  static UIScreen& main();

  CGRect bounds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bounds_;
  }
  /// Pixels per point: 1, 2 or 3.
  CGFloat scale() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scale_;
  }

  // --- Driver-only: set by the world that hosts the process -----------------
  void setBounds(CGRect bounds) {
    std::lock_guard<std::mutex> lock(mutex_);
    bounds_ = bounds;
  }
  void setScale(CGFloat scale) {
    std::lock_guard<std::mutex> lock(mutex_);
    scale_ = scale;
  }
  /// Back to a fresh process: 375 × 812 points at the origin, scale 1.
  void resetToDefaults() {
    setBounds(CGRectMake(0, 0, kDefaultWidth, kDefaultHeight));
    setScale(1);
  }

 private:
  UIScreen() = default;
  mutable std::mutex mutex_;
  CGRect bounds_ = CGRectMake(0, 0, kDefaultWidth, kDefaultHeight);
  CGFloat scale_ = 1;
};
