#include "Dispatch/SchedulerCore.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <system_error>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "Dispatch/Executor.h"

namespace dispatch_detail {

namespace {

// Seconds to whole nanoseconds, rounded to the nearest; NaN and negative
// delays count as zero, and delays are capped at about 126 years.
std::int64_t toNanos(double seconds) {
  if (!(seconds > 0)) return 0;
  constexpr double kMaxSeconds = 4.0e9;
  return std::llround(std::min(seconds, kMaxSeconds) * 1e9);
}

// A reading `nanos` after `from`, stopping at the end of the clock's range
// (about 292 years) instead of wrapping round.
std::int64_t later(std::int64_t from, std::int64_t nanos) {
  constexpr std::int64_t kEnd = std::numeric_limits<std::int64_t>::max();
  return nanos > kEnd - from ? kEnd : from + nanos;
}

double toSeconds(std::int64_t nanos) { return static_cast<double>(nanos) / 1e9; }

}  // namespace

thread_local QueueImpl* tCurrentQueue = nullptr;
thread_local OperationQueue* tCurrentOperationQueue = nullptr;

namespace {

kivo::Mutex gInstallMutex;
std::shared_ptr<SchedulerCore> gInstalled KIVO_GUARDED_BY(gInstallMutex);

[[noreturn]] void dispatchFatal(const std::string& message) {
  std::fprintf(stderr, "Dispatch: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

/// Processor time used by the calling thread, in seconds.
double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

/// Marks the calling thread as running a block of `queue` for its lifetime.
class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(QueueImpl* queue) : previous_(tCurrentQueue) { tCurrentQueue = queue; }
  ~CurrentQueueScope() { tCurrentQueue = previous_; }
  CurrentQueueScope(const CurrentQueueScope&) = delete;
  CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

 private:
  QueueImpl* previous_;
};

std::string joinLabels(const std::vector<std::string>& labels) {
  std::string out;
  for (const auto& label : labels) {
    if (!out.empty()) out += ", ";
    out += label;
  }
  return out.empty() ? "none" : out;
}

}  // namespace

// ---------------------------------------------------------------------------
// MainWaiter: the host's descriptor

MainWaiter::~MainWaiter() {
  if (fd_ >= 0) ::close(fd_);
}

int MainWaiter::descriptor() {
  if (fd_ < 0) {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "Dispatch: the main queue's descriptor");
    fd_ = fd;
    raised_ = false;
  }
  return fd_;
}

void MainWaiter::raise() {
  if (fd_ < 0 || raised_) return;
  const std::uint64_t one = 1;
  // The counter is 0 or 1, so the write cannot find it full.
  while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  raised_ = true;
}

void MainWaiter::clear() {
  if (fd_ < 0 || !raised_) return;
  std::uint64_t count = 0;
  while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
  }
  raised_ = false;
}

int MainWaiter::release() {
  raised_ = false;
  return std::exchange(fd_, -1);
}

// ---------------------------------------------------------------------------
// QueueImpl

QueueImpl::QueueImpl(std::shared_ptr<SchedulerCore> core_, std::string label_, bool isMain_)
    : label(std::move(label_)), isMain(isMain_), core(std::move(core_)) {}

QueueImpl::~QueueImpl() {
  // The dropped blocks are destroyed here, after the core's lock is released:
  // their captures may own other queues.
  SchedulerCore::Dropped dropped = core->forget(*this);
  dropped.ready.clear();
  dropped.delayed.clear();
}

// ---------------------------------------------------------------------------
// SchedulerCore: installation and queues

SchedulerCore::SchedulerCore(Mode mode_) : mode(mode_), mainThread(std::this_thread::get_id()) {}

SchedulerCore::~SchedulerCore() = default;

void SchedulerCore::install() {
  {
    kivo::MutexLock lock(gInstallMutex);
    if (gInstalled) dispatchFatal("an executor is already installed; destroy it before making another");
    gInstalled = shared_from_this();
  }
  auto main = std::make_shared<QueueImpl>(shared_from_this(), "main", true);
  kivo::MutexLock lock(mutex_);
  queues_.insert(main.get());
  mainRaw_ = main.get();
  mainQueue_ = std::move(main);
}

std::shared_ptr<SchedulerCore> SchedulerCore::installed() {
  kivo::MutexLock lock(gInstallMutex);
  return gInstalled;
}

std::shared_ptr<QueueImpl> SchedulerCore::makeQueue(std::string label) {
  auto queue = std::make_shared<QueueImpl>(shared_from_this(), std::move(label), false);
  kivo::MutexLock lock(mutex_);
  queues_.insert(queue.get());
  return queue;
}

std::shared_ptr<QueueImpl> SchedulerCore::mainQueue() {
  kivo::MutexLock lock(mutex_);
  return mainQueue_;
}

std::shared_ptr<OperationQueue> SchedulerCore::mainOperationQueue() {
  std::shared_ptr<QueueImpl> main;
  {
    kivo::MutexLock lock(mutex_);
    if (mainOperationQueue_ || !mainQueue_) return mainOperationQueue_;
    main = mainQueue_;
  }
  auto made = std::make_shared<OperationQueue>("main", DispatchQueue::main());
  kivo::MutexLock lock(mutex_);
  if (!mainOperationQueue_ && !stopped_) mainOperationQueue_ = std::move(made);
  return mainOperationQueue_;
}

SchedulerCore::Dropped SchedulerCore::forget(QueueImpl& queue) noexcept {
  Dropped dropped;
  kivo::MutexLock lock(mutex_);
  queues_.erase(&queue);
  if (mainRaw_ == &queue) mainRaw_ = nullptr;
  if (queue.inEligible && !queue.ready.empty()) eligible_.erase({queue.ready.front().seq, &queue});
  queue.inEligible = false;
  dropped.ready.swap(queue.ready);
  for (auto it = delayed_.begin(); it != delayed_.end();) {
    const auto next = std::next(it);
    if (it->second.owner == &queue) dropped.delayed.insert(delayed_.extract(it));
    it = next;
  }
  return dropped;
}

// ---------------------------------------------------------------------------
// Submission, suspension

void SchedulerCore::updateEligibilityLocked(QueueImpl& queue) {
  const bool shouldBe = !queue.ready.empty() && !queue.running && queue.suspendCount == 0;
  if (shouldBe == queue.inEligible) return;
  if (shouldBe) {
    eligible_.insert({queue.ready.front().seq, &queue});
    if (mode == Mode::threaded) wakeRunnerLocked(queue);
  } else {
    eligible_.erase({queue.ready.front().seq, &queue});
  }
  queue.inEligible = shouldBe;
}

void SchedulerCore::wakeRunnerLocked(const QueueImpl& queue) {
  if (queue.isMain)
    mainWaiter_.wake();
  else if (idleWorkers_ > 0)
    workerCv_.notify_one();
}

void SchedulerCore::enqueueLocked(QueueImpl& queue, DispatchBlock block) {
  const double readyAt = stampMainQueue_ && queue.isMain ? steadySeconds() : 0.0;
  queue.ready.push_back(Task{std::move(block), nextSeq_++, readyAt});
  if (queue.ready.size() == 1) updateEligibilityLocked(queue);
}

void SchedulerCore::submit(QueueImpl& queue, DispatchBlock block, std::optional<double> delay) {
  if (!block) return;
  kivo::UniqueLock lock(mutex_);
  if (stopped_) {
    lock.unlock();
    return;  // `block` is destroyed here, outside the lock.
  }
  if (!delay) {
    enqueueLocked(queue, std::move(block));
    return;
  }
  const Nanos due = later(clockLocked(), toNanos(*delay));
  delayed_.emplace(std::make_pair(due, nextSeq_++),
                   Delayed{queue.weak_from_this(), &queue, std::move(block)});
  // The timer sleeps until its earliest block; only an earlier one needs it.
  if (mode == Mode::threaded && timerWakeAt_ != 0 && due < timerWakeAt_) timerCv_.notify_one();
}

void SchedulerCore::suspend(QueueImpl& queue) {
  kivo::MutexLock lock(mutex_);
  ++queue.suspendCount;
  updateEligibilityLocked(queue);
}

void SchedulerCore::resume(QueueImpl& queue) {
  kivo::MutexLock lock(mutex_);
  assert(queue.suspendCount > 0 && "DispatchQueue::resume on a queue that is not suspended");
  if (queue.suspendCount == 0) return;
  --queue.suspendCount;
  updateEligibilityLocked(queue);
}

// ---------------------------------------------------------------------------
// Picking and running

void SchedulerCore::releaseDueLocked(Nanos now, Garbage& garbage) {
  while (!delayed_.empty() && delayed_.begin()->first.first <= now) {
    auto node = delayed_.extract(delayed_.begin());
    Delayed& entry = node.mapped();
    if (auto queue = entry.queue.lock()) {
      enqueueLocked(*queue, std::move(entry.block));
      // If the queue's owner drops it on another thread meanwhile, this may be
      // its last reference: release it outside the lock.
      garbage.queues.push_back(std::move(queue));
    } else {
      garbage.blocks.push_back(std::move(entry.block));
    }
  }
}

bool SchedulerCore::hasWorkLocked(Picker picker) const {
  switch (picker) {
    case Picker::any:
      return !eligible_.empty();
    case Picker::main:
      return mainRaw_ != nullptr && mainRaw_->inEligible;
    case Picker::worker:
      return eligible_.size() > ((mainRaw_ != nullptr && mainRaw_->inEligible) ? 1u : 0u);
  }
  return false;
}

std::pair<std::shared_ptr<QueueImpl>, Task> SchedulerCore::takeNextLocked(Picker picker) {
  for (auto it = eligible_.begin(); it != eligible_.end();) {
    QueueImpl* raw = it->second;
    if ((picker == Picker::worker && raw->isMain) || (picker == Picker::main && !raw->isMain)) {
      ++it;
      continue;
    }
    std::shared_ptr<QueueImpl> queue = raw->weak_from_this().lock();
    if (!queue) {
      // Its last owner is dropping it on another thread; its destructor will
      // collect the blocks.
      raw->inEligible = false;
      it = eligible_.erase(it);
      continue;
    }
    eligible_.erase(it);
    queue->inEligible = false;
    Task task = std::move(queue->ready.front());
    queue->ready.pop_front();
    queue->running = true;
    return {std::move(queue), std::move(task)};
  }
  return {};
}

void SchedulerCore::execute(std::shared_ptr<QueueImpl> queue, Task task) {
  struct Finish {
    SchedulerCore& core;
    QueueImpl& queue;
    ~Finish() {
      kivo::MutexLock lock(core.mutex_);
      queue.running = false;
      core.updateEligibilityLocked(queue);
    }
  };
  {
    Finish finish{*this, *queue};
    {
      CurrentQueueScope scope(queue.get());
      task.block();
    }
    // The captures go before the queue is marked free, outside the lock.
    task.block = nullptr;
  }
  // `queue` may be released here for the last time, outside the lock.
}

std::vector<std::string> SchedulerCore::busyQueueLabelsLocked() const {
  std::vector<std::string> labels;
  for (const auto& [seq, queue] : eligible_) {
    if (std::find(labels.begin(), labels.end(), queue->label) == labels.end()) labels.push_back(queue->label);
  }
  return labels;
}

double SchedulerCore::steadySeconds() const {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

SchedulerCore::Nanos SchedulerCore::steadyNanos() const {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

double SchedulerCore::now() const {
  if (mode == Mode::threaded) return steadySeconds();
  kivo::MutexLock lock(mutex_);
  return toSeconds(virtualNow_);
}

// ---------------------------------------------------------------------------
// Deterministic mode

void SchedulerCore::runUntilIdle() {
  if (std::this_thread::get_id() != mainThread)
    dispatchFatal("runUntilIdle must be called on the thread that created the executor");
  if (tCurrentQueue != nullptr) dispatchFatal("runUntilIdle called from inside a block");
  ::dispatch_detail::assumeMainThread();  // checked just above
  if (draining_) dispatchFatal("runUntilIdle is not re-entrant");
  draining_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{draining_};

  std::size_t ran = 0;
  for (;;) {
    Garbage garbage;
    kivo::UniqueLock lock(mutex_);
    releaseDueLocked(virtualNow_, garbage);
    if (!garbage.empty()) {
      lock.unlock();
      garbage = {};
      continue;
    }
    if (eligible_.empty()) return;
    if (ran >= runBudget_) {
      std::vector<std::string> busy = busyQueueLabelsLocked();
      std::ostringstream message;
      message.precision(17);
      message << "run budget of " << runBudget_ << " blocks exceeded at time " << toSeconds(virtualNow_)
              << "; queues still busy: " << joinLabels(busy);
      throw RunBudgetExceeded(message.str(), std::move(busy));
    }
    auto [queue, task] = takeNextLocked(Picker::any);
    lock.unlock();
    if (!queue) continue;
    ++ran;
    execute(std::move(queue), std::move(task));
  }
}

void SchedulerCore::advance(double seconds, const std::function<void()>& afterEachMoment) {
  if (!std::isfinite(seconds) || seconds < 0)
    throw std::invalid_argument("advance: seconds must be finite and not negative");
  runUntilIdle();
  Nanos target;
  {
    kivo::MutexLock lock(mutex_);
    target = later(virtualNow_, toNanos(seconds));
  }
  for (;;) {
    {
      kivo::MutexLock lock(mutex_);
      if (delayed_.empty() || delayed_.begin()->first.first > target) {
        virtualNow_ = target;
        break;
      }
      virtualNow_ = std::max(virtualNow_, delayed_.begin()->first.first);
    }
    runUntilIdle();
    if (afterEachMoment) afterEachMoment();
  }
  runUntilIdle();
}

void SchedulerCore::setRunBudget(std::size_t blocks) {
  kivo::MutexLock lock(mutex_);
  runBudget_ = blocks;
}

std::optional<double> SchedulerCore::nextDueTime() const {
  kivo::MutexLock lock(mutex_);
  if (delayed_.empty()) return std::nullopt;
  return toSeconds(delayed_.begin()->first.first);
}

std::size_t SchedulerCore::pendingBlockCount() const {
  kivo::MutexLock lock(mutex_);
  std::size_t count = delayed_.size();
  for (const QueueImpl* queue : queues_) count += queue->ready.size();
  return count;
}

// ---------------------------------------------------------------------------
// Threaded mode

void SchedulerCore::startThreads(unsigned workers) {
  if (workers == 0) workers = 1;
  for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { workerLoop(); });
  threads_.emplace_back([this] { timerLoop(); });
}

void SchedulerCore::workerLoop() {
  kivo::UniqueLock lock(mutex_);
  for (;;) {
    if (!stopping_ && !hasWorkLocked(Picker::worker)) {
      ++idleWorkers_;
      workerCv_.wait(lock.native(), [this]() KIVO_REQUIRES(mutex_) { return stopping_ || hasWorkLocked(Picker::worker); });
      --idleWorkers_;
    }
    if (stopping_) return;
    auto [queue, task] = takeNextLocked(Picker::worker);
    if (!queue) continue;
    lock.unlock();
    execute(std::move(queue), std::move(task));
    lock.lock();
  }
}

void SchedulerCore::timerLoop() {
  using namespace std::chrono;
  kivo::UniqueLock lock(mutex_);
  while (!stopping_) {
    Garbage garbage;
    releaseDueLocked(steadyNanos(), garbage);
    if (!garbage.empty()) {
      lock.unlock();
      garbage = {};
      lock.lock();
      continue;
    }
    // A far-off block is waited for an hour at a time: the clock's own
    // arithmetic would overflow on a wait of centuries.
    constexpr Nanos kLongestWait = Nanos{3600} * 1'000'000'000;
    const Nanos now = steadyNanos();
    const Nanos wakeAt = delayed_.empty() ? later(now, kLongestWait)
                                          : std::min(delayed_.begin()->first.first, later(now, kLongestWait));
    if (wakeAt > now) {
      timerWakeAt_ = wakeAt;
      timerCv_.wait_for(lock.native(), nanoseconds(wakeAt - now));
      timerWakeAt_ = 0;
    }
  }
}

void SchedulerCore::requireMainThread(const char* what) const {
  if (std::this_thread::get_id() != mainThread)
    dispatchFatal(std::string(what) + " must be called on the thread that created the executor (the main thread)");
  if (tCurrentQueue != nullptr && !tCurrentQueue->isMain)
    dispatchFatal(std::string(what) + " called from a block of queue \"" + tCurrentQueue->label + "\"");
}

bool SchedulerCore::runMainLoopUntil(const std::function<bool()>& done, double timeoutSeconds) {
  using namespace std::chrono;
  requireMainThread("the main run loop");
  const auto deadline = steady_clock::now() + duration_cast<steady_clock::duration>(
                                                  duration<double>(std::max(0.0, timeoutSeconds)));
  return pumpMainQueue(done, deadline);
}

bool SchedulerCore::runMainLoop(const std::function<bool()>& done) {
  requireMainThread("runMainLoop");
  return pumpMainQueue(done, std::nullopt);
}

void SchedulerCore::stopMainLoop() {
  kivo::MutexLock lock(mutex_);
  stopMainLoop_ = true;
  mainWaiter_.wakeAll();
}

bool SchedulerCore::pumpMainQueue(const std::function<bool()>& done,
                                  std::optional<std::chrono::steady_clock::time_point> deadline) {
  using namespace std::chrono;
  // Whatever is left when the loop returns shows on the host's descriptor.
  struct Settle {
    SchedulerCore& core;
    ~Settle() {
      kivo::MutexLock lock(core.mutex_);
      core.mainWaiter_.settle(core.hasWorkLocked(Picker::main));
    }
  } settle{*this};
  for (;;) {
    if (done && done()) return true;
    const auto now = steady_clock::now();
    if (deadline && now >= *deadline) return false;
    // Only the run without a deadline answers a stop.
    kivo::UniqueLock lock(mutex_);
    const auto stopped = [&]() KIVO_REQUIRES(mutex_) { return !deadline && stopMainLoop_; };
    if (stopped()) {
      stopMainLoop_ = false;
      return done && done();
    }
    const auto wakeAt = std::min(deadline.value_or(steady_clock::time_point::max()), now + milliseconds(10));
    if (!stopping_ && !hasWorkLocked(Picker::main)) mainWaiter_.waitUntil(lock.native(), wakeAt);
    if (stopping_) return done && done();
    if (stopped()) continue;
    auto [queue, task] = takeNextLocked(Picker::main);
    const bool observed = queue && stampMainQueue_ && mainQueueObserver_;
    lock.unlock();
    if (queue) runMainBlock(std::move(queue), std::move(task), observed);
  }
}

int SchedulerCore::mainQueueDescriptor() {
  kivo::MutexLock lock(mutex_);
  const int fd = mainWaiter_.descriptor();
  mainWaiter_.settle(hasWorkLocked(Picker::main));
  return fd;
}

std::size_t SchedulerCore::drainMainQueue() {
  requireMainThread("drainMainQueue");
  // Only the blocks queued before the drain run: a block that queues more
  // (or a burst from other threads) cannot keep the host's loop here. The
  // descriptor is cleared first, so whatever arrives meanwhile raises it.
  std::uint64_t end = 0;
  {
    kivo::MutexLock lock(mutex_);
    mainWaiter_.clear();
    end = nextSeq_;
  }
  std::size_t ran = 0;
  for (;;) {
    kivo::UniqueLock lock(mutex_);
    // Inside a main-queue block the main queue is busy: nothing is ready.
    if (!hasWorkLocked(Picker::main) || mainRaw_->ready.front().seq >= end) {
      mainWaiter_.settle(hasWorkLocked(Picker::main));
      return ran;
    }
    auto [queue, task] = takeNextLocked(Picker::main);
    const bool observed = queue && stampMainQueue_ && mainQueueObserver_;
    lock.unlock();
    if (!queue) continue;
    runMainBlock(std::move(queue), std::move(task), observed);
    ++ran;
  }
}

void SchedulerCore::runMainBlock(std::shared_ptr<QueueImpl> queue, Task task, bool observed) {
  if (!observed) {
    execute(std::move(queue), std::move(task));
    return;
  }
  // A block that became ready before the observer was set carries no stamp
  // and counts as ready when it is taken.
  const double started = steadySeconds();
  const double startedCpu = threadCpuSeconds();
  const double readyAt = task.readyAt > 0 ? task.readyAt : started;
  execute(std::move(queue), std::move(task));
  const MainQueueBlockTiming timing{std::max(0.0, started - readyAt), steadySeconds() - started,
                                    threadCpuSeconds() - startedCpu};
  // A main-queue block may itself have replaced or cleared the observer.
  if (mainQueueObserver_) mainQueueObserver_(timing);
}

void SchedulerCore::setMainQueueObserver(MainQueueObserver observer) {
  if (mode != Mode::threaded) dispatchFatal("a main-queue observer needs the threaded executor");
  if (std::this_thread::get_id() != mainThread || (tCurrentQueue != nullptr && !tCurrentQueue->isMain))
    dispatchFatal("the main-queue observer must be set on the main thread");
  ::dispatch_detail::assumeMainThread();  // checked just above
  mainQueueObserver_ = std::move(observer);
  kivo::MutexLock lock(mutex_);
  stampMainQueue_ = static_cast<bool>(mainQueueObserver_);
}

// ---------------------------------------------------------------------------
// Shutdown

void SchedulerCore::shutdown() {
  {
    kivo::MutexLock lock(mutex_);
    stopping_ = true;
    workerCv_.notify_all();
    timerCv_.notify_all();
    mainWaiter_.wakeAll();
  }
  // The threads finish the blocks they are running while the core is still
  // installed: what those blocks queue (a view's last release handed to the
  // main queue, say) is kept, and dropped below on this thread.
  for (auto& thread : threads_) thread.join();
  threads_.clear();
  {
    kivo::MutexLock lock(gInstallMutex);
    if (gInstalled.get() == this) gInstalled.reset();
  }
  int descriptor = -1;
  {
    kivo::MutexLock lock(mutex_);
    descriptor = mainWaiter_.release();
  }
  if (descriptor >= 0) ::close(descriptor);

  // Drop everything still pending. Destroying blocks can release queues (and
  // with them more blocks), so collect under the lock and destroy outside it.
  std::vector<DispatchBlock> dropped;
  std::shared_ptr<QueueImpl> main;
  std::shared_ptr<OperationQueue> mainOperation;
  {
    kivo::MutexLock lock(mutex_);
    stopped_ = true;
    for (auto& [key, entry] : delayed_) dropped.push_back(std::move(entry.block));
    delayed_.clear();
    for (QueueImpl* queue : queues_) {
      for (auto& task : queue->ready) dropped.push_back(std::move(task.block));
      queue->ready.clear();
      queue->inEligible = false;
    }
    eligible_.clear();
    mainRaw_ = nullptr;
    main = std::move(mainQueue_);
    mainOperation = std::move(mainOperationQueue_);
  }
  dropped.clear();
  mainOperation.reset();
  main.reset();
}

}  // namespace dispatch_detail
