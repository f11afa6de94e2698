// The deterministic executor: ordering, serial queues, suspension, virtual
// time, the run budget, and what dropping queues and executors releases.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

class DispatchTest : public ::testing::Test {
 protected:
  DeterministicExecutor executor;
  std::vector<std::string> log;

  DispatchBlock record(std::string entry) {
    return [this, entry = std::move(entry)] { log.push_back(entry); };
  }
};

TEST_F(DispatchTest, BlocksRunOnlyWhenAskedInGlobalSubmissionOrderAcrossQueues) {
  DispatchQueue a("a"), b("b");
  a.async(record("a1"));
  b.async(record("b1"));
  DispatchQueue::main().async(record("m1"));
  a.async([&] {
    log.push_back("a2");
    // Queued while running: after everything queued before it, on every queue.
    b.async(record("b3"));
    a.async(record("a3"));
  });
  b.async(record("b2"));
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(executor.pendingBlockCount(), 5u);
  executor.runUntilIdle();
  EXPECT_THAT(log, ElementsAre("a1", "b1", "m1", "a2", "b2", "b3", "a3"));
  EXPECT_EQ(executor.pendingBlockCount(), 0u);
}

TEST_F(DispatchTest, SuspendedQueuesAreSkippedAndResumeInOrder) {
  DispatchQueue session("session"), other("other");
  session.async([&] {
    log.push_back("s1");
    session.suspend();  // holds back the rest of its own queue
  });
  session.async(record("s2"));
  other.async(record("o1"));
  std::optional<double> ranAt;
  session.asyncAfter(0.5, [&] { ranAt = CACurrentMediaTime(); });
  executor.advance(1.0);
  EXPECT_THAT(log, ElementsAre("s1", "o1"));
  EXPECT_FALSE(ranAt.has_value());
  EXPECT_FALSE(executor.nextDueTime().has_value()) << "the delayed block has come due";
  session.suspend();  // counted: two resumes needed
  session.resume();
  executor.runUntilIdle();
  EXPECT_THAT(log, ElementsAre("s1", "o1"));
  other.async(record("o2"));
  session.async(record("s3"));
  session.resume();
  executor.runUntilIdle();
  // The resumed queue's blocks keep their place in submission order.
  EXPECT_THAT(log, ElementsAre("s1", "o1", "s2", "o2", "s3"));
  ASSERT_TRUE(ranAt.has_value());
  EXPECT_DOUBLE_EQ(*ranAt, 1001.0) << "a delayed block runs when resumed, not when due";
}

TEST_F(DispatchTest, AdvanceStopsAtEachDueTimeInOrderAndRefusesToGoBack) {
  DispatchQueue a("a"), b("b");
  std::vector<std::pair<std::string, double>> runs;
  auto at = [&](std::string name) {
    return [&runs, name = std::move(name)] { runs.emplace_back(name, CACurrentMediaTime()); };
  };
  a.asyncAfter(0.3, at("a@0.3"));
  b.asyncAfter(0.1, at("b@0.1"));
  a.asyncAfter(0.1, at("a@0.1"));  // same due time: submission order
  b.asyncAfter(0.2, [&] {
    runs.emplace_back("b@0.2", CACurrentMediaTime());
    // Relative to the moment it runs, not to the start of the advance.
    a.asyncAfter(0.05, at("a@0.25"));
    DispatchQueue::main().async(at("main@0.2"));
  });
  a.asyncAfter(2.0, at("a@2"));
  // Zero, negative and NaN delays run without advancing, in submission order.
  b.asyncAfter(0, at("b@0"));
  b.asyncAfter(-3, at("b@-3"));
  b.asyncAfter(std::numeric_limits<double>::quiet_NaN(), at("b@NaN"));
  executor.advance(0.5);
  const std::vector<std::pair<std::string, double>> expected = {
      {"b@0", 1000},        {"b@-3", 1000},      {"b@NaN", 1000},     {"b@0.1", 1000.1}, {"a@0.1", 1000.1},
      {"b@0.2", 1000.2},    {"main@0.2", 1000.2}, {"a@0.25", 1000.25}, {"a@0.3", 1000.3}};
  ASSERT_EQ(runs.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(runs[i].first, expected[i].first);
    EXPECT_NEAR(runs[i].second, expected[i].second, 1e-9) << runs[i].first;
  }
  EXPECT_DOUBLE_EQ(executor.now(), 1000.5);
  EXPECT_DOUBLE_EQ(*executor.nextDueTime(), 1002.0);
  EXPECT_THROW(executor.advance(-1), std::invalid_argument);
  EXPECT_THROW(executor.advance(std::numeric_limits<double>::infinity()), std::invalid_argument);
  executor.advance(1.499);
  EXPECT_EQ(runs.size(), expected.size()) << "not before its time";
  executor.advance(0.001);
  EXPECT_EQ(runs.back().first, "a@2");
}


// The clock counts whole nanoseconds: however a wait is split, a block due
// at its end runs at its last step and not one step earlier, and the clock
// reads the same as after one whole advance.
TEST(DispatchClockTest, AnySplitOfAnAdvanceReachesTheSameInstant) {
  struct Split {
    int steps;
    double step;
  };
  // Runs a block due 0.3 s ahead through the split; returns the step at
  // which it ran and the clock at the end.
  auto run = [](const Split split) {
    DeterministicExecutor executor;
    executor.advance(0.3);  // start away from a round number, as a run does
    DispatchQueue queue("q");
    int ranAtStep = 0, step = 0;
    queue.asyncAfter(0.3, [&] { ranAtStep = step; });
    for (step = 1; step <= split.steps; ++step) executor.advance(split.step);
    return std::make_pair(ranAtStep, executor.now());
  };
  const double whole = run({1, 0.3}).second;
  for (const Split split : {Split{3, 0.1}, Split{30, 0.01}, Split{300, 0.001}}) {
    const auto [ranAtStep, now] = run(split);
    EXPECT_EQ(ranAtStep, split.steps) << split.steps << " steps of " << split.step;
    EXPECT_EQ(now, whole) << split.steps << " steps of " << split.step;
  }
}

TEST_F(DispatchTest, TheRunBudgetCatchesLoopsAndNamesTheBusyQueues) {
  DispatchQueue spinner("com.example.spinner");
  DispatchQueue idle("com.example.idle");
  std::function<void()> spin = [&] { spinner.async(spin); };
  spinner.async(spin);
  executor.setRunBudget(100);
  try {
    executor.runUntilIdle();
    FAIL() << "expected RunBudgetExceeded";
  } catch (const RunBudgetExceeded& error) {
    EXPECT_THAT(error.what(), HasSubstr("com.example.spinner"));
    EXPECT_THAT(error.busyQueues(), ElementsAre("com.example.spinner"));
  }
  spin = nullptr;  // the next run ends the chain
  EXPECT_NO_THROW(executor.runUntilIdle());

  std::function<void()> again = [&] { spinner.asyncAfter(0, again); };
  spinner.asyncAfter(0, again);
  EXPECT_THROW(executor.advance(1), RunBudgetExceeded) << "a zero-delay loop";
  again = nullptr;
}

// --- What dropping releases -------------------------------------------------------

TEST_F(DispatchTest, DroppingAQueueDropsItsPendingBlocksUnrun) {
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  bool ran = false;
  {
    DispatchQueue queue("doomed");
    queue.async([token, &ran] { ran = true; });
    queue.asyncAfter(5, [token, &ran] { ran = true; });
    queue.suspend();
  }
  token.reset();
  EXPECT_TRUE(watch.expired()) << "captures of dropped blocks are released at once";
  executor.advance(10);
  EXPECT_FALSE(ran);
}

TEST_F(DispatchTest, AQueueReleasedByItsOwnBlockFinishesThatBlock) {
  struct Owner {
    DispatchQueue queue{"owned"};
  };
  auto owner = std::make_shared<Owner>();
  std::weak_ptr<Owner> watch = owner;
  bool finished = false;
  owner->queue.async([&owner, &finished] {
    owner.reset();  // drops the queue's last outside reference
    finished = true;
  });
  owner->queue.async([] { FAIL() << "a block queued behind the release must not run"; });
  executor.runUntilIdle();
  EXPECT_TRUE(finished);
  EXPECT_TRUE(watch.expired());
}

TEST(DispatchExecutorTest, DestroyingTheExecutorDropsPendingWorkAndLaterSubmissions) {
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  std::optional<DispatchQueue> survivor;
  {
    DeterministicExecutor executor;
    survivor.emplace("survivor");
    survivor->async([token] {});
    survivor->asyncAfter(3, [token] {});
    DispatchQueue::main().async([token] {});
  }
  token.reset();
  EXPECT_TRUE(watch.expired());
  bool ran = false;
  survivor->async([&] { ran = true; });  // discarded: its executor is gone
  {
    DeterministicExecutor next;
    next.runUntilIdle();
  }
  EXPECT_FALSE(ran);
}

// --- Where a block runs ---------------------------------------------------------------

TEST_F(DispatchTest, MainThreadAndQueueLabelsFollowTheRunningBlock) {
  DispatchQueue session("com.kivocamera.session.queue");
  std::vector<std::string> seen;
  auto look = [&] {
    seen.push_back(DispatchQueue::currentLabel() + (isMainThread() ? " main-thread" : "") +
                   (session.isCurrent() ? " session-current" : "") +
                   (DispatchQueue::main().isCurrent() ? " main-current" : ""));
  };
  look();
  session.async(look);
  DispatchQueue::main().async(look);
  executor.runUntilIdle();
  EXPECT_THAT(seen, ElementsAre("main main-thread main-current", "com.kivocamera.session.queue session-current",
                                "main main-thread main-current"));
  EXPECT_TRUE(DispatchQueue::main() == DispatchQueue::main());
  EXPECT_FALSE(session == DispatchQueue::main());
}

TEST_F(DispatchTest, CurrentOperationQueueFallsBackToMainAndADestroyedOneRunsNothing) {
  auto sensors = OperationQueue::create("sensors");
  EXPECT_EQ(OperationQueue::current(), OperationQueue::main());
  std::vector<std::shared_ptr<OperationQueue>> seen;
  sensors->addOperation([&] { seen.push_back(OperationQueue::current()); });
  OperationQueue::main()->addOperation([&] { seen.push_back(OperationQueue::current()); });
  DispatchQueue plain("plain");
  plain.async([&] { seen.push_back(OperationQueue::current()); });
  executor.runUntilIdle();
  // A plain queue off the main thread has no operation queue.
  EXPECT_THAT(seen, ElementsAre(sensors, OperationQueue::main(), nullptr));
  EXPECT_EQ(sensors->underlyingQueue().label(), "sensors");

  seen.clear();  // held the operation queue
  DispatchQueue underlying = sensors->underlyingQueue();  // keeps the dispatch queue alive
  sensors->addOperation([&] { seen.push_back(nullptr); });
  sensors.reset();
  executor.runUntilIdle();
  EXPECT_TRUE(seen.empty());
}

#ifndef NDEBUG
using DispatchDeathTest = DispatchTest;

TEST_F(DispatchDeathTest, QueueAssertionsNameTheQueue) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DispatchQueue session("com.kivocamera.session.queue");
  bool checked = false;
  session.async([&] {
    KIVO_ASSERT_ON_QUEUE(session);
    checked = true;
  });
  executor.runUntilIdle();
  EXPECT_TRUE(checked);
  EXPECT_DEATH(KIVO_ASSERT_ON_QUEUE(session), "must run on queue \"com.kivocamera.session.queue\"");
  EXPECT_DEATH(
      {
        session.async([] { KIVO_ASSERT_MAIN_THREAD(); });
        executor.runUntilIdle();
      },
      "must run on the main thread .*com.kivocamera.session.queue");
  session.suspend();
  session.resume();
  EXPECT_DEATH(session.resume(), "not suspended");
}
#endif

}  // namespace
