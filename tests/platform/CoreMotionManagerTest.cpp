// The motion sensor service without a world behind it, and the installation
// of sensor backends.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "CoreMotion/CMMotionBackend.h"
#include "CoreMotion/CMMotionManager.h"
#include "Dispatch/Executor.h"

using ::testing::ElementsAre;

namespace {

/// A backend that always reads one fixed acceleration.
class FixedBackend : public CMMotionBackend {
 public:
  explicit FixedBackend(CMAcceleration value) : value_(value) {}
  bool isAccelerometerAvailable() override { return true; }
  void accelerometerClientDidStart(std::uint64_t) override {}
  void accelerometerClientDidStop(std::uint64_t) override {}
  CMAccelerometerReading readAccelerometer(std::uint64_t) override { return value_; }

 private:
  CMAcceleration value_;
};

std::vector<CMAcceleration> sampleOnce(DeterministicExecutor& executor) {
  std::vector<CMAcceleration> samples;
  auto manager = CMMotionManager::create();
  manager->setAccelerometerUpdateInterval(0.1);
  manager->startAccelerometerUpdatesToQueue(OperationQueue::main(), [&](auto data, auto error) {
    EXPECT_FALSE(error.has_value());
    if (data) samples.push_back(data->acceleration);
  });
  executor.advance(0.1);
  return samples;
}

TEST(CoreMotionManagerTest, BackendInstallersNestAndWithoutOneTheDeviceIsUprightAndStill) {
  DeterministicExecutor executor;
  ASSERT_EQ(installedCMMotionBackend(), nullptr);
  {
    ScopedCMMotionBackend outer(std::make_shared<FixedBackend>(CMAcceleration{1, 0, 0}));
    {
      ScopedCMMotionBackend inner(std::make_shared<FixedBackend>(CMAcceleration{0, 0, 1}));
      EXPECT_THAT(sampleOnce(executor), ElementsAre(CMAcceleration{0, 0, 1}));
    }
    EXPECT_THAT(sampleOnce(executor), ElementsAre(CMAcceleration{1, 0, 0}));
  }
  EXPECT_EQ(installedCMMotionBackend(), nullptr);
  EXPECT_TRUE(CMMotionManager::create()->isAccelerometerAvailable());
  EXPECT_THAT(sampleOnce(executor), ElementsAre(CMAcceleration{0, -1, 0}));
}

}  // namespace
