// How long the main thread is ever kept from its work while a camera with
// slow hardware goes through its life: the session takes 300 ms to start,
// its configuration 200 ms (the camera opens that slowly), a photo 300 ms to
// process. The host creates the camera, attaches it, shows it, takes a photo
// and hides it, pumping the main queue all the while. A stall is the longest
// a main-queue block waited to start or ran, or a host call on the main
// thread took; the counters also give the main thread's processor time in
// the longest-running block, which tells work from preemption by a busy
// machine, and the label the step in which the worst stall ended.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "KivoCameraInspector.h"
#include "BenchSupport.h"
#include "sim/capture/CaptureSimulation.h"
#include "sim/capture/SessionCosts.h"

namespace {

constexpr double kStartRunningSeconds = 0.3;
constexpr double kConfigurationSeconds = 0.2;
constexpr double kPhotoProcessingSeconds = 0.3;

double seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Stalls {
  double worstWait = 0;
  double worstRun = 0;
  double worstRunCpu = 0;  // processor time of the main thread in one block
  double worstHostCall = 0;
  double worst = 0;
  const char* worstStep = "";  // the step during which the worst one ended

  void note(double stall, const char* step) {
    if (stall <= worst) return;
    worst = stall;
    worstStep = step;
  }
};

// One life of the camera; false if a step did not finish.
bool liveOnce(Stalls& stalls) {
  sim::World world(sim::World::Mode::realtime);
  world.trace().setRecording(false);
  // The start cost is observed through the platform-call report, which it
  // shadows: the world's trace sees nothing meanwhile.
  sim::ScopedSessionCosts costs({kStartRunningSeconds, 0});
  world.capture().setDeviceInputOpenSeconds(kConfigurationSeconds);
  const double exposure = sim::PhotoTimetable{}.willCapture;
  world.capture().setPhotoTimetable(
      {exposure, exposure + kPhotoProcessingSeconds, exposure + kPhotoProcessingSeconds});
  ThreadedExecutor& executor = *world.threadedExecutor();
  const char* step = "create";
  executor.setMainQueueObserver([&stalls, &step](const MainQueueBlockTiming& timing) {
    stalls.worstWait = std::max(stalls.worstWait, timing.waitSeconds);
    stalls.worstRun = std::max(stalls.worstRun, timing.runSeconds);
    stalls.worstRunCpu = std::max(stalls.worstRunCpu, timing.runCpuSeconds);
    stalls.note(std::max(timing.waitSeconds, timing.runSeconds), step);
  });
  auto hostCall = [&stalls, &step](const char* name, auto&& call) {
    step = name;
    const double from = seconds();
    call();
    const double took = seconds() - from;
    stalls.worstHostCall = std::max(stalls.worstHostCall, took);
    stalls.note(took, name);
  };
  auto pumpUntil = [&executor](const std::function<bool()>& done) { return executor.runMainLoopUntil(done, 10); };

  int photos = 0;  // main thread only
  auto delegate = std::make_shared<KivoCameraDelegateBlocks>();
  delegate->didCapturePhoto = [&photos](KivoCamera&, const std::optional<Data>&) { ++photos; };
  std::shared_ptr<KivoCamera> camera;
  sim::HostScreen host;

  hostCall("create", [&] {
    camera = KivoCamera::create();
    world.markControllerCreated();
    camera->setDelegate(delegate);
  });
  hostCall("attach", [&] { host.attach(camera, [&] { camera->addToController(host.controller()); }); });
  hostCall("appear", [&] { host.appear(); });
  if (!pumpUntil([&] { return KivoCameraInspector::session(*camera)->isRunning(); })) return false;
  hostCall("capture", [&] { camera->capturePhoto(); });
  if (!pumpUntil([&] { return photos == 1; })) return false;
  hostCall("disappear", [&] { host.disappear(); });
  if (!pumpUntil([&] { return !KivoCameraInspector::session(*camera)->isRunning(); })) return false;
  executor.setMainQueueObserver({});
  host.release();
  camera.reset();
  return true;
}

void BM_MainThreadStall(benchmark::State& state) {
  Stalls stalls;
  for (auto _ : state) {
    if (!liveOnce(stalls)) {
      state.SkipWithError("a step of the camera's life did not finish");
      return;
    }
  }
  state.counters["max_stall_ms"] = stalls.worst * 1e3;
  state.counters["max_wait_ms"] = stalls.worstWait * 1e3;
  state.counters["max_run_ms"] = stalls.worstRun * 1e3;
  state.counters["max_run_cpu_ms"] = stalls.worstRunCpu * 1e3;
  state.counters["max_host_call_ms"] = stalls.worstHostCall * 1e3;
  state.SetLabel(std::string("worst during ") + stalls.worstStep);
}
BENCHMARK(BM_MainThreadStall)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
