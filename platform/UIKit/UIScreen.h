#pragma once
// The main screen: its bounds in points and its scale (pixels per point).
// One per process, set by the world and read from any queue.
// Thread-safe

#include "CoreGraphics/CGGeometry.h"
#include "Foundation/ThreadSafety.h"

class UIScreen {
 public:
  static constexpr CGFloat kDefaultWidth = 375;
  static constexpr CGFloat kDefaultHeight = 812;

  static UIScreen& main();

  CGRect bounds() const {
    kivo::MutexLock lock(mutex_);
    return bounds_;
  }
  /// Pixels per point: 1, 2 or 3.
  CGFloat scale() const {
    kivo::MutexLock lock(mutex_);
    return scale_;
  }

  // --- Driver-only: set by the world that hosts the process -----------------
  void setBounds(CGRect bounds) {
    kivo::MutexLock lock(mutex_);
    bounds_ = bounds;
  }
  void setScale(CGFloat scale) {
    kivo::MutexLock lock(mutex_);
    scale_ = scale;
  }
  /// Back to a fresh process: 375 × 812 points at the origin, scale 1.
  void resetToDefaults() {
    setBounds(CGRectMake(0, 0, kDefaultWidth, kDefaultHeight));
    setScale(1);
  }

 private:
  UIScreen() = default;
  mutable kivo::Mutex mutex_;
  CGRect bounds_ KIVO_GUARDED_BY(mutex_) = CGRectMake(0, 0, kDefaultWidth, kDefaultHeight);
  CGFloat scale_ KIVO_GUARDED_BY(mutex_) = 1;
};
