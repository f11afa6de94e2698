#pragma once
// KivoCamera: the camera controller a host embeds in one of its screens.
//
// The host makes one with `create()` (or `createWithPoint()`), sets its
// delegate and configuration, and attaches it with `addToController()`; the
// view lifecycle does the rest. Results come back through the weakly held
// KivoCameraDelegate.
//
// Thread-bound: main
// Except: the members marked Thread-safe below (configuration held in
// atomics, a locked pointer or behind a small mutex, values fixed at
// creation, startSession, stopSession, the shutter flash, delegate delivery
// and analytics, which the component's own queues call too), and
// captureOutput, Thread-bound: com.kivocamera.video.output.
//
// Queues: the host's calls, the view lifecycle, gestures, focus and the
// capture request run on the main thread, and each asserts it; the exposure
// bias, zoom, torch, flash and the camera switch's first part run on the
// caller's thread; every session configuration, start
// and stop, the camera switch's rebuild and the photo bookkeeping run on the
// serial `sessionQueue` ("com.kivocamera.session.queue"); frames arrive on
// "com.kivocamera.video.output". Every read of a value shared across queues
// sees a whole value; the frame path keeps its own copies of the two
// references it needs (see captureOutput). Each field says what guards it
// (KIVO_GUARDED_BY: the main thread, the session queue, the frame queue or a
// mutex), and clang's thread-safety analysis checks it.
//
// Ownership: the controller owns its session, queue, photo output, views,
// sensors and the table of captures in progress. Queued blocks hold it until
// they have run; sensor, observation and notification handlers hold it
// weakly. A host that drops its last reference sees it destroyed once its
// queued work has run.
//
// The implementation is split by concern: KivoCamera.cpp (state and
// initialisers) and the files named at each group below.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AVFoundation/AVCaptureTypes.h"
#include "AVFoundation/AVCaptureVideoDataOutput.h"
#include "CoreGraphics/CGGeometry.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/KeyValueObserving.h"
#include "Foundation/ThreadSafety.h"
#include "KivoCameraDelegate.h"
#include "KivoCameraEnum.h"
#include "UIKit/UIViewController.h"

class AVCaptureDevice;
class AVCapturePhotoOutput;
class AVCaptureSession;
class KivoFocusView;
class KivoMotionManager;
class KivoOrientation;
class KivoPhotoCaptureProcessor;
class KivoPreviewView;
template <class Key, class Value, class Hash, class KeyEqual>
class KivoCameraSafeDict;
class UIImage;
class UIPinchGestureRecognizer;
class UITapGestureRecognizer;
struct Notification;

class KivoCamera : public UIViewController, public AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  static constexpr const char* kSessionQueueLabel = "com.kivocamera.session.queue";
  static constexpr const char* kVideoOutputQueueLabel = "com.kivocamera.video.output";

  // --- Creation (KivoCamera.cpp). Thread-bound: main ------------------
  /// A controller with every default; its view is not loaded. Throws
  /// std::logic_error, saying what to set up, when no dispatch executor is
  /// installed.
  static std::shared_ptr<KivoCamera> create();
  /// A controller whose camera area starts at `point` inside its view: the
  /// view is read (and so loaded, running `viewDidLoad`) to take its width W,
  /// then `previewFrame` becomes (point.x, point.y, W − 2·point.x,
  /// (W − 2·point.x) / 3 × 4) and the view gets that frame.
  static std::shared_ptr<KivoCamera> createWithPoint(CGPoint point);
  /// On whichever queue lets go of the controller last; off the main
  /// thread, its views and child controllers are handed to the main queue.
  ~KivoCamera() override;

  /// Thread-safe
  std::string traceName() const override { return "KivoCamera"; }

  // --- Public configuration (KivoCamera.cpp) -----------------------------
  // Thread-safe
  // Except the views, videoGravity and focusPoint: Thread-bound: main.
  std::shared_ptr<KivoCameraDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<KivoCameraDelegate>& delegate);

  bool shouldShowFocus() const { return shouldShowFocus_; }
  void setShouldShowFocus(bool value) { shouldShowFocus_ = value; }
  bool shouldUseDeviceOrientation() const { return shouldUseDeviceOrientation_; }
  /// Also copies the value into the current `orientation` object.
  void setShouldUseDeviceOrientation(bool value);
  bool shouldPromptToAppSettings() const { return shouldPromptToAppSettings_; }
  void setShouldPromptToAppSettings(bool value) { shouldPromptToAppSettings_ = value; }
  bool shouldResetFocusAfterMove() const { return shouldResetFocusAfterMove_; }
  void setShouldResetFocusAfterMove(bool value) { shouldResetFocusAfterMove_ = value; }
  bool shouldShowFocusAfterLaunch() const { return shouldShowFocusAfterLaunch_; }
  void setShouldShowFocusAfterLaunch(bool value) { shouldShowFocusAfterLaunch_ = value; }
  bool shouldShowCaptureAnimation() const { return shouldShowCaptureAnimation_; }
  void setShouldShowCaptureAnimation(bool value) { shouldShowCaptureAnimation_ = value; }
  bool enableVideoDataOutput() const { return enableVideoDataOutput_; }
  void setEnableVideoDataOutput(bool value) { enableVideoDataOutput_ = value; }
  /// Set only through setVideoOutputSettingFormatType.
  std::optional<std::uint32_t> videoOutputSettingFormatType() const;
  bool shouldKeepSessionStopping() const { return shouldKeepSessionStopping_; }
  void setShouldKeepSessionStopping(bool value) { shouldKeepSessionStopping_ = value; }
  bool shouldHighResolutionPhotoEnabled() const { return shouldHighResolutionPhotoEnabled_; }
  void setShouldHighResolutionPhotoEnabled(bool value) { shouldHighResolutionPhotoEnabled_ = value; }
  /// Stored only.
  bool shouldCheckSupportedColorSpaces() const { return shouldCheckSupportedColorSpaces_; }
  void setShouldCheckSupportedColorSpaces(bool value) { shouldCheckSupportedColorSpaces_ = value; }
  /// Raw position: 0 unspecified, 1 back, 2 front.
  std::int64_t cameraPosition() const { return cameraPosition_; }
  void setCameraPosition(std::int64_t position) { cameraPosition_ = position; }
  std::string videoGravity() const;
  /// Also sets it on the preview layer when the preview view exists (until
  /// the next read of `previewLayer` puts the view's own gravity back).
  void setVideoGravity(std::string gravity);
  /// Raw flash mode: 0 off, 1 on, 2 auto.
  std::int64_t flashMode() const { return flashMode_; }
  void setFlashMode(std::int64_t mode) { flashMode_ = mode; }
  const std::shared_ptr<KivoPreviewView>& previewView() const {
    KIVO_ASSERT_MAIN_THREAD();
    return previewView_;
  }
  void setPreviewView(std::shared_ptr<KivoPreviewView> view) {
    KIVO_ASSERT_MAIN_THREAD();
    previewView_ = std::move(view);
  }
  const std::shared_ptr<KivoFocusView>& focusView() const {
    KIVO_ASSERT_MAIN_THREAD();
    return focusView_;
  }
  void setFocusView(std::shared_ptr<KivoFocusView> view) {
    KIVO_ASSERT_MAIN_THREAD();
    focusView_ = std::move(view);
  }
  std::optional<CGPoint> focusPoint() const {
    KIVO_ASSERT_MAIN_THREAD();
    return focusPoint_;
  }
  bool shouldPinchToZoom() const { return shouldPinchToZoom_; }
  void setShouldPinchToZoom(bool value) { shouldPinchToZoom_ = value; }
  double maxZoomScale() const { return maxZoomScale_; }
  void setMaxZoomScale(double value) { maxZoomScale_ = value; }
  double minZoomScale() const { return minZoomScale_; }
  void setMinZoomScale(double value) { minZoomScale_ = value; }
  double zoomScale() const { return zoomScale_; }
  /// Stores only: the device is untouched until the next zoom.
  void setZoomScale(double value) { zoomScale_ = value; }
  std::shared_ptr<KivoMotionManager> motionManager() const;
  void setMotionManager(std::shared_ptr<KivoMotionManager> manager);
  std::shared_ptr<KivoOrientation> orientation() const;
  /// Does not copy `shouldUseDeviceOrientation` into the new object.
  void setOrientation(std::shared_ptr<KivoOrientation> orientation);
  std::string sessionPreset() const;
  void setSessionPreset(std::string preset);
  bool shouldListeningToExposure() const { return shouldListeningToExposure_; }
  void setShouldListeningToExposure(bool value) { shouldListeningToExposure_ = value; }
  bool shouldListeningToAutoFocus() const { return shouldListeningToAutoFocus_; }
  void setShouldListeningToAutoFocus(bool value) { shouldListeningToAutoFocus_ = value; }
  bool shouldUseAutoResolution() const { return shouldUseAutoResolution_; }
  void setShouldUseAutoResolution(bool value) { shouldUseAutoResolution_ = value; }
  bool shouldAutoUseMultiCamera() const { return shouldAutoUseMultiCamera_; }
  void setShouldAutoUseMultiCamera(bool value) { shouldAutoUseMultiCamera_ = value; }

  // --- Read-only values (KivoCamera.cpp). Thread-safe ------------------
  /// The current device's values, 0 without a device.
  float exposureTargetBias() const;
  float minExposureTargetBias() const;
  float maxExposureTargetBias() const;
  /// The current device's flash availability, false without a device.
  bool isFlashAvailable() const;
  bool isLivePhotoCaptureEnabled() const;

  // --- Embedding and lifecycle (KivoCameraLifecycle.cpp). Thread-bound: main
  /// The host controller adds this one as a child, then its view adds this
  /// controller's view (loading it if needed). Nothing else is called.
  void addToController(const std::shared_ptr<UIViewController>& controller);
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidLayoutSubviews() override;
  void viewDidAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  void viewDidDisappear(bool animated) override;
  /// The shutter flash: queues on the main queue a black overlay at full
  /// opacity that fades out in 0.25 s. Thread-safe (the photo output's queue
  /// calls it).
  void capturePhotoAnimation();

  // --- Session running (KivoCameraSession.cpp) ----------------------------
  // Thread-safe: the host, the session queue and notification handlers call
  // these; the work itself is queued on the session queue.
  /// Clears shouldKeepSessionStopping, then queues the start on the session
  /// queue (only after a successful setup, only when not running).
  void startSession();
  /// Queues the stop on the session queue (only after a successful setup,
  /// only when running).
  void stopSession();

  // --- Focus (KivoCameraControls.cpp). Thread-bound: main --------------------
  /// Focuses at a point of the preview view. With `animated` the reticle is
  /// also shown at that point: a tap shows where it focuses.
  void focusAtPoint(CGPoint point, bool animated);
  /// At `focusPoint` if one was set, else at the preview's centre.
  void focusWithAnimated(bool animated);
  void focusCenterWithAnimated(bool animated);
  /// Stores the point used by focusWithAnimated; focuses nothing by itself.
  void setFocusPoint(CGPoint point) {
    KIVO_ASSERT_MAIN_THREAD();
    focusPoint_ = point;
  }
  void setFocusImage(std::shared_ptr<UIImage> image);

  // --- Exposure bias and zoom (KivoCameraControls.cpp) ----------------------
  // Thread-safe: they run on the caller's thread (the main thread for a
  // host's user interface) and touch only the device and atomics.
  /// Back camera only; the bias is passed on unchanged.
  void setExposureTargetBias(float bias);
  void zoomWithScale(double scale);
  void zoomWithScale(double scale, bool animation);
  void zoomWithLevel(double level);

  // --- Torch, flash and camera switching (KivoCameraSwitching.cpp) ----------
  // Thread-safe: on the caller's thread, as the zoom; the switch's rebuild
  // runs on the session queue and its callbacks on the main queue.
  void toggleTorch(bool on);
  void toggleFlash(std::int64_t flashMode);
  /// True asks for the back camera, false for the front one.
  void toggleCameraPosition(bool isBack);

  // --- Photo capture (KivoCameraCapture.cpp). Thread-bound: main -----------
  /// Takes one photo; the bytes reach camera:didCapturePhoto: on the main
  /// queue. A request while a capture is in progress is dropped.
  void capturePhoto();

  // --- Video frames (KivoCameraSession.cpp) --------------------------------
  /// Stores the pixel format asked of the frame output at the next setup.
  /// Thread-safe.
  void setVideoOutputSettingFormatType(std::uint32_t type);

  // --- Video frames (KivoCamera.cpp) ----------------------------------------
  /// camera:didOutput:isStill: for one frame.
  /// Thread-bound: com.kivocamera.video.output
  /// The frame output calls it on that one serial queue, never on two threads
  /// at once: it keeps its own copies of the references it reads.
  void captureOutput(AVCaptureOutput& output, const CMSampleBufferRef& sampleBuffer,
                     AVCaptureConnection& connection) override;

 protected:
  KivoCamera();
  /// The point initialiser's work on a made controller (so that a subclass
  /// made with its own factory can be initialised the same way).
  /// Thread-bound: main
  void initWithPoint(CGPoint point);

 private:
  friend class KivoCameraInspector;
  // The references several queues read and replace whole (KivoCamera.cpp).
  struct Handles;

  // Private state read through KivoCameraInspector (and by the component).
  // Thread-safe, except captureAnimationView and previewFrame: Thread-bound: main.
  std::shared_ptr<AVCaptureDevice> videoDevice() const;
  SessionSetupResult sessionSetupResult() const { return sessionSetupResult_; }
  const std::shared_ptr<AVCaptureSession>& session() const { return session_; }
  const std::shared_ptr<AVCapturePhotoOutput>& photoOutput() const { return photoOutput_; }
  const std::shared_ptr<UIView>& captureAnimationView() const {
    KIVO_ASSERT_MAIN_THREAD();
    return captureAnimationView_;
  }
  std::optional<CGRect> previewFrame() const {
    KIVO_ASSERT_MAIN_THREAD();
    return previewFrame_;
  }
  bool isViewDidAppear() const { return isViewDidAppear_; }
  /// Captures handed to the photo output and not yet removed.
  std::size_t capturesInProgress() const;

  // Delivery to the delegate. Thread-safe.
  /// Loads the weak delegate and, if it responds to `selector`, runs
  /// `call(delegate)` on the calling queue; whatever `call` computes is
  /// computed only then.
  template <class Call>
  void notifyDelegate(KivoCameraDelegateSelector selector, Call&& call) {
    auto strongDelegate = delegate();
    if (!strongDelegate || !strongDelegate->respondsToSelector(selector)) return;
    call(*strongDelegate);
  }

  // Analytics (KivoCamera.cpp). Thread-safe.
  /// The timing event of `step` with the current preset (and, for a capture,
  /// the current camera position and flash mode).
  void analytics(KivoCameraPerfomanceStep step, double time);
  /// Queues the preview check for `step` on the main queue.
  void analyticsPreviewPossibleError(KivoCameraPerfomanceStep step);

  std::shared_ptr<KivoCamera> self() { return std::static_pointer_cast<KivoCamera>(shared_from_this()); }
  std::weak_ptr<KivoCamera> weakSelf() { return self(); }
  /// The frame output's queue, known by its label: the output holds it.
  static constexpr DispatchQueueLabel videoOutputQueue_{kVideoOutputQueueLabel};

  // View set-up (KivoCameraLifecycle.cpp).
  void addPreviewLayer() KIVO_REQUIRES(mainThread);
  void addFocusView() KIVO_REQUIRES(mainThread);
  void addCaptureAnimationView() KIVO_REQUIRES(mainThread);

  // Setup pipeline (KivoCameraSession.cpp), on the session queue except the
  // two entry points, on the main thread.
  void handleSessionAfterAuthorization();
  void handleSessionAfterSetupResult() KIVO_REQUIRES(mainThread);
  void initVideoDevice();
  void configureSessionPreset();
  void configAutoResolution() KIVO_REQUIRES(sessionQueue_);
  void configVideoDevice();
  void configDeviceInput();
  void addPhotoOutput();
  void addVideoDataOutput() KIVO_REQUIRES(sessionQueue_);
  /// A failing configuration step: event, log line, failed result, commit.
  void reportConfigurationFailure(KivoCameraError error, std::string_view message) KIVO_REQUIRES(sessionQueue_);

  // Observers (KivoCameraSession.cpp): added on the session queue; the
  // notification handlers run on the posting queue.
  void addObservers();
  void addCaptureDeviceObservers(const std::shared_ptr<AVCaptureDevice>& device) KIVO_REQUIRES(sessionQueue_);
  void sessionRuntimeError(const Notification& notification);
  void sessionWasInterrupted(const Notification& notification);
  void sessionInterruptionEnded(const Notification& notification);
  void didEnterForeground();
  void didEnterBackground();

  // Controls (KivoCameraControls.cpp), on the main thread except focusEnded,
  // on the camera's queue, and the zoom, on its caller's thread.
  void addGestureRecognizer() KIVO_REQUIRES(mainThread);
  void tapGesture(UITapGestureRecognizer& tap);
  void pinchGesture(UIPinchGestureRecognizer& pinch);
  void focusAnimation(CGPoint point) KIVO_REQUIRES(mainThread);
  void focusEnded();
  void focusAfterMotion() KIVO_REQUIRES(mainThread);
  void zoomWithLevel(double level, bool animation, bool needCallBack);

  // Torch, flash and switching helpers (KivoCameraSwitching.cpp).
  /// The switch's rebuild on the session queue: inputs out, the device steps
  /// for the new position, commit, the callback, then a start.
  void reconfigureCameraPosition();

  // Public configuration.
  // The delegate (weak), the motion manager, the orientation and the video device.
  const std::unique_ptr<Handles> handles_;
  std::atomic<bool> shouldShowFocus_{true};
  std::atomic<bool> shouldUseDeviceOrientation_{false};
  std::atomic<bool> shouldPromptToAppSettings_{false};
  std::atomic<bool> shouldResetFocusAfterMove_{true};
  std::atomic<bool> shouldShowFocusAfterLaunch_{true};
  std::atomic<bool> shouldShowCaptureAnimation_{true};
  std::atomic<bool> enableVideoDataOutput_{false};
  std::atomic<std::int64_t> videoOutputSettingFormatType_{-1};  // -1: none
  std::atomic<bool> shouldKeepSessionStopping_{false};
  std::atomic<bool> shouldHighResolutionPhotoEnabled_{false};
  std::atomic<bool> shouldCheckSupportedColorSpaces_{false};
  std::atomic<std::int64_t> cameraPosition_{1};
  std::string videoGravity_ KIVO_GUARDED_BY(mainThread);
  std::atomic<std::int64_t> flashMode_{0};
  std::shared_ptr<KivoPreviewView> previewView_ KIVO_GUARDED_BY(mainThread);
  std::shared_ptr<KivoFocusView> focusView_ KIVO_GUARDED_BY(mainThread);
  std::optional<CGPoint> focusPoint_ KIVO_GUARDED_BY(mainThread);
  std::atomic<bool> shouldPinchToZoom_{true};
  std::atomic<double> maxZoomScale_{4.0};
  std::atomic<double> minZoomScale_{1.0};
  std::atomic<double> zoomScale_{1.0};
  mutable kivo::Mutex sessionPresetMutex_;
  std::string sessionPreset_ KIVO_GUARDED_BY(sessionPresetMutex_);
  std::atomic<bool> shouldListeningToExposure_{false};
  std::atomic<bool> shouldListeningToAutoFocus_{false};
  std::atomic<bool> shouldUseAutoResolution_{false};
  std::atomic<bool> shouldAutoUseMultiCamera_{false};

  // Private state.
  std::shared_ptr<AVCaptureSession> session_;
  DispatchQueue sessionQueue_;
  std::atomic<SessionSetupResult> sessionSetupResult_{SessionSetupResult::success};
  // The frame path's copies of the delegate and of the motion manager's state
  // cell (see captureOutput), valid while `generation` equals
  // frameReferencesGeneration_, which setDelegate and setMotionManager
  // advance after storing.
  struct FrameReferences {
    std::uint64_t generation = 0;
    std::weak_ptr<KivoCameraDelegate> delegate;
    std::shared_ptr<const std::atomic<KivoMotionState>> motionState;
  };
  std::atomic<std::uint64_t> frameReferencesGeneration_{1};
  FrameReferences frameReferences_ KIVO_GUARDED_BY(videoOutputQueue_);
  std::shared_ptr<AVCapturePhotoOutput> photoOutput_;
  std::shared_ptr<UIView> captureAnimationView_ KIVO_GUARDED_BY(mainThread);
  std::optional<CGRect> previewFrame_ KIVO_GUARDED_BY(mainThread);
  std::vector<KeyValueObservation> observers_ KIVO_GUARDED_BY(sessionQueue_);
  std::atomic<bool> isViewDidAppear_{false};
  bool isIdleTimerDisabled_ KIVO_GUARDED_BY(mainThread) = false;
  std::shared_ptr<KivoCameraSafeDict<std::int64_t, std::shared_ptr<KivoPhotoCaptureProcessor>,
                                     std::hash<std::int64_t>, std::equal_to<std::int64_t>>>
      inProgressPhotoCaptureDelegates_;
  std::optional<KeyValueObservation> isoObserver_ KIVO_GUARDED_BY(sessionQueue_);
  std::optional<KeyValueObservation> autoFocusObserver_ KIVO_GUARDED_BY(sessionQueue_);
};
