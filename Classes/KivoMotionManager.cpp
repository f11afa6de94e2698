#include "KivoMotionManager.h"

#include <cmath>

#include "CoreMotion/CMMotionManager.h"
#include "KivoAccelerometerUpdates.h"

std::shared_ptr<KivoMotionManager> KivoMotionManager::create() {
  return std::shared_ptr<KivoMotionManager>(new KivoMotionManager());
}

KivoMotionManager::KivoMotionManager() : motionManager_(CMMotionManager::create()) {
  if (motionManager_->isAccelerometerAvailable())
    motionManager_->setAccelerometerUpdateInterval(accelerometerUpdateInterval());
}

KivoMotionManager::~KivoMotionManager() = default;

std::shared_ptr<const KivoMotionManager::MotionStateDidChangeBlock> KivoMotionManager::loadBlock() const {
  kivo::MutexLock lock(blockMutex_);
  return motionStateDidChangeBlock_;
}

KivoMotionManager::MotionStateDidChangeBlock KivoMotionManager::motionStateDidChangeBlock() const {
  auto block = loadBlock();
  return block ? *block : MotionStateDidChangeBlock{};
}

void KivoMotionManager::setMotionStateDidChangeBlock(MotionStateDidChangeBlock block) {
  auto made = block ? std::make_shared<const MotionStateDidChangeBlock>(std::move(block)) : nullptr;
  kivo::MutexLock lock(blockMutex_);
  // The old block goes after the lock is released.
  made.swap(motionStateDidChangeBlock_);
}

void KivoMotionManager::start() {
  startAccelerometerUpdates(*motionManager_, weak_from_this(), &KivoMotionManager::handleAccelerometerUpdate);
}

void KivoMotionManager::stop() {
  if (motionManager_->isAccelerometerActive()) motionManager_->stopAccelerometerUpdates();
}

bool KivoMotionManager::isActive() const { return motionManager_->isAccelerometerActive(); }

void KivoMotionManager::handleAccelerometerUpdate(const CMAccelerometerData& data) {
  if (isFocusing()) {
    setMotionState(KivoMotionState::undetermined);
    canFocus_ = false;
    acceleration_ = {0, 0, 0};
    return;
  }
  const CMAcceleration a = data.acceleration;
  const double now = CACurrentMediaTime();

  if (motionState() == KivoMotionState::undetermined) {
    // The first sample only seeds the reference: nothing to compare it with.
    staticTimestamp_ = now;
  } else {
    const double dx = acceleration_.x - a.x, dy = acceleration_.y - a.y, dz = acceleration_.z - a.z;
    const double distance = std::sqrt(dx * dx + dy * dy + dz * dz);
    // A NaN distance fails this test and so counts as not moving.
    if (movingThreshold() < distance) {
      setMotionState(KivoMotionState::moving);
      if (auto block = loadBlock()) (*block)(KivoMotionState::moving, false);
      acceleration_ = a;
      return;
    }
    if (motionState() == KivoMotionState::moving) {
      // Just came to rest: the wait starts now.
      staticTimestamp_ = now;
      canFocus_ = true;
    }
    // Media times are doubles: a difference within a nanosecond of the delay
    // counts as equal, so the clock's rounding cannot decide the comparison.
    if (canFocus_ && now - staticTimestamp_ > kDelayDuration + 1e-9 && !isFocusing()) {
      canFocus_ = false;
      if (auto block = loadBlock()) (*block)(motionState(), true);
    }
  }
  setMotionState(KivoMotionState::still);
  acceleration_ = a;
}
