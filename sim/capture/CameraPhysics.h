#pragma once
// The simulated cameras' physics, on a fixed virtual timetable so that runs
// are exact: focusing, the zoom ramp, the frame stream and the still
// timetable. Used by the capture simulation's device layer; no faults and no
// world configuration here.
//
//   - Focus: after a focus point of interest is set the camera reports
//     isAdjustingFocus true at once and false kFocusAdjustmentSeconds later (a
//     newer point restarts the wait); only real changes are reported, on the
//     camera's queue.
//   - Zoom: a ramp moves the factor by `rate` powers of two per second from
//     where it is towards its target; a rate of 0 jumps.
//   - Frames: a stream that wants every frame delivers one every 1/fps
//     seconds of the camera, the first one frame interval after its start,
//     from its own serial queue ("com.kivocamera.platform.video-capture"). A
//     preview stream delivers nothing and draws its picture when asked.
//     The physics counts the frames its streams deliver, and can tell how many
//     the streams running now will deliver in a span of time (the work an
//     `advance` asks for, known before it is done).
//   - Pictures: frames and photos show the test chart (TestChart.h) at the
//     camera's zoom at that moment and the connection's orientation. Frames
//     come from a 640 x 480 landscape sensor: 480 x 640 in portrait (the
//     video connection's default), 640 x 480 in landscape. Their pixels are
//     drawn only when someone reads them.
//
// Thread-safe

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "AVFoundation/AVCaptureBackend.h"
#include "AVFoundation/AVCaptureDevice.h"
#include "Foundation/ThreadSafety.h"

namespace sim {

class CameraPhysics : public std::enable_shared_from_this<CameraPhysics> {
 public:
  static constexpr double kFocusAdjustmentSeconds = 0.3;
  static constexpr int kFrameSensorWidth = 640;
  static constexpr int kFrameSensorHeight = 480;

  /// The camera's focus point was set.
  void focusPointChanged(const std::shared_ptr<AVCaptureDevice>& device);

  /// A zoom change takes effect now.
  void zoom(const std::shared_ptr<AVCaptureDevice>& device, const AVCaptureControl::VideoZoom& change);
  /// Where a ramp under way has got to; none when the zoom is at rest.
  std::optional<double> rampingZoomFactor(const AVCaptureDevice& device) const;

  /// A stream of the camera's frames (see above).
  std::unique_ptr<AVCaptureStream> startStream(const std::shared_ptr<AVCaptureDevice>& device,
                                               const AVCaptureStreamRequest& request,
                                               std::weak_ptr<AVCaptureStreamSink> sink);

  /// A stream's state, owned by its handle (CameraPhysics.cpp).
  struct Stream;

  /// The frames the streams have delivered so far.
  std::uint64_t framesDelivered() const { return framesDelivered_.load(std::memory_order_relaxed); }
  /// The frames the streams running now will deliver in the next `seconds`
  /// (finite, not negative) of the camera's time if nothing starts or stops
  /// them meanwhile, counted from their timetables (saturating). The last
  /// due time of a stream may fall either side of the end by rounding, so
  /// the count may be off by one a stream, either way.
  struct FramesDue {
    std::uint64_t count = 0;
    /// The streams counted: those that deliver their frames to someone.
    std::uint64_t streams = 0;
  };
  FramesDue framesDueWithin(double seconds) const;

  /// The camera's picture now, as a frame of `format` oriented like `orientation`.
  static CVPixelBufferRef picture(const AVCaptureDevice& device, OSType format, AVCaptureVideoOrientation orientation);
  /// A frame at the media time now.
  static CMSampleBufferRef frame(const AVCaptureDevice& device, OSType format, AVCaptureVideoOrientation orientation);

 private:
  struct Ramp {
    double from = 1;
    double target = 1;
    double start = 0;
    float rate = 0;
    double at(double now) const;
  };

  mutable kivo::Mutex mutex_;
  std::atomic<std::uint64_t> framesDelivered_{0};
  // The streams that deliver every frame, while they live; expired entries
  // are dropped whenever a stream starts.
  std::vector<std::weak_ptr<const Stream>> streams_ KIVO_GUARDED_BY(mutex_);
  // By camera; weak keys, so a camera made later never inherits a state.
  template <class T>
  using PerCamera = std::map<std::weak_ptr<const AVCaptureDevice>, T, std::owner_less<>>;
  PerCamera<std::uint64_t> focusGenerations_ KIVO_GUARDED_BY(mutex_);
  PerCamera<Ramp> ramps_ KIVO_GUARDED_BY(mutex_);
};

}  // namespace sim
