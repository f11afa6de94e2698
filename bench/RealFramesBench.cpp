// Real frames: the test camera (GStreamer's videotestsrc) through the real
// device layer's pipeline to the component's frame callback, against a bare
// application sink consuming the same pipeline, in the same run. The figure
// is the process's CPU time per frame delivered: the pipeline's own work
// (making the picture, converting it) is in both, so the ratio shows what
// the device layer and the component add.
//
// Frames are delivered to the callback without their pixels being read;
// the output's format (NV12 here, '420v') is painted only when someone reads
// a frame, so it costs nothing in either figure.

#include <benchmark/benchmark.h>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "AVFoundation/AVCaptureBackend.h"
#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCaptureSession.h"
#include "BenchSupport.h"
#include "Foundation/PlatformTrace.h"
#include "GstCaptureBackend.h"
#include "KivoCamera.h"
#include "sim/World.h"
#include "support/ShownCamera.h"

namespace {

struct Mode {
  int width;
  int height;
  int frameRate;
  AVCaptureSessionPreset preset;
};
// Modes of the test camera: a session preset, and the device's minimum frame
// duration for more than its default 30 frames a second.
constexpr Mode kModes[] = {{640, 480, 30, AVCaptureSessionPreset640x480},
                           {1280, 720, 60, AVCaptureSessionPreset1280x720}};
constexpr double kWindowSeconds = 2;

void report(benchmark::State& state, const Mode& mode, double cpu, std::uint64_t frames) {
  if (frames == 0) {
    state.SkipWithError("no frames arrived");
    return;
  }
  state.counters["cpu_us_per_frame"] = cpu / static_cast<double>(frames) * 1e6;
  state.counters["delivered_ratio"] =
      static_cast<double>(frames) / (mode.frameRate * kWindowSeconds * static_cast<double>(state.iterations()));
}

// The back camera's shortest frame duration, 1/`frameRate` s.
void setFrameRate(int frameRate) {
  const auto device = AVCaptureDevice::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInWideAngleCamera,
                                                                   AVMediaTypeVideo, AVCaptureDevicePosition::back);
  if (!device || !device->lockForConfiguration()) return;
  device->setActiveVideoMinFrameDuration(CMTimeMake(1, frameRate));
  device->unlockForConfiguration();
}

void BM_RealFrames(benchmark::State& state) {
  const Mode& mode = kModes[state.range(0)];
  sim::World world(sim::World::Mode::realtime);
  world.trace().setRecording(false);
  ScopedPlatformCallSink quiet([](std::string_view, std::string_view, std::string_view) {});
  ScopedAVCaptureBackend layer(gstcam::makeCaptureBackend({.onlyCamera = "test", .placements = {}}));
  ThreadedExecutor& executor = *world.threadedExecutor();

  kivotest::ShownCamera shown(world, {.configure =
                                          [&mode](KivoCamera& camera) {
                                            camera.setSessionPreset(std::string(mode.preset));
                                            camera.setEnableVideoDataOutput(true);
                                            setFrameRate(mode.frameRate);
                                          },
                                      .show = false,
                                      .keepPhotos = false});
  shown.delegate().onFrame = [](const CMSampleBufferRef& sample, bool) { benchmark::DoNotOptimize(sample.get()); };
  shown.attach();
  shown.screen().appear();
  const auto frames = [&shown] { return static_cast<std::uint64_t>(shown.delegate().frameCount()); };
  if (!shown.runUntil([&] { return frames() > 3; }, 20)) {
    state.SkipWithError("the test camera sent no frames");
    return;
  }

  double cpu = 0;
  std::uint64_t delivered = 0;
  for (auto _ : state) {
    const double cpuBefore = bench::processCpuSeconds();
    const std::uint64_t before = frames();
    executor.runMainLoopFor(kWindowSeconds);
    cpu += bench::processCpuSeconds() - cpuBefore;
    delivered += frames() - before;
  }
  report(state, mode, cpu, delivered);
  shown.letGo(5);
}
BENCHMARK(BM_RealFrames)->DenseRange(0, 1)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same source, mode caps, converter and sink settings as the layer's
// pipeline, consumed by the sink's own callback, which only counts.
void BM_RealFrames_Baseline(benchmark::State& state) {
  const Mode& mode = kModes[state.range(0)];
  gst_init(nullptr, nullptr);
  const std::string description =
      "videotestsrc is-live=true pattern=smpte ! capsfilter caps=video/x-raw,width=" + std::to_string(mode.width) +
      ",height=" + std::to_string(mode.height) + ",framerate=" + std::to_string(mode.frameRate) +
      "/1 ! videoconvert ! appsink name=sink caps=video/x-raw,format=BGRx max-buffers=1 drop=true "
      "sync=false";
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (!pipeline) {
    state.SkipWithError(error ? error->message : "no pipeline");
    if (error) g_error_free(error);
    return;
  }
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  std::atomic<std::uint64_t> frames{0};
  GstAppSinkCallbacks callbacks{};
  callbacks.new_sample = [](GstAppSink* appsink, gpointer data) {
    if (GstSample* sample = gst_app_sink_pull_sample(appsink)) {
      static_cast<std::atomic<std::uint64_t>*>(data)->fetch_add(1, std::memory_order_relaxed);
      gst_sample_unref(sample);
    }
    return GST_FLOW_OK;
  };
  gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &frames, nullptr);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  sim::World world(sim::World::Mode::realtime);  // the same real-time waits as above
  ThreadedExecutor& executor = *world.threadedExecutor();
  if (!executor.runMainLoopUntil([&] { return frames.load() > 3; }, 20)) state.SkipWithError("no frames arrived");

  double cpu = 0;
  std::uint64_t delivered = 0;
  for (auto _ : state) {
    const double cpuBefore = bench::processCpuSeconds();
    const std::uint64_t before = frames.load();
    executor.runMainLoopFor(kWindowSeconds);
    cpu += bench::processCpuSeconds() - cpuBefore;
    delivered += frames.load() - before;
  }
  report(state, mode, cpu, delivered);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
}
BENCHMARK(BM_RealFrames_Baseline)->DenseRange(0, 1)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
