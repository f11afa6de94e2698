// kivocam live's window on a real display (the one DISPLAY names; Xvfb
// where there is no other): frames drawn a second against what the picture
// asks for, and the process's CPU time per drawn frame.
//
//   BM_LiveCamera/simulated    the simulated camera (30 frames a second)
//   BM_LiveCamera/test         the GStreamer test camera (--camera test)
//   BM_LiveAnimation/reticle   the focus reticle after a tap (shown until the
//                              simulated camera has focused, 0.2-0.3 s)
//   BM_LiveAnimation/shutter   the shutter (call capturePhotoAnimation, 0.25 s)
//
// `drawn_ratio` is frames drawn / expected: the camera's frame rate with the
// camera alone, the display's 60 a second while an animation runs (measured
// inside it). The CPU is kivocam's own: the display server's work on the
// frames (Xvfb copying the shared image) is another process's.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCaptureInput.h"
#include "AVFoundation/AVCaptureSession.h"
#include "BenchSupport.h"
#include "CoreMedia/CMTime.h"
#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "LiveWindow.h"
#include "RealCameras.h"
#include "Runner.h"
#include "sim/HostScreen.h"
#include "sim/World.h"

namespace {

constexpr double kDisplayRate = 60;
// How long the screen settles after appearing (the focus reticle's 1.3 s
// animation after launch ends).
constexpr double kSettleSeconds = 1.5;

// A camera created, attached and shown by the runner, in the window.
class LiveCamera {
 public:
  explicit LiveCamera(std::optional<std::string> camera) : runner_(options(std::move(camera)), discard_) {
    for (const char* line : {"create", "attach", "appear"}) runner_.run(line);
    window_.show(runner_.host(), "kivocam bench", [](const kivocam::LiveInput&) {});
    executor().runMainLoopUntil([this] { return window_.isMapped(); }, 10);
    executor().runMainLoopFor(kSettleSeconds);
  }
  ~LiveCamera() {
    window_.close();
    runner_.finish();
  }
  LiveCamera(const LiveCamera&) = delete;
  LiveCamera& operator=(const LiveCamera&) = delete;

  kivocam::Runner& runner() { return runner_; }
  kivocam::LiveWindow& window() { return window_; }
  ThreadedExecutor& executor() { return *runner_.world().threadedExecutor(); }

  /// The frame rate of the session's camera.
  double cameraFrameRate() {
    const auto session = runner_.newestSession();
    if (!session || session->inputs().empty()) return 0;
    return 1 / CMTimeGetSeconds(session->inputs().front()->device()->activeVideoMinFrameDuration());
  }

 private:
  static kivocam::RunnerOptions options(std::optional<std::string> camera) {
    kivocam::RunnerOptions options;
    options.realtime = true;
    options.realCamera = std::move(camera);
    options.recordTrace = false;
    return options;
  }

  std::ostream discard_{nullptr};
  kivocam::LiveWindow window_;  // first: without a display nothing else is made
  kivocam::Runner runner_;
};

// Frames drawn and CPU used over measured windows.
struct Tally {
  std::uint64_t drawn = 0;
  std::uint64_t skipped = 0;
  double cpu = 0;
  double seconds = 0;
  double drawing = 0;

  template <class Wait>
  void measure(kivocam::LiveWindow& window, Wait&& wait) {
    const auto before = window.stats();
    const double cpu0 = bench::processCpuSeconds();
    const double start = CACurrentMediaTime();
    wait();
    seconds += CACurrentMediaTime() - start;
    cpu += bench::processCpuSeconds() - cpu0;
    drawn += window.stats().drawn - before.drawn;
    skipped += window.stats().skipped - before.skipped;
    drawing += window.stats().drawSeconds - before.drawSeconds;
  }

  void report(benchmark::State& state, double rate) const {
    if (drawn == 0) return state.SkipWithError("no frame was drawn");
    state.counters["drawn_per_s"] = static_cast<double>(drawn) / seconds;
    state.counters["drawn_ratio"] = static_cast<double>(drawn) / (rate * seconds);
    state.counters["cpu_us_per_frame"] = cpu / static_cast<double>(drawn) * 1e6;
    state.counters["draw_us_per_frame"] = drawing / static_cast<double>(drawn) * 1e6;
    state.counters["skipped"] = static_cast<double>(skipped);
  }
};

template <class Body>
void withLiveCamera(benchmark::State& state, std::optional<std::string> camera, Body&& body) {
  std::unique_ptr<LiveCamera> live;
  try {
    live = std::make_unique<LiveCamera>(std::move(camera));
  } catch (const kivocam::DisplayUnavailable& error) {
    return state.SkipWithError((std::string("no display to draw on: ") + error.what()).c_str());
  } catch (const kivocam::CameraUnavailable& error) {
    return state.SkipWithError((std::string("no test camera: ") + error.what()).c_str());
  }
  body(*live);
}

void BM_LiveCamera(benchmark::State& state, std::optional<std::string> camera) {
  withLiveCamera(state, std::move(camera), [&](LiveCamera& live) {
    const double rate = live.cameraFrameRate();
    if (!(rate > 0)) return state.SkipWithError("the camera has no frame rate");
    Tally tally;
    for (auto _ : state) tally.measure(live.window(), [&] { live.executor().runMainLoopFor(2); });
    state.counters["camera_fps"] = rate;
    tally.report(state, rate);
  });
}
BENCHMARK_CAPTURE(BM_LiveCamera, simulated, std::nullopt)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LiveCamera, test, std::optional<std::string>("test"))
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// `line` starts the animation; `window` seconds from the line's end are
// measured, well within the animation.
void BM_LiveAnimation(benchmark::State& state, const char* line, double window) {
  withLiveCamera(state, std::nullopt, [&](LiveCamera& live) {
    Tally tally;
    for (auto _ : state) {
      live.runner().run(line);
      tally.measure(live.window(), [&] { live.executor().runMainLoopFor(window); });
    }
    tally.report(state, kDisplayRate);
  });
}
BENCHMARK_CAPTURE(BM_LiveAnimation, reticle, "tap 187 400", 0.2)
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LiveAnimation, shutter, "call capturePhotoAnimation", 0.2)
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
