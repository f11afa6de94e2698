// Thread affinity: a debug build stops the program when a method bound to a
// queue runs anywhere else, naming the method and the queue it needs.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string_view>

#include "AVFoundation/AVCaptureConnection.h"
#include "AVFoundation/AVCapturePhotoOutput.h"
#include "Dispatch/Dispatch.h"
#include "KivoCamera.h"
#include "KivoCameraInspector.h"
#include "sim/World.h"

#ifndef NDEBUG

namespace {

struct Case {
  const char* name;
  const char* queue;  // where the call is made: "main", or a queue's label
  std::function<void(KivoCamera&)> call;
  const char* message;
};

TEST(AffinityDeathTest, AMethodOffItsQueueStopsADebugBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Case cases[] = {
      {"a control off the main thread", "com.kivocamera.session.queue",
       [](KivoCamera& camera) { camera.focusCenterWithAnimated(false); },
       "focusCenterWithAnimated must run on the main thread"},
      {"a view accessor off the main thread", "other",
       [](KivoCamera& camera) { camera.previewView(); }, "previewView must run on the main thread"},
      {"a session step off the session queue", "main",
       [](KivoCamera& camera) { KivoCameraInspector::configureSessionPreset(camera); },
       "configureSessionPreset must run on queue \"com.kivocamera.session.queue\""},
      {"the frame callback off the frame queue", "com.kivocamera.session.queue",
       [](KivoCamera& camera) {
         AVCaptureConnection connection("");
         camera.captureOutput(*KivoCameraInspector::photoOutput(camera), nullptr, connection);
       },
       "captureOutput must run on queue \"com.kivocamera.video.output\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_DEATH(
        {
          sim::World world;
          auto camera = KivoCamera::create();
          if (std::string_view(c.queue) == "main") {
            c.call(*camera);
          } else {
            const DispatchQueue queue(c.queue);
            queue.async([&] { c.call(*camera); });
            world.runUntilIdle();
          }
        },
        c.message);
  }
}

}  // namespace

#endif
