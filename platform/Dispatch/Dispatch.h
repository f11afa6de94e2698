#pragma once
// Dispatch: serial queues, the main queue, delayed dispatch, suspend/resume,
// the operation-queue notion of the sensor service, and the media clock.
//
// Every queue runs on the executor that is installed when the queue is
// created (see Executor.h): the deterministic one for tests and the scenario
// runner, the threaded one for stress runs. Nothing here runs a block
// synchronously: work is only ever queued asynchronously.

#include <functional>
#include <memory>
#include <string>

using DispatchBlock = std::function<void()>;

namespace dispatch_detail {
class QueueImpl;
class SchedulerCore;
}  // namespace dispatch_detail

/// A serial, labelled dispatch queue. Thread-safe: any thread may submit,
/// suspend or resume.
///
/// A `DispatchQueue` value is a reference: copies name the same queue, and the
/// queue lives as long as its last copy. Blocks of one queue run one at a time
/// in the order they were queued (a delayed block counts as queued when it comes
/// due). Destroying a queue (dropping its last copy) drops every block still
/// pending on it, delayed ones included, without running them; a block that is
/// running keeps its queue alive until it returns.
class DispatchQueue {
 public:
  /// A new serial queue on the installed executor. Aborts when no executor is
  /// installed.
  explicit DispatchQueue(std::string label);

  /// The main queue of the installed executor, label "main". Its blocks run on
  /// the main thread. With no executor installed, a closed queue that drops
  /// every block (objects that outlive their executor do nothing).
  static DispatchQueue main();

  const std::string& label() const;

  /// Queues `block` to run after the blocks already queued.
  void async(DispatchBlock block) const;

  /// Queues `block` once `delaySeconds` of the executor's clock have passed. A
  /// negative or NaN delay counts as zero.
  void asyncAfter(double delaySeconds, DispatchBlock block) const;

  /// Counted: each `suspend` needs one `resume` before the queue runs blocks
  /// again. A block already running is not interrupted. Blocks still arrive
  /// while suspended, and delayed ones still come due; they run after the
  /// matching `resume`.
  void suspend() const;

  /// Undoes one `suspend`. Resuming a queue that is not suspended is a
  /// programming error: it asserts in debug builds and is ignored otherwise.
  void resume() const;

  /// True while the calling code runs on this queue: inside one of its blocks,
  /// or, for the main queue, anywhere on the main thread outside other queues.
  bool isCurrent() const;

  /// The label of the queue whose block is running on the calling thread;
  /// "main" on the main thread outside any other queue; empty on other threads.
  static std::string currentLabel();

  friend bool operator==(const DispatchQueue& a, const DispatchQueue& b) { return a.impl_ == b.impl_; }

 private:
  explicit DispatchQueue(std::shared_ptr<dispatch_detail::QueueImpl> impl);
  std::shared_ptr<dispatch_detail::QueueImpl> impl_;
  friend class OperationQueue;
};

/// True on the main thread while it is not running a block of a queue other
/// than the main queue. In the deterministic executor every queue runs on the
/// driving thread, so a session-queue block there is correctly "not main".
bool isMainThread();

/// Whether an executor (DeterministicExecutor or ThreadedExecutor) is
/// installed, so that queues can be made. Thread-safe.
bool isExecutorInstalled();

/// Seconds of the installed executor's clock: virtual time (starting at 1000)
/// in the deterministic executor, the monotonic clock otherwise.
double CACurrentMediaTime();

/// A serial operation queue on an underlying dispatch queue; the queue the
/// motion sensor service delivers its updates on. Thread-safe.
class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
 public:
  static std::shared_ptr<OperationQueue> create(std::string name);

  /// The operation queue of the main queue (one per executor).
  static std::shared_ptr<OperationQueue> main();

  /// The operation queue whose operation is running on the calling thread; the
  /// main operation queue on the main thread; otherwise none.
  static std::shared_ptr<OperationQueue> current();

  /// Queues `operation`. Operations of a queue that has been destroyed never run.
  void addOperation(DispatchBlock operation);

  const std::string& name() const { return name_; }
  const DispatchQueue& underlyingQueue() const { return queue_; }

  OperationQueue(std::string name, DispatchQueue queue);

 private:
  std::string name_;
  DispatchQueue queue_;
};

namespace dispatch_detail {
[[noreturn]] void failMainThreadAssertion(const char* file, int line, const char* function);
[[noreturn]] void failQueueAssertion(const DispatchQueue& queue, const char* file, int line,
                                     const char* function);
}  // namespace dispatch_detail

/// Main-thread-only code states it; checked in debug builds.
#ifndef NDEBUG
#define KIVO_ASSERT_MAIN_THREAD()                                                       \
  do {                                                                                  \
    if (!::isMainThread())                                                              \
      ::dispatch_detail::failMainThreadAssertion(__FILE__, __LINE__, __func__);         \
  } while (0)
#define KIVO_ASSERT_ON_QUEUE(queue)                                                     \
  do {                                                                                  \
    if (!(queue).isCurrent())                                                           \
      ::dispatch_detail::failQueueAssertion((queue), __FILE__, __LINE__, __func__);     \
  } while (0)
#else
#define KIVO_ASSERT_MAIN_THREAD() ((void)0)
#define KIVO_ASSERT_ON_QUEUE(queue) ((void)sizeof(&(queue)))
#endif
