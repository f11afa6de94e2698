#pragma once
// The host side of a kivocam run: the delegate that prints every callback it
// receives, the writer of delivered photos, and the controller subclass whose
// destruction shows in the trace.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "Foundation/ThreadSafety.h"
#include "KivoCamera.h"
#include "KivoCameraDelegate.h"

namespace kivocam {

/// Writes `bytes` to the file at `path` (created or emptied; a symbolic link
/// there is refused). The errno of the first failure, or 0.
int writeFile(const std::filesystem::path& path, const Data& bytes);

/// Writes each delivered photo as DIR/photo-N.jpg, N counting from 1. A
/// failure to write is kept, with the system's reason, for the runner to
/// report after the line (the run cannot go on).
class PhotoWriter {
 public:
  explicit PhotoWriter(std::filesystem::path directory) : directory_(std::move(directory)) {}
  void write(const Data& photo);
  /// The first write error since the last call, if any.
  std::optional<std::string> takeError();

 private:
  std::filesystem::path directory_;
  kivo::Mutex mutex_;
  int count_ KIVO_GUARDED_BY(mutex_) = 0;
  std::optional<std::string> error_ KIVO_GUARDED_BY(mutex_);
};

/// The host's delegate: prints `delegate SELECTOR ARGS @QUEUE` for every
/// callback, and responds to all callbacks or to a chosen set.
class ScenarioDelegate : public KivoCameraDelegate {
 public:
  using Print = std::function<void(std::string line)>;
  /// `selectors`: none responds to every callback.
  ScenarioDelegate(Print print, std::optional<std::set<Selector>> selectors, PhotoWriter* photos,
                   std::atomic<std::int64_t>* delivered)
      : print_(std::move(print)), selectors_(std::move(selectors)), photos_(photos), delivered_(delivered) {}

  bool respondsToSelector(Selector selector) const override {
    return !selectors_ || selectors_->contains(selector);
  }
  void cameraDidCapturePhoto(KivoCamera& camera, const std::optional<Data>& photo) override;
  void cameraDidChangeFlashMode(KivoCamera& camera, std::int64_t flashMode) override;
  void cameraDidChangeTorch(KivoCamera& camera, bool on) override;
  void cameraDidToggleCameraPosition(KivoCamera& camera, bool isBack) override;
  void cameraDidChangeZoomLevel(KivoCamera& camera, double level, double zoomScale) override;
  void cameraDidTapEndPoint(KivoCamera& camera, CGPoint point) override;
  void cameraDidPinchEndZoomLevel(KivoCamera& camera, double level, double zoomScale) override;
  void cameraDidOutput(KivoCamera& camera, const CMSampleBufferRef& sampleBuffer, bool isStill) override;
  void cameraDeviceDidChangeISO(KivoCamera& camera, AVCaptureDevice& device, float iso) override;
  void cameraDeviceDidChangeAdjustingFocus(KivoCamera& camera, AVCaptureDevice& device, bool adjusting) override;

 private:
  void line(Selector selector, const std::string& arguments);

  Print print_;
  std::optional<std::set<Selector>> selectors_;
  PhotoWriter* photos_;
  std::atomic<std::int64_t>* delivered_;
};

/// What a delegate trace line shows after the selector, as `--help` gives it
/// (for `delegate camera:didChangeTorch: true @main`, whether the torch is
/// now on).
std::string_view traceArguments(KivoCameraDelegateSelector selector);

/// The controller as `KivoCamera::create()` makes it, reporting its own
/// destruction.
class ScenarioCamera : public KivoCamera {
 public:
  static std::shared_ptr<ScenarioCamera> make(std::function<void()> onDestroy) {
    return std::shared_ptr<ScenarioCamera>(new ScenarioCamera(std::move(onDestroy)));
  }
  void initializeWithPoint(CGPoint point) { initWithPoint(point); }
  ~ScenarioCamera() override {
    if (onDestroy_) onDestroy_();
  }

 private:
  explicit ScenarioCamera(std::function<void()> onDestroy) : onDestroy_(std::move(onDestroy)) {}
  std::function<void()> onDestroy_;
};

}  // namespace kivocam
