// The frame path's copies of the delegate and of the motion state under real
// threads (meant for ThreadSanitizer): frames stream at 1,000 per second while
// the main thread swaps the delegate and the motion manager back and forth.
// Once the new delegate has had a frame the old one gets no more (frames run
// one at a time on their serial queue), and every frame the new delegate gets
// reports the state of the manager installed with it. (A frame racing the
// swap may take the old delegate with the new state, as two property reads
// would.) The time limit only keeps a hung run from hanging the suite.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>

#include "AVFoundation/AVCaptureSession.h"
#include "KivoCamera.h"
#include "KivoMotionManager.h"
#include "sim/World.h"
#include "support/ShownCamera.h"

namespace {

constexpr std::size_t kSwaps = 200;
constexpr double kGenerousTimeout = 60.0;

// One of the two delegates and what it saw.
struct Receiver {
  std::shared_ptr<kivotest::RecordingDelegate> delegate = std::make_shared<kivotest::RecordingDelegate>(false);
  std::atomic<std::size_t> wrongState{0};
  // The isStill its frames must report (set while it receives none), or
  // kAny while it is being replaced.
  static constexpr int kAny = -1;
  std::atomic<int> expectStill{0};

  Receiver() {
    delegate->onFrame = [this](const CMSampleBufferRef&, bool isStill) {
      const int expected = expectStill.load();
      if (expected != kAny && isStill != (expected == 1)) wrongState.fetch_add(1);
    };
  }
  std::size_t frames() const { return delegate->frameCount(); }
};

TEST(FrameReferencesStressTest, ASwappedDelegateAndMotionManagerTakeOverFromTheNextFrame) {
  // Outlive the world, whose workers may still run a frame while it shuts down.
  std::array<Receiver, 2> receivers;

  sim::World world(sim::World::Mode::realtime);
  world.addCamera(sim::camera(AVCaptureDevicePosition::back, sim::CameraType::wide, [](auto& d) { d.frameRate = 1000; }));
  // No sensor: every motion manager keeps the state it is given.
  world.setAccelerometerAvailable(false);
  world.trace().setRecording(false);

  kivotest::ShownCamera shown(world, {.configure = [&receivers](KivoCamera& camera) {
    camera.setEnableVideoDataOutput(true);
    receivers[0].expectStill = camera.motionManager()->motionState() == KivoMotionState::still ? 1 : 0;
    camera.setDelegate(receivers[0].delegate);
  }});
  KivoCamera& camera = shown.camera();
  ASSERT_TRUE(shown.runUntil([&] { return receivers[0].frames() > 0; }, kGenerousTimeout))
      << "the session never started streaming";

  std::size_t current = 0;
  for (std::size_t swap = 1; swap <= kSwaps; ++swap) {
    Receiver& from = receivers[current];
    Receiver& to = receivers[1 - current];
    auto manager = KivoMotionManager::create();
    const bool still = swap % 2 == 0;
    manager->setMotionState(still ? KivoMotionState::still : KivoMotionState::moving);
    to.expectStill = still ? 1 : 0;
    from.expectStill = Receiver::kAny;
    const std::size_t toBefore = to.frames();
    std::weak_ptr<KivoMotionManager> previous = camera.motionManager();
    camera.setMotionManager(std::move(manager));
    camera.setDelegate(to.delegate);
    EXPECT_TRUE(previous.expired()) << "swap " << swap << ": the replaced motion manager is still alive";

    ASSERT_TRUE(shown.runUntil([&] { return to.frames() > toBefore; }, kGenerousTimeout))
        << "swap " << swap << ": the new delegate never got a frame";
    const std::size_t fromAfterSwitch = from.frames();
    ASSERT_TRUE(shown.runUntil([&] { return to.frames() > toBefore + 2; }, kGenerousTimeout));
    ASSERT_EQ(from.frames(), fromAfterSwitch)
        << "swap " << swap << ": the old delegate got a frame after the new one had";
    current = 1 - current;
  }

  EXPECT_EQ(receivers[0].wrongState.load(), 0u);
  EXPECT_EQ(receivers[1].wrongState.load(), 0u);

  ASSERT_TRUE(shown.letGo(kGenerousTimeout)) << "the released controller is still alive";
}

}  // namespace
