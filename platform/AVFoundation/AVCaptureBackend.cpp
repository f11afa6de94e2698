#include "AVFoundation/AVCaptureBackend.h"

#include <atomic>
#include <utility>

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVTrace.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/InstalledObject.h"

namespace {

// The empty layer: no cameras, nobody to answer a permission request. A
// device still held from a layer that has gone can be neither opened nor
// streamed, and its stills fail.
class EmptyCaptureBackend final : public AVCaptureBackend {
 public:
  std::vector<std::shared_ptr<AVCaptureDevice>> devices() override { return {}; }

  AVAuthorizationStatus authorizationStatus(AVMediaType) override { return AVAuthorizationStatus::notDetermined; }

  void requestAccess(AVMediaType, std::function<void(bool)> completion) override {
    if (!completion) return;
    // A fresh queue of the executor installed now; it lives until the answer ran.
    DispatchQueue queue("com.kivocamera.platform.permission");
    queue.async([queue, completion = std::move(completion)] { completion(false); });
  }

  std::optional<NSError> applyControl(const std::shared_ptr<AVCaptureDevice>&, const AVCaptureControlChange&) override {
    return std::nullopt;
  }

  std::optional<NSError> openDevice(AVCaptureDevice&) override { return av_detail::deviceNotConnectedError(); }

  std::unique_ptr<AVCaptureStream> startStream(const std::shared_ptr<AVCaptureDevice>&, const AVCaptureStreamRequest&,
                                               std::weak_ptr<AVCaptureStreamSink>) override {
    return nullptr;
  }

  void captureStill(const std::shared_ptr<AVCaptureDevice>&, const AVCaptureStillRequest& request,
                    std::shared_ptr<AVCaptureStillObserver> observer) override {
    request.queue.async([observer = std::move(observer)] {
      observer->stillWillBegin(CMTimeRangeMake(kCMTimeZero, kCMTimeZero));
      observer->stillDidProcess(std::nullopt, av_detail::deviceNotConnectedError());
      observer->stillDidFinish(av_detail::deviceNotConnectedError());
    });
  }

  std::int64_t nextPhotoSettingsID() override { return ++lastPhotoSettingsID_; }

 private:
  std::atomic<std::int64_t> lastPhotoSettingsID_{0};
};

InstalledObject<AVCaptureBackend> gInstalledBackend;

std::shared_ptr<AVCaptureBackend> emptyBackend() {
  static const auto backend = std::make_shared<EmptyCaptureBackend>();
  return backend;
}

}  // namespace

std::shared_ptr<AVCaptureBackend> AVCaptureCurrentBackend() {
  if (auto backend = gInstalledBackend.get()) return backend;
  return emptyBackend();
}

ScopedAVCaptureBackend::ScopedAVCaptureBackend(std::shared_ptr<AVCaptureBackend> backend)
    : previous_(gInstalledBackend.exchange(std::move(backend))) {}

ScopedAVCaptureBackend::~ScopedAVCaptureBackend() { gInstalledBackend.exchange(std::move(previous_)); }

NSError av_detail::genericError() {
  return NSError{std::string(AVFoundationErrorDomain), AVErrorUnknown, "The operation could not be completed"};
}

NSError av_detail::deviceNotConnectedError() {
  return NSError{std::string(AVFoundationErrorDomain), AVErrorDeviceNotConnected, "Cannot use a missing device"};
}

NSError av_detail::sessionNotRunningError() {
  return NSError{std::string(AVFoundationErrorDomain), AVErrorSessionNotRunning,
                 "Cannot capture a photo without an active video connection"};
}
