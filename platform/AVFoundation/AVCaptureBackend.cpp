#include "AVFoundation/AVCaptureBackend.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "AVFoundation/AVTrace.h"
#include "Dispatch/Dispatch.h"

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

std::mutex gBackendMutex;
std::shared_ptr<AVCaptureBackend> gInstalledBackend;

std::shared_ptr<AVCaptureBackend> emptyBackend() {
  static const auto backend = std::make_shared<EmptyCaptureBackend>();
  return backend;
}

}  // namespace

std::shared_ptr<AVCaptureBackend> AVCaptureCurrentBackend() {
  {
    std::lock_guard<std::mutex> lock(gBackendMutex);
    if (gInstalledBackend) return gInstalledBackend;
  }
  return emptyBackend();
}

ScopedAVCaptureBackend::ScopedAVCaptureBackend(std::shared_ptr<AVCaptureBackend> backend) {
  std::lock_guard<std::mutex> lock(gBackendMutex);
  previous_ = std::exchange(gInstalledBackend, std::move(backend));
}

ScopedAVCaptureBackend::~ScopedAVCaptureBackend() {
  std::shared_ptr<AVCaptureBackend> released;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(gBackendMutex);
  released = std::exchange(gInstalledBackend, std::move(previous_));
}

NSError av_detail::genericError() {
  return NSError{std::string(AVFoundationErrorDomain), AVErrorUnknown, "The operation could not be completed"};
}
