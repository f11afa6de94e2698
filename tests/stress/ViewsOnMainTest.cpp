// A controller let go of on a worker queue still has its views destroyed on
// the main thread, where a view's destructor may touch its layers: the
// controller hands them over to the main queue. (A debug build also stops at
// the focus view's own assertion when this breaks.)

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "AVFoundation/AVCaptureSession.h"
#include "Dispatch/Dispatch.h"
#include "KivoCamera.h"
#include "KivoFocusView.h"
#include "KivoPreviewView.h"
#include "sim/World.h"
#include "support/ShownCamera.h"

namespace {

enum class Where { alive, main, elsewhere };

class WatchedFocusView : public KivoFocusView {
 public:
  explicit WatchedFocusView(std::atomic<Where>& end) : KivoFocusView(CGRectMake(0, 0, 80, 80)), end_(end) {}
  ~WatchedFocusView() override { end_ = isMainThread() ? Where::main : Where::elsewhere; }

 private:
  std::atomic<Where>& end_;
};

TEST(ViewsOnMainTest, AControllerLetGoOfOnAWorkerQueueLeavesItsViewsToTheMainThread) {
  std::atomic<Where> focusViewEnd{Where::alive};
  sim::World world(sim::World::Mode::realtime);
  world.trace().setRecording(false);
  world.setAccelerometerAvailable(false);
  kivotest::ShownCamera shown(world, {.configure = [&focusViewEnd](KivoCamera& camera) {
    camera.setFocusView(std::make_shared<WatchedFocusView>(focusViewEnd));
  }});
  // Stopped, nothing of the controller's runs any more: the worker's block
  // below holds the last reference.
  const auto session = shown.camera().previewView()->session();
  shown.disappear();
  ASSERT_TRUE(shown.runUntil([&] { return !session->isRunning(); }, 60));
  std::shared_ptr<KivoCamera> camera = shown.pointer();
  const std::weak_ptr<KivoCamera> watch = camera;
  shown.release();
  ASSERT_TRUE(shown.runUntil([&] { return watch.use_count() == 1; }, 60));

  DispatchQueue worker("test.worker");
  enum class Checked { not_yet, gone, alive };
  std::atomic<Checked> onWorker{Checked::not_yet};
  worker.async([camera = std::move(camera)] {});
  worker.async([&onWorker, watch] { onWorker = watch.expired() ? Checked::gone : Checked::alive; });
  ASSERT_TRUE(shown.runUntil([&] { return focusViewEnd != Where::alive && onWorker != Checked::not_yet; }, 60))
      << "the focus view outlived its controller";
  EXPECT_EQ(onWorker, Checked::gone) << "the controller was not destroyed on the worker queue";
  EXPECT_EQ(focusViewEnd, Where::main);
}

}  // namespace
