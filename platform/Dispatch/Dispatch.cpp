#include "Dispatch/Dispatch.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "Dispatch/Executor.h"
#include "Dispatch/SchedulerCore.h"
#include "Foundation/WhileAlive.h"

using dispatch_detail::QueueImpl;
using dispatch_detail::SchedulerCore;

namespace {

// Static initialisation runs on the process's initial thread: the main thread
// when no executor is installed.
const std::thread::id gProcessMainThread = std::this_thread::get_id();

std::shared_ptr<SchedulerCore> requireCore(const char* what) {
  auto core = SchedulerCore::installed();
  if (!core) {
    std::fprintf(stderr,
                 "Dispatch: %s needs an installed executor (DeterministicExecutor or "
                 "ThreadedExecutor)\n",
                 what);
    std::abort();
  }
  return core;
}

}  // namespace

// ---------------------------------------------------------------------------
// DispatchQueue

DispatchQueue::DispatchQueue(std::string label)
    : impl_(requireCore("DispatchQueue")->makeQueue(std::move(label))) {}

DispatchQueue::DispatchQueue(std::shared_ptr<QueueImpl> impl) : impl_(std::move(impl)) {}

DispatchQueue DispatchQueue::main() {
  if (auto core = SchedulerCore::installed()) {
    if (auto main = core->mainQueue()) return DispatchQueue(std::move(main));
  }
  // No executor (the one an object was made under has gone): a closed queue
  // that drops every block, so objects that outlive their executor do
  // nothing. Making a new queue still needs an executor.
  static const std::shared_ptr<QueueImpl> closed = [] {
    auto core = std::make_shared<SchedulerCore>(SchedulerCore::Mode::deterministic);
    core->shutdown();
    return core->makeQueue("main");
  }();
  return DispatchQueue(closed);
}

const std::string& DispatchQueue::label() const { return impl_->label; }

void DispatchQueue::async(DispatchBlock block) const {
  impl_->core->submit(*impl_, std::move(block), std::nullopt);
}

void DispatchQueue::asyncAfter(double delaySeconds, DispatchBlock block) const {
  impl_->core->submit(*impl_, std::move(block), delaySeconds);
}

void DispatchQueue::suspend() const { impl_->core->suspend(*impl_); }

void DispatchQueue::resume() const { impl_->core->resume(*impl_); }

bool DispatchQueue::isCurrent() const {
  if (dispatch_detail::tCurrentQueue == impl_.get()) return true;
  return impl_->isMain && isMainThread();
}

void DispatchQueue::assertIsCurrent(const char* file, int line, const char* function) const {
  if (!isCurrent()) dispatch_detail::failQueueAssertion(impl_->label, file, line, function);
}

std::string DispatchQueue::currentLabel() {
  if (dispatch_detail::tCurrentQueue != nullptr) return dispatch_detail::tCurrentQueue->label;
  return isMainThread() ? "main" : "";
}

bool DispatchQueueLabel::isCurrent() const {
  return dispatch_detail::tCurrentQueue != nullptr && dispatch_detail::tCurrentQueue->label == label_;
}

void DispatchQueueLabel::assertIsCurrent(const char* file, int line, const char* function) const {
  if (!isCurrent()) dispatch_detail::failQueueAssertion(label_, file, line, function);
}

// ---------------------------------------------------------------------------
// Threads and time

bool isExecutorInstalled() { return SchedulerCore::installed() != nullptr; }

bool isMainThread() {
  auto core = SchedulerCore::installed();
  const std::thread::id main = core ? core->mainThread : gProcessMainThread;
  if (std::this_thread::get_id() != main) return false;
  return dispatch_detail::tCurrentQueue == nullptr || dispatch_detail::tCurrentQueue->isMain;
}

double CACurrentMediaTime() {
  if (auto core = SchedulerCore::installed()) return core->now();
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// ---------------------------------------------------------------------------
// OperationQueue

OperationQueue::OperationQueue(std::string name, DispatchQueue queue)
    : name_(std::move(name)), queue_(std::move(queue)) {}

std::shared_ptr<OperationQueue> OperationQueue::create(std::string name) {
  DispatchQueue queue(name);
  return std::make_shared<OperationQueue>(std::move(name), std::move(queue));
}

std::shared_ptr<OperationQueue> OperationQueue::main() {
  return requireCore("OperationQueue::main")->mainOperationQueue();
}

std::shared_ptr<OperationQueue> OperationQueue::current() {
  if (dispatch_detail::tCurrentOperationQueue != nullptr)
    return dispatch_detail::tCurrentOperationQueue->shared_from_this();
  if (isMainThread()) {
    if (auto core = SchedulerCore::installed()) return core->mainOperationQueue();
  }
  return nullptr;
}

void OperationQueue::addOperation(DispatchBlock operation) {
  if (!operation) return;
  queue_.async(whileAlive(weak_from_this(), [operation = std::move(operation)](
                                                 const std::shared_ptr<OperationQueue>& self) {
    OperationQueue* previous = dispatch_detail::tCurrentOperationQueue;
    dispatch_detail::tCurrentOperationQueue = self.get();
    struct Restore {
      OperationQueue* previous;
      ~Restore() { dispatch_detail::tCurrentOperationQueue = previous; }
    } restore{previous};
    operation();
  }));
}

// ---------------------------------------------------------------------------
// Assertions

namespace dispatch_detail {

void failMainThreadAssertion(const char* file, int line, const char* function) {
  std::fprintf(stderr, "%s:%d: %s must run on the main thread (running on queue \"%s\")\n", file,
               line, function, DispatchQueue::currentLabel().c_str());
  std::fflush(stderr);
  std::abort();
}

void failQueueAssertion(std::string_view label, const char* file, int line, const char* function) {
  std::fprintf(stderr, "%s:%d: %s must run on queue \"%.*s\" (running on queue \"%s\")\n", file, line,
               function, static_cast<int>(label.size()), label.data(), DispatchQueue::currentLabel().c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace dispatch_detail

// ---------------------------------------------------------------------------
// Executors

DeterministicExecutor::DeterministicExecutor()
    : core_(std::make_shared<SchedulerCore>(SchedulerCore::Mode::deterministic)) {
  core_->install();
}

DeterministicExecutor::~DeterministicExecutor() { core_->shutdown(); }

void DeterministicExecutor::runUntilIdle() { core_->runUntilIdle(); }
void DeterministicExecutor::advance(double seconds, const std::function<void()>& afterEachMoment) {
  core_->advance(seconds, afterEachMoment);
}
double DeterministicExecutor::now() const { return core_->now(); }
void DeterministicExecutor::setRunBudget(std::size_t blocksPerInstant) {
  core_->setRunBudget(blocksPerInstant);
}
std::optional<double> DeterministicExecutor::nextDueTime() const { return core_->nextDueTime(); }
std::size_t DeterministicExecutor::pendingBlockCount() const { return core_->pendingBlockCount(); }

ThreadedExecutor::ThreadedExecutor(unsigned workerThreads)
    : core_(std::make_shared<SchedulerCore>(SchedulerCore::Mode::threaded)) {
  core_->install();
  core_->startThreads(workerThreads);
}

ThreadedExecutor::~ThreadedExecutor() { core_->shutdown(); }

void ThreadedExecutor::runMainLoopFor(double seconds) {
  core_->runMainLoopUntil(nullptr, seconds);
}

bool ThreadedExecutor::runMainLoopUntil(const std::function<bool()>& done, double timeoutSeconds) {
  return core_->runMainLoopUntil(done, timeoutSeconds);
}

bool ThreadedExecutor::runMainLoop(const std::function<bool()>& done) { return core_->runMainLoop(done); }

void ThreadedExecutor::stopMainLoop() { core_->stopMainLoop(); }

int ThreadedExecutor::mainQueueDescriptor() { return core_->mainQueueDescriptor(); }

std::size_t ThreadedExecutor::drainMainQueue() { return core_->drainMainQueue(); }

double ThreadedExecutor::now() const { return core_->now(); }

void ThreadedExecutor::setMainQueueObserver(std::function<void(const MainQueueBlockTiming&)> observer) {
  core_->setMainQueueObserver(std::move(observer));
}
