#pragma once
// The host's delegate in the tests and the benchmarks.

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "Foundation/ThreadSafety.h"
#include "KivoCameraDelegate.h"

namespace kivotest {

/// The host's delegate: counts photos, frames and camera switches, and keeps
/// the delivered photos unless told not to (a long run keeps none). The
/// hooks see each photo and frame as it arrives, on the queue that delivers
/// it; set them before the controller is given the delegate.
/// Thread-safe: photos arrive on main, frames on the session's frame queue.
class RecordingDelegate : public KivoCameraDelegate {
 public:
  explicit RecordingDelegate(bool keepPhotos = true) : keepPhotos_(keepPhotos) {}

  std::function<void(const std::optional<Data>& photo)> onPhoto;
  std::function<void(const CMSampleBufferRef& frame, bool isStill)> onFrame;

  bool respondsToSelector(Selector selector) const override {
    return selector == Selector::cameraDidCapturePhoto || selector == Selector::cameraDidOutputIsStill ||
           selector == Selector::cameraDidToggleCameraPosition;
  }
  void cameraDidCapturePhoto(KivoCamera&, const std::optional<Data>& photo) override {
    if (onPhoto) onPhoto(photo);
    if (!photo || photo->empty()) emptyPhotos_.fetch_add(1);
    if (keepPhotos_) {
      kivo::MutexLock lock(mutex_);
      kept_.push_back(photo);
    }
    // Counted last: a waiter that sees the count sees the photo and the hook's work.
    photos_.fetch_add(1);
  }
  void cameraDidOutput(KivoCamera&, const CMSampleBufferRef& sampleBuffer, bool isStill) override {
    if (onFrame) onFrame(sampleBuffer, isStill);
    frames_.fetch_add(1);
  }
  void cameraDidToggleCameraPosition(KivoCamera&, bool) override { switches_.fetch_add(1); }

  std::size_t photoCount() const { return photos_.load(); }
  /// Deliveries that carried no bytes.
  std::size_t emptyPhotoCount() const { return emptyPhotos_.load(); }
  std::size_t frameCount() const { return frames_.load(); }
  std::size_t switchCount() const { return switches_.load(); }
  /// The kept photos, in delivery order.
  std::vector<std::optional<Data>> photos() const {
    kivo::MutexLock lock(mutex_);
    return kept_;
  }

 private:
  const bool keepPhotos_;
  std::atomic<std::size_t> photos_{0};
  std::atomic<std::size_t> emptyPhotos_{0};
  std::atomic<std::size_t> frames_{0};
  std::atomic<std::size_t> switches_{0};
  mutable kivo::Mutex mutex_;
  std::vector<std::optional<Data>> kept_ KIVO_GUARDED_BY(mutex_);
};

}  // namespace kivotest
