#pragma once
// Starting accelerometer updates for a client of the component's own sensor
// objects (the motion detector and the orientation estimator), which share
// one way of doing it.
// Thread-safe

#include <memory>
#include <optional>
#include <utility>

#include "CoreMotion/CMMotionManager.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/WhileAlive.h"

/// Starts `manager`'s accelerometer updates on the calling operation queue
/// (the main one when the caller runs on none), unless there is no
/// accelerometer or updates already run. The handler holds `client` weakly,
/// so the sensor never keeps it alive, and passes every sample that carries
/// data to `handle`; samples with only an error are dropped.
template <class Client>
void startAccelerometerUpdates(CMMotionManager& manager, std::weak_ptr<Client> client,
                               void (Client::*handle)(const CMAccelerometerData&)) {
  if (!manager.isAccelerometerAvailable() || manager.isAccelerometerActive()) return;
  auto queue = OperationQueue::current();
  if (!queue) queue = OperationQueue::main();
  manager.startAccelerometerUpdatesToQueue(
      std::move(queue),
      whileAlive(std::move(client), [handle](const std::shared_ptr<Client>& self, std::optional<CMAccelerometerData> data,
                                             std::optional<NSError>) {
        if (data) ((*self).*handle)(*data);
      }));
}
