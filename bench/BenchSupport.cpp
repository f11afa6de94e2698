#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>

#include "sim/capture/CaptureSimulation.h"
#include "sim/capture/TestChart.h"

namespace bench {

double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void frameRates(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("fps");
  for (const int fps : {30, 60, 120, 240, 480, 960}) benchmark->Arg(fps);
}

double frameWindowSeconds(double fps) { return std::max(0.25, 60.0 / fps); }

void reportFrameCost(benchmark::State& state, double fps, double busyCpu, double idleCpu, std::uint64_t frames) {
  if (frames == 0) {
    state.SkipWithError("no frames arrived");
    return;
  }
  const double windows = static_cast<double>(state.iterations());
  state.counters["cpu_us_per_frame"] = (busyCpu - idleCpu * windows) / static_cast<double>(frames) * 1e6;
  state.counters["delivered_ratio"] = static_cast<double>(frames) / (fps * frameWindowSeconds(fps) * windows);
}

void FrameDelegate::cameraDidOutput(KivoCamera& camera, const CMSampleBufferRef& sampleBuffer, bool isStill) {
  benchmark::DoNotOptimize(&camera);
  benchmark::DoNotOptimize(sampleBuffer.get());
  stillFrames_ += isStill ? 1 : 0;
}

Data smallJpeg() { return sim::encodeJPEG(sim::renderTestChart(64, 48, 1.0, AVCaptureVideoOrientation::portrait)); }

ShownCamera::ShownCamera(const Options& options)
    : world_(std::make_unique<sim::World>(sim::World::Mode::realtime)) {
  world_->trace().setRecording(false);
  // Shadows the world's trace sink: platform calls are reported to nobody.
  quiet_.emplace([](std::string_view, std::string_view, std::string_view) {});
  auto camera = sim::CameraSetup::defaults(AVCaptureDevicePosition::back, sim::CameraType::wide);
  camera.description.frameRate = options.frameRate;
  world_->addCamera(camera);
  world_->setAccelerometerAvailable(options.accelerometer);
  if (options.instantPhotos) {
    world_->capture().setPhotoTimetable({0, 0, 0});
    world_->capture().setPreparedPhotoData(smallJpeg());
  }
  const bool videoFrames = options.videoFrames;
  shown_.emplace(*world_, kivotest::ShownCamera::Setup{
                              .configure = [videoFrames](KivoCamera& c) { c.setEnableVideoDataOutput(videoFrames); },
                              .keepPhotos = false});
}

ShownCamera::~ShownCamera() {
  shown_->letGo(2);
  shown_.reset();
  quiet_.reset();
  // Stops the threads, then drops whatever is still queued.
  world_.reset();
}

bool ShownCamera::captureRoundTrip() {
  const std::uint64_t expected = photos() + 1;
  camera().capturePhoto();
  return pumpUntil([this, expected] { return photos() >= expected; });
}

}  // namespace bench
