#pragma once
// A controller as a host shows it, for the tests and the benchmarks: created,
// given a recording delegate and the host's configuration, attached to the
// simulated host screen, shown, and let go of at the end, in a world on
// either executor. Waiting works the same on both: virtual time advances in
// the deterministic world, the main loop runs in the real-time one.

#include <functional>
#include <memory>

#include "KivoCamera.h"
#include "sim/HostScreen.h"
#include "sim/World.h"
#include "support/RecordingDelegate.h"

namespace kivotest {

/// A controller shown on the host screen of `world`.
/// Thread-bound: main
class ShownCamera {
 public:
  struct Setup {
    /// The host's configuration of the new controller, before it is attached.
    std::function<void(KivoCamera&)> configure = {};
    /// Attach and show at construction; false leaves both to the caller.
    bool show = true;
    /// See RecordingDelegate.
    bool keepPhotos = true;
  };

  /// Creates the controller (the world's settings are fixed from here on).
  explicit ShownCamera(sim::World& world, Setup setup);
  explicit ShownCamera(sim::World& world) : ShownCamera(world, Setup{}) {}
  /// Lets go of a controller still held, as `letGo` does.
  ~ShownCamera();
  ShownCamera(const ShownCamera&) = delete;
  ShownCamera& operator=(const ShownCamera&) = delete;

  /// Configures the controller and embeds it in the screen; its setup runs.
  void attach();
  /// The screen appears. In the deterministic world what that queues runs;
  /// in real time the main loop runs until the session does (throws
  /// std::runtime_error after 20 s).
  void appear();
  void disappear();
  /// The screen releases the controller and this fixture drops its
  /// reference; nothing runs. Afterwards `camera()` may not be called.
  void release();
  /// The host lets go: the screen disappears (if shown) and releases the
  /// controller, and the world runs until the controller is destroyed or
  /// `timeout` seconds have passed. True when it was destroyed.
  bool letGo(double timeout = 10);

  /// Runs the world until `done` or until `timeout` seconds have passed;
  /// returns `done()`.
  bool runUntil(const std::function<bool()>& done, double timeout = 10);

  KivoCamera& camera() { return *camera_; }
  const std::shared_ptr<KivoCamera>& pointer() const { return camera_; }
  RecordingDelegate& delegate() { return *delegate_; }
  sim::HostScreen& screen() { return screen_; }
  sim::World& world() { return world_; }

 private:
  sim::World& world_;
  std::function<void(KivoCamera&)> configure_;
  std::shared_ptr<RecordingDelegate> delegate_;
  sim::HostScreen screen_;
  std::shared_ptr<KivoCamera> camera_;
};

}  // namespace kivotest
