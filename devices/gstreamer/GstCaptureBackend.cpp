#include "GstCaptureBackend.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <stdexcept>
#include <utility>
#include <variant>

#include "AVFoundation/AVCaptureConnection.h"
#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCaptureSession.h"
#include "CameraControls.h"
#include "CameraPipeline.h"
#include "CoreGraphics/CGJPEG.h"
#include "CoreVideo/CVPictureCache.h"
#include "Dispatch/LazyDispatchQueue.h"
#include "Foundation/ThreadSafety.h"
#include "FrameConversion.h"

namespace gstcam {

namespace {

/// How far zoom goes: digitally, or over the whole range of a zoom control.
constexpr double kZoomLimit = 4;
/// The JPEG quality of stills.
constexpr int kStillQuality = 90;
/// A still whose frame has not come by then fails.
constexpr double kStillTimeoutSeconds = 5;

NSError captureError(AVError code, std::string description) {
  return NSError{std::string(AVFoundationErrorDomain), code, std::move(description)};
}

AVCaptureVideoOrientation orientationOf(const std::shared_ptr<const AVCaptureConnection>& connection) {
  return connection ? connection->videoOrientation() : AVCaptureVideoOrientation::portrait;
}

// One camera as the layer knows it: its description, its device object (the
// same for the layer's life), its controls and their values, and its digital
// zoom. Thread-safe.
class Camera {
 public:
  Camera(CameraDescription description, CameraControls controls, std::shared_ptr<AVCaptureDevice> device)
      : description_(std::move(description)), controls_(controls), device_(std::move(device)) {}

  const CameraDescription& description() const { return description_; }
  const CameraControls& controls() const { return controls_; }
  const std::shared_ptr<AVCaptureDevice>& device() const { return device_; }
  /// The time between frames the device asks for (the camera's own rate,
  /// or what the host set), from the next time the camera starts.
  double frameInterval() const { return CMTimeGetSeconds(device_->activeVideoMinFrameDuration()); }

  /// The control values set so far, which every pipeline of the camera starts with.
  ControlValues controlValues() const {
    kivo::MutexLock lock(mutex_);
    return values_;
  }
  ControlValues setControl(const std::string& name, int value) {
    kivo::MutexLock lock(mutex_);
    values_[name] = value;
    return values_;
  }

  /// A zoom change from now: a jump, or a ramp of `rate` powers of two a
  /// second from where the zoom has got to.
  void zoom(const AVCaptureControl::VideoZoom& change, double now) {
    kivo::MutexLock lock(mutex_);
    from_ = change.rate > 0 ? zoomAt(now) : change.factor;
    target_ = change.factor;
    start_ = now;
    rate_ = change.rate;
  }
  double zoomFactor(double now) const {
    kivo::MutexLock lock(mutex_);
    return zoomAt(now);
  }
  std::optional<double> rampingZoomFactor(double now) const {
    kivo::MutexLock lock(mutex_);
    const double factor = zoomAt(now);
    if (factor == target_) return std::nullopt;
    return factor;
  }

 private:
  double zoomAt(double now) const KIVO_REQUIRES(mutex_) {
    if (from_ == target_ || rate_ <= 0) return target_;
    const double step = std::exp2(static_cast<double>(rate_) * std::max(0.0, now - start_));
    return target_ > from_ ? std::min(target_, from_ * step) : std::max(target_, from_ / step);
  }

  const CameraDescription description_;
  const CameraControls controls_;
  const std::shared_ptr<AVCaptureDevice> device_;
  mutable kivo::Mutex mutex_;
  ControlValues values_ KIVO_GUARDED_BY(mutex_);
  double from_ KIVO_GUARDED_BY(mutex_) = 1;
  double target_ KIVO_GUARDED_BY(mutex_) = 1;
  double start_ KIVO_GUARDED_BY(mutex_) = 0;
  float rate_ KIVO_GUARDED_BY(mutex_) = 0;
};

// A frame as the framework sees it: the camera's picture at its zoom now, in
// the stream's format and orientation, painted from the held sample on first
// access.
CVPixelBuffer::Painter painterFor(FrameRef frame, double zoom, AVCaptureVideoOrientation orientation) {
  return [frame = std::move(frame), zoom, orientation](const CVPixelBuffer& buffer, std::uint8_t* const* planes) {
    frame->read([&](const BGRxView& view) { paintPixelBuffer(view, zoom, orientation, buffer, planes); });
  };
}

// The state of one stream, shared by its handle and the pipeline's
// listeners. Frames of an every-frame stream go to the sink on the stream's
// own serial queue; while the sink is busy the newest frame waits, replacing
// any older one.
class StreamState final : public FrameListener, public std::enable_shared_from_this<StreamState> {
 public:
  StreamState(std::shared_ptr<Camera> camera, const AVCaptureStreamRequest& request,
              std::weak_ptr<AVCaptureStreamSink> sink)
      : camera(std::move(camera)),
        connection(request.connection),
        format(CVPixelBuffer::isSupportedPixelFormat(request.pixelFormat)
                   ? request.pixelFormat
                   : kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange),
        sink_(std::move(sink)) {
    if (request.everyFrame) queue_.emplace("com.kivocamera.platform.video-capture");
  }

  void pipelineDidOutputFrame(const FrameRef& frame) override {
    if (!queue_) return;
    {
      kivo::MutexLock lock(mutex_);
      if (stopped_) return;
      waiting_ = frame;
      if (std::exchange(scheduled_, true)) return;
    }
    scheduleDelivery();
  }

  bool deliversEveryFrame() const { return queue_.has_value(); }

  /// No frame is started after this.
  void stop() {
    FrameRef dropped;
    kivo::MutexLock lock(mutex_);
    stopped_ = true;
    dropped = std::move(waiting_);
  }

  CMSampleBufferRef sampleOf(const FrameRef& frame) const {
    const auto orientation = orientationOf(connection);
    const PictureSize size = orientedSize(frame->width(), frame->height(), orientation);
    return CMSampleBuffer::createWithPainter(frame->time(), size.width, size.height, format.load(),
                                             painterFor(frame, camera->zoomFactor(CACurrentMediaTime()), orientation));
  }

  const std::shared_ptr<Camera> camera;
  const std::shared_ptr<const AVCaptureConnection> connection;
  std::atomic<OSType> format;

 private:
  void scheduleDelivery() {
    queue_->async([weakSelf = weak_from_this()] {
      if (const auto self = weakSelf.lock()) self->deliverWaiting();
    });
  }

  void deliverWaiting() {
    FrameRef frame;
    {
      kivo::MutexLock lock(mutex_);
      frame = std::move(waiting_);
      if (!frame || stopped_) {
        scheduled_ = false;
        return;
      }
    }
    if (const auto consumer = sink_.lock()) consumer->streamDidOutputFrame(sampleOf(frame));
    {
      kivo::MutexLock lock(mutex_);
      if (!waiting_ || stopped_) {
        scheduled_ = false;
        return;
      }
    }
    scheduleDelivery();
  }

  const std::weak_ptr<AVCaptureStreamSink> sink_;
  std::optional<DispatchQueue> queue_;
  kivo::Mutex mutex_;
  FrameRef waiting_ KIVO_GUARDED_BY(mutex_);
  bool scheduled_ KIVO_GUARDED_BY(mutex_) = false;
  bool stopped_ KIVO_GUARDED_BY(mutex_) = false;
};

class GstStream final : public AVCaptureStream {
 public:
  GstStream(std::shared_ptr<CameraPipeline> pipeline, std::shared_ptr<StreamState> state)
      : pipeline_(std::move(pipeline)), state_(std::move(state)) {
    if (state_->deliversEveryFrame()) pipeline_->addListener(state_);
  }

  ~GstStream() override {
    pipeline_->removeListener(state_.get());
    state_->stop();
  }

  CVPixelBufferRef currentFrame() override {
    const FrameRef frame = pipeline_->latestFrame();
    if (!frame) return nullptr;
    const Look look{frame, state_->camera->zoomFactor(CACurrentMediaTime()), orientationOf(state_->connection),
                    state_->format.load()};
    return cache_.picture(look, [&] {
      const PictureSize size = orientedSize(frame->width(), frame->height(), look.orientation);
      return std::make_shared<const CVPixelBuffer>(size.width, size.height, look.format,
                                                   painterFor(frame, look.zoom, look.orientation));
    });
  }

  void setPixelFormat(OSType pixelFormat) override {
    if (CVPixelBuffer::isSupportedPixelFormat(pixelFormat)) state_->format.store(pixelFormat);
  }

 private:
  struct Look {
    FrameRef frame;
    double zoom = 1;
    AVCaptureVideoOrientation orientation{};
    OSType format = 0;
    friend bool operator==(const Look&, const Look&) = default;
  };

  const std::shared_ptr<CameraPipeline> pipeline_;
  const std::shared_ptr<StreamState> state_;
  CVPictureCache<Look> cache_;
};

// One still: waits for the pipeline's next frame, then reports exposure,
// the JPEG and the end on the request's queue; fails when the pipeline stops
// or no frame comes in time. Holds the pipeline until its frame has come.
class StillCapture final : public FrameListener, public std::enable_shared_from_this<StillCapture> {
 public:
  StillCapture(const AVCaptureStillRequest& request, std::shared_ptr<AVCaptureStillObserver> observer,
               std::shared_ptr<Camera> camera, std::shared_ptr<CameraPipeline> pipeline)
      : queue_(request.queue),
        connection_(request.connection),
        observer_(std::move(observer)),
        camera_(std::move(camera)),
        pipeline_(std::move(pipeline)) {}

  void begin() {
    const double interval = camera_->frameInterval();
    queue_.async([observer = observer_, interval] {
      const auto seconds = [](double s) { return CMTimeMakeWithSeconds(s, kCMTimeMaxTimescale); };
      observer->stillWillBegin(CMTimeRangeMake(seconds(interval), seconds(2 * interval)));
    });
    // Read under the lock, used outside it: a stopped pipeline calls back at once.
    std::shared_ptr<CameraPipeline> pipeline;
    {
      kivo::MutexLock lock(mutex_);
      pipeline = pipeline_;
    }
    pipeline->addListener(shared_from_this());
    queue_.asyncAfter(kStillTimeoutSeconds, [weakSelf = weak_from_this()] {
      if (const auto self = weakSelf.lock())
        self->fail(captureError(AVErrorUnknown, "No frame came from the camera for the photo"));
    });
  }

  void pipelineDidOutputFrame(const FrameRef& frame) override {
    auto pipeline = take();
    if (!pipeline) return;
    pipeline->removeListener(this);
    // The scene at exposure: the zoom and the orientation now.
    const double zoom = camera_->zoomFactor(CACurrentMediaTime());
    const auto orientation = orientationOf(connection_);
    // The pipeline is let go on the photo queue, never on its own streaming thread.
    queue_.async([observer = observer_, pipeline = std::move(pipeline)]() mutable {
      pipeline.reset();
      observer->stillWillExpose();
    });
    queue_.async([observer = observer_, frame, zoom, orientation] {
      std::optional<Data> data;
      frame->read([&](const BGRxView& view) {
        const PictureSize size = orientedSize(view.width, view.height, orientation);
        data = CGJPEGEncodeRGB(renderRGB(view, zoom, orientation), size.width, size.height, kStillQuality);
      });
      std::optional<NSError> error;
      if (!data) error = captureError(AVErrorUnknown, "The photo could not be encoded");
      observer->stillDidProcess(std::move(data), error);
      observer->stillDidFinish(std::move(error));
    });
  }

  void pipelineDidStop() override {
    fail(captureError(AVErrorDeviceNotConnected, "The camera stopped before the photo"));
  }

 private:
  std::shared_ptr<CameraPipeline> take() {
    kivo::MutexLock lock(mutex_);
    if (done_) return nullptr;
    done_ = true;
    return std::move(pipeline_);
  }

  void fail(const NSError& error) {
    auto pipeline = take();
    if (!pipeline) return;
    pipeline->removeListener(this);
    queue_.async([observer = observer_, error, pipeline = std::move(pipeline)]() mutable {
      pipeline.reset();
      observer->stillDidProcess(std::nullopt, error);
      observer->stillDidFinish(error);
    });
  }

  const DispatchQueue queue_;
  const std::shared_ptr<const AVCaptureConnection> connection_;
  const std::shared_ptr<AVCaptureStillObserver> observer_;
  const std::shared_ptr<Camera> camera_;
  kivo::Mutex mutex_;
  bool done_ KIVO_GUARDED_BY(mutex_) = false;
  std::shared_ptr<CameraPipeline> pipeline_ KIVO_GUARDED_BY(mutex_);
};

// What the catalog's thread and GStreamer's streaming threads hold of the
// layer: a hand-off of failures to the session queue, where the layer deals
// with them. So only a queue's block ever holds the layer on its way.
class FailureReporter {
 public:
  using Handler = std::function<void(const std::string& camera, std::uint64_t generation, const NSError& error)>;
  explicit FailureReporter(Handler handler) : handler_(std::move(handler)) {}

  void report(std::string camera, std::uint64_t generation, NSError error) {
    if (!isExecutorInstalled()) return;
    queue_.get().async([handler = handler_, camera = std::move(camera), generation, error = std::move(error)] {
      handler(camera, generation, error);
    });
  }

 private:
  const Handler handler_;
  LazyDispatchQueue queue_{"com.kivocamera.platform.session"};
};

}  // namespace

// ---------------------------------------------------------------------------
// The layer

class GstCaptureBackend final : public AVCaptureBackend, public std::enable_shared_from_this<GstCaptureBackend> {
 public:
  explicit GstCaptureBackend(BackendOptions options) : options_(std::move(options)) {}

  /// Starts discovery; the catalog reports removals to this layer while it lives.
  void open() {
    reporter_ = std::make_shared<FailureReporter>(
        [weakSelf = weak_from_this()](const std::string& camera, std::uint64_t generation, const NSError& error) {
          if (const auto self = weakSelf.lock()) self->tearDownAndReport(camera, generation, error);
        });
    const bool devicesToo = !options_.onlyCamera || *options_.onlyCamera != "test";
    catalog_ = std::make_unique<CameraCatalog>(
        devicesToo, options_.placements, [reporter = reporter_](const std::string& name) {
          reporter->report(name, 0, captureError(AVErrorDeviceNotConnected, "The camera " + name + " is gone"));
        });
    if (options_.onlyCamera && !describe(*options_.onlyCamera))
      throw std::runtime_error("there is no camera named '" + *options_.onlyCamera + "'");
  }

  ~GstCaptureBackend() override {
    // No removal is reported once the catalog has gone.
    catalog_.reset();
  }

  // --- Discovery and permission

  std::vector<std::shared_ptr<AVCaptureDevice>> devices() override {
    std::vector<std::shared_ptr<AVCaptureDevice>> devices;
    for (const auto& description : visibleCameras()) devices.push_back(cameraFor(description)->device());
    return devices;
  }

  /// Denied when the cameras refuse to be opened (EACCES) and none lets
  /// itself be; authorized otherwise. Nobody is there to be asked.
  AVAuthorizationStatus authorizationStatus(AVMediaType) override {
    bool denied = false;
    for (const auto& camera : visibleCameras()) {
      const Access access = probeAccess(camera);
      if (access == Access::granted || access == Access::busy) return AVAuthorizationStatus::authorized;
      denied = denied || access == Access::denied;
    }
    return denied ? AVAuthorizationStatus::denied : AVAuthorizationStatus::authorized;
  }

  void requestAccess(AVMediaType mediaType, std::function<void(bool)> completion) override {
    if (!completion) return;
    const bool granted = authorizationStatus(mediaType) == AVAuthorizationStatus::authorized;
    permissionQueue_.get().async([completion = std::move(completion), granted] { completion(granted); });
  }

  void sessionCreated(const std::shared_ptr<AVCaptureSession>& session) override {
    kivo::MutexLock lock(mutex_);
    std::erase_if(sessions_, [](const auto& weak) { return weak.expired(); });
    sessions_.push_back(session);
  }

  // --- Configuration

  std::optional<NSError> applyControl(const std::shared_ptr<AVCaptureDevice>& device,
                                      const AVCaptureControlChange& change) override {
    const auto camera = knownCamera(*device);
    if (!camera) return captureError(AVErrorDeviceNotConnected, "Cannot use a missing device");
    const CameraControls& controls = camera->controls();
    std::optional<std::pair<std::string, int>> setting;
    if (const auto* zoom = std::get_if<AVCaptureControl::VideoZoom>(&change)) {
      // An optical zoom jumps to the factor; a digital one may ramp.
      if (controls.zoom)
        setting.emplace("zoom_absolute", zoomControlValue(*controls.zoom, zoom->factor, kZoomLimit));
      else
        camera->zoom(*zoom, CACurrentMediaTime());
    } else if (const auto* focus = std::get_if<AVCaptureControl::FocusMode>(&change)) {
      if (controls.continuousFocus)
        setting.emplace("focus_automatic_continuous", focus->mode == AVCaptureFocusMode::continuousAutoFocus);
    } else if (const auto* exposure = std::get_if<AVCaptureControl::ExposureMode>(&change)) {
      if (controls.autoExposure)
        setting.emplace("auto_exposure", exposure->mode == AVCaptureExposureMode::continuousAutoExposure
                                             ? kAutoExposureOn
                                             : kAutoExposureOff);
    } else if (const auto* torch = std::get_if<AVCaptureControl::Torch>(&change)) {
      if (torch->mode != AVCaptureTorchMode::off) return captureError(AVErrorUnknown, "The camera has no torch");
    }
    // A new frame duration is read when the camera next starts. Anything else
    // the framework allows this camera (a locked focus, the white balance) is
    // what the camera does by itself.
    if (!setting) return std::nullopt;
    const ControlValues values = camera->setControl(setting->first, setting->second);
    if (const auto pipeline = runningPipeline(camera->description().name)) pipeline->setControls(values);
    return std::nullopt;
  }

  std::optional<double> currentVideoZoomFactor(const AVCaptureDevice& device) override {
    const auto camera = knownCamera(device);
    return camera ? camera->rampingZoomFactor(CACurrentMediaTime()) : std::nullopt;
  }

  // --- Inputs

  /// Fails, without touching the permission, when the camera is gone, busy
  /// or refuses to be opened.
  std::optional<NSError> openDevice(AVCaptureDevice& device) override {
    const auto camera = knownCamera(device) ? describe(device.uniqueID()) : std::nullopt;
    const Access access = camera ? probeAccess(*camera) : Access::gone;
    switch (access) {
      case Access::granted: return std::nullopt;
      case Access::gone: return captureError(AVErrorDeviceNotConnected, "Cannot use " + device.uniqueID() + ": it is gone");
      case Access::busy: return captureError(AVErrorUnknown, "Cannot use " + device.uniqueID() + ": it is in use");
      case Access::denied: break;
    }
    return captureError(AVErrorUnknown, "Cannot use " + device.uniqueID() + ": access is refused");
  }

  // --- Frames and stills

  std::unique_ptr<AVCaptureStream> startStream(const std::shared_ptr<AVCaptureDevice>& device,
                                               const AVCaptureStreamRequest& request,
                                               std::weak_ptr<AVCaptureStreamSink> sink) override {
    const auto camera = knownCamera(*device);
    if (!camera) return nullptr;
    auto pipeline = pipelineFor(camera);
    if (!pipeline) return nullptr;
    return std::make_unique<GstStream>(std::move(pipeline),
                                       std::make_shared<StreamState>(camera, request, std::move(sink)));
  }

  void captureStill(const std::shared_ptr<AVCaptureDevice>& device, const AVCaptureStillRequest& request,
                    std::shared_ptr<AVCaptureStillObserver> observer) override {
    const auto camera = knownCamera(*device);
    auto pipeline = camera ? pipelineFor(camera) : nullptr;
    if (!pipeline) {
      request.queue.async([observer = std::move(observer)] {
        const NSError error = captureError(AVErrorDeviceNotConnected, "The camera cannot take a photo");
        observer->stillWillBegin(CMTimeRangeMake(kCMTimeZero, kCMTimeZero));
        observer->stillDidProcess(std::nullopt, error);
        observer->stillDidFinish(error);
      });
      return;
    }
    std::make_shared<StillCapture>(request, std::move(observer), camera, std::move(pipeline))->begin();
  }

  std::int64_t nextPhotoSettingsID() override { return lastPhotoSettingsID_.fetch_add(1) + 1; }

  // --- Diagnostics

  bool postError(const std::string& name, const std::string& message) {
    const auto pipeline = runningPipeline(name);
    if (pipeline) pipeline->postError(message);
    return pipeline != nullptr;
  }

 private:
  struct PipelineSlot {
    std::weak_ptr<CameraPipeline> pipeline;
    std::uint64_t generation = 0;
  };

  std::shared_ptr<CameraPipeline> runningPipeline(const std::string& name) const {
    std::shared_ptr<CameraPipeline> pipeline;
    {
      kivo::MutexLock lock(mutex_);
      if (const auto found = pipelines_.find(name); found != pipelines_.end()) pipeline = found->second.pipeline.lock();
    }
    return pipeline && !pipeline->isStopped() ? pipeline : nullptr;
  }

  std::vector<CameraDescription> visibleCameras() const {
    auto cameras = catalog_->cameras();
    if (options_.onlyCamera)
      std::erase_if(cameras, [&](const CameraDescription& camera) { return camera.name != *options_.onlyCamera; });
    return cameras;
  }

  std::optional<CameraDescription> describe(const std::string& name) const {
    for (auto& camera : visibleCameras())
      if (camera.name == name) return std::move(camera);
    return std::nullopt;
  }

  /// The device of a camera as this layer describes it: the only camera is
  /// the back wide one; continuous focus and exposure where the camera has
  /// those controls; no torch, flash, focus point, exposure bias or low-light
  /// boost, which the sources do not offer.
  AVCaptureDeviceDescription deviceDescription(const CameraDescription& camera, const CameraControls& controls) const {
    AVCaptureDeviceDescription description;
    description.uniqueID = camera.name;
    description.deviceType = options_.onlyCamera ? std::string(AVCaptureDeviceTypeBuiltInWideAngleCamera)
                                                 : camera.deviceType;
    description.position = options_.onlyCamera ? AVCaptureDevicePosition::back : camera.position;
    description.focusPointOfInterestSupported = false;
    description.continuousAutoFocusSupported = controls.continuousFocus;
    description.smoothAutoFocusSupported = false;
    description.continuousAutoExposureSupported = controls.autoExposure;
    description.continuousAutoWhiteBalanceSupported = false;
    description.lowLightBoostSupported = false;
    description.minExposureTargetBias = 0;
    description.maxExposureTargetBias = 0;
    description.supportedColorSpaces = {rawValue(AVCaptureColorSpace::sRGB)};
    description.activeColorSpace = rawValue(AVCaptureColorSpace::sRGB);
    description.supportedSessionPresets = supportedPresets(camera.modes);
    // Up to 30 frames a second unless the host asks for more (the device's
    // minimum frame duration), as far as the fastest mode goes.
    double rate = 0;
    for (const auto& mode : camera.modes) rate = std::max(rate, mode.frameRate);
    if (rate > 0 && std::isfinite(rate)) {
      description.frameRate = std::min(rate, kDefaultFrameRate);
      description.maxFrameRate = rate;
    }
    description.maxVideoZoomFactor = kZoomLimit;
    return description;
  }

  std::shared_ptr<Camera> cameraFor(const CameraDescription& description) {
    {
      kivo::MutexLock lock(mutex_);
      if (const auto found = cameras_.find(description.name); found != cameras_.end()) return found->second;
    }
    // Probed once, outside the lock: it opens the camera's node.
    const CameraControls controls = probeControls(description);
    auto made = std::make_shared<Camera>(description, controls,
                                         AVCaptureDevice::create(deviceDescription(description, controls)));
    kivo::MutexLock lock(mutex_);
    return cameras_.try_emplace(description.name, std::move(made)).first->second;
  }

  /// The camera behind a device of this layer, or none.
  std::shared_ptr<Camera> knownCamera(const AVCaptureDevice& device) const {
    kivo::MutexLock lock(mutex_);
    const auto found = cameras_.find(device.uniqueID());
    if (found == cameras_.end() || found->second->device().get() != &device) return nullptr;
    return found->second;
  }

  /// The session preset of a session using the camera (a running one first).
  std::string presetFor(const Camera& camera) const {
    std::vector<std::weak_ptr<AVCaptureSession>> sessions;
    {
      kivo::MutexLock lock(mutex_);
      sessions = sessions_;
    }
    std::optional<std::string> preset;
    for (const auto& weak : sessions) {
      const auto session = weak.lock();
      if (!session || session->videoDevice() != camera.device()) continue;
      if (session->isRunning()) return session->sessionPreset();
      if (!preset) preset = session->sessionPreset();
    }
    return preset.value_or(std::string(AVCaptureSessionPresetHigh));
  }

  /// The camera's running pipeline, built now when there is none.
  std::shared_ptr<CameraPipeline> pipelineFor(const std::shared_ptr<Camera>& camera) {
    const std::string& name = camera->description().name;
    // One build at a time, so a camera never gets two pipelines.
    kivo::MutexLock building(buildMutex_);
    std::uint64_t generation = 0;
    {
      kivo::MutexLock lock(mutex_);
      const auto found = pipelines_.find(name);
      if (found != pipelines_.end()) {
        if (auto running = found->second.pipeline.lock(); running && !running->isStopped()) return running;
      }
      generation = ++lastGeneration_;
    }
    const auto mode = modeForPreset(camera->description().modes, presetFor(*camera), 1 / camera->frameInterval());
    std::string failure;
    auto pipeline = CameraPipeline::start(
        catalog_->createSource(name), mode, camera->controlValues(),
        [reporter = reporter_, name, generation](const std::string& message) {
          reporter->report(name, generation, captureError(AVErrorUnknown, message));
        },
        &failure);
    if (!pipeline) return nullptr;
    kivo::MutexLock lock(mutex_);
    pipelines_[name] = PipelineSlot{pipeline, generation};
    return pipeline;
  }

  /// A camera's pipeline failed (`generation` 0: the camera is gone). On the
  /// session queue: the pipeline is torn down, so that the next start builds
  /// a new one, and every running session on that camera hears of it.
  void tearDownAndReport(const std::string& name, std::uint64_t generation, const NSError& error) {
    std::shared_ptr<CameraPipeline> failed;
    std::shared_ptr<Camera> camera;
    std::vector<std::weak_ptr<AVCaptureSession>> sessions;
    {
      kivo::MutexLock lock(mutex_);
      const auto found = pipelines_.find(name);
      if (found != pipelines_.end() && (generation == 0 || found->second.generation == generation)) {
        failed = found->second.pipeline.lock();
        pipelines_.erase(found);
      }
      if (const auto known = cameras_.find(name); known != cameras_.end()) camera = known->second;
      sessions = sessions_;
    }
    if (failed) failed->stop();
    if (!camera) return;
    for (const auto& weak : sessions) {
      const auto session = weak.lock();
      if (!session || !session->isRunning() || session->videoDevice() != camera->device()) continue;
      UserInfo info;
      info.emplace(std::string(AVCaptureSessionErrorKey), error);
      session->postNotification(AVCaptureSessionRuntimeErrorNotification, std::move(info));
    }
  }

  const BackendOptions options_;
  std::shared_ptr<FailureReporter> reporter_;
  std::unique_ptr<CameraCatalog> catalog_;
  kivo::Mutex buildMutex_;
  mutable kivo::Mutex mutex_;
  std::map<std::string, std::shared_ptr<Camera>, std::less<>> cameras_ KIVO_GUARDED_BY(mutex_);
  std::map<std::string, PipelineSlot, std::less<>> pipelines_ KIVO_GUARDED_BY(mutex_);
  std::uint64_t lastGeneration_ KIVO_GUARDED_BY(mutex_) = 0;
  std::vector<std::weak_ptr<AVCaptureSession>> sessions_ KIVO_GUARDED_BY(mutex_);
  std::atomic<std::int64_t> lastPhotoSettingsID_{0};
  LazyDispatchQueue permissionQueue_{"com.kivocamera.platform.permission"};
};

std::shared_ptr<AVCaptureBackend> makeCaptureBackend(BackendOptions options) {
  std::string reason;
  if (!ensureGStreamer(&reason)) throw std::runtime_error("GStreamer cannot start: " + reason);
  auto layer = std::make_shared<GstCaptureBackend>(std::move(options));
  layer->open();
  return layer;
}

std::size_t livePipelineCount() { return CameraPipeline::liveCount(); }

bool postPipelineError(AVCaptureBackend& layer, const std::string& camera, const std::string& message) {
  auto* ours = dynamic_cast<GstCaptureBackend*>(&layer);
  return ours && ours->postError(camera, message);
}

}  // namespace gstcam
