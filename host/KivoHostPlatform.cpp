#include "KivoHostPlatform.h"

#include <cmath>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "AVFoundation/AVCaptureBackend.h"
#include "CoreMotion/CMMotionBackend.h"
#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "Foundation/NotificationCenter.h"
#include "Foundation/PlatformTrace.h"
#include "Kivo/KivoResource.h"
#include "UIKit/UIApplication.h"
#include "UIKit/UIDevice.h"
#include "UIKit/UIScreen.h"

#ifdef KIVO_HOST_WITH_GSTREAMER
#include "GstCaptureBackend.h"
#endif

namespace {

// The sensor service of a machine without an accelerometer: managers report
// it unavailable and never start, so no reading is ever asked for.
class NoAccelerometer final : public CMMotionBackend {
 public:
  bool isAccelerometerAvailable() override { return false; }
  void accelerometerClientDidStart(std::uint64_t) override {}
  void accelerometerClientDidStop(std::uint64_t) override {}
  CMAccelerometerReading readAccelerometer(std::uint64_t) override { return CMAcceleration{0, -1, 0}; }
};

// Kivo()'s tracker: hands every event to the host.
class HostTracker final : public KivoCore {
 public:
  using Callback = std::function<void(const std::string&, const TrackingParameters&)>;
  explicit HostTracker(Callback callback) : callback_(std::move(callback)) {}
  void Tracking_Event(const std::string& name, const TrackingParameters& parameters) override {
    callback_(name, parameters);
  }

 private:
  const Callback callback_;
};

void checkOptions(const KivoHostOptions& options) {
  if (!(options.screenWidth > 0) || !(options.screenHeight > 0) || !std::isfinite(options.screenWidth) ||
      !std::isfinite(options.screenHeight))
    throw std::invalid_argument("KivoHostPlatform: the screen's size must be positive and finite");
  if (options.screenScale < 1 || options.screenScale > 3)
    throw std::invalid_argument("KivoHostPlatform: the screen's scale must be 1, 2 or 3");
  if (options.resources && !std::filesystem::is_directory(*options.resources))
    throw std::invalid_argument("KivoHostPlatform: the resource directory " + options.resources->string() +
                                " does not exist");
  if (options.camera && !KivoHostPlatform::hasRealCameras())
    throw std::runtime_error("KivoHostPlatform: the camera \"" + *options.camera +
                             "\" was asked for, but this build has no real cameras (KivoCamera was built "
                             "without its GStreamer device layer: KIVO_WITH_GSTREAMER)");
  if (isExecutorInstalled())
    throw std::logic_error(
        "KivoHostPlatform: an executor is already installed (another KivoHostPlatform, a sim::World, or an "
        "executor of the host's own); only one platform may exist at a time");
}

std::shared_ptr<AVCaptureBackend> makeDeviceLayer([[maybe_unused]] const std::optional<std::string>& camera) {
#ifdef KIVO_HOST_WITH_GSTREAMER
  try {
    return gstcam::makeCaptureBackend({.onlyCamera = camera, .placements = {}});
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(std::string("KivoHostPlatform: the GStreamer device layer: ") + error.what());
  }
#else
  return nullptr;  // the platform's empty layer
#endif
}

void resetPlatformSingletons() {
  UIScreen::main().resetToDefaults();
  UIDevice::current().resetToDefaults();
  UIApplication::shared().resetToDefaults();
}

}  // namespace

// What the platform installs, in order; torn down in reverse, the executor
// (and with it every pending block) last but for the resource directory.
struct KivoHostPlatform::Installed {
  std::optional<ScopedKivoResourceDirectory> resources;
  std::optional<ThreadedExecutor> executor;
  std::optional<ScopedKivoHost> tracker;
  std::optional<ScopedPlatformCallSink> idleTimer;
  std::optional<ScopedCMMotionBackend> motion;
  std::optional<ScopedAVCaptureBackend> devices;

  ~Installed() {
    NotificationCenter::defaultCenter().removeAllObservers();
    devices.reset();
    motion.reset();
    idleTimer.reset();
    tracker.reset();
    resetPlatformSingletons();
    executor.reset();
    resources.reset();
  }
};

KivoHostPlatform::KivoHostPlatform(KivoHostOptions options) {
  checkOptions(options);
  // Members made so far are torn down by `installed_` if a later step throws.
  installed_ = std::make_unique<Installed>();
  Installed& in = *installed_;
  if (options.resources) in.resources.emplace(*options.resources);
  in.executor.emplace(options.workerThreads);

  resetPlatformSingletons();
  UIScreen::main().setBounds(CGRectMake(0, 0, options.screenWidth, options.screenHeight));
  UIScreen::main().setScale(options.screenScale);
  if (options.trackingEvent) in.tracker.emplace(std::make_shared<HostTracker>(std::move(options.trackingEvent)));
  if (options.idleTimerDisabled) {
    // The application reports each setIdleTimerDisabled call, after storing
    // the value, under the trace's lock: the host hears of it from the main
    // queue, where it may call anything.
    auto report = std::make_shared<const std::function<void(bool)>>(std::move(options.idleTimerDisabled));
    in.idleTimer.emplace([report](std::string_view receiver, std::string_view selector, std::string_view) {
      if (receiver != "application" || selector != "setIdleTimerDisabled:") return;
      DispatchQueue::main().async([report, disabled = UIApplication::shared().isIdleTimerDisabled()] {
        (*report)(disabled);
      });
    });
  }
  in.motion.emplace(std::make_shared<NoAccelerometer>());
  if (auto layer = makeDeviceLayer(options.camera)) in.devices.emplace(std::move(layer));
}

KivoHostPlatform::~KivoHostPlatform() { KIVO_ASSERT_MAIN_THREAD(); }

bool KivoHostPlatform::hasRealCameras() {
#ifdef KIVO_HOST_WITH_GSTREAMER
  return true;
#else
  return false;
#endif
}

int KivoHostPlatform::mainQueueDescriptor() { return installed_->executor->mainQueueDescriptor(); }

std::size_t KivoHostPlatform::drainMainQueue() { return installed_->executor->drainMainQueue(); }

bool KivoHostPlatform::runMainLoop(const std::function<bool()>& done) { return installed_->executor->runMainLoop(done); }

void KivoHostPlatform::stopMainLoop() { installed_->executor->stopMainLoop(); }

ThreadedExecutor& KivoHostPlatform::executor() { return *installed_->executor; }
