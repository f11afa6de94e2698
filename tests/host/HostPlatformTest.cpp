// The platform of a real host: set up and torn down twice in one process
// with a camera shown in between (the test camera where the build has real
// cameras, the empty layer otherwise), the hooks it hands the host, and the
// machine's memory statistics read from a /proc/meminfo text.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AVFoundation/AVCaptureSession.h"
#include "Dispatch/Executor.h"
#include "KivoCamera.h"
#include "KivoHostPlatform.h"
#include "KivoPreviewView.h"
#include "Mach/HostStatistics.h"
#include "UIKit/UIViewController.h"

namespace {

constexpr double kGenerousTimeout = 30.0;

// The test camera where the build has real cameras, so no real one is asked.
KivoHostOptions testCameraOptions() {
  KivoHostOptions options;
  if (KivoHostPlatform::hasRealCameras()) options.camera = "test";
  return options;
}

void appear(UIViewController& screen, bool appearing) {
  screen.beginAppearanceTransition(appearing, false);
  if (appearing) screen.view()->layoutIfNeeded();
  screen.endAppearanceTransition(false);
}

// The second round keeps its camera past the platform's end: its queued
// work is dropped and releasing it afterwards is harmless.
TEST(KivoHostPlatformTest, SetsUpAndTearsDownTwiceWithACameraShownInBetween) {
  for (const bool keepCameraPastPlatform : {false, true}) {
    SCOPED_TRACE(keepCameraPastPlatform ? "camera kept past the platform" : "camera released first");
    std::mutex mutex;
    std::vector<std::string> events;  // from any queue, under `mutex`
    std::vector<bool> idleTimer;      // main queue
    std::shared_ptr<KivoCamera> kept;
    std::weak_ptr<KivoCamera> watch;
    {
      KivoHostOptions options = testCameraOptions();
      options.trackingEvent = [&](const std::string& name, const TrackingParameters&) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(name);
      };
      options.idleTimerDisabled = [&](bool disabled) { idleTimer.push_back(disabled); };
      KivoHostPlatform platform(std::move(options));
      auto& executor = platform.executor();

      auto screen = UIViewController::create();
      auto camera = KivoCamera::create();
      watch = camera;
      camera->addToController(screen);
      appear(*screen, true);
      if (KivoHostPlatform::hasRealCameras()) {
        ASSERT_TRUE(executor.runMainLoopUntil([&] { return camera->previewView()->session()->isRunning(); }, kGenerousTimeout));
      }
      appear(*screen, false);
      // The permission's answer, and with it an event, comes from another queue.
      const auto tracked = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
      };
      EXPECT_TRUE(executor.runMainLoopUntil([&] { return idleTimer.size() == 2 && !tracked().empty(); },
                                            kGenerousTimeout));
      EXPECT_EQ(idleTimer, (std::vector<bool>{true, false}));
      ASSERT_FALSE(tracked().empty()) << "the tracker hook received no event";
      EXPECT_EQ(tracked().front(), "kivo_camera");
      if (keepCameraPastPlatform) {
        kept = camera;
      } else {
        camera.reset();
        screen.reset();
        EXPECT_TRUE(executor.runMainLoopUntil([&] { return watch.expired(); }, kGenerousTimeout));
      }
    }
    kept.reset();
    EXPECT_TRUE(watch.expired());
  }
}

TEST(KivoHostPlatformTest, RefusesASecondPlatformAndBadOptionsInstallingNothing) {
  {
    KivoHostPlatform platform(testCameraOptions());
    EXPECT_THROW(KivoHostPlatform{testCameraOptions()}, std::logic_error);
  }
  EXPECT_THROW(KivoHostPlatform({.screenScale = 4}), std::invalid_argument);
  EXPECT_THROW(KivoHostPlatform({.camera = "no-such-camera"}), std::runtime_error);
  EXPECT_FALSE(isExecutorInstalled());
}

// What host_statistics reads on this machine, from the file's text.
TEST(HostStatisticsFromMeminfo, CountsFreeAndInactivePages) {
  const struct {
    const char* what;
    const char* text;
    vm_size_t pageSize;
    kern_return_t status;
    natural_t freeCount, inactiveCount;
  } cases[] = {
      {"the kernel's layout",
       "MemTotal:       16314948 kB\nMemFree:          409600 kB\nMemAvailable:   9000000 kB\n"
       "Active:          5000000 kB\nInactive(anon):    81920 kB\nInactive:        8192000 kB\n"
       "Inactive(file):  8110080 kB",
       4096, KERN_SUCCESS, 102400, 2048000},
      {"large pages round down", "MemFree: 40 kB\nInactive: 15 kB\n", 16384, KERN_SUCCESS, 2, 0},
      {"a count past 32 bits saturates", "MemFree: 99999999999999 kB\nInactive: 0 kB\n", 4096, KERN_SUCCESS,
       0xFFFFFFFFu, 0},
      {"no Inactive line", "MemFree: 409600 kB\nInactive(file): 4 kB\n", 4096, KERN_FAILURE, 7, 7},
      {"no number", "MemFree: kB\nInactive: 4 kB\n", 4096, KERN_FAILURE, 7, 7},
  };
  for (const auto& c : cases) {
    vm_statistics_data_t info{};
    info.free_count = info.inactive_count = 7;
    EXPECT_EQ(hostStatisticsFromMeminfo(c.text, c.pageSize, info), c.status) << c.what;
    EXPECT_EQ(info.free_count, c.freeCount) << c.what;
    EXPECT_EQ(info.inactive_count, c.inactiveCount) << c.what;
  }
}

}  // namespace
