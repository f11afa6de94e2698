#include "sim/capture/CameraPhysics.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <utility>

#include "AVFoundation/AVCaptureConnection.h"
#include "CoreVideo/CVPictureCache.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/ThreadSafety.h"
#include "Foundation/WhileAlive.h"
#include "sim/capture/TestChart.h"

namespace sim {

namespace {

bool isPortrait(AVCaptureVideoOrientation orientation) {
  return orientation == AVCaptureVideoOrientation::portrait ||
         orientation == AVCaptureVideoOrientation::portraitUpsideDown;
}

// Draws the chart into a frame's planes. Captures two plain values, so a
// frame that is never looked at costs no allocation for its painter.
CVPixelBuffer::Painter chartPainter(double zoom, AVCaptureVideoOrientation orientation) {
  return [zoom, orientation](const CVPixelBuffer& buffer, std::uint8_t* const* planes) {
    const RGBImage image = renderTestChart(CameraPhysics::kFrameSensorWidth, CameraPhysics::kFrameSensorHeight,
                                           zoom, orientation);
    CVPixelBufferWriteRGB(buffer, planes, image.pixels.data());
  };
}

AVCaptureVideoOrientation orientationOf(const std::shared_ptr<const AVCaptureConnection>& connection) {
  return connection ? connection->videoOrientation() : AVCaptureVideoOrientation::portrait;
}

}  // namespace

// One stream. The handle owns the state, the state owns the stream's queue,
// and the queued ticks hold the state weakly: destroying the handle drops the
// queue and with it the next tick.
struct CameraPhysics::Stream : std::enable_shared_from_this<CameraPhysics::Stream> {
  // The layer's physics: once it is gone (the world was torn down) the
  // stream delivers nothing more.
  std::weak_ptr<CameraPhysics> physics;
  std::weak_ptr<AVCaptureDevice> device;
  std::weak_ptr<AVCaptureStreamSink> sink;
  std::shared_ptr<const AVCaptureConnection> connection;
  std::atomic<OSType> format;
  std::optional<DispatchQueue> queue;
  double start = 0;
  double interval = 0;
  // The index of the next frame to come due (frame i is due at start + i × interval).
  std::atomic<std::uint64_t> next{1};

  void schedule(std::uint64_t index) {
    next.store(index, std::memory_order_relaxed);
    // Due times are counted from the start so the cadence does not drift.
    const double due = start + interval * static_cast<double>(index);
    auto deliver = whileAlive(weak_from_this(), [index](const std::shared_ptr<Stream>& state) {
      const auto layer = state->physics.lock();
      if (!layer) return;
      if (const auto camera = state->device.lock()) {
        if (const auto consumer = state->sink.lock()) {
          consumer->streamDidOutputFrame(
              CameraPhysics::frame(*camera, state->format.load(), orientationOf(state->connection)));
          layer->framesDelivered_.fetch_add(1, std::memory_order_relaxed);
        }
      }
      state->schedule(index + 1);
    });
    queue->asyncAfter(due - CACurrentMediaTime(), std::move(deliver));
  }
};

namespace {

class SimulatedStream final : public AVCaptureStream {
 public:
  explicit SimulatedStream(std::shared_ptr<CameraPhysics::Stream> state) : state_(std::move(state)) {}

  CVPixelBufferRef currentFrame() override {
    const auto camera = state_->device.lock();
    if (!camera || state_->physics.expired()) return nullptr;
    // The picture depends only on the zoom, the orientation and the format.
    const Look look{camera->videoZoomFactor(), orientationOf(state_->connection), state_->format.load()};
    return cache_.picture(look, [&] { return CameraPhysics::picture(*camera, look.format, look.orientation); });
  }

  void setPixelFormat(OSType pixelFormat) override {
    if (CVPixelBuffer::isSupportedPixelFormat(pixelFormat)) state_->format.store(pixelFormat);
  }

 private:
  struct Look {
    double zoom = 0;
    AVCaptureVideoOrientation orientation{};
    OSType format = 0;
    friend bool operator==(const Look&, const Look&) = default;
  };

  const std::shared_ptr<CameraPhysics::Stream> state_;
  CVPictureCache<Look> cache_;
};

}  // namespace

// --- Focus ----------------------------------------------------------------------

void CameraPhysics::focusPointChanged(const std::shared_ptr<AVCaptureDevice>& device) {
  std::uint64_t generation = 0;
  {
    kivo::MutexLock lock(mutex_);
    generation = ++focusGenerations_[device];
  }
  // The camera starts adjusting now and settles after a fixed time; a newer
  // focus point restarts the wait. Only real changes are reported.
  std::weak_ptr<AVCaptureDevice> weakDevice = device;
  const DispatchQueue queue = device->cameraQueue();
  queue.async(whileAlive(weakDevice, [](const std::shared_ptr<AVCaptureDevice>& camera) {
    if (!camera->isAdjustingFocus()) camera->reportAdjustingFocus(true);
  }));
  queue.asyncAfter(kFocusAdjustmentSeconds, [weakDevice, weakSelf = weak_from_this(), generation] {
    const auto self = weakSelf.lock();
    const auto camera = weakDevice.lock();
    if (!self || !camera) return;
    {
      kivo::MutexLock lock(self->mutex_);
      if (self->focusGenerations_[camera] != generation) return;
    }
    if (camera->isAdjustingFocus()) camera->reportAdjustingFocus(false);
  });
}

// --- Zoom -----------------------------------------------------------------------

double CameraPhysics::Ramp::at(double now) const {
  if (from == target || rate <= 0) return target;
  const double step = std::exp2(static_cast<double>(rate) * std::max(0.0, now - start));
  return target > from ? std::min(target, from * step) : std::max(target, from / step);
}

void CameraPhysics::zoom(const std::shared_ptr<AVCaptureDevice>& device, const AVCaptureControl::VideoZoom& change) {
  const double now = CACurrentMediaTime();
  kivo::MutexLock lock(mutex_);
  Ramp& ramp = ramps_[device];
  // A new ramp starts where the last one has got to.
  ramp.from = change.rate > 0 ? ramp.at(now) : change.factor;
  ramp.target = change.factor;
  ramp.start = now;
  ramp.rate = change.rate;
}

std::optional<double> CameraPhysics::rampingZoomFactor(const AVCaptureDevice& device) const {
  const double now = CACurrentMediaTime();
  kivo::MutexLock lock(mutex_);
  const auto found = ramps_.find(device.weak_from_this());
  if (found == ramps_.end()) return std::nullopt;
  const double factor = found->second.at(now);
  if (factor == found->second.target) return std::nullopt;
  return factor;
}

// --- Frames ---------------------------------------------------------------------

std::unique_ptr<AVCaptureStream> CameraPhysics::startStream(const std::shared_ptr<AVCaptureDevice>& device,
                                                            const AVCaptureStreamRequest& request,
                                                            std::weak_ptr<AVCaptureStreamSink> sink) {
  auto state = std::make_shared<Stream>();
  state->physics = weak_from_this();
  state->device = device;
  state->sink = std::move(sink);
  state->connection = request.connection;
  state->format.store(CVPixelBuffer::isSupportedPixelFormat(request.pixelFormat)
                          ? request.pixelFormat
                          : kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
  const double interval = CMTimeGetSeconds(device->activeVideoMinFrameDuration());
  if (request.everyFrame && interval > 0 && std::isfinite(interval)) {
    state->queue.emplace("com.kivocamera.platform.video-capture");
    state->start = CACurrentMediaTime();
    state->interval = interval;
    {
      kivo::MutexLock lock(mutex_);
      std::erase_if(streams_, [](const std::weak_ptr<const Stream>& stream) { return stream.expired(); });
      streams_.push_back(state);
    }
    state->schedule(1);
  }
  return std::make_unique<SimulatedStream>(std::move(state));
}

CameraPhysics::FramesDue CameraPhysics::framesDueWithin(double seconds) const {
  // A frame due within half a nanosecond past the end counts as due at the
  // end: times are meant in whole nanoseconds, the rest is rounding.
  const double reach = CACurrentMediaTime() + seconds + 0.5e-9;
  std::vector<std::shared_ptr<const Stream>> streams;
  {
    kivo::MutexLock lock(mutex_);
    for (const auto& weak : streams_)
      if (auto stream = weak.lock()) streams.push_back(std::move(stream));
  }
  constexpr auto kMost = std::numeric_limits<std::uint64_t>::max();
  FramesDue due;
  for (const auto& stream : streams) {
    if (stream->device.expired() || stream->sink.expired()) continue;  // its ticks deliver nothing
    ++due.streams;
    // Frames next ... last come due by the end (the next one is scheduled
    // after now), each at the due time the stream computes for it; the
    // quotient only finds `last` to within rounding. Counted in doubles: a
    // count beyond 2^63 only saturates.
    const auto dueTime = [&stream](double index) { return stream->start + stream->interval * index; };
    double last = std::floor((reach - stream->start) / stream->interval);
    if (dueTime(last + 1) <= reach) last += 1;
    if (dueTime(last) > reach) last -= 1;
    const double count = last - static_cast<double>(stream->next.load(std::memory_order_relaxed)) + 1;
    if (!(count > 0)) continue;
    if (count >= 0x1p63 || due.count > kMost - static_cast<std::uint64_t>(count))
      due.count = kMost;
    else
      due.count += static_cast<std::uint64_t>(count);
  }
  return due;
}

CVPixelBufferRef CameraPhysics::picture(const AVCaptureDevice& device, OSType format,
                                        AVCaptureVideoOrientation orientation) {
  const bool portrait = isPortrait(orientation);
  return std::make_shared<const CVPixelBuffer>(portrait ? kFrameSensorHeight : kFrameSensorWidth,
                                               portrait ? kFrameSensorWidth : kFrameSensorHeight, format,
                                               chartPainter(device.videoZoomFactor(), orientation));
}

CMSampleBufferRef CameraPhysics::frame(const AVCaptureDevice& device, OSType format,
                                       AVCaptureVideoOrientation orientation) {
  const bool portrait = isPortrait(orientation);
  return CMSampleBuffer::createWithPainter(CMTimeMakeWithSeconds(CACurrentMediaTime(), kCMTimeMaxTimescale),
                                           portrait ? kFrameSensorHeight : kFrameSensorWidth,
                                           portrait ? kFrameSensorWidth : kFrameSensorHeight, format,
                                           chartPainter(device.videoZoomFactor(), orientation));
}

}  // namespace sim
