// The threaded executor, meant to run under ThreadSanitizer: per-queue order,
// no overlap within a queue, delayed blocks, the main run loop, the main
// queue in a host's poll loop, and a clean shutdown. Assertions never depend
// on how long anything took.

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"

namespace {

constexpr double kGenerousTimeout = 30.0;

// Whether `fd` becomes readable within `seconds` (0: is readable now).
bool readable(int fd, double seconds) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(seconds * 1000)) == 1 && (entry.revents & POLLIN) != 0;
}

TEST(ThreadedDispatchTest, EachQueueRunsItsBlocksInOrderAndNeverTwoAtOnce) {
  ThreadedExecutor executor(3);
  constexpr int kQueues = 4;
  constexpr int kBlocksPerProducer = 2000;

  struct Lane {
    DispatchQueue queue;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<int> seen;  // written only by the lane's own blocks
    explicit Lane(int i) : queue("lane-" + std::to_string(i)) {}
  };
  std::vector<std::unique_ptr<Lane>> lanes;
  for (int i = 0; i < kQueues; ++i) lanes.push_back(std::make_unique<Lane>(i));
  std::atomic<int> done{0};

  // One producer thread per lane: its submissions must run in its order.
  std::vector<std::thread> producers;
  for (auto& lanePtr : lanes) {
    Lane* lane = lanePtr.get();
    producers.emplace_back([lane, &done] {
      for (int n = 0; n < kBlocksPerProducer; ++n) {
        lane->queue.async([lane, n, &done] {
          if (lane->inside.fetch_add(1) != 0) lane->overlapped = true;
          lane->seen.push_back(n);
          lane->inside.fetch_sub(1);
          done.fetch_add(1);
        });
      }
    });
  }
  for (auto& producer : producers) producer.join();
  ASSERT_TRUE(executor.runMainLoopUntil([&] { return done.load() == kQueues * kBlocksPerProducer; },
                                        kGenerousTimeout));
  for (auto& lane : lanes) {
    EXPECT_FALSE(lane->overlapped) << lane->queue.label();
    ASSERT_EQ(lane->seen.size(), static_cast<std::size_t>(kBlocksPerProducer));
    for (int n = 0; n < kBlocksPerProducer; ++n) ASSERT_EQ(lane->seen[n], n) << lane->queue.label();
  }
}

TEST(ThreadedDispatchTest, DelayedBlocksRunAfterTheirDelayInDueOrder) {
  ThreadedExecutor executor;
  DispatchQueue queue("timer");
  std::mutex mutex;
  std::vector<int> order;
  std::vector<double> lateness;
  std::atomic<int> done{0};
  const double start = CACurrentMediaTime();
  for (int i : {3, 1, 2}) {
    const double delay = 0.01 * i;
    queue.asyncAfter(delay, [&, i, delay] {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(i);
      lateness.push_back(CACurrentMediaTime() - (start + delay));
      done.fetch_add(1);
    });
  }
  ASSERT_TRUE(executor.runMainLoopUntil([&] { return done.load() == 3; }, kGenerousTimeout));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  for (double late : lateness) EXPECT_GE(late, 0.0) << "ran before its delay";
}

// The timer sleeps until its earliest block: one submitted later but due
// sooner must wake it, or it would run an hour late.
TEST(ThreadedDispatchTest, AnEarlierDelayedBlockWakesTheSleepingTimer) {
  ThreadedExecutor executor;
  DispatchQueue queue("timer");
  std::atomic<bool> soon{false}, late{false};
  queue.asyncAfter(3600, [&] { late = true; });
  ASSERT_FALSE(executor.runMainLoopUntil([] { return false; }, 0.05));  // the timer is asleep now
  queue.asyncAfter(0.01, [&] { soon = true; });
  EXPECT_TRUE(executor.runMainLoopUntil([&] { return soon.load(); }, kGenerousTimeout));
  EXPECT_FALSE(late.load());
}

TEST(ThreadedDispatchTest, SuspendedQueueHoldsItsBlocksUntilResumed) {
  ThreadedExecutor executor;
  DispatchQueue queue("held");
  std::atomic<bool> ran{false};
  queue.suspend();
  queue.async([&] { ran = true; });
  // Let the workers spin over it for a moment: it must not run.
  executor.runMainLoopFor(0.02);
  EXPECT_FALSE(ran);
  queue.resume();
  EXPECT_TRUE(executor.runMainLoopUntil([&] { return ran.load(); }, kGenerousTimeout));
}

TEST(ThreadedDispatchTest, ShutdownFinishesRunningBlocksAndDropsThePendingOnes) {
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  std::atomic<int> ran{0};
  std::optional<DispatchQueue> queue;
  {
    ThreadedExecutor executor(2);
    queue.emplace("busy");
    queue->async([&] { ran.fetch_add(1); });
    queue->asyncAfter(60, [token, &ran] { ran.fetch_add(100); });
    executor.runMainLoopUntil([&] { return ran.load() >= 1; }, kGenerousTimeout);
    DispatchQueue::main().async([token, &ran] { ran.fetch_add(1000); });  // never pumped
  }
  token.reset();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(ran.load(), 1);
  queue->async([&] { ran.fetch_add(10000); });  // discarded after shutdown
  EXPECT_EQ(ran.load(), 1);
}

TEST(ThreadedDispatchTest, QueuesCreatedAndDroppedFromManyThreads) {
  ThreadedExecutor executor(2);
  constexpr int kThreads = 4, kQueuesPerThread = 200;
  std::atomic<int> keptRan{0};
  std::atomic<int> droppedRan{0};
  std::vector<std::vector<DispatchQueue>> kept(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kQueuesPerThread; ++i) {
        DispatchQueue queue("short-lived-" + std::to_string(t));
        std::atomic<int>& counter = (i % 2 == 0) ? keptRan : droppedRan;
        queue.async([&counter] { counter.fetch_add(1); });
        queue.asyncAfter(0.001, [&counter] { counter.fetch_add(1); });
        if (i % 2 == 0) kept[t].push_back(queue);  // odd ones are dropped at once
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const int expected = kThreads * (kQueuesPerThread / 2) * 2;
  EXPECT_TRUE(executor.runMainLoopUntil([&] { return keptRan.load() == expected; }, kGenerousTimeout))
      << keptRan.load() << " of " << expected;
  EXPECT_LE(droppedRan.load(), expected);
}

// The descriptor a host's loop watches: raised by a main block queued from
// another thread and by a delayed one coming due (the timer's doing),
// cleared by the drain; a block queued during a drain waits for the next
// one, with the descriptor raised for it.
TEST(ThreadedDispatchTest, TheMainQueueDescriptorIsReadableWhileMainWorkIsReady) {
  ThreadedExecutor executor;
  const int fd = executor.mainQueueDescriptor();
  std::vector<std::string> ran;  // main thread only
  EXPECT_FALSE(readable(fd, 0));

  std::thread([&] { DispatchQueue::main().async([&] { ran.push_back("from a thread"); }); }).join();
  ASSERT_TRUE(readable(fd, kGenerousTimeout));
  EXPECT_EQ(executor.drainMainQueue(), 1u);
  EXPECT_FALSE(readable(fd, 0));

  DispatchQueue::main().asyncAfter(0.01, [&] {
    ran.push_back("delayed");
    DispatchQueue::main().async([&] { ran.push_back("queued by the delayed one"); });
  });
  ASSERT_TRUE(readable(fd, kGenerousTimeout));
  EXPECT_EQ(executor.drainMainQueue(), 1u);
  EXPECT_TRUE(readable(fd, 0));
  EXPECT_EQ(executor.drainMainQueue(), 1u);
  EXPECT_FALSE(readable(fd, 0));
  EXPECT_EQ(ran, (std::vector<std::string>{"from a thread", "delayed", "queued by the delayed one"}));
}

// A plain poll loop drains a burst from another thread, passed on through a
// serial queue, in order and completely.
TEST(ThreadedDispatchTest, APollLoopDrainsABurstOfMainBlocksInOrder) {
  ThreadedExecutor executor(2);
  constexpr std::size_t kBlocks = 5000;
  std::vector<std::size_t> seen;  // main thread only
  DispatchQueue relay("relay");
  std::thread producer([&] {
    for (std::size_t n = 0; n < kBlocks; ++n)
      relay.async([&seen, n] { DispatchQueue::main().async([&seen, n] { seen.push_back(n); }); });
  });
  const int fd = executor.mainQueueDescriptor();
  while (seen.size() < kBlocks && readable(fd, kGenerousTimeout)) executor.drainMainQueue();
  producer.join();
  ASSERT_EQ(seen.size(), kBlocks);
  for (std::size_t n = 0; n < kBlocks; ++n) ASSERT_EQ(seen[n], n);
}

// The blocking run for hosts without a loop ends when another thread asks,
// and a stop asked for before the run is not lost.
TEST(ThreadedDispatchTest, RunMainLoopRunsUntilAStopIsRequested) {
  ThreadedExecutor executor;
  DispatchQueue worker("worker");
  int ranOnMain = 0;
  DispatchQueue::main().async([&] {
    ++ranOnMain;
    worker.async([&] { executor.stopMainLoop(); });
  });
  EXPECT_FALSE(executor.runMainLoop([] { return false; }));
  EXPECT_EQ(ranOnMain, 1);

  executor.stopMainLoop();
  EXPECT_FALSE(executor.runMainLoop());
}

}  // namespace
