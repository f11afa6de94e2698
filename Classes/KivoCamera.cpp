// KivoCamera: state, initialisers, configuration setters with effects,
// read-only values, analytics operations and the video frame callback.

#include "KivoCamera.h"

#include <stdexcept>

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCapturePhotoOutput.h"
#include "AVFoundation/AVCaptureSession.h"
#include "KivoCameraAnalytics.h"
#include "KivoCameraHandles.h"
#include "KivoCameraSafeDict.h"
#include "KivoFocusView.h"
#include "KivoMotionManager.h"
#include "KivoOrientation.h"
#include "KivoPreviewView.h"

// --- Creation -------------------------------------------------------------------

KivoCamera::KivoCamera()
    : handles_(std::make_unique<Handles>()),
      videoGravity_(AVLayerVideoGravityResizeAspect),
      sessionPreset_(AVCaptureSessionPresetPhoto),
      session_(AVCaptureSession::create()),
      sessionQueue_(kSessionQueueLabel),
      photoOutput_(AVCapturePhotoOutput::create()),
      inProgressPhotoCaptureDelegates_(
          KivoCameraSafeDict<std::int64_t, std::shared_ptr<KivoPhotoCaptureProcessor>>::create()) {}

KivoCamera::~KivoCamera() {
  handOverToMain(std::move(previewView_), std::move(focusView_), std::move(captureAnimationView_));
}

std::shared_ptr<KivoCamera> KivoCamera::create() {
  KIVO_ASSERT_MAIN_THREAD();
  // The controller's queues need an executor; without one, say what the host
  // has to set up rather than failing deep inside the first queue.
  if (!isExecutorInstalled())
    throw std::logic_error(
        "KivoCamera::create: no dispatch executor is installed; the host installs one on its main thread "
        "before it creates a camera (a ThreadedExecutor, whose main loop runs the main queue, or a "
        "DeterministicExecutor in tests)");
  return std::shared_ptr<KivoCamera>(new KivoCamera());
}

std::shared_ptr<KivoCamera> KivoCamera::createWithPoint(CGPoint point) {
  KIVO_ASSERT_MAIN_THREAD();
  auto camera = create();
  camera->initWithPoint(point);
  return camera;
}

void KivoCamera::initWithPoint(CGPoint point) {
  KIVO_ASSERT_MAIN_THREAD();
  // Reading the view loads it: viewDidLoad runs here, before previewFrame
  // exists, so the preview view starts with an empty frame.
  const double width = view()->frame().size.width;
  const double previewWidth = width - 2 * point.x;
  previewFrame_ = CGRectMake(point.x, point.y, previewWidth, previewWidth / 3 * 4);
  view()->setFrame(*previewFrame_);
}

// --- Configuration ----------------------------------------------------------------

std::shared_ptr<KivoCameraDelegate> KivoCamera::delegate() const { return handles_->delegate.load().lock(); }

std::shared_ptr<KivoMotionManager> KivoCamera::motionManager() const { return handles_->motionManager.load(); }

std::shared_ptr<KivoOrientation> KivoCamera::orientation() const { return handles_->orientation.load(); }

void KivoCamera::setOrientation(std::shared_ptr<KivoOrientation> orientation) {
  handles_->orientation.store(std::move(orientation));
}

std::shared_ptr<AVCaptureDevice> KivoCamera::videoDevice() const { return handles_->videoDevice.load(); }

std::size_t KivoCamera::capturesInProgress() const { return inProgressPhotoCaptureDelegates_->count(); }

void KivoCamera::setDelegate(const std::shared_ptr<KivoCameraDelegate>& delegate) {
  handles_->delegate.store(delegate);
  // After the store: a frame that sees the new generation reloads and finds
  // this delegate (or a newer one).
  frameReferencesGeneration_.fetch_add(1, std::memory_order_release);
}

void KivoCamera::setMotionManager(std::shared_ptr<KivoMotionManager> manager) {
  handles_->motionManager.store(std::move(manager));
  frameReferencesGeneration_.fetch_add(1, std::memory_order_release);
}

void KivoCamera::setShouldUseDeviceOrientation(bool value) {
  shouldUseDeviceOrientation_ = value;
  if (auto current = orientation()) current->setShouldUseDeviceOrientation(value);
}

std::optional<std::uint32_t> KivoCamera::videoOutputSettingFormatType() const {
  const std::int64_t raw = videoOutputSettingFormatType_;
  if (raw < 0) return std::nullopt;
  return static_cast<std::uint32_t>(raw);
}

std::string KivoCamera::videoGravity() const {
  KIVO_ASSERT_MAIN_THREAD();
  return videoGravity_;
}

void KivoCamera::setVideoGravity(std::string gravity) {
  KIVO_ASSERT_MAIN_THREAD();
  videoGravity_ = std::move(gravity);
  if (previewView_) previewView_->previewLayer()->setVideoGravity(videoGravity_);
}

std::string KivoCamera::sessionPreset() const {
  kivo::MutexLock lock(sessionPresetMutex_);
  return sessionPreset_;
}

void KivoCamera::setSessionPreset(std::string preset) {
  kivo::MutexLock lock(sessionPresetMutex_);
  sessionPreset_ = std::move(preset);
}

// --- Read-only values ---------------------------------------------------------------

float KivoCamera::exposureTargetBias() const {
  auto device = videoDevice();
  return device ? device->exposureTargetBias() : 0.0f;
}

float KivoCamera::minExposureTargetBias() const {
  auto device = videoDevice();
  return device ? device->minExposureTargetBias() : 0.0f;
}

float KivoCamera::maxExposureTargetBias() const {
  auto device = videoDevice();
  return device ? device->maxExposureTargetBias() : 0.0f;
}

bool KivoCamera::isFlashAvailable() const {
  auto device = videoDevice();
  return device ? device->isFlashAvailable() : false;
}

bool KivoCamera::isLivePhotoCaptureEnabled() const { return photoOutput_->isLivePhotoCaptureEnabled(); }

// --- Analytics ----------------------------------------------------------------------

void KivoCamera::analytics(KivoCameraPerfomanceStep step, double time) {
  // Read when the event is sent, not when the timing began.
  if (step == KivoCameraPerfomanceStep::capture) {
    KivoCameraAnalytics::analytics(step, time, sessionPreset(), cameraPosition(), flashMode());
  } else {
    KivoCameraAnalytics::analytics(step, time, sessionPreset(), std::nullopt, std::nullopt);
  }
}

void KivoCamera::analyticsPreviewPossibleError(KivoCameraPerfomanceStep step) {
  auto self = std::static_pointer_cast<KivoCamera>(shared_from_this());
  DispatchQueue::main().async([self, step] {
    KIVO_ASSERT_MAIN_THREAD();
    if (self->view()->isHidden()) KivoCameraAnalytics::analytics(step, KivoCameraError::viewHidden);
    if (self->previewView_) {
      if (self->previewView_->isHidden()) KivoCameraAnalytics::analytics(step, KivoCameraError::previewHidden);
      if (!self->previewView_->previewLayer()->session())
        KivoCameraAnalytics::analytics(step, KivoCameraError::previewSessionError);
    } else {
      KivoCameraAnalytics::analytics(step, KivoCameraError::previewInitError);
    }
  });
}

// --- Video frames -------------------------------------------------------------------

void KivoCamera::captureOutput(AVCaptureOutput&, const CMSampleBufferRef& sampleBuffer, AVCaptureConnection&) {
  KIVO_ASSERT_ON_QUEUE(videoOutputQueue_);
  // Frames come often, so this path takes no lock. It keeps its own copies of
  // the weak delegate and of the motion manager's state cell and reloads them
  // from the locked pointers only when the generation has moved: setDelegate
  // and setMotionManager advance it after storing, so a reload that sees the
  // new generation sees the new reference. The output calls this on one
  // serial queue, so the copies need no lock of their own. A frame then pays
  // one acquire load, the weak delegate's lock and one relaxed load besides
  // the callback. The delegate is still locked and asked on every frame, and
  // isStill is read only once it answers. The state cell, not the manager, is
  // kept so that a replaced manager goes (and stops its sensor) at once.
  const std::uint64_t generation = frameReferencesGeneration_.load(std::memory_order_acquire);
  if (frameReferences_.generation != generation) {
    frameReferences_.delegate = handles_->delegate.load();
    const auto manager = handles_->motionManager.load();
    frameReferences_.motionState = manager ? manager->motionStateCell() : nullptr;
    frameReferences_.generation = generation;
  }
  const auto strongDelegate = frameReferences_.delegate.lock();
  if (!strongDelegate || !strongDelegate->respondsToSelector(KivoCameraDelegateSelector::cameraDidOutputIsStill))
    return;
  const auto& motionState = frameReferences_.motionState;
  const bool isStill = motionState && motionState->load(std::memory_order_relaxed) == KivoMotionState::still;
  strongDelegate->cameraDidOutput(*this, sampleBuffer, isStill);
}
