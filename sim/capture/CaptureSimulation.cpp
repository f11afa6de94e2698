#include "sim/capture/CaptureSimulation.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "AVFoundation/AVCaptureConnection.h"
#include "Dispatch/Dispatch.h"
#include "Dispatch/LazyDispatchQueue.h"
#include "Foundation/ThreadSafety.h"
#include "sim/capture/CameraPhysics.h"
#include "sim/capture/TestChart.h"

namespace sim {

namespace {

NSError captureError(std::int64_t code = AVErrorUnknown, std::string domain = std::string(AVFoundationErrorDomain)) {
  return NSError{std::move(domain), code, "The operation could not be completed"};
}


}  // namespace

// ---------------------------------------------------------------------------
// The backend: everything the world knows, behind one mutex.

class CaptureSimulation::Backend final : public AVCaptureBackend,
                                         public std::enable_shared_from_this<CaptureSimulation::Backend> {
 public:
  Backend() {
    cameras_.push_back(makeCamera(CameraSetup::defaults(AVCaptureDevicePosition::back, CameraType::wide)));
    cameras_.push_back(makeCamera(CameraSetup::defaults(AVCaptureDevicePosition::front, CameraType::wide)));
  }

  struct Camera {
    CameraSetup setup;
    std::shared_ptr<AVCaptureDevice> device;
  };

  static Camera makeCamera(const CameraSetup& setup) {
    return Camera{setup, AVCaptureDevice::create(setup.description)};
  }

  // --- AVCaptureBackend ---------------------------------------------------

  std::vector<std::shared_ptr<AVCaptureDevice>> devices() override {
    kivo::MutexLock lock(mutex_);
    std::vector<std::shared_ptr<AVCaptureDevice>> devices;
    for (const Camera& camera : cameras_) devices.push_back(camera.device);
    return devices;
  }

  AVAuthorizationStatus authorizationStatus(AVMediaType) override {
    kivo::MutexLock lock(mutex_);
    return status_;
  }

  void requestAccess(AVMediaType, std::function<void(bool)> completion) override {
    if (!completion) return;
    kivo::UniqueLock lock(mutex_);
    if (status_ == AVAuthorizationStatus::notDetermined) {
      openRequests_.push_back(std::move(completion));
      return;
    }
    const bool granted = status_ == AVAuthorizationStatus::authorized;
    lock.unlock();
    permissionQueue_.get().async([completion = std::move(completion), granted] { completion(granted); });
  }

  void sessionCreated(const std::shared_ptr<AVCaptureSession>& session) override {
    kivo::MutexLock lock(mutex_);
    newestSession_ = session;
  }

  std::optional<NSError> lockForConfiguration(AVCaptureDevice&) override {
    kivo::MutexLock lock(mutex_);
    if (lockAlwaysFails_) return captureError();
    if (lockFailures_ > 0) {
      --lockFailures_;
      return captureError();
    }
    return std::nullopt;
  }

  std::optional<NSError> applyControl(const std::shared_ptr<AVCaptureDevice>& device,
                                      const AVCaptureControlChange& change) override {
    if (std::holds_alternative<AVCaptureControl::FocusPointOfInterest>(change)) {
      physics_->focusPointChanged(device);
    } else if (const auto* zoom = std::get_if<AVCaptureControl::VideoZoom>(&change)) {
      physics_->zoom(device, *zoom);
    } else if (const auto* torch = std::get_if<AVCaptureControl::Torch>(&change)) {
      kivo::MutexLock lock(mutex_);
      if (torch->mode == AVCaptureTorchMode::on && std::exchange(torchFails_, false)) return captureError();
    }
    return std::nullopt;
  }

  std::optional<double> currentVideoZoomFactor(const AVCaptureDevice& device) override {
    return physics_->rampingZoomFactor(device);
  }

  std::optional<NSError> openDevice(AVCaptureDevice& device) override {
    kivo::UniqueLock lock(mutex_);
    if (deviceInputOpenSeconds_ > 0) {
      // Paid outside the lock: other queues keep using the world meanwhile.
      const double seconds = deviceInputOpenSeconds_;
      RealTimeWait wait = realTimeWait_;
      lock.unlock();
      if (wait)
        wait(seconds);
      else
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
      lock.lock();
    }
    if (!std::exchange(deviceInputFails_, false)) return std::nullopt;
    std::string description = "Cannot use ";
    description.append(device.uniqueID());
    return NSError{std::string(AVFoundationErrorDomain), AVErrorDeviceNotConnected, std::move(description)};
  }

  bool acceptsInput(const AVCaptureDevice&) override {
    kivo::MutexLock lock(mutex_);
    return !refusesInputs_;
  }

  bool acceptsOutput(AVCaptureOutputKind kind) override {
    kivo::MutexLock lock(mutex_);
    return kind == AVCaptureOutputKind::photo ? !refusesPhotoOutput_ : !refusesVideoOutput_;
  }

  bool connectsOutput(const AVCaptureDevice&, AVCaptureOutputKind kind) override {
    kivo::MutexLock lock(mutex_);
    return kind != AVCaptureOutputKind::photo || !photoConnectionMissing_;
  }

  std::unique_ptr<AVCaptureStream> startStream(const std::shared_ptr<AVCaptureDevice>& device,
                                               const AVCaptureStreamRequest& request,
                                               std::weak_ptr<AVCaptureStreamSink> sink) override {
    return physics_->startStream(device, request, std::move(sink));
  }

  void captureStill(const std::shared_ptr<AVCaptureDevice>& device, const AVCaptureStillRequest& request,
                    std::shared_ptr<AVCaptureStillObserver> observer) override;

  std::int64_t nextPhotoSettingsID() override {
    kivo::MutexLock lock(mutex_);
    return ++lastPhotoSettingsID_;
  }

  /// The photo of a scene: the prepared bytes, or the chart encoded (the last
  /// encoding is reused while the scene does not change).
  Data photoData(double zoom, AVCaptureVideoOrientation orientation) {
    int width = 0, height = 0;
    {
      kivo::MutexLock lock(mutex_);
      if (preparedPhoto_) return *preparedPhoto_;
      width = photoWidth_;
      height = photoHeight_;
      if (lastPhoto_ && lastPhoto_->width == width && lastPhoto_->height == height && lastPhoto_->zoom == zoom &&
          lastPhoto_->orientation == orientation)
        return lastPhoto_->data;
    }
    Data data = encodeJPEG(renderTestChart(width, height, zoom, orientation));
    kivo::MutexLock lock(mutex_);
    lastPhoto_ = EncodedPhoto{width, height, zoom, orientation, data};
    return data;
  }

  // --- World side (CaptureSimulation's methods) ---------------------------

  mutable kivo::Mutex mutex_;
  std::vector<Camera> cameras_ KIVO_GUARDED_BY(mutex_);
  bool defaultCameras_ KIVO_GUARDED_BY(mutex_) = true;
  AVAuthorizationStatus status_ KIVO_GUARDED_BY(mutex_) = AVAuthorizationStatus::authorized;
  std::vector<std::function<void(bool)>> openRequests_ KIVO_GUARDED_BY(mutex_);
  int lockFailures_ KIVO_GUARDED_BY(mutex_) = 0;
  bool lockAlwaysFails_ KIVO_GUARDED_BY(mutex_) = false;
  bool deviceInputFails_ KIVO_GUARDED_BY(mutex_) = false;
  bool refusesInputs_ KIVO_GUARDED_BY(mutex_) = false;
  bool refusesPhotoOutput_ KIVO_GUARDED_BY(mutex_) = false;
  bool refusesVideoOutput_ KIVO_GUARDED_BY(mutex_) = false;
  bool torchFails_ KIVO_GUARDED_BY(mutex_) = false;
  bool photoConnectionMissing_ KIVO_GUARDED_BY(mutex_) = false;
  std::optional<PhotoFault> photoFault_ KIVO_GUARDED_BY(mutex_);
  int photoWidth_ KIVO_GUARDED_BY(mutex_) = 640;
  int photoHeight_ KIVO_GUARDED_BY(mutex_) = 480;
  std::int64_t lastPhotoSettingsID_ KIVO_GUARDED_BY(mutex_) = 0;
  std::weak_ptr<AVCaptureSession> newestSession_ KIVO_GUARDED_BY(mutex_);
  const std::shared_ptr<CameraPhysics> physics_ = std::make_shared<CameraPhysics>();
  struct EncodedPhoto {
    int width;
    int height;
    double zoom;
    AVCaptureVideoOrientation orientation;
    Data data;
  };
  std::optional<EncodedPhoto> lastPhoto_ KIVO_GUARDED_BY(mutex_);
  PhotoTimetable timetable_ KIVO_GUARDED_BY(mutex_);
  double deviceInputOpenSeconds_ KIVO_GUARDED_BY(mutex_) = 0;
  RealTimeWait realTimeWait_ KIVO_GUARDED_BY(mutex_);
  std::optional<Data> preparedPhoto_ KIVO_GUARDED_BY(mutex_);
  LazyDispatchQueue permissionQueue_{kPermissionQueueLabel};
  LazyDispatchQueue sessionQueue_{kSessionNotificationQueueLabel};
};

// One still on the fixed timetable: begun at once, exposed, processed, finished,
// each moment on the photo output's queue. The faults of the next capture
// are taken now. The scene (zoom and orientation) is the one at exposure.
void CaptureSimulation::Backend::captureStill(const std::shared_ptr<AVCaptureDevice>& device,
                                              const AVCaptureStillRequest& request,
                                              std::shared_ptr<AVCaptureStillObserver> observer) {
  PhotoTimetable timetable;
  std::optional<PhotoFault> fault;
  {
    kivo::MutexLock lock(mutex_);
    timetable = timetable_;
    fault = std::exchange(photoFault_, std::nullopt);
  }
  const bool processingError = fault == PhotoFault::processingError || fault == PhotoFault::bothErrors;
  const bool finishError = fault == PhotoFault::finishError || fault == PhotoFault::bothErrors;
  const bool noData = fault == PhotoFault::noData || processingError;

  struct Scene {
    double zoom = 1;
    AVCaptureVideoOrientation orientation = AVCaptureVideoOrientation::portrait;
  };
  auto scene = std::make_shared<Scene>();
  const auto seconds = [](double s) { return CMTimeMakeWithSeconds(s, kCMTimeMaxTimescale); };
  const CMTimeRange processing =
      CMTimeRangeMake(seconds(timetable.willCapture), seconds(timetable.processed - timetable.willCapture));
  const DispatchQueue& queue = request.queue;

  queue.async([observer, processing] { observer->stillWillBegin(processing); });
  queue.asyncAfter(timetable.willCapture, [observer, scene, weakDevice = std::weak_ptr<AVCaptureDevice>(device),
                                           connection = request.connection] {
    if (const auto camera = weakDevice.lock()) scene->zoom = camera->videoZoomFactor();
    if (connection) scene->orientation = connection->videoOrientation();
    observer->stillWillExpose();
  });
  // A capture that never finishes reports nothing more.
  if (fault == PhotoFault::neverFinishes) return;
  queue.asyncAfter(timetable.processed, [observer, scene, weakSelf = weak_from_this(), noData, processingError] {
    std::optional<Data> data;
    const auto self = weakSelf.lock();
    if (self && !noData) data = self->photoData(scene->zoom, scene->orientation);
    std::optional<NSError> error;
    if (processingError) error = captureError();
    observer->stillDidProcess(std::move(data), std::move(error));
  });
  queue.asyncAfter(timetable.finished, [observer, finishError] {
    std::optional<NSError> error;
    if (finishError) error = captureError();
    observer->stillDidFinish(std::move(error));
  });
}

// ---------------------------------------------------------------------------

CaptureSimulation::CaptureSimulation()
    : backend_(std::make_shared<Backend>()), installation_(std::make_unique<ScopedAVCaptureBackend>(backend_)) {}

CaptureSimulation::~CaptureSimulation() {
  installation_.reset();
  // Let go of the devices and of unanswered requests now; capture objects
  // that still hold the backend for a moment find an empty world.
  std::vector<Backend::Camera> cameras;
  std::vector<std::function<void(bool)>> requests;
  {
    kivo::MutexLock lock(backend_->mutex_);
    cameras.swap(backend_->cameras_);
    requests.swap(backend_->openRequests_);
    backend_->newestSession_.reset();
  }
}

void CaptureSimulation::addCamera(const CameraSetup& setup) {
  auto camera = Backend::makeCamera(setup);
  std::vector<Backend::Camera> replaced;
  kivo::MutexLock lock(backend_->mutex_);
  if (backend_->defaultCameras_) {
    replaced.swap(backend_->cameras_);
    backend_->defaultCameras_ = false;
  }
  for (const auto& existing : backend_->cameras_) {
    if (existing.device->uniqueID() == camera.device->uniqueID()) {
      std::string message = "camera '";
      message.append(camera.device->uniqueID());
      message.append("' is already configured");
      throw std::invalid_argument(message);
    }
  }
  backend_->cameras_.push_back(std::move(camera));
}

void CaptureSimulation::setNoCameras() {
  std::vector<Backend::Camera> removed;
  kivo::MutexLock lock(backend_->mutex_);
  removed.swap(backend_->cameras_);
  backend_->defaultCameras_ = false;
}

std::vector<std::shared_ptr<AVCaptureDevice>> CaptureSimulation::cameras() const {
  kivo::MutexLock lock(backend_->mutex_);
  std::vector<std::shared_ptr<AVCaptureDevice>> devices;
  for (const auto& camera : backend_->cameras_) devices.push_back(camera.device);
  return devices;
}

std::shared_ptr<AVCaptureDevice> CaptureSimulation::camera(std::string_view name) const {
  kivo::MutexLock lock(backend_->mutex_);
  for (const auto& camera : backend_->cameras_)
    if (camera.device->uniqueID() == name) return camera.device;
  return nullptr;
}

// --- Permission

void CaptureSimulation::setAuthorizationStatus(AVAuthorizationStatus status) {
  kivo::MutexLock lock(backend_->mutex_);
  backend_->status_ = status;
}

AVAuthorizationStatus CaptureSimulation::authorizationStatus() const {
  kivo::MutexLock lock(backend_->mutex_);
  return backend_->status_;
}

bool CaptureSimulation::hasOpenPermissionRequest() const {
  kivo::MutexLock lock(backend_->mutex_);
  return !backend_->openRequests_.empty();
}

void CaptureSimulation::answerPermissionRequest(bool grant) {
  std::vector<std::function<void(bool)>> requests;
  {
    kivo::MutexLock lock(backend_->mutex_);
    if (backend_->openRequests_.empty()) throw std::invalid_argument("no camera permission request is open");
    requests.swap(backend_->openRequests_);
    backend_->status_ = grant ? AVAuthorizationStatus::authorized : AVAuthorizationStatus::denied;
  }
  const DispatchQueue queue = backend_->permissionQueue_.get();
  for (auto& completion : requests) queue.async([completion = std::move(completion), grant] { completion(grant); });
}

// --- Faults

void CaptureSimulation::failLock(int count) {
  if (count < 0) throw std::invalid_argument("a lock fault needs a count >= 0");
  kivo::MutexLock lock(backend_->mutex_);
  backend_->lockFailures_ = count;
  backend_->lockAlwaysFails_ = false;
}

void CaptureSimulation::failLockAlways() {
  kivo::MutexLock lock(backend_->mutex_);
  backend_->lockFailures_ = 0;
  backend_->lockAlwaysFails_ = true;
}

void CaptureSimulation::stopLockFailures() { failLock(0); }

void CaptureSimulation::failNextDeviceInput() {
  kivo::MutexLock lock(backend_->mutex_);
  backend_->deviceInputFails_ = true;
}

void CaptureSimulation::setRefusesInputs(bool refuses) {
  kivo::MutexLock lock(backend_->mutex_);
  backend_->refusesInputs_ = refuses;
}

void CaptureSimulation::setRefusesPhotoOutput(bool refuses) {
  kivo::MutexLock lock(backend_->mutex_);
  backend_->refusesPhotoOutput_ = refuses;
}

void CaptureSimulation::setRefusesVideoOutput(bool refuses) {
  kivo::MutexLock lock(backend_->mutex_);
  backend_->refusesVideoOutput_ = refuses;
}

void CaptureSimulation::failNextTorch() {
  kivo::MutexLock lock(backend_->mutex_);
  backend_->torchFails_ = true;
}

void CaptureSimulation::setPhotoConnectionMissing(bool missing) {
  kivo::MutexLock lock(backend_->mutex_);
  backend_->photoConnectionMissing_ = missing;
}

void CaptureSimulation::failNextPhoto(PhotoFault fault) {
  kivo::MutexLock lock(backend_->mutex_);
  backend_->photoFault_ = fault;
}

void CaptureSimulation::setPhotoSize(int width, int height) {
  if (width < 1 || height < 1 || width > 8192 || height > 8192)
    throw std::invalid_argument("photo size must be 1 ... 8192 pixels each way");
  kivo::MutexLock lock(backend_->mutex_);
  backend_->photoWidth_ = width;
  backend_->photoHeight_ = height;
}

void CaptureSimulation::setPhotoTimetable(const PhotoTimetable& timetable) {
  const bool finite =
      std::isfinite(timetable.willCapture) && std::isfinite(timetable.processed) && std::isfinite(timetable.finished);
  if (!finite || timetable.willCapture < 0 || timetable.processed < timetable.willCapture ||
      timetable.finished < timetable.processed)
    throw std::invalid_argument("photo timetable must be finite with 0 <= will-capture <= processed <= finished");
  kivo::MutexLock lock(backend_->mutex_);
  backend_->timetable_ = timetable;
}

PhotoTimetable CaptureSimulation::photoTimetable() const {
  kivo::MutexLock lock(backend_->mutex_);
  return backend_->timetable_;
}

void CaptureSimulation::setPreparedPhotoData(std::optional<Data> data) {
  kivo::MutexLock lock(backend_->mutex_);
  // The previous bytes go after the lock: they may be large.
  std::swap(backend_->preparedPhoto_, data);
}

// --- Real-time costs

void CaptureSimulation::setDeviceInputOpenSeconds(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0)
    throw std::invalid_argument("device input open time must be finite and not negative");
  kivo::MutexLock lock(backend_->mutex_);
  backend_->deviceInputOpenSeconds_ = seconds;
}

void CaptureSimulation::setRealTimeWait(RealTimeWait wait) {
  kivo::MutexLock lock(backend_->mutex_);
  std::swap(backend_->realTimeWait_, wait);
}

// --- Drivers

std::shared_ptr<AVCaptureDevice> CaptureSimulation::requireCamera(std::optional<std::string_view> name) const {
  if (!name) {
    if (auto current = currentCamera()) return current;
    throw std::invalid_argument("there is no current camera");
  }
  if (auto named = camera(*name)) return named;
  std::string message = "no camera named '";
  message.append(*name);
  message.push_back('\'');
  throw std::invalid_argument(message);
}

void CaptureSimulation::setISO(std::optional<std::string_view> name, float iso) {
  auto device = requireCamera(name);
  device->cameraQueue().async([device, iso] { device->reportISO(iso); });
}

void CaptureSimulation::setAdjustingFocus(std::optional<std::string_view> name, bool adjusting) {
  auto device = requireCamera(name);
  device->cameraQueue().async([device, adjusting] { device->reportAdjustingFocus(adjusting); });
}

void CaptureSimulation::post(std::string_view name, std::optional<UserInfo> userInfo) {
  auto session = newestSession();
  if (!session) throw std::invalid_argument("there is no capture session to post a notification");
  backend_->sessionQueue_.get().async(
      [weakSession = std::weak_ptr<AVCaptureSession>(session), name = std::string(name),
       userInfo = std::move(userInfo)] {
        if (auto target = weakSession.lock()) target->postNotification(name, userInfo);
      });
}

void CaptureSimulation::postRuntimeError(std::optional<std::int64_t> code, std::optional<std::string> domain) {
  UserInfo info;
  info.emplace(std::string(AVCaptureSessionErrorKey),
               captureError(code.value_or(kRuntimeErrorCode), domain.value_or(std::string(AVFoundationErrorDomain))));
  post(AVCaptureSessionRuntimeErrorNotification, std::move(info));
}

void CaptureSimulation::postRuntimeErrorWithoutError() { post(AVCaptureSessionRuntimeErrorNotification, UserInfo{}); }

void CaptureSimulation::postRuntimeErrorWithoutUserInfo() {
  post(AVCaptureSessionRuntimeErrorNotification, std::nullopt);
}

void CaptureSimulation::postRuntimeErrorWithValue(std::string text) {
  UserInfo info;
  info.emplace(std::string(AVCaptureSessionErrorKey), std::move(text));
  post(AVCaptureSessionRuntimeErrorNotification, std::move(info));
}

void CaptureSimulation::postInterrupted(std::optional<UserInfoValue> reason) {
  UserInfo info;
  if (reason) info.emplace(std::string(AVCaptureSessionInterruptionReasonKey), std::move(*reason));
  post(AVCaptureSessionWasInterruptedNotification, std::move(info));
}

void CaptureSimulation::postInterruptionEnded() { post(AVCaptureSessionInterruptionEndedNotification, UserInfo{}); }

// --- Work

std::uint64_t CaptureSimulation::framesDelivered() const { return backend_->physics_->framesDelivered(); }

CameraPhysics::FramesDue CaptureSimulation::framesDueWithin(double seconds) const {
  return backend_->physics_->framesDueWithin(seconds);
}

// --- Inspection

std::shared_ptr<AVCaptureSession> CaptureSimulation::newestSession() const {
  kivo::MutexLock lock(backend_->mutex_);
  return backend_->newestSession_.lock();
}

std::shared_ptr<AVCaptureDevice> CaptureSimulation::currentCamera() const {
  auto session = newestSession();
  return session ? session->videoDevice() : nullptr;
}

std::shared_ptr<AVCapturePhotoOutput> CaptureSimulation::photoOutput() const {
  auto session = newestSession();
  if (!session) return nullptr;
  for (const auto& output : session->outputs())
    if (output->kind() == AVCaptureOutputKind::photo) return std::static_pointer_cast<AVCapturePhotoOutput>(output);
  return nullptr;
}

std::size_t CaptureSimulation::photoCapturesInFlight() const {
  auto output = photoOutput();
  return output ? output->capturesInFlight() : 0;
}

}  // namespace sim
