#pragma once
// KivoCameraInspector: what the scenario runner, the tests and the
// benchmarks read of a controller beyond the host's API: its private state
// (the session, the photo output, the setup's result, the current camera,
// the shutter overlay, the forced preview frame, whether it has appeared,
// the captures in progress), and two of its steps run on demand for tests.
// A host never includes it, and it is not installed.
//
// Thread-safe
// Except captureAnimationView, previewFrame and checkPreview: Thread-bound: main;
// configureSessionPreset: Thread-bound: com.kivocamera.session.queue.

#include <cstddef>
#include <memory>
#include <optional>

#include "KivoCamera.h"

class KivoCameraInspector {
 public:
  static std::shared_ptr<AVCaptureDevice> videoDevice(const KivoCamera& c) { return c.videoDevice(); }
  static SessionSetupResult sessionSetupResult(const KivoCamera& c) { return c.sessionSetupResult(); }
  static const std::shared_ptr<AVCaptureSession>& session(const KivoCamera& c) { return c.session(); }
  static const std::shared_ptr<AVCapturePhotoOutput>& photoOutput(const KivoCamera& c) { return c.photoOutput(); }
  static const std::shared_ptr<UIView>& captureAnimationView(const KivoCamera& c) { return c.captureAnimationView(); }
  static std::optional<CGRect> previewFrame(const KivoCamera& c) { return c.previewFrame(); }
  static bool isViewDidAppear(const KivoCamera& c) { return c.isViewDidAppear(); }
  static std::size_t capturesInProgress(const KivoCamera& c) { return c.capturesInProgress(); }

  /// Queues the preview check of `step`, as the session start and a capture do.
  static void checkPreview(KivoCamera& c, KivoCameraPerfomanceStep step) { c.analyticsPreviewPossibleError(step); }
  /// One step of the setup, which belongs on the session queue.
  static void configureSessionPreset(KivoCamera& c) { c.configureSessionPreset(); }
};
