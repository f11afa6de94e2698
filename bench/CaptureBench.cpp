// The photo round trip in real time: capturePhoto() on the main thread to
// camera:didCapturePhoto: back on it, with a photo output that calls back at
// once and delivers prepared bytes, so only the component's work and its
// queue hops are timed. Against the same hops with nothing in them, and with
// video frames flowing meanwhile.

#include <benchmark/benchmark.h>

#include <atomic>
#include <string>

#include "BenchSupport.h"
#include "Dispatch/Dispatch.h"
#include "sim/World.h"

namespace {

void BM_CaptureRoundTrip(benchmark::State& state) {
  bench::ShownCamera shown({});
  for (auto _ : state) {
    if (!shown.captureRoundTrip()) {
      state.SkipWithError("a photo did not arrive");
      return;
    }
  }
}
BENCHMARK(BM_CaptureRoundTrip)->UseRealTime()->MinTime(0.5)->Unit(benchmark::kMicrosecond);

// The round trip's critical path with empty blocks, on the same executor:
// main -> session queue; session queue -> photo-output queue (one block at
// once and three at a zero delay, as the output's timetable queues them);
// the last -> session queue and main queue.
void BM_QueueHops_Baseline(benchmark::State& state) {
  sim::World world(sim::World::Mode::realtime);
  world.trace().setRecording(false);
  ThreadedExecutor& executor = *world.threadedExecutor();
  const DispatchQueue session("bench.session");
  const DispatchQueue output("bench.photo-output");
  const DispatchQueue main = DispatchQueue::main();
  int delivered = 0;  // main thread only
  for (auto _ : state) {
    const int expected = delivered + 1;
    session.async([&] {
      output.async([] {});
      output.asyncAfter(0, [] {});
      output.asyncAfter(0, [] {});
      output.asyncAfter(0, [&] {
        session.async([] {});
        main.async([&] { ++delivered; });
      });
    });
    if (!executor.runMainLoopUntil([&] { return delivered == expected; }, 10)) {
      state.SkipWithError("the hops did not come back");
      return;
    }
  }
}
BENCHMARK(BM_QueueHops_Baseline)->UseRealTime()->MinTime(0.5)->Unit(benchmark::kMicrosecond);

void BM_CaptureRoundTrip_WithFrames(benchmark::State& state) {
  bench::ShownCamera::Options options;
  options.frameRate = static_cast<double>(state.range(0));
  options.videoFrames = true;
  bench::ShownCamera shown(options);
  const std::uint64_t framesBefore = shown.frames();
  const double startedAt = CACurrentMediaTime();
  for (auto _ : state) {
    if (!shown.captureRoundTrip()) {
      state.SkipWithError("a photo did not arrive");
      return;
    }
  }
  const double elapsed = CACurrentMediaTime() - startedAt;
  state.counters["frames_per_s"] = static_cast<double>(shown.frames() - framesBefore) / elapsed;
}
BENCHMARK(BM_CaptureRoundTrip_WithFrames)
    ->ArgName("fps")
    ->Arg(240)
    ->Arg(960)
    ->UseRealTime()
    ->MinTime(0.5)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
