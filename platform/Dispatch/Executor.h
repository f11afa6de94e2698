#pragma once
// The two executors behind DispatchQueue. Exactly one is installed at a time:
// constructing one installs it, destroying it uninstalls it. Queues made while
// an executor is installed run on it for their whole life; once it is gone
// their pending blocks are dropped and new ones are discarded.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace dispatch_detail {
class SchedulerCore;
}

/// Thrown when one instant of the deterministic executor runs more blocks than
/// its budget allows: some block keeps queueing more work at the same virtual
/// time. The message names the queues that still had blocks ready.
/// Thread-safe
class RunBudgetExceeded : public std::runtime_error {
 public:
  RunBudgetExceeded(const std::string& message, std::vector<std::string> busyQueues)
      : std::runtime_error(message), busyQueues_(std::move(busyQueues)) {}
  const std::vector<std::string>& busyQueues() const { return busyQueues_; }

 private:
  std::vector<std::string> busyQueues_;
};

/// Every queue runs on the thread that created the executor (the driving
/// thread, which is also the main thread), only when the driver asks.
/// Thread-bound: main
/// `runUntilIdle` and `advance` may only be called there, and not from inside
/// a block. Except: now, nextDueTime and pendingBlockCount are Thread-safe,
/// and submissions to its queues may come from any thread.
class DeterministicExecutor {
 public:
  static constexpr double kStartTime = 1000.0;
  static constexpr std::size_t kDefaultRunBudget = 1'000'000;

  DeterministicExecutor();
  ~DeterministicExecutor();
  DeterministicExecutor(const DeterministicExecutor&) = delete;
  DeterministicExecutor& operator=(const DeterministicExecutor&) = delete;

  /// Runs ready blocks one at a time in global submission order, never two of
  /// one queue at once and none of a suspended queue, until none is ready.
  /// Delayed blocks due at the current time become ready on the way. Throws
  /// RunBudgetExceeded after the budget of blocks at this instant.
  void runUntilIdle();

  /// Moves the virtual clock forward by `seconds` (finite, not negative,
  /// rounded to the nearest nanosecond like every delay), stopping at each
  /// moment a delayed block comes due to run until idle there. When given,
  /// `afterEachMoment` is called once the blocks of each such moment have
  /// run; an exception it throws ends the advance with the clock at that
  /// moment (a driver's budget of work checks itself this way).
  void advance(double seconds, const std::function<void()>& afterEachMoment = {});

  /// The virtual clock, in seconds; 1000 at construction.
  double now() const;

  /// The largest number of blocks one instant may run (default 1,000,000).
  void setRunBudget(std::size_t blocksPerInstant);

  /// When the next delayed block comes due, if any is waiting.
  std::optional<double> nextDueTime() const;

  /// Blocks waiting to run: ready (suspended queues included) plus delayed.
  std::size_t pendingBlockCount() const;

 private:
  std::shared_ptr<dispatch_detail::SchedulerCore> core_;
};

/// How long one main-queue block waited before it started, counted from the
/// moment it became ready to run (its submission, or for a delayed block the
/// moment it came due), and how long it ran, in seconds of the monotonic
/// clock; and how much of that run the main thread spent on a processor (less
/// than the run when the thread blocked or was preempted meanwhile).
/// Thread-safe
/// A plain value.
struct MainQueueBlockTiming {
  double waitSeconds = 0;
  double runSeconds = 0;
  double runCpuSeconds = 0;
};

/// Each serial queue is drained by a pool of worker threads (one block of a
/// queue at a time), the main queue by the thread that created the executor
/// (its main run loop, or a host's event loop through the main-queue
/// descriptor), delayed blocks by a timer thread;
/// the clock is the monotonic clock. Destruction stops the threads after the
/// blocks they are running, then drops every pending block.
/// Thread-bound: main
/// Except stopMainLoop, mainQueueDescriptor and now: Thread-safe.
class ThreadedExecutor {
 public:
  explicit ThreadedExecutor(unsigned workerThreads = 2);
  ~ThreadedExecutor();
  ThreadedExecutor(const ThreadedExecutor&) = delete;
  ThreadedExecutor& operator=(const ThreadedExecutor&) = delete;

  /// Runs main-queue blocks on the calling (main) thread for `seconds`.
  void runMainLoopFor(double seconds);

  /// Runs main-queue blocks until `done()` is true or `timeoutSeconds` pass.
  /// `done` is checked after every block and at least every 10 ms. Returns
  /// whether `done()` became true.
  bool runMainLoopUntil(const std::function<bool()>& done, double timeoutSeconds);

  /// Runs main-queue blocks until `done()` is true (checked like
  /// runMainLoopUntil) or `stopMainLoop` is called; returns whether `done()`
  /// became true. For hosts without an event loop of their own.
  bool runMainLoop(const std::function<bool()>& done = {});
  /// Ends the running `runMainLoop`; when none is running, the next one
  /// returns at once. Thread-safe: any thread or queue may ask.
  void stopMainLoop();

  // --- The main queue in a host's event loop ------------------------------
  // A GLib, Qt or plain poll loop on the main thread watches the descriptor
  // for reading and calls drainMainQueue when it is readable. The descriptor
  // is level-correct: it is readable whenever the main queue has a block
  // ready (one queued from any thread, a delayed one that came due, the rest
  // of a drain); now and then it may be readable with nothing to run (the
  // main queue was suspended meanwhile), and a drain then runs nothing.

  /// The descriptor (an eventfd) that is readable while main-queue work is
  /// ready. Made on the first call and the same afterwards; owned by the
  /// executor and closed when it is destroyed, so remove it from the loop
  /// before. Throws std::system_error when the system has none to give.
  /// Thread-safe.
  int mainQueueDescriptor();
  /// Runs, on the calling (main) thread, the main-queue blocks that were
  /// ready when it was called, in order, and returns how many ran. It
  /// clears the descriptor before running them and raises it again when
  /// work remains or arrives. Inside a main-queue block it runs nothing (the
  /// main queue is serial). Aborts on any thread but the main thread.
  std::size_t drainMainQueue();

  double now() const;

  /// Called on the main thread after each main-queue block that ran while
  /// the observer was set, with that block's timing; an empty function stops
  /// the reports. For measuring how responsive the main thread stays. Set it
  /// on the main thread (a main-queue block may set it too).
  void setMainQueueObserver(std::function<void(const MainQueueBlockTiming&)> observer);

 private:
  std::shared_ptr<dispatch_detail::SchedulerCore> core_;
};
