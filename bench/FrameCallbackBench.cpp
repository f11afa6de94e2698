// The video frame path: KivoCamera::captureOutput handing a frame to the
// delegate's camera:didOutput:isStill:, against the least that path can cost
// (lock the weak delegate, make the virtual call), with a delegate that does
// not take frames, and in real time at frame rates from 30 to 960 per second.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "KivoCameraInspector.h"
#include "AVFoundation/AVCaptureVideoDataOutput.h"
#include "BenchSupport.h"
#include "CoreMedia/CMSampleBuffer.h"
#include "KivoMotionManager.h"
#include "sim/capture/CameraPhysics.h"
#include "sim/capture/CaptureSimulation.h"

namespace {

// What a frame brings with it: the output, a buffer and the connection.
struct Frame {
  std::shared_ptr<AVCaptureVideoDataOutput> output = AVCaptureVideoDataOutput::create();
  CMSampleBufferRef buffer =
      CMSampleBuffer::create(CMTimeMake(1, 30), kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
};

void BM_FrameCallback(benchmark::State& state, bool responds) {
  sim::World world;
  auto camera = KivoCamera::create();
  auto delegate = std::make_shared<bench::FrameDelegate>(responds);
  camera->setDelegate(delegate);
  // A device at rest: the frame reports isStill true.
  camera->motionManager()->setMotionState(KivoMotionState::still);
  Frame frame;
  AVCaptureOutput& output = *frame.output;
  AVCaptureConnection& connection = *frame.output->videoConnection();

  const std::uint64_t allocationsBefore = bench::allocationCount();
  for (auto _ : state) camera->captureOutput(output, frame.buffer, connection);
  const auto allocations = bench::allocationCount() - allocationsBefore;

  state.counters["allocs_per_frame"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
  if (responds && delegate->stillFrames() != static_cast<std::uint64_t>(state.iterations()))
    state.SkipWithError("the delegate did not see every frame as still");
  if (!responds && delegate->stillFrames() != 0) state.SkipWithError("a delegate that does not respond got frames");
}
BENCHMARK_CAPTURE(BM_FrameCallback, responding, true);
BENCHMARK_CAPTURE(BM_FrameCallback, not_responding, false);

// The unavoidable minimum of the path: lock a weak pointer to the delegate and
// call it through the base class with the same arguments.
void BM_FrameCallback_Baseline(benchmark::State& state) {
  sim::World world;
  auto camera = KivoCamera::create();
  auto delegate = std::make_shared<bench::FrameDelegate>(true);
  std::weak_ptr<KivoCameraDelegate> weakDelegate = delegate;
  Frame frame;
  for (auto _ : state) {
    benchmark::DoNotOptimize(weakDelegate);
    if (auto strong = weakDelegate.lock()) strong->cameraDidOutput(*camera, frame.buffer, true);
  }
  if (delegate->stillFrames() != static_cast<std::uint64_t>(state.iterations()))
    state.SkipWithError("the delegate missed frames");
}
BENCHMARK(BM_FrameCallback_Baseline);

// A simulated camera frame that nobody looks at: its picture is a painter
// that has not run, so making one costs what a frame without pixels costs.
// Baseline: a sample buffer without a picture.
void BM_UnreadFrame(benchmark::State& state) {
  sim::World world;
  const auto device = world.capture().cameras().front();
  const std::uint64_t allocationsBefore = bench::allocationCount();
  for (auto _ : state)
    benchmark::DoNotOptimize(
        sim::CameraPhysics::frame(*device, kCVPixelFormatType_32BGRA, AVCaptureVideoOrientation::portrait));
  state.counters["allocs_per_frame"] = static_cast<double>(bench::allocationCount() - allocationsBefore) /
                                       static_cast<double>(state.iterations());
}
BENCHMARK(BM_UnreadFrame);

void BM_UnreadFrame_Baseline(benchmark::State& state) {
  sim::World world;
  const std::uint64_t allocationsBefore = bench::allocationCount();
  for (auto _ : state)
    benchmark::DoNotOptimize(CMSampleBuffer::create(CMTimeMakeWithSeconds(CACurrentMediaTime(), kCMTimeMaxTimescale),
                                                    kCVPixelFormatType_32BGRA));
  state.counters["allocs_per_frame"] = static_cast<double>(bench::allocationCount() - allocationsBefore) /
                                       static_cast<double>(state.iterations());
}
BENCHMARK(BM_UnreadFrame_Baseline);

// Frames flowing for real: the camera runs at `fps`, the delegate takes every
// frame. Reports the process's CPU time per delivered frame beyond what the
// same world costs with the session stopped, and the delivered share.
void BM_FrameCallback_Scaling(benchmark::State& state) {
  const auto fps = static_cast<double>(state.range(0));
  const double kWindowSeconds = bench::frameWindowSeconds(fps);
  bench::ShownCamera::Options options;
  options.frameRate = static_cast<double>(state.range(0));
  options.videoFrames = true;
  bench::ShownCamera shown(options);

  // The world idling: the same window with no frames.
  shown.camera().stopSession();
  shown.pumpUntil([&] { return !KivoCameraInspector::session(shown.camera())->isRunning(); });
  double idleCpu = bench::processCpuSeconds();
  shown.executor().runMainLoopFor(kWindowSeconds);
  idleCpu = bench::processCpuSeconds() - idleCpu;
  shown.camera().startSession();
  shown.pumpUntil([&] { return KivoCameraInspector::session(shown.camera())->isRunning(); });
  shown.executor().runMainLoopFor(0.05);  // settle into the cadence

  double busyCpu = 0;
  std::uint64_t frames = 0;
  for (auto _ : state) {
    const double cpuBefore = bench::processCpuSeconds();
    const std::uint64_t framesBefore = shown.frames();
    shown.executor().runMainLoopFor(kWindowSeconds);
    busyCpu += bench::processCpuSeconds() - cpuBefore;
    frames += shown.frames() - framesBefore;
  }
  bench::reportFrameCost(state, fps, busyCpu, idleCpu, frames);
}
BENCHMARK(BM_FrameCallback_Scaling)
    ->Apply(bench::frameRates)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
