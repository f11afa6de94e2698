#include "CoreMotion/CMMotionManager.h"

#include <cmath>
#include <utility>

#include "CoreMotion/CMMotionBackend.h"
#include "Foundation/InstalledObject.h"
#include "Foundation/ThreadSafety.h"
#include "Foundation/WhileAlive.h"

namespace {

std::atomic<std::uint64_t> gNextClientId{1};

InstalledObject<CMMotionBackend> gBackend;

// A device held upright and still.
constexpr CMAcceleration kUprightAcceleration{0, -1, 0};

double effectiveInterval(double seconds) {
  if (!std::isfinite(seconds) || seconds < CMMotionManager::kMinimumUpdateInterval)
    return CMMotionManager::kMinimumUpdateInterval;
  return seconds;
}

}  // namespace

// ---------------------------------------------------------------------------
// Backend installation

std::shared_ptr<CMMotionBackend> installedCMMotionBackend() { return gBackend.get(); }

ScopedCMMotionBackend::ScopedCMMotionBackend(std::shared_ptr<CMMotionBackend> backend)
    : previous_(gBackend.exchange(std::move(backend))) {}

ScopedCMMotionBackend::~ScopedCMMotionBackend() { gBackend.exchange(std::move(previous_)); }

// ---------------------------------------------------------------------------
// CMMotionManager

CMMotionManager::CMMotionManager() : clientId_(gNextClientId.fetch_add(1)) {}

std::shared_ptr<CMMotionManager> CMMotionManager::create() {
  return std::shared_ptr<CMMotionManager>(new CMMotionManager());
}

CMMotionManager::~CMMotionManager() {
  EndedRun ended;
  kivo::MutexLock lock(mutex_);
  ended = endRunLocked();
}

bool CMMotionManager::isAccelerometerAvailable() const {
  auto backend = installedCMMotionBackend();
  return !backend || backend->isAccelerometerAvailable();
}

void CMMotionManager::startAccelerometerUpdatesToQueue(std::shared_ptr<OperationQueue> queue,
                                                       CMAccelerometerHandler handler) {
  auto backend = installedCMMotionBackend();
  if (backend && !backend->isAccelerometerAvailable()) return;
  if (!queue) queue = OperationQueue::main();

  EndedRun previous;
  std::uint64_t run = 0;
  {
    kivo::MutexLock lock(mutex_);
    previous = endRunLocked();
    run = ++run_;
    queue_ = std::move(queue);
    handler_ = std::make_shared<const CMAccelerometerHandler>(std::move(handler));
    runStart_ = CACurrentMediaTime();
    runInterval_ = effectiveInterval(accelerometerUpdateInterval());
    startedUnder_ = backend;
    active_.store(true, std::memory_order_release);
    if (backend) backend->accelerometerClientDidStart(clientId_);
  }
  scheduleUpdate(run, 1);
}

void CMMotionManager::stopAccelerometerUpdates() {
  EndedRun ended;
  kivo::MutexLock lock(mutex_);
  ended = endRunLocked();
}

CMMotionManager::EndedRun CMMotionManager::endRunLocked() {
  if (!active_.load(std::memory_order_relaxed)) return {};
  active_.store(false, std::memory_order_release);
  ++run_;  // stale timers and queued updates see a different run and stop
  if (auto backend = startedUnder_.lock()) backend->accelerometerClientDidStop(clientId_);
  startedUnder_.reset();
  return EndedRun{std::exchange(queue_, nullptr), std::exchange(handler_, nullptr)};
}

void CMMotionManager::scheduleUpdate(std::uint64_t run, std::uint64_t index) {
  std::shared_ptr<OperationQueue> queue;
  double due = 0;
  {
    kivo::MutexLock lock(mutex_);
    if (run != run_) return;
    queue = queue_;
    // Due times come from the start of the run, not from the previous update,
    // so rounding does not accumulate and a late update does not shift the rest.
    due = runStart_ + static_cast<double>(index) * runInterval_;
  }
  queue->underlyingQueue().asyncAfter(
      due - CACurrentMediaTime(),
      whileAlive(weak_from_this(), [run, index](const std::shared_ptr<CMMotionManager>& self) {
        self->timerFired(run, index);
      }));
}

void CMMotionManager::timerFired(std::uint64_t run, std::uint64_t index) {
  std::shared_ptr<OperationQueue> queue;
  std::optional<CMAccelerometerData> data;
  std::optional<NSError> error;
  {
    kivo::MutexLock lock(mutex_);
    if (run != run_) return;
    queue = queue_;
    auto backend = installedCMMotionBackend();
    CMAccelerometerReading reading =
        backend ? backend->readAccelerometer(clientId_) : CMAccelerometerReading{kUprightAcceleration};
    if (auto* acceleration = std::get_if<CMAcceleration>(&reading)) {
      data = CMAccelerometerData{*acceleration, CACurrentMediaTime()};
    } else {
      error = std::get<NSError>(std::move(reading));
    }
  }
  queue->addOperation(whileAlive(weak_from_this(), [run, data = std::move(data), error = std::move(error)](
                                                      const std::shared_ptr<CMMotionManager>& self) {
    self->deliver(run, data, error);
  }));
  scheduleUpdate(run, index + 1);
}

void CMMotionManager::deliver(std::uint64_t run, std::optional<CMAccelerometerData> data,
                              std::optional<NSError> error) {
  std::shared_ptr<const CMAccelerometerHandler> handler;
  {
    kivo::MutexLock lock(mutex_);
    if (run != run_) return;
    handler = handler_;
  }
  if (handler && *handler) (*handler)(std::move(data), std::move(error));
}
