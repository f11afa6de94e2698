#pragma once
// One camera's GStreamer pipeline:
//   source -> capsfilter (the mode: size, rate, raw or JPEG) -> jpegdec (JPEG
//   modes) -> videoconvert -> video/x-raw,format=BGRx -> appsink
// The sink keeps one buffer and drops late ones (max-buffers=1, drop, no
// sync), so a slow consumer never builds a queue inside GStreamer. Each
// sample becomes a Frame that holds the sample; its pixels are read only when
// someone paints from it.
//
// The bus has a sync handler and no main loop: every message is dropped
// where it is posted, and the first ERROR or EOS goes to the error handler,
// on the posting thread (a streaming thread), which must only hand it on.
//
// Thread-safe
// Frames, once made, are immutable; a FrameListener is called on the threads
// its methods name. The pipeline stops (state NULL, streaming threads joined) in
// stop() or at destruction, whichever comes first. Destruction on one of its
// own streaming threads hands the state change to GStreamer's
// gst_element_call_async instead of deadlocking.

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gst/gst.h>
#include <gst/video/video.h>

#include "CameraCatalog.h"
#include "CameraControls.h"
#include "CoreMedia/CMTime.h"
#include "FrameConversion.h"

namespace gstcam {

/// One sample from the sink, held until the frame goes.
class Frame {
 public:
  /// Takes `sample`, whose caps `info` describes.
  Frame(GstSample* sample, const GstVideoInfo& info, CMTime time);
  ~Frame();
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  int width() const { return GST_VIDEO_INFO_WIDTH(&info_); }
  int height() const { return GST_VIDEO_INFO_HEIGHT(&info_); }
  /// The pipeline's running time at the frame.
  CMTime time() const { return time_; }
  /// Maps the pixels for reading while `use` runs; false when they cannot be mapped.
  bool read(const std::function<void(const BGRxView&)>& use) const;

 private:
  GstSample* const sample_;
  GstVideoInfo info_;
  const CMTime time_;
};

using FrameRef = std::shared_ptr<const Frame>;

/// Whoever takes the frames of a pipeline.
class FrameListener {
 public:
  virtual ~FrameListener() = default;
  /// On the sink's streaming thread: hand the frame on, do not dwell.
  virtual void pipelineDidOutputFrame(const FrameRef& frame) = 0;
  /// The pipeline stopped; no frame follows. On the thread that stopped it.
  virtual void pipelineDidStop() {}
};

class CameraPipeline {
 public:
  using ErrorHandler = std::function<void(const std::string& message)>;

  /// Builds the pipeline around `source` (its reference is taken), with its
  /// `controls`, and sets it playing; none, with the reason in `failure`,
  /// when an element is missing, the caps cannot link or the source refuses
  /// to start (its error also reaches `onError`).
  static std::shared_ptr<CameraPipeline> start(GstElement* source, const std::optional<VideoMode>& mode,
                                               const ControlValues& controls, ErrorHandler onError,
                                               std::string* failure);
  ~CameraPipeline();
  CameraPipeline(const CameraPipeline&) = delete;
  CameraPipeline& operator=(const CameraPipeline&) = delete;

  /// State NULL; listeners are told and dropped, the latest frame released,
  /// and no frame or error is reported afterwards. Idempotent.
  void stop();
  bool isStopped() const;

  void addListener(std::shared_ptr<FrameListener> listener);
  void removeListener(const FrameListener* listener);
  /// The newest frame, or none before the first one and after stop().
  FrameRef latestFrame() const;

  /// Hands the source new control values (a source without controls ignores them).
  void setControls(const ControlValues& controls);

  /// Posts an ERROR message on the bus as one of the elements would.
  void postError(const std::string& message);

  /// Pipelines alive in the process.
  static std::size_t liveCount() { return live_.load(); }

  struct Core;

 private:
  CameraPipeline(GstElement* pipeline, GstElement* source, std::shared_ptr<Core> core);

  GstElement* const pipeline_;
  GstElement* const source_;  // owned by the pipeline
  const std::shared_ptr<Core> core_;
  static std::atomic<std::size_t> live_;
};

}  // namespace gstcam
