#pragma once
// The real device layer: the capture framework's seam (AVCaptureBackend)
// over GStreamer. Cameras come from the catalog (CameraCatalog.h); each
// camera in use runs one pipeline, source -> decode (JPEG sources) ->
// convert -> application sink, whose frames feed the streams the capture
// objects start (a preview's current picture, a video data output's every
// frame, a still's next frame).
//
// Thread-safe
// Like every device layer: its verbs may be called from any queue. Frames
// are delivered on one serial queue per stream; a stream whose consumer is
// still busy with a frame drops the ones that come meanwhile (it keeps at
// most one waiting), so a slow consumer never builds a queue.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "AVFoundation/AVCaptureBackend.h"
#include "CameraCatalog.h"

namespace gstcam {

struct BackendOptions {
  /// Only this camera ("test" for the built-in test camera), which is then
  /// the back wide-angle camera whatever discovery says; none: every camera
  /// found, and no test camera.
  std::optional<std::string> onlyCamera;
  /// A host's placement of cameras by name (see CameraCatalog.h).
  CameraPlacements placements;
};

/// The layer, ready to install (ScopedAVCaptureBackend). Throws
/// std::runtime_error naming the reason when GStreamer cannot be started or
/// `onlyCamera` names no camera there is.
std::shared_ptr<AVCaptureBackend> makeCaptureBackend(BackendOptions options);

// Diagnostics, for tests and tools.

/// Pipelines alive in the process (built and not yet torn down).
std::size_t livePipelineCount();
/// Posts an error on the bus of the pipeline `layer` (made by
/// makeCaptureBackend) runs for `camera`, as one of its elements would; false
/// when that camera has no pipeline running there.
bool postPipelineError(AVCaptureBackend& layer, const std::string& camera, const std::string& message);

}  // namespace gstcam
