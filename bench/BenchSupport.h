#pragma once
// Shared pieces of the benchmarks: the allocation count, a delegate for the
// frame path, and a camera shown in a real-time world (threaded executor) by
// a simulated host, with the world's trace switched off so that long runs
// neither format nor keep trace lines.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AVFoundation/AVCaptureSession.h"
#include "Foundation/PlatformTrace.h"
#include "KivoCamera.h"
#include "KivoCameraDelegate.h"
#include "sim/HostScreen.h"
#include "sim/World.h"

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

/// A camera embedded and shown by a host in a real-time world.
class ShownCamera {
 public:
  struct Options {
    /// Scenario options of the back wide camera ("fps=240"...).
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

  sim::World& world() { return *world_; }
  ThreadedExecutor& executor() { return *world_->threadedExecutor(); }
  KivoCamera& camera() { return *camera_; }

  /// Pumps the main queue until `done` or `timeoutSeconds`; false on timeout.
  bool pumpUntil(const std::function<bool()>& done, double timeoutSeconds = 10);

  std::uint64_t photos() const { return counts_->photos.load(); }
  std::uint64_t frames() const { return counts_->frames.load(); }

  /// One capture from request to delivery; false if it did not arrive.
  bool captureRoundTrip();

 private:
  struct Counts {
    std::atomic<std::uint64_t> photos{0};
    std::atomic<std::uint64_t> frames{0};
  };
  std::unique_ptr<sim::World> world_;
  std::optional<ScopedPlatformCallSink> quiet_;
  std::unique_ptr<sim::HostScreen> host_;
  std::shared_ptr<KivoCamera> camera_;
  std::shared_ptr<Counts> counts_ = std::make_shared<Counts>();
  std::shared_ptr<KivoCameraDelegateBlocks> delegate_ = std::make_shared<KivoCameraDelegateBlocks>();
};

/// A tiny JPEG for photos whose encoding should not be timed.
Data smallJpeg();

}  // namespace bench
