#pragma once
// Shared pieces of the benchmarks: the allocation count, a delegate for the
// frame path, and a camera shown in a real-time world (threaded executor) by
// a simulated host, with the world's trace switched off so that long runs
// neither format nor keep trace lines.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Foundation/PlatformTrace.h"
#include "KivoCamera.h"
#include "KivoCameraDelegate.h"
#include "sim/World.h"
#include "support/ShownCamera.h"

namespace bench {

/// Allocations made by the whole program so far (see AllocationCounter.cpp).
std::uint64_t allocationCount();

/// Seconds of CPU time used by the whole process so far.
double processCpuSeconds();

// --- Frame cost in real time -----------------------------------------------
/// The frame rates of the real-time frame benchmarks (30 to 960), as their
/// `fps` argument: `BENCHMARK(...)->Apply(bench::frameRates)`.
void frameRates(benchmark::internal::Benchmark* benchmark);
/// The length of one measured window at `fps`: at least 60 frames, so that
/// slow rates are not lost in noise.
double frameWindowSeconds(double fps);
/// Reports `cpu_us_per_frame` (the process's CPU time per delivered frame
/// beyond `idleCpu`, the CPU of one window with no frames) and
/// `delivered_ratio` (frames delivered / due) over the iterations' windows;
/// skips with an error when no frame arrived.
void reportFrameCost(benchmark::State& state, double fps, double busyCpu, double idleCpu, std::uint64_t frames);

/// A delegate that implements the frame callback (or, with `responds` false,
/// says it does not) and does the least a host can do with a frame.
class FrameDelegate : public KivoCameraDelegate {
 public:
  explicit FrameDelegate(bool responds) : responds_(responds) {}
  bool respondsToSelector(Selector selector) const override {
    return responds_ || selector != Selector::cameraDidOutputIsStill;
  }
  void cameraDidCapturePhoto(KivoCamera&, const std::optional<Data>&) override {}
  void cameraDidOutput(KivoCamera& camera, const CMSampleBufferRef& sampleBuffer, bool isStill) override;

  std::uint64_t stillFrames() const { return stillFrames_; }

 private:
  const bool responds_;
  std::uint64_t stillFrames_ = 0;
};

/// A camera shown by the simulated host (the tests' fixture) in a real-time
/// world whose trace and platform calls go nowhere.
class ShownCamera {
 public:
  struct Options {
    /// The back wide camera's frame rate.
    double frameRate = 30;
    bool videoFrames = false;
    bool accelerometer = false;
    /// Capture callbacks all at the request, with small prepared bytes.
    bool instantPhotos = true;
  };

  explicit ShownCamera(const Options& options);
  ~ShownCamera();
  ShownCamera(const ShownCamera&) = delete;
  ShownCamera& operator=(const ShownCamera&) = delete;

  ThreadedExecutor& executor() { return *world_->threadedExecutor(); }
  KivoCamera& camera() { return shown_->camera(); }

  /// Pumps the main queue until `done` or `timeoutSeconds`; false on timeout.
  bool pumpUntil(const std::function<bool()>& done, double timeoutSeconds = 10) {
    return shown_->runUntil(done, timeoutSeconds);
  }

  std::uint64_t photos() { return shown_->delegate().photoCount(); }
  std::uint64_t frames() { return shown_->delegate().frameCount(); }

  /// One capture from request to delivery; false if it did not arrive.
  bool captureRoundTrip();

 private:
  std::unique_ptr<sim::World> world_;
  std::optional<ScopedPlatformCallSink> quiet_;
  std::optional<kivotest::ShownCamera> shown_;
};

/// A tiny JPEG for photos whose encoding should not be timed.
Data smallJpeg();

}  // namespace bench
