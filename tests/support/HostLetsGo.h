#pragma once
// The host lets go of a shown camera on the threaded executor: its screen
// disappears and releases the controller, the host drops its reference, and
// the main loop runs until the controller is destroyed (its queued work has
// run) or `timeout` seconds have passed. True when it was destroyed.

#include <memory>

#include "Dispatch/Executor.h"
#include "KivoCamera.h"
#include "sim/HostScreen.h"

inline bool hostLetsGo(sim::HostScreen& screen, std::shared_ptr<KivoCamera>& camera, ThreadedExecutor& loop,
                       double timeout) {
  screen.disappear();
  screen.release();
  std::weak_ptr<KivoCamera> watch = camera;
  camera.reset();
  return loop.runMainLoopUntil([&] { return watch.expired(); }, timeout);
}
