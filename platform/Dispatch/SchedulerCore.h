#pragma once
// Internal to platform/Dispatch: the scheduler shared by both executors.
//
// One mutex guards all scheduling state. A queue with ready blocks that is
// neither suspended nor running sits in `eligible_`, keyed by the sequence
// number of its first block, so the smallest key is the oldest runnable block
// of all queues: that gives global submission order and serial queues at once.
//
// Thread-safe
// Except what drives the main thread (runUntilIdle, advance, the main loop,
// drainMainQueue, setMainQueueObserver): Thread-bound: main. Each field says
// what guards it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "Foundation/ThreadSafety.h"

namespace dispatch_detail {

struct Task {
  DispatchBlock block;
  std::uint64_t seq = 0;
  // Monotonic seconds at which the block became ready; stamped only for
  // main-queue blocks while a main-queue observer is set (threaded mode).
  double readyAt = 0;
};

class QueueImpl : public std::enable_shared_from_this<QueueImpl> {
 public:
  QueueImpl(std::shared_ptr<SchedulerCore> core, std::string label, bool isMain);
  ~QueueImpl();
  QueueImpl(const QueueImpl&) = delete;
  QueueImpl& operator=(const QueueImpl&) = delete;

  const std::string label;
  const bool isMain;
  const std::shared_ptr<SchedulerCore> core;

  // Guarded by core->mutex_ (not annotated: the analysis cannot tell that a
  // queue's core is the core at hand).
  std::deque<Task> ready;
  int suspendCount = 0;
  bool running = false;
  bool inEligible = false;
};

/// The queue whose block runs on this thread, if any.
extern thread_local QueueImpl* tCurrentQueue;
/// The operation queue whose operation runs on this thread, if any.
extern thread_local OperationQueue* tCurrentOperationQueue;

/// What the main thread waits on while the main queue has nothing ready: the
/// main run loop sleeps on a condition variable, and a host's own event loop
/// polls a descriptor (an eventfd, made when the host first asks for it) that
/// is readable while a wake-up is pending. Guarded by the scheduler's mutex.
///
/// Invariant, once the descriptor exists: `raised_` is whether it is
/// readable, and it is raised whenever the main queue has a block ready,
/// except while a drain on the main thread is running them (a drain clears
/// it first and settles it last). It is only ever cleared under the lock
/// together with a check that no main work is ready, or by a drain.
/// Thread-safe
/// Under the scheduler's mutex only, which guards the core's waiter.
class MainWaiter {
 public:
  MainWaiter() = default;
  ~MainWaiter();
  MainWaiter(const MainWaiter&) = delete;
  MainWaiter& operator=(const MainWaiter&) = delete;

  /// Wakes the main loop if it is waiting and raises the descriptor.
  void wake() {
    if (waiting_) cv_.notify_one();
    raise();
  }
  /// Waits until woken, `until`, or a spurious wake-up; the caller re-checks.
  template <class Clock, class Duration>
  void waitUntil(std::unique_lock<std::mutex>& lock, const std::chrono::time_point<Clock, Duration>& until) {
    waiting_ = true;
    cv_.wait_until(lock, until);
    waiting_ = false;
  }
  /// Wakes the main loop for a reason other than work (a stop, shutdown).
  void wakeAll() { cv_.notify_all(); }

  /// The descriptor, made on the first call. Throws std::system_error when
  /// the system has none to give.
  int descriptor();
  /// Makes the descriptor readable (`raise`) or not (`clear`); nothing
  /// without a descriptor. Each costs a system call only when it changes the
  /// descriptor's state.
  void raise();
  void clear();
  /// Raises the descriptor when `work` is ready and clears it otherwise.
  void settle(bool work) { work ? raise() : clear(); }
  /// Hands the descriptor over to be closed, outside the lock; -1 if none.
  int release();

 private:
  std::condition_variable cv_;
  bool waiting_ = false;
  int fd_ = -1;
  bool raised_ = false;
};

class SchedulerCore : public std::enable_shared_from_this<SchedulerCore> {
 public:
  enum class Mode { deterministic, threaded };

  explicit SchedulerCore(Mode mode);
  ~SchedulerCore();

  const Mode mode;
  const std::thread::id mainThread;

  /// Makes this core the process's executor; aborts if another is installed.
  void install();
  /// The installed core, or none.
  static std::shared_ptr<SchedulerCore> installed();

  std::shared_ptr<QueueImpl> makeQueue(std::string label);
  std::shared_ptr<QueueImpl> mainQueue();
  std::shared_ptr<OperationQueue> mainOperationQueue();

  void submit(QueueImpl& queue, DispatchBlock block, std::optional<double> delay);
  void suspend(QueueImpl& queue);
  void resume(QueueImpl& queue);
  /// A dying queue's pending blocks, moved out without allocating.
  struct Dropped;
  /// Called by a dying queue: unregisters it and hands back its pending blocks
  /// so they are destroyed outside the lock. Allocates nothing, so it cannot
  /// fail even when memory has run out.
  Dropped forget(QueueImpl& queue) noexcept;

  double now() const;

  // Deterministic mode.
  void runUntilIdle();
  void advance(double seconds, const std::function<void()>& afterEachMoment);
  void setRunBudget(std::size_t blocks);
  std::optional<double> nextDueTime() const;
  std::size_t pendingBlockCount() const;

  // Threaded mode.
  void startThreads(unsigned workers);
  bool runMainLoopUntil(const std::function<bool()>& done, double timeoutSeconds);
  /// Runs main-queue blocks until `done()` holds or a stop is requested.
  bool runMainLoop(const std::function<bool()>& done);
  /// Ends the current `runMainLoop`, or the next one when none is running.
  void stopMainLoop();
  /// The descriptor that is readable while main-queue work is ready.
  int mainQueueDescriptor();
  /// Runs the main-queue blocks that are ready now, then settles the
  /// descriptor; returns how many ran.
  std::size_t drainMainQueue();
  using MainQueueObserver = std::function<void(const MainQueueBlockTiming&)>;
  void setMainQueueObserver(MainQueueObserver observer);

  /// Stops the threads (each finishes the block it is running), uninstalls
  /// the core, drops every pending block and discards later submissions.
  /// Safe to call once, from the creating thread.
  void shutdown();

 private:
  struct Delayed {
    std::weak_ptr<QueueImpl> queue;
    QueueImpl* owner;
    DispatchBlock block;
  };
  enum class Picker { any, worker, main };
  /// What must be released outside the lock.
  struct Garbage {
    std::vector<DispatchBlock> blocks;
    std::vector<std::shared_ptr<QueueImpl>> queues;
    bool empty() const { return blocks.empty() && queues.empty(); }
  };
  /// Clock readings in whole nanoseconds: delays are rounded to the nearest
  /// one, so a split of a wait lands on the same instant as the whole wait.
  using Nanos = std::int64_t;
  using DelayedMap = std::multimap<std::pair<Nanos, std::uint64_t>, Delayed>;

 public:
  struct Dropped {
    std::deque<Task> ready;
    DelayedMap delayed;
  };

 private:

  void enqueueLocked(QueueImpl& queue, DispatchBlock block) KIVO_REQUIRES(mutex_);
  /// Threaded mode: wakes the thread that will run `queue`'s next block.
  void wakeRunnerLocked(const QueueImpl& queue) KIVO_REQUIRES(mutex_);
  void updateEligibilityLocked(QueueImpl& queue) KIVO_REQUIRES(mutex_);
  void releaseDueLocked(Nanos now, Garbage& garbage) KIVO_REQUIRES(mutex_);
  bool hasWorkLocked(Picker picker) const KIVO_REQUIRES(mutex_);
  std::pair<std::shared_ptr<QueueImpl>, Task> takeNextLocked(Picker picker) KIVO_REQUIRES(mutex_);
  /// Runs one taken block on the calling thread and marks its queue free again.
  void execute(std::shared_ptr<QueueImpl> queue, Task task);
  std::vector<std::string> busyQueueLabelsLocked() const KIVO_REQUIRES(mutex_);
  void workerLoop();
  void timerLoop();
  /// Aborts, naming `what`, unless called on the main thread outside the
  /// blocks of other queues.
  void requireMainThread(const char* what) const KIVO_ASSERT_CAPABILITY(::mainThread);
  /// Pumps the main queue until `done()`, the deadline, or (without a
  /// deadline) a stop.
  bool pumpMainQueue(const std::function<bool()>& done,
                     std::optional<std::chrono::steady_clock::time_point> deadline) KIVO_REQUIRES(::mainThread);
  /// Runs one main-queue block taken by the caller, reporting its timing to
  /// the observer when `observed`.
  void runMainBlock(std::shared_ptr<QueueImpl> queue, Task task, bool observed) KIVO_REQUIRES(::mainThread);
  double steadySeconds() const;
  Nanos steadyNanos() const;
  Nanos clockLocked() const KIVO_REQUIRES(mutex_) { return mode == Mode::deterministic ? virtualNow_ : steadyNanos(); }

  mutable kivo::Mutex mutex_;
  // Threaded mode: one waiter per role, each woken only when it has
  // something to do, so a submission wakes exactly the thread that will run
  // it. Every wait re-checks its condition under mutex_, so a wake-up sent
  // before a thread waits is never lost.
  //   workers: wait on workerCv_ while no worker queue is eligible; a queue
  //            becoming eligible wakes one of them, if any is idle.
  //   timer:   sleeps until the earliest delayed block (timerWakeAt_); an
  //            earlier one wakes it.
  //   main:    the main loop waits on the main waiter while the main queue
  //            has nothing ready; a main block becoming ready wakes it and
  //            raises the host's descriptor. A drain clears the descriptor
  //            before it runs anything and settles it after, so the
  //            descriptor is readable whenever main work is left.
  std::condition_variable workerCv_;
  unsigned idleWorkers_ KIVO_GUARDED_BY(mutex_) = 0;
  std::condition_variable timerCv_;
  Nanos timerWakeAt_ KIVO_GUARDED_BY(mutex_) = 0;  // while the timer sleeps; 0 while it is awake
  MainWaiter mainWaiter_ KIVO_GUARDED_BY(mutex_);
  std::uint64_t nextSeq_ KIVO_GUARDED_BY(mutex_) = 1;
  std::set<std::pair<std::uint64_t, QueueImpl*>> eligible_ KIVO_GUARDED_BY(mutex_);
  DelayedMap delayed_ KIVO_GUARDED_BY(mutex_);
  std::unordered_set<QueueImpl*> queues_ KIVO_GUARDED_BY(mutex_);
  std::shared_ptr<QueueImpl> mainQueue_ KIVO_GUARDED_BY(mutex_);
  QueueImpl* mainRaw_ KIVO_GUARDED_BY(mutex_) = nullptr;
  std::shared_ptr<OperationQueue> mainOperationQueue_ KIVO_GUARDED_BY(mutex_);
  bool stopped_ KIVO_GUARDED_BY(mutex_) = false;        // no more blocks accepted
  bool stopping_ KIVO_GUARDED_BY(mutex_) = false;       // threads asked to exit
  bool stopMainLoop_ KIVO_GUARDED_BY(mutex_) = false;  // the next (or current) runMainLoop returns

  // Deterministic mode; the clock is written by the driving thread only but
  // read anywhere, hence guarded by the mutex.
  Nanos virtualNow_ KIVO_GUARDED_BY(mutex_) = 1'000'000'000'000;  // 1000 s
  std::size_t runBudget_ KIVO_GUARDED_BY(mutex_) = 1'000'000;
  bool draining_ KIVO_GUARDED_BY(::mainThread) = false;  // the driving thread is the main thread

  std::vector<std::thread> threads_;

  // Threaded mode: the main-queue observer. The function is touched only by
  // the main thread; the flag, read by submitters, is guarded by mutex_.
  MainQueueObserver mainQueueObserver_ KIVO_GUARDED_BY(::mainThread);
  bool stampMainQueue_ KIVO_GUARDED_BY(mutex_) = false;
};

}  // namespace dispatch_detail
