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
#include <string_view>

#include "Foundation/ThreadSafety.h"

using DispatchBlock = std::function<void()>;

namespace dispatch_detail {
class QueueImpl;
class SchedulerCore;
}  // namespace dispatch_detail

/// A serial, labelled dispatch queue.
/// Thread-safe
/// Any thread may submit, suspend or resume.
///
/// For clang's analysis a queue is also a capability: a field that only its
/// blocks touch is KIVO_GUARDED_BY the queue, and KIVO_ASSERT_ON_QUEUE grants
/// it for the rest of the asserting function.
///
/// A `DispatchQueue` value is a reference: copies name the same queue, and the
/// queue lives as long as its last copy. Blocks of one queue run one at a time
/// in the order they were queued (a delayed block counts as queued when it comes
/// due). Destroying a queue (dropping its last copy) drops every block still
/// pending on it, delayed ones included, without running them; a block that is
/// running keeps its queue alive until it returns.
class KIVO_CAPABILITY("queue") DispatchQueue {
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

  /// Stops the program with a message naming this queue and the running one
  /// unless isCurrent(); see KIVO_ASSERT_ON_QUEUE.
  void assertIsCurrent(const char* file, int line, const char* function) const KIVO_ASSERT_CAPABILITY(this);
  /// Tells clang's analysis that the caller runs on this queue, checking
  /// nothing: what KIVO_ASSERT_ON_QUEUE becomes in release builds.
  void assumeIsCurrent() const KIVO_ASSERT_CAPABILITY(this) {}

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

/// The main thread as a capability for clang's analysis: fields that only the
/// main thread touches are KIVO_GUARDED_BY(mainThread), and
/// KIVO_ASSERT_MAIN_THREAD grants it for the rest of the asserting function.
class KIVO_CAPABILITY("thread") MainThreadRole {};
inline constexpr MainThreadRole mainThread{};

/// A serial queue known only by its label, for code bound to a queue that it
/// does not hold (a delegate called on the queue its owner chose). A
/// capability like DispatchQueue; two queues with one label count as one.
/// Thread-safe
class KIVO_CAPABILITY("queue") DispatchQueueLabel {
 public:
  constexpr explicit DispatchQueueLabel(const char* label) : label_(label) {}
  const char* label() const { return label_; }
  /// True inside a block of a queue with this label.
  bool isCurrent() const;
  /// As DispatchQueue::assertIsCurrent and assumeIsCurrent.
  void assertIsCurrent(const char* file, int line, const char* function) const KIVO_ASSERT_CAPABILITY(this);
  void assumeIsCurrent() const KIVO_ASSERT_CAPABILITY(this) {}

 private:
  const char* label_;
};

/// Whether an executor (DeterministicExecutor or ThreadedExecutor) is
/// installed, so that queues can be made. Thread-safe.
bool isExecutorInstalled();

/// Seconds of the installed executor's clock: virtual time (starting at 1000)
/// in the deterministic executor, the monotonic clock otherwise.
double CACurrentMediaTime();

/// A serial operation queue on an underlying dispatch queue; the queue the
/// motion sensor service delivers its updates on.
/// Thread-safe
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
[[noreturn]] void failQueueAssertion(std::string_view label, const char* file, int line, const char* function);

inline void assertMainThread(const char* file, int line, const char* function) KIVO_ASSERT_CAPABILITY(mainThread) {
  if (!::isMainThread()) failMainThreadAssertion(file, line, function);
}
inline void assumeMainThread() KIVO_ASSERT_CAPABILITY(mainThread) {}
}  // namespace dispatch_detail

/// Code bound to the main thread, or to a serial queue (a DispatchQueue or a
/// DispatchQueueLabel), says so on its first line. Debug builds stop the
/// program, naming the function and the queue it ran on, when it runs
/// elsewhere; release builds check nothing. Either way clang's analysis then
/// takes the function to run there.
#ifndef NDEBUG
#define KIVO_ASSERT_MAIN_THREAD() ::dispatch_detail::assertMainThread(__FILE__, __LINE__, __func__)
#define KIVO_ASSERT_ON_QUEUE(queue) (queue).assertIsCurrent(__FILE__, __LINE__, __func__)
#else
#define KIVO_ASSERT_MAIN_THREAD() ::dispatch_detail::assumeMainThread()
#define KIVO_ASSERT_ON_QUEUE(queue) (queue).assumeIsCurrent()
#endif
