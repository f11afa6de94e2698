#pragma once
// A stream's current picture, kept while what it shows stays the same: a
// camera layer describes the picture by a comparable "look" (the frame, the
// zoom, the orientation, the format) and paints a new one only when the look
// has changed, so a preview redrawn many times over a still scene costs
// nothing new.
// Thread-safe

#include "CoreVideo/CVPixelBuffer.h"
#include "Foundation/ThreadSafety.h"

template <class Look>
class CVPictureCache {
 public:
  /// The picture of `look`: the kept one, or `paint()`'s, kept from now.
  template <class Paint>
  CVPixelBufferRef picture(const Look& look, Paint&& paint) {
    kivo::MutexLock lock(mutex_);
    if (!last_ || !(look == lastLook_)) {
      last_ = paint();
      lastLook_ = look;
    }
    return last_;
  }

 private:
  kivo::Mutex mutex_;
  CVPixelBufferRef last_ KIVO_GUARDED_BY(mutex_);
  Look lastLook_ KIVO_GUARDED_BY(mutex_){};
};
