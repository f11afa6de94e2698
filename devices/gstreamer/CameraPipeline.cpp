#include "CameraPipeline.h"

#include <gst/app/gstappsink.h>

#include <utility>

#include "Foundation/ThreadSafety.h"

namespace gstcam {

namespace {

// Set while this thread runs one of the pipeline's callbacks: a pipeline
// destroyed there must not wait for its own streaming thread.
thread_local int tInsideCallback = 0;

struct CallbackScope {
  CallbackScope() { ++tInsideCallback; }
  ~CallbackScope() { --tInsideCallback; }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
};

// Drops an element that never joined a bin (floating or not).
void discard(GstElement* element) {
  if (!element) return;
  gst_object_ref_sink(element);
  gst_object_unref(element);
}

GstCaps* modeCaps(const std::optional<VideoMode>& mode) {
  if (!mode) return gst_caps_new_any();
  GstCaps* caps = gst_caps_new_simple(mode->jpeg ? "image/jpeg" : "video/x-raw", "width", G_TYPE_INT, mode->width,
                                      "height", G_TYPE_INT, mode->height, nullptr);
  if (mode->frameRate > 0) {
    gint numerator = 0, denominator = 1;
    gst_util_double_to_fraction(mode->frameRate, &numerator, &denominator);
    gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION, numerator, denominator, nullptr);
  }
  return caps;
}

// v4l2src takes its controls as a structure; other sources have no such property.
void applyControls(GstElement* source, const ControlValues& controls) {
  if (controls.empty() || !g_object_class_find_property(G_OBJECT_GET_CLASS(source), "extra-controls")) return;
  GstStructure* structure = gst_structure_new_empty("controls");
  for (const auto& [name, value] : controls) gst_structure_set(structure, name.c_str(), G_TYPE_INT, value, nullptr);
  g_object_set(source, "extra-controls", structure, nullptr);
  gst_structure_free(structure);
}

}  // namespace

// ---------------------------------------------------------------------------
// Frames

Frame::Frame(GstSample* sample, const GstVideoInfo& info, CMTime time) : sample_(sample), info_(info), time_(time) {}

Frame::~Frame() { gst_sample_unref(sample_); }

bool Frame::read(const std::function<void(const BGRxView&)>& use) const {
  GstBuffer* buffer = gst_sample_get_buffer(sample_);
  GstVideoFrame frame;
  GstVideoInfo info = info_;
  if (!buffer || !gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) return false;
  use(BGRxView{static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)), width(), height(),
               static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0))});
  gst_video_frame_unmap(&frame);
  return true;
}

// ---------------------------------------------------------------------------
// What the callbacks share with the pipeline object. Its destruction touches
// no GStreamer state, so it may end on any thread.

struct CameraPipeline::Core {
  explicit Core(ErrorHandler handler) : onError(std::move(handler)) {}

  mutable kivo::Mutex mutex;
  bool stopped KIVO_GUARDED_BY(mutex) = false;
  bool errorReported KIVO_GUARDED_BY(mutex) = false;
  std::vector<std::shared_ptr<FrameListener>> listeners KIVO_GUARDED_BY(mutex);
  FrameRef latest KIVO_GUARDED_BY(mutex);
  const ErrorHandler onError;

  void deliver(const FrameRef& frame) {
    std::vector<std::shared_ptr<FrameListener>> targets;
    {
      kivo::MutexLock lock(mutex);
      if (stopped) return;
      latest = frame;
      targets = listeners;
    }
    for (const auto& listener : targets) listener->pipelineDidOutputFrame(frame);
  }

  void reportError(const std::string& message) {
    {
      kivo::MutexLock lock(mutex);
      if (stopped || errorReported) return;
      errorReported = true;
    }
    if (onError) onError(message);
  }
};

namespace {

using CoreRef = std::shared_ptr<CameraPipeline::Core>;

// What the callbacks' user data points to. GStreamer hands it to its threads
// through GLib's own locks, which ThreadSanitizer does not see; taking the
// core under this mutex, locked once when it is made, orders the hand-off
// where it can see it.
class CallbackData {
 public:
  explicit CallbackData(CoreRef core) : core_(std::move(core)) { kivo::MutexLock published(mutex_); }
  CoreRef core() {
    kivo::MutexLock lock(mutex_);
    return core_;
  }

 private:
  kivo::Mutex mutex_;
  CoreRef core_ KIVO_GUARDED_BY(mutex_);
};

CoreRef coreOf(gpointer data) { return static_cast<CallbackData*>(data)->core(); }
void releaseCore(gpointer data) { delete static_cast<CallbackData*>(data); }

GstFlowReturn onNewSample(GstAppSink* sink, gpointer data) {
  CallbackScope scope;
  GstSample* sample = gst_app_sink_pull_sample(sink);
  if (!sample) return GST_FLOW_OK;
  GstVideoInfo info;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  GstCaps* caps = gst_sample_get_caps(sample);
  if (!buffer || !caps || !gst_video_info_from_caps(&info, caps) ||
      GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_BGRx) {
    gst_sample_unref(sample);
    return GST_FLOW_OK;
  }
  // Presentation time: the buffer's running time, or the pipeline's now.
  GstClockTime running = gst_segment_to_running_time(gst_sample_get_segment(sample), GST_FORMAT_TIME,
                                                     GST_BUFFER_PTS(buffer));
  if (!GST_CLOCK_TIME_IS_VALID(running)) running = gst_element_get_current_running_time(GST_ELEMENT(sink));
  const CMTime time = GST_CLOCK_TIME_IS_VALID(running)
                          ? CMTimeMake(static_cast<CMTimeValue>(running), static_cast<CMTimeScale>(GST_SECOND))
                          : kCMTimeInvalid;
  coreOf(data)->deliver(std::make_shared<const Frame>(sample, info, time));
  return GST_FLOW_OK;
}

GstBusSyncReply onBusMessage(GstBus*, GstMessage* message, gpointer data) {
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    CallbackScope scope;
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    std::string text = error && error->message ? error->message : "the camera pipeline failed";
    g_clear_error(&error);
    g_free(debug);
    coreOf(data)->reportError(text);
  } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
    // A camera does not end by itself: its stream stopping is a failure.
    CallbackScope scope;
    coreOf(data)->reportError("the camera stopped sending frames");
  }
  // Nobody pops this bus: every message goes here.
  return GST_BUS_DROP;
}

}  // namespace

// ---------------------------------------------------------------------------

std::atomic<std::size_t> CameraPipeline::live_{0};

std::shared_ptr<CameraPipeline> CameraPipeline::start(GstElement* source, const std::optional<VideoMode>& mode,
                                                      const ControlValues& controls, ErrorHandler onError,
                                                      std::string* failure) {
  const auto fail = [failure](std::string reason) {
    if (failure) *failure = std::move(reason);
    return nullptr;
  };
  if (!source) return fail("the camera has no source");
  GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
  GstElement* decode = mode && mode->jpeg ? gst_element_factory_make("jpegdec", nullptr) : nullptr;
  GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
  GstElement* sink = gst_element_factory_make("appsink", nullptr);
  if (!filter || !convert || !sink || (mode && mode->jpeg && !decode)) {
    for (GstElement* element : {source, filter, decode, convert, sink}) discard(element);
    return fail("GStreamer lacks capsfilter, jpegdec, videoconvert or appsink (plugins base and good)");
  }

  applyControls(source, controls);
  GstElement* pipeline = gst_pipeline_new(nullptr);
  gst_bin_add_many(GST_BIN(pipeline), source, filter, convert, sink, nullptr);
  if (decode) gst_bin_add(GST_BIN(pipeline), decode);
  GstCaps* caps = modeCaps(mode);
  g_object_set(filter, "caps", caps, nullptr);
  gst_caps_unref(caps);
  GstCaps* hub = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRx", nullptr);
  g_object_set(sink, "caps", hub, "max-buffers", 1u, "drop", TRUE, "sync", FALSE, "emit-signals", FALSE, nullptr);
  gst_caps_unref(hub);
  const bool linked = decode ? gst_element_link_many(source, filter, decode, convert, sink, nullptr)
                             : gst_element_link_many(source, filter, convert, sink, nullptr);
  if (!linked) {
    gst_object_unref(pipeline);
    return fail("the camera's elements do not link");
  }

  auto core = std::make_shared<Core>(std::move(onError));
  GstAppSinkCallbacks callbacks{};
  callbacks.new_sample = onNewSample;
  gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, new CallbackData(core), releaseCore);
  GstBus* bus = gst_element_get_bus(pipeline);
  gst_bus_set_sync_handler(bus, onBusMessage, new CallbackData(core), releaseCore);
  gst_object_unref(bus);

  // From here the destructor takes the pipeline down, whatever happens.
  std::shared_ptr<CameraPipeline> made(new CameraPipeline(pipeline, source, core));
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
    return fail("the camera would not start");
  return made;
}

CameraPipeline::CameraPipeline(GstElement* pipeline, GstElement* source, std::shared_ptr<Core> core)
    : pipeline_(pipeline), source_(source), core_(std::move(core)) {
  live_.fetch_add(1);
}

CameraPipeline::~CameraPipeline() {
  stop();
  gst_object_unref(pipeline_);
  live_.fetch_sub(1);
}

void CameraPipeline::stop() {
  std::vector<std::shared_ptr<FrameListener>> listeners;
  FrameRef latest;
  {
    kivo::MutexLock lock(core_->mutex);
    if (core_->stopped) return;
    core_->stopped = true;
    listeners.swap(core_->listeners);
    latest = std::move(core_->latest);
  }
  if (tInsideCallback > 0) {
    // A streaming thread cannot wait for itself: GStreamer changes the state
    // from a thread of its own, holding its own reference meanwhile.
    gst_element_call_async(
        pipeline_, [](GstElement* element, gpointer) { gst_element_set_state(element, GST_STATE_NULL); }, nullptr,
        nullptr);
  } else {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
  }
  for (const auto& listener : listeners) listener->pipelineDidStop();
}

bool CameraPipeline::isStopped() const {
  kivo::MutexLock lock(core_->mutex);
  return core_->stopped;
}

void CameraPipeline::addListener(std::shared_ptr<FrameListener> listener) {
  kivo::UniqueLock lock(core_->mutex);
  if (!core_->stopped) {
    core_->listeners.push_back(std::move(listener));
    return;
  }
  lock.unlock();
  listener->pipelineDidStop();
}

void CameraPipeline::removeListener(const FrameListener* listener) {
  std::shared_ptr<FrameListener> removed;  // released after the lock
  kivo::MutexLock lock(core_->mutex);
  for (auto it = core_->listeners.begin(); it != core_->listeners.end(); ++it) {
    if (it->get() != listener) continue;
    removed = std::move(*it);
    core_->listeners.erase(it);
    return;
  }
}

FrameRef CameraPipeline::latestFrame() const {
  kivo::MutexLock lock(core_->mutex);
  return core_->latest;
}

void CameraPipeline::setControls(const ControlValues& controls) { applyControls(source_, controls); }

void CameraPipeline::postError(const std::string& message) {
  GError* error = g_error_new_literal(GST_CORE_ERROR, GST_CORE_ERROR_FAILED, message.c_str());
  gst_element_post_message(pipeline_, gst_message_new_error(GST_OBJECT(pipeline_), error, nullptr));
  g_error_free(error);
}

}  // namespace gstcam
