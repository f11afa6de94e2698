#include "AVFoundation/AVCaptureBackend.h"

#include <atomic>
#include <utility>

#include "AVFoundation/AVTrace.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/InstalledObject.h"

namespace {

// The empty world: no cameras, nobody to answer a permission request.
class EmptyCaptureBackend final : public AVCaptureBackend {
 public:
  AVAuthorizationStatus authorizationStatus(AVMediaType) override { return AVAuthorizationStatus::notDetermined; }

  void requestAccess(AVMediaType, std::function<void(bool)> completion) override {
    if (!completion) return;
    // A fresh queue of the executor installed now; it lives until the answer ran.
    DispatchQueue queue("com.kivocamera.platform.permission");
    queue.async([queue, completion = std::move(completion)] { completion(false); });
  }

  std::shared_ptr<AVCaptureDevice> defaultDevice(AVCaptureDeviceType, AVMediaType,
                                                 AVCaptureDevicePosition) override {
    return nullptr;
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
