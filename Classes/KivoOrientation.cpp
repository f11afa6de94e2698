#include "KivoOrientation.h"

#include <cmath>

#include "CoreMotion/CMMotionManager.h"
#include "KivoAccelerometerUpdates.h"

std::shared_ptr<KivoOrientation> KivoOrientation::create() {
  return std::shared_ptr<KivoOrientation>(new KivoOrientation());
}

KivoOrientation::KivoOrientation() : motionManager_(CMMotionManager::create()) {
  if (motionManager_->isAccelerometerAvailable()) motionManager_->setAccelerometerUpdateInterval(0.1);
}

KivoOrientation::~KivoOrientation() = default;

void KivoOrientation::setDeviceOrientation(std::optional<UIDeviceOrientation> orientation) {
  deviceOrientation_.store(orientation ? static_cast<std::int64_t>(*orientation) : kNoOrientation,
                           std::memory_order_relaxed);
}

std::optional<UIDeviceOrientation> KivoOrientation::deviceOrientation() const {
  const std::int64_t raw = deviceOrientation_.load(std::memory_order_relaxed);
  if (raw == kNoOrientation) return std::nullopt;
  return static_cast<UIDeviceOrientation>(raw);
}

bool KivoOrientation::isActive() const { return motionManager_->isAccelerometerActive(); }

void KivoOrientation::start() {
  setDeviceOrientation(UIDevice::current().orientation());
  startAccelerometerUpdates(*motionManager_, weak_from_this(), &KivoOrientation::handleAccelerometerUpdate);
}

void KivoOrientation::stop() {
  if (motionManager_->isAccelerometerActive()) motionManager_->stopAccelerometerUpdates();
  setDeviceOrientation(std::nullopt);
}

void KivoOrientation::handleAccelerometerUpdate(const CMAccelerometerData& data) {
  const double x = data.acceleration.x, y = data.acceleration.y;
  // NaN fails both comparisons, so it falls to the upright branch.
  if (std::fabs(x) > std::fabs(y)) {
    setDeviceOrientation(x > 0 ? UIDeviceOrientation::landscapeRight : UIDeviceOrientation::landscapeLeft);
  } else {
    setDeviceOrientation(y > 0 ? UIDeviceOrientation::portraitUpsideDown : UIDeviceOrientation::portrait);
  }
}

std::optional<AVCaptureVideoOrientation> KivoOrientation::videoOrientation() const {
  const auto orientation = deviceOrientation();
  if (!shouldUseDeviceOrientation() || !orientation) return std::nullopt;
  switch (*orientation) {
    case UIDeviceOrientation::portraitUpsideDown:
    case UIDeviceOrientation::landscapeLeft:
    case UIDeviceOrientation::landscapeRight:
      // The raw value passes through: the device's landscape left is the
      // video's landscape right and the reverse.
      return static_cast<AVCaptureVideoOrientation>(static_cast<std::int64_t>(*orientation));
    default:
      return AVCaptureVideoOrientation::portrait;
  }
}

KivoImageOrientation KivoOrientation::imageOrientation(std::int64_t cameraPosition) const {
  const bool back = cameraPosition == 1;
  const auto orientation = shouldUseDeviceOrientation() ? deviceOrientation() : std::nullopt;
  switch (orientation.value_or(UIDeviceOrientation::unknown)) {
    case UIDeviceOrientation::portraitUpsideDown:
      return back ? KivoImageOrientation::left : KivoImageOrientation::rightMirrored;
    case UIDeviceOrientation::landscapeLeft:
      return back ? KivoImageOrientation::up : KivoImageOrientation::downMirrored;
    case UIDeviceOrientation::landscapeRight:
      return back ? KivoImageOrientation::down : KivoImageOrientation::upMirrored;
    default:
      return back ? KivoImageOrientation::right : KivoImageOrientation::leftMirrored;
  }
}
