// One accelerometer sample through the motion detector and through the
// orientation estimator: the component's work per sample, which must be a
// distance, a clock read and no allocation. The handlers are reached directly
// (see SampleHandlers below) so the sensor service's timers and queue hops
// are not part of the figure; BM_MotionSample_Delivered adds them back.

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

#include "BenchSupport.h"
#include "CoreMotion/CMAccelerometerData.h"
#include "Dispatch/Dispatch.h"
#include "KivoMotionManager.h"
#include "KivoOrientation.h"
#include "sim/World.h"
#include "sim/motion/MotionSimulation.h"

namespace {

// The sample handlers are private: the sensor service calls them through the
// closure the objects register at start. An explicit instantiation may name
// private members, so this template hands out pointers to them.
template <class Tag, typename Tag::type Member>
struct ExposeMember {
  friend typename Tag::type member(Tag) { return Member; }
};

struct MotionHandler {
  using type = void (KivoMotionManager::*)(const CMAccelerometerData&);
  friend type member(MotionHandler);
};
template struct ExposeMember<MotionHandler, &KivoMotionManager::handleAccelerometerUpdate>;

struct OrientationHandler {
  using type = void (KivoOrientation::*)(const CMAccelerometerData&);
  friend type member(OrientationHandler);
};
template struct ExposeMember<OrientationHandler, &KivoOrientation::handleAccelerometerUpdate>;

// Two readings of a device held still in the hand: 0.05 g apart, under the
// detector's 0.1 g threshold, so every sample measures a distance.
CMAccelerometerData sample(int i) {
  CMAccelerometerData data;
  data.acceleration = (i & 1) ? CMAcceleration{0, -1, 0.05} : CMAcceleration{0, -1, 0};
  return data;
}

void BM_MotionSample(benchmark::State& state) {
  sim::World world;
  auto manager = KivoMotionManager::create();
  const auto handle = member(MotionHandler{});
  const CMAccelerometerData samples[2] = {sample(0), sample(1)};
  ((*manager).*handle)(samples[0]);  // the reference sample
  int i = 0;
  const std::uint64_t allocationsBefore = bench::allocationCount();
  for (auto _ : state) {
    ((*manager).*handle)(samples[++i & 1]);
  }
  const auto allocations = bench::allocationCount() - allocationsBefore;
  state.counters["allocs_per_sample"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
  if (manager->motionState() != KivoMotionState::still) state.SkipWithError("the detector did not see a still device");
}
BENCHMARK(BM_MotionSample);

// The distance between consecutive samples plus one read of the media clock.
void BM_MotionSample_Baseline(benchmark::State& state) {
  sim::World world;
  const CMAccelerometerData samples[2] = {sample(0), sample(1)};
  CMAcceleration previous = samples[0].acceleration;
  int i = 0;
  for (auto _ : state) {
    const CMAcceleration a = samples[++i & 1].acceleration;
    const double now = CACurrentMediaTime();
    const double dx = previous.x - a.x, dy = previous.y - a.y, dz = previous.z - a.z;
    const double distance = std::sqrt(dx * dx + dy * dy + dz * dz);
    benchmark::DoNotOptimize(now);
    benchmark::DoNotOptimize(distance);
    previous = a;
  }
}
BENCHMARK(BM_MotionSample_Baseline);

void BM_OrientationSample(benchmark::State& state) {
  sim::World world;
  auto estimator = KivoOrientation::create();
  const auto handle = member(OrientationHandler{});
  // Alternates between portrait and landscape so the estimate changes.
  CMAccelerometerData samples[2];
  samples[0].acceleration = {0, -1, 0};
  samples[1].acceleration = {0.9, -0.2, 0};
  int i = 0;
  const std::uint64_t allocationsBefore = bench::allocationCount();
  for (auto _ : state) {
    ((*estimator).*handle)(samples[++i & 1]);
  }
  const auto allocations = bench::allocationCount() - allocationsBefore;
  state.counters["allocs_per_sample"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
  if (!estimator->deviceOrientation()) state.SkipWithError("no estimate");
}
BENCHMARK(BM_OrientationSample);

// The whole way of a sample in the deterministic world: the sensor's timer,
// the reading, the operation on the main queue, the detector. Watches the
// platform's share of a sample (its allocations included).
void BM_MotionSample_Delivered(benchmark::State& state) {
  sim::World world;
  world.trace().setRecording(false);
  auto manager = KivoMotionManager::create();
  manager->start();
  const double interval = manager->accelerometerUpdateInterval();
  int i = 0;
  world.advance(interval);
  const std::uint64_t allocationsBefore = bench::allocationCount();
  for (auto _ : state) {
    world.motion().setAcceleration(0, -1, (++i & 1) ? 0.05 : 0);
    world.advance(interval);
  }
  const auto allocations = bench::allocationCount() - allocationsBefore;
  state.counters["allocs_per_sample"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
  manager->stop();
  if (manager->motionState() != KivoMotionState::still) state.SkipWithError("no samples reached the detector");
}
BENCHMARK(BM_MotionSample_Delivered);

}  // namespace
