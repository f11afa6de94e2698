#include "sim/capture/CaptureSimulation.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "Dispatch/Dispatch.h"
#include "Foundation/TraceFormat.h"
#include "sim/capture/TestChart.h"

namespace sim {

PhotoFault parsePhotoFault(std::string_view word) {
  if (word == "processing-error") return PhotoFault::processingError;
  if (word == "finish-error") return PhotoFault::finishError;
  if (word == "both-errors") return PhotoFault::bothErrors;
  if (word == "no-data") return PhotoFault::noData;
  if (word == "never-finishes") return PhotoFault::neverFinishes;
  std::string message = "photo fault '";
  message.append(word);
  message.append("': expected processing-error, finish-error, both-errors, no-data or never-finishes");
  throw std::invalid_argument(message);
}

namespace {

NSError captureError(std::int64_t code = AVErrorUnknown, std::string domain = std::string(AVFoundationErrorDomain)) {
  return NSError{std::move(domain), code, "The operation could not be completed"};
}

// A queue made on first use, so the world can exist before the executor.
class LazyQueue {
 public:
  explicit LazyQueue(std::string_view label) : label_(label) {}
  DispatchQueue get() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!queue_) queue_.emplace(label_);
    return *queue_;
  }

 private:
  std::mutex mutex_;
  std::string label_;
  std::optional<DispatchQueue> queue_;
};

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

  static Camera makeCamera(const CameraSetup& setup) { return Camera{setup, AVCaptureDevice::create(setup.description)}; }

  // --- AVCaptureBackend ---------------------------------------------------

  AVAuthorizationStatus authorizationStatus(AVMediaType) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
  }

  void requestAccess(AVMediaType, std::function<void(bool)> completion) override {
    if (!completion) return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (status_ == AVAuthorizationStatus::notDetermined) {
      openRequests_.push_back(std::move(completion));
      return;
    }
    const bool granted = status_ == AVAuthorizationStatus::authorized;
    lock.unlock();
    permissionQueue_.get().async([completion = std::move(completion), granted] { completion(granted); });
  }

  std::shared_ptr<AVCaptureDevice> defaultDevice(AVCaptureDeviceType deviceType, AVMediaType mediaType,
                                                 AVCaptureDevicePosition position) override {
    if (mediaType != AVMediaTypeVideo) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Camera& camera : cameras_) {
      if (camera.device->deviceType() != deviceType) continue;
      if (position != AVCaptureDevicePosition::unspecified && camera.device->position() != position) continue;
      return camera.device;
    }
    return nullptr;
  }

  std::optional<NSError> nextLockFailure(const AVCaptureDevice&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lockAlwaysFails_) return captureError();
    if (lockFailures_ > 0) {
      --lockFailures_;
      return captureError();
    }
    return std::nullopt;
  }

  std::optional<NSError> nextDeviceInputFailure(const AVCaptureDevice& device) override {
    std::unique_lock<std::mutex> lock(mutex_);
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

  std::optional<NSError> nextTorchFailure(const AVCaptureDevice&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!std::exchange(torchFails_, false)) return std::nullopt;
    return captureError();
  }

  bool refusesInputs() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return refusesInputs_;
  }

  bool refusesOutput(AVCaptureOutputKind kind) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return kind == AVCaptureOutputKind::photo ? refusesPhotoOutput_ : refusesVideoOutput_;
  }

  bool photoConnectionMissing() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return photoConnectionMissing_;
  }

  void sessionCreated(const std::shared_ptr<AVCaptureSession>& session) override {
    std::lock_guard<std::mutex> lock(mutex_);
    newestSession_ = session;
  }

  void focusPointOfInterestChanged(const std::shared_ptr<AVCaptureDevice>& device) override {
    std::uint64_t generation = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      generation = ++focusGenerations_[device.get()];
    }
    // The camera starts adjusting now and settles after a fixed time; a newer
    // focus point restarts the wait. Only real changes are reported.
    std::weak_ptr<AVCaptureDevice> weakDevice = device;
    std::weak_ptr<Backend> weakSelf = weak_from_this();
    const DispatchQueue queue = device->cameraQueue();
    queue.async([weakDevice] {
      auto camera = weakDevice.lock();
      if (camera && !camera->isAdjustingFocus()) camera->reportAdjustingFocus(true);
    });
    queue.asyncAfter(kFocusAdjustmentSeconds, [weakDevice, weakSelf, generation] {
      auto self = weakSelf.lock();
      auto camera = weakDevice.lock();
      if (!self || !camera) return;
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        if (self->focusGenerations_[camera.get()] != generation) return;
      }
      if (camera->isAdjustingFocus()) camera->reportAdjustingFocus(false);
    });
  }

  AVCapturePhotoPlan planPhotoCapture() override {
    std::lock_guard<std::mutex> lock(mutex_);
    AVCapturePhotoPlan plan;
    plan.willCaptureDelay = timetable_.willCapture;
    plan.processedDelay = timetable_.processed;
    plan.finishedDelay = timetable_.finished;
    if (!photoFault_) return plan;
    switch (*photoFault_) {
      case PhotoFault::processingError: plan.processingError = true; break;
      case PhotoFault::finishError: plan.finishError = true; break;
      case PhotoFault::bothErrors: plan.processingError = plan.finishError = true; break;
      case PhotoFault::noData: plan.noData = true; break;
      case PhotoFault::neverFinishes: plan.neverFinishes = true; break;
    }
    photoFault_.reset();
    return plan;
  }

  std::optional<Data> photoFileData(const AVCapturePhotoScene& scene) override {
    int width = 0, height = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (preparedPhoto_) return preparedPhoto_;
      width = photoWidth_;
      height = photoHeight_;
      // Repeated captures of an unchanged scene reuse the last encoding.
      if (lastPhoto_ && lastPhoto_->width == width && lastPhoto_->height == height &&
          lastPhoto_->zoom == scene.videoZoomFactor && lastPhoto_->orientation == scene.orientation)
        return lastPhoto_->data;
    }
    Data data = encodeJPEG(renderTestChart(width, height, scene.videoZoomFactor, scene.orientation));
    std::lock_guard<std::mutex> lock(mutex_);
    lastPhoto_ = EncodedPhoto{width, height, scene.videoZoomFactor, scene.orientation, data};
    return data;
  }

  std::int64_t nextPhotoSettingsID() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return ++lastPhotoSettingsID_;
  }

  // --- World side (CaptureSimulation's methods) ---------------------------

  mutable std::mutex mutex_;
  std::vector<Camera> cameras_;
  bool defaultCameras_ = true;
  AVAuthorizationStatus status_ = AVAuthorizationStatus::authorized;
  std::vector<std::function<void(bool)>> openRequests_;
  int lockFailures_ = 0;
  bool lockAlwaysFails_ = false;
  bool deviceInputFails_ = false;
  bool refusesInputs_ = false;
  bool refusesPhotoOutput_ = false;
  bool refusesVideoOutput_ = false;
  bool torchFails_ = false;
  bool photoConnectionMissing_ = false;
  std::optional<PhotoFault> photoFault_;
  int photoWidth_ = 640;
  int photoHeight_ = 480;
  std::int64_t lastPhotoSettingsID_ = 0;
  std::weak_ptr<AVCaptureSession> newestSession_;
  std::map<const AVCaptureDevice*, std::uint64_t> focusGenerations_;
  struct EncodedPhoto {
    int width;
    int height;
    double zoom;
    AVCaptureVideoOrientation orientation;
    Data data;
  };
  std::optional<EncodedPhoto> lastPhoto_;
  PhotoTimetable timetable_;
  double deviceInputOpenSeconds_ = 0;
  RealTimeWait realTimeWait_;
  std::optional<Data> preparedPhoto_;
  LazyQueue permissionQueue_{kPermissionQueueLabel};
  LazyQueue sessionQueue_{kSessionNotificationQueueLabel};
};

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
    std::lock_guard<std::mutex> lock(backend_->mutex_);
    cameras.swap(backend_->cameras_);
    requests.swap(backend_->openRequests_);
    backend_->newestSession_.reset();
  }
}

void CaptureSimulation::addCamera(const CameraSetup& setup) {
  auto camera = Backend::makeCamera(setup);
  std::vector<Backend::Camera> replaced;
  std::lock_guard<std::mutex> lock(backend_->mutex_);
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
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  removed.swap(backend_->cameras_);
  backend_->defaultCameras_ = false;
}

std::vector<std::shared_ptr<AVCaptureDevice>> CaptureSimulation::cameras() const {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  std::vector<std::shared_ptr<AVCaptureDevice>> devices;
  for (const auto& camera : backend_->cameras_) devices.push_back(camera.device);
  return devices;
}

std::shared_ptr<AVCaptureDevice> CaptureSimulation::camera(std::string_view name) const {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  for (const auto& camera : backend_->cameras_)
    if (camera.device->uniqueID() == name) return camera.device;
  return nullptr;
}

// --- Permission

void CaptureSimulation::setAuthorizationStatus(AVAuthorizationStatus status) {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->status_ = status;
}

AVAuthorizationStatus CaptureSimulation::authorizationStatus() const {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  return backend_->status_;
}

bool CaptureSimulation::hasOpenPermissionRequest() const {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  return !backend_->openRequests_.empty();
}

void CaptureSimulation::answerPermissionRequest(bool grant) {
  std::vector<std::function<void(bool)>> requests;
  {
    std::lock_guard<std::mutex> lock(backend_->mutex_);
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
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->lockFailures_ = count;
  backend_->lockAlwaysFails_ = false;
}

void CaptureSimulation::failLockAlways() {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->lockFailures_ = 0;
  backend_->lockAlwaysFails_ = true;
}

void CaptureSimulation::stopLockFailures() { failLock(0); }

void CaptureSimulation::failNextDeviceInput() {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->deviceInputFails_ = true;
}

void CaptureSimulation::setRefusesInputs(bool refuses) {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->refusesInputs_ = refuses;
}

void CaptureSimulation::setRefusesPhotoOutput(bool refuses) {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->refusesPhotoOutput_ = refuses;
}

void CaptureSimulation::setRefusesVideoOutput(bool refuses) {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->refusesVideoOutput_ = refuses;
}

void CaptureSimulation::failNextTorch() {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->torchFails_ = true;
}

void CaptureSimulation::setPhotoConnectionMissing(bool missing) {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->photoConnectionMissing_ = missing;
}

void CaptureSimulation::failNextPhoto(PhotoFault fault) {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->photoFault_ = fault;
}

void CaptureSimulation::setPhotoSize(int width, int height) {
  if (width < 1 || height < 1 || width > 8192 || height > 8192)
    throw std::invalid_argument("photo size must be 1 ... 8192 pixels each way");
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->photoWidth_ = width;
  backend_->photoHeight_ = height;
}

void CaptureSimulation::setPhotoTimetable(const PhotoTimetable& timetable) {
  const bool finite =
      std::isfinite(timetable.willCapture) && std::isfinite(timetable.processed) && std::isfinite(timetable.finished);
  if (!finite || timetable.willCapture < 0 || timetable.processed < timetable.willCapture ||
      timetable.finished < timetable.processed)
    throw std::invalid_argument("photo timetable must be finite with 0 <= will-capture <= processed <= finished");
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->timetable_ = timetable;
}

PhotoTimetable CaptureSimulation::photoTimetable() const {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  return backend_->timetable_;
}

void CaptureSimulation::setPreparedPhotoData(std::optional<Data> data) {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  // The previous bytes go after the lock: they may be large.
  std::swap(backend_->preparedPhoto_, data);
}

// --- Real-time costs

void CaptureSimulation::setDeviceInputOpenSeconds(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0)
    throw std::invalid_argument("device input open time must be finite and not negative");
  std::lock_guard<std::mutex> lock(backend_->mutex_);
  backend_->deviceInputOpenSeconds_ = seconds;
}

void CaptureSimulation::setRealTimeWait(RealTimeWait wait) {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
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

UserInfoValue CaptureSimulation::userInfoValueFromText(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  std::int64_t integer = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), integer);
  if (!digits.empty() && error == std::errc() && end == digits.data() + digits.size()) return NSNumber(integer);
  double number = 0;
  auto [end2, error2] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (!digits.empty() && error2 == std::errc() && end2 == digits.data() + digits.size() && std::isfinite(number))
    return NSNumber(number);
  return std::string(text);
}

// --- Inspection

std::shared_ptr<AVCaptureSession> CaptureSimulation::newestSession() const {
  std::lock_guard<std::mutex> lock(backend_->mutex_);
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

std::optional<std::string> CaptureSimulation::inspect(std::string_view path,
                                                      const std::shared_ptr<AVCaptureDevice>& given) const {
  const std::string nil = "nil";
  if (path.starts_with("session.")) {
    auto session = newestSession();
    const std::string_view key = path.substr(8);
    if (key == "running") return session ? formatBool(session->isRunning()) : nil;
    if (key == "preset") return session ? session->sessionPreset() : nil;
    if (key == "inputs") {
      if (!session) return nil;
      std::vector<std::string> names;
      for (const auto& input : session->inputs()) names.push_back(input->device()->uniqueID());
      return formatList(names);
    }
    if (key == "outputs") {
      if (!session) return nil;
      std::vector<std::string> kinds;
      for (const auto& output : session->outputs()) kinds.emplace_back(output->kindName());
      return formatList(kinds);
    }
    return std::nullopt;
  }
  if (path.starts_with("device.")) {
    static const std::vector<std::string_view> keys{
        "name",          "videoZoomFactor",    "focusPointOfInterest", "focusMode",        "exposureMode",
        "whiteBalanceMode", "exposureTargetBias", "torchActive",        "isAdjustingFocus", "ISO"};
    const std::string_view key = path.substr(7);
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) return std::nullopt;
    auto device = given ? given : currentCamera();
    if (!device) return nil;
    if (key == "name") return device->uniqueID();
    if (key == "videoZoomFactor") return formatNumber(device->videoZoomFactor());
    if (key == "focusPointOfInterest") return formatPoint(device->focusPointOfInterest());
    if (key == "focusMode") return formatInteger(rawValue(device->focusMode()));
    if (key == "exposureMode") return formatInteger(rawValue(device->exposureMode()));
    if (key == "whiteBalanceMode") return formatInteger(rawValue(device->whiteBalanceMode()));
    if (key == "exposureTargetBias") return formatNumber(device->exposureTargetBias());
    if (key == "torchActive") return formatBool(device->isTorchActive());
    if (key == "isAdjustingFocus") return formatBool(device->isAdjustingFocus());
    return formatNumber(device->ISO());
  }
  if (path == "connection.videoOrientation") {
    auto output = photoOutput();
    const auto connection = output ? output->videoConnection() : nullptr;
    return connection ? formatInteger(rawValue(connection->videoOrientation())) : nil;
  }
  return std::nullopt;
}

}  // namespace sim
