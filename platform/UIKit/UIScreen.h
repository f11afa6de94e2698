#pragma once
// The main screen: its bounds in points. One per process, set by the world
// and read from any queue.

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

  // --- Driver-only: set by the world that hosts the process -----------------
  void setBounds(CGRect bounds) {
    std::lock_guard<std::mutex> lock(mutex_);
    bounds_ = bounds;
  }
  /// Back to a fresh process: 375 × 812 points at the origin.
  void resetToDefaults() { setBounds(CGRectMake(0, 0, kDefaultWidth, kDefaultHeight)); }

 private:
  UIScreen() = default;
  mutable std::mutex mutex_;
  CGRect bounds_ = CGRectMake(0, 0, kDefaultWidth, kDefaultHeight);
};
