// The floors under the threaded executor's costs, measured in the same run:
// a token handed between two threads through a mutex and a condition
// variable, the same token handed between two serial queues, and a video
// frame's path (timer thread, worker, callback thread) with no executor.
//
// Units: the hop benchmarks report the time of one one-way hop (a chain of
// kHops hops per iteration, its time divided by kHops; the iteration count is
// fixed, as the reported time is a thousandth of the time spent); the frame baseline
// reports `cpu_us_per_frame`, the process's CPU time per delivered frame,
// accounted as BM_FrameCallback_Scaling accounts it.

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "BenchSupport.h"
#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"

namespace {

constexpr int kHops = 1000;

// The benchmark thread's wait for the end of a chain: the same in both hop
// benchmarks, and paid once a chain.
class Finish {
 public:
  void signal() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_one();
  }
  bool wait() {
    std::unique_lock lock(mutex_);
    const bool done = cv_.wait_for(lock, std::chrono::seconds(10), [&] { return done_; });
    done_ = false;
    return done;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};

void BM_CondvarHop_Baseline(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable turnChanged;
  int holder = -1;  // which thread holds the token; -1: none
  int hopsLeft = 0;
  bool stop = false;
  Finish finish;
  // Each side waits for the token, then hands it to the other.
  auto side = [&](int self) {
    std::unique_lock lock(mutex);
    for (;;) {
      turnChanged.wait(lock, [&] { return stop || holder == self; });
      if (stop) return;
      if (--hopsLeft == 0) {
        holder = -1;
        finish.signal();
        continue;
      }
      holder = 1 - self;
      turnChanged.notify_all();
    }
  };
  std::thread a(side, 0), b(side, 1);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(mutex);
      hopsLeft = kHops;
      holder = 0;
    }
    turnChanged.notify_all();
    if (!finish.wait()) {
      state.SkipWithError("the token did not come back");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kHops);
  }
  {
    std::lock_guard lock(mutex);
    stop = true;
  }
  turnChanged.notify_all();
  a.join();
  b.join();
}
BENCHMARK(BM_CondvarHop_Baseline)->UseManualTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

void BM_QueueHop(benchmark::State& state) {
  ThreadedExecutor executor;
  const DispatchQueue queues[2] = {DispatchQueue("bench.ping"), DispatchQueue("bench.pong")};
  Finish finish;
  // The token is a block that queues its successor on the other queue.
  struct Hop {
    const DispatchQueue* queues;
    Finish* finish;
    int left;
    int at;
    void operator()() const {
      if (left == 1) return finish->signal();
      queues[1 - at].async(Hop{queues, finish, left - 1, 1 - at});
    }
  };
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    queues[0].async(Hop{queues, &finish, kHops, 0});
    if (!finish.wait()) {
      state.SkipWithError("the token did not come back");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kHops);
  }
}
BENCHMARK(BM_QueueHop)->UseManualTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

// A frame's thread structure with no executor: a timer thread sleeps until
// each frame time and hands the frame to a worker thread, which hands it to
// a callback thread that runs an empty callback.
class FramePipeline {
 public:
  explicit FramePipeline(double fps) : period_(std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / fps))) {
    timer_ = std::thread([this] { timerLoop(); });
    worker_ = std::thread([this] { relay(workerFrames_, &callbackFrames_); });
    callback_ = std::thread([this] { relay(callbackFrames_, nullptr); });
  }
  ~FramePipeline() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    workerFrames_.cv.notify_all();
    callbackFrames_.cv.notify_all();
    timer_.join();
    worker_.join();
    callback_.join();
  }
  std::uint64_t delivered() {
    std::lock_guard lock(mutex_);
    return delivered_;
  }

 private:
  struct Inbox {
    std::condition_variable cv;
    std::uint64_t pending = 0;
  };

  void timerLoop() {
    auto next = std::chrono::steady_clock::now();
    for (;;) {
      next += period_;
      std::this_thread::sleep_until(next);
      std::lock_guard lock(mutex_);
      if (stop_) return;
      ++workerFrames_.pending;
      workerFrames_.cv.notify_one();
    }
  }

  void relay(Inbox& inbox, Inbox* to) {
    std::unique_lock lock(mutex_);
    for (;;) {
      inbox.cv.wait(lock, [&] { return stop_ || inbox.pending > 0; });
      if (stop_) return;
      --inbox.pending;
      if (to) {
        ++to->pending;
        to->cv.notify_one();
      } else {
        lock.unlock();
        benchmark::ClobberMemory();  // the empty callback
        lock.lock();
        ++delivered_;
      }
    }
  }

  const std::chrono::nanoseconds period_;
  std::mutex mutex_;
  Inbox workerFrames_, callbackFrames_;
  std::uint64_t delivered_ = 0;
  bool stop_ = false;
  std::thread timer_, worker_, callback_;
};

void BM_FrameWake_Baseline(benchmark::State& state) {
  const auto fps = static_cast<double>(state.range(0));
  const double kWindowSeconds = bench::frameWindowSeconds(fps);
  // Idle: the same window with no pipeline (nothing else runs here).
  double idleCpu = bench::processCpuSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
  idleCpu = bench::processCpuSeconds() - idleCpu;

  FramePipeline pipeline(fps);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // settle into the cadence
  double busyCpu = 0;
  std::uint64_t frames = 0;
  for (auto _ : state) {
    const double cpuBefore = bench::processCpuSeconds();
    const std::uint64_t framesBefore = pipeline.delivered();
    std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
    busyCpu += bench::processCpuSeconds() - cpuBefore;
    frames += pipeline.delivered() - framesBefore;
  }
  bench::reportFrameCost(state, fps, busyCpu, idleCpu, frames);
}
BENCHMARK(BM_FrameWake_Baseline)
    ->Apply(bench::frameRates)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
