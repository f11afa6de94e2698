#include "sim/motion/MotionSimulation.h"

#include <set>

#include "Foundation/ThreadSafety.h"

namespace sim {

class MotionSimulation::Backend final : public CMMotionBackend {
 public:
  bool isAccelerometerAvailable() override {
    kivo::MutexLock lock(mutex_);
    return available_;
  }

  void accelerometerClientDidStart(std::uint64_t client) override {
    kivo::MutexLock lock(mutex_);
    active_.insert(client);
  }

  void accelerometerClientDidStop(std::uint64_t client) override {
    kivo::MutexLock lock(mutex_);
    active_.erase(client);
    errorPending_.erase(client);
  }

  CMAccelerometerReading readAccelerometer(std::uint64_t client) override {
    kivo::MutexLock lock(mutex_);
    if (errorPending_.erase(client) != 0)
      return NSError{CMErrorDomain, CMErrorUnknown, "The operation couldn't be completed. (CMErrorDomain error 103.)"};
    return acceleration_;
  }

  void setAvailable(bool available) {
    kivo::MutexLock lock(mutex_);
    available_ = available;
  }

  void setAcceleration(CMAcceleration acceleration) {
    kivo::MutexLock lock(mutex_);
    acceleration_ = acceleration;
  }

  CMAcceleration acceleration() {
    kivo::MutexLock lock(mutex_);
    return acceleration_;
  }

  void injectError() {
    kivo::MutexLock lock(mutex_);
    errorPending_ = active_;
  }

  std::size_t activeCount() {
    kivo::MutexLock lock(mutex_);
    return active_.size();
  }

 private:
  kivo::Mutex mutex_;
  bool available_ KIVO_GUARDED_BY(mutex_) = true;
  CMAcceleration acceleration_ KIVO_GUARDED_BY(mutex_){0, -1, 0};
  std::set<std::uint64_t> active_ KIVO_GUARDED_BY(mutex_);
  std::set<std::uint64_t> errorPending_ KIVO_GUARDED_BY(mutex_);
};

MotionSimulation::MotionSimulation() : backend_(std::make_shared<Backend>()), installation_(backend_) {}

MotionSimulation::~MotionSimulation() = default;

void MotionSimulation::setAccelerometerAvailable(bool available) { backend_->setAvailable(available); }
bool MotionSimulation::isAccelerometerAvailable() const { return backend_->isAccelerometerAvailable(); }
void MotionSimulation::setAcceleration(double x, double y, double z) { backend_->setAcceleration({x, y, z}); }
CMAcceleration MotionSimulation::acceleration() const { return backend_->acceleration(); }
void MotionSimulation::injectError() { backend_->injectError(); }
std::size_t MotionSimulation::activeManagerCount() const { return backend_->activeCount(); }

}  // namespace sim
