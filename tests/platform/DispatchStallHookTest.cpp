// The threaded executor's main-queue observer: one report per main-queue
// block and none for other queues, on the main thread, after the block;
// waiting counted from the moment a block became ready (its submission, or
// when a delayed block came due), never from before. Every bound checked
// follows from the order of events, not from how long anything took.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <time.h>
#include <vector>

#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"

namespace {

constexpr double kGenerousTimeout = 30.0;

double monotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Reads the clock until it has moved past `t`, so that two stamps taken
// around a step are known to differ.
double after(double t) {
  double now = monotonicSeconds();
  while (now <= t) now = monotonicSeconds();
  return now;
}

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Report {
  MainQueueBlockTiming timing;
  bool onMainThread;
  int blocksRunBefore;  // main-queue blocks that had finished when it was made
};

TEST(DispatchStallHookTest, EveryMainQueueBlockIsReportedOnceOnTheMainThreadAfterItRan) {
  ThreadedExecutor executor(2);
  std::vector<Report> reports;
  int mainBlocksRun = 0;
  executor.setMainQueueObserver([&](const MainQueueBlockTiming& timing) {
    reports.push_back({timing, isMainThread(), mainBlocksRun});
  });

  DispatchQueue worker("test.worker");
  std::atomic<int> workerBlocksRun{0};
  for (int i = 0; i < 5; ++i) {
    worker.async([&] {
      workerBlocksRun.fetch_add(1);
      // Hops to the main queue, as a completion does.
      DispatchQueue::main().async([&] { ++mainBlocksRun; });
    });
  }
  worker.async([&] { workerBlocksRun.fetch_add(1); });
  ASSERT_TRUE(executor.runMainLoopUntil([&] { return mainBlocksRun == 5 && workerBlocksRun.load() == 6; },
                                        kGenerousTimeout));

  ASSERT_EQ(reports.size(), 5u);  // the worker's own blocks are not reported
  for (std::size_t i = 0; i < reports.size(); ++i) {
    EXPECT_TRUE(reports[i].onMainThread);
    EXPECT_EQ(reports[i].blocksRunBefore, static_cast<int>(i) + 1);
    EXPECT_GE(reports[i].timing.waitSeconds, 0);
    EXPECT_GE(reports[i].timing.runSeconds, 0);
    EXPECT_GE(reports[i].timing.runCpuSeconds, 0);
  }
}

TEST(DispatchStallHookTest, WaitingCountsFromSubmissionAndRunningCoversTheBlockAndItsProcessorTime) {
  ThreadedExecutor executor(2);
  std::vector<MainQueueBlockTiming> reports;
  executor.setMainQueueObserver([&](const MainQueueBlockTiming& timing) { reports.push_back(timing); });

  double ranFrom = 0, ranTo = 0, cpuFrom = 0, cpuTo = 0;
  bool ran = false;
  DispatchQueue::main().async([&] {
    cpuFrom = threadCpuSeconds();
    ranFrom = monotonicSeconds();
    ranTo = after(ranFrom);
    // Work until the thread's processor clock has moved too.
    cpuTo = threadCpuSeconds();
    while (cpuTo <= cpuFrom) cpuTo = threadCpuSeconds();
    ran = true;
  });
  // The main loop is not pumped yet: the block waits at least this long.
  const double submittedBy = monotonicSeconds();
  const double pumpFrom = after(submittedBy);
  ASSERT_TRUE(executor.runMainLoopUntil([&] { return ran; }, kGenerousTimeout));

  ASSERT_EQ(reports.size(), 1u);
  EXPECT_GE(reports[0].waitSeconds, pumpFrom - submittedBy);
  EXPECT_GE(reports[0].runSeconds, ranTo - ranFrom);
  EXPECT_GE(reports[0].runCpuSeconds, cpuTo - cpuFrom);
}

TEST(DispatchStallHookTest, ADelayedBlockWaitsOnlyFromWhenItCameDue) {
  ThreadedExecutor executor(2);
  std::vector<MainQueueBlockTiming> reports;
  executor.setMainQueueObserver([&](const MainQueueBlockTiming& timing) { reports.push_back(timing); });

  constexpr double kDelay = 0.02;
  double startedAt = 0;
  const double requestedAt = monotonicSeconds();
  DispatchQueue::main().asyncAfter(kDelay, [&] { startedAt = monotonicSeconds(); });
  ASSERT_TRUE(executor.runMainLoopUntil([&] { return startedAt > 0; }, kGenerousTimeout));

  ASSERT_EQ(reports.size(), 1u);
  // It came due no earlier than the request plus the delay, and started no
  // later than it stamped its own start.
  EXPECT_LE(reports[0].waitSeconds, startedAt - requestedAt - kDelay);
}

}  // namespace
