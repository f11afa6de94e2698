// The controller under real threads, meant for ThreadSanitizer: captures one
// after another while frames stream at 240 fps, the accelerometer samples, the
// main thread zooms, focuses, switches the torch and the camera, the
// application goes to the background and back, and the session queue posts
// interruptions and runtime errors; then the host lets go. Whatever the
// interleaving, every capture the photo output was asked for reaches
// camera:didCapturePhoto: exactly once and nothing else does, and the released
// controller is destroyed once its queued work has run. The simulated camera
// finishes a capture in 10 ms (not the 0.3 s of its timetable), which changes
// no ordering the component relies on. KIVO_STRESS_CAPTURES sets the number
// of captures (default kDefaultCaptures). No assertion depends on durations;
// the time limits only keep a hung run from hanging the suite.

#include <gtest/gtest.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Dispatch/Executor.h"
#include "KivoCamera.h"
#include "KivoCameraInspector.h"
#include "KivoPhotoCapture.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"
#include "sim/motion/MotionSimulation.h"
#include "stress/StressCount.h"
#include "support/ShownCamera.h"

namespace {

constexpr std::size_t kDefaultCaptures = 1000;
constexpr double kGenerousTimeout = 60.0;

// The identifier of a "capturePhotoWithSettings:delegate: id=N ..." trace line.
std::optional<std::int64_t> captureRequestID(std::string_view line) {
  constexpr std::string_view kCall = "photo-output capturePhotoWithSettings:delegate: id=";
  const auto at = line.find(kCall);
  std::int64_t id = 0;
  if (at == std::string_view::npos ||
      std::from_chars(line.data() + at + kCall.size(), line.data() + line.size(), id).ec != std::errc())
    return std::nullopt;
  return id;
}

// What the component's queues report, under one mutex so that requests and
// deliveries are recorded in one order.
struct Record {
  std::mutex mutex;
  std::vector<std::int64_t> requestIDs;  // in the order the output was asked
  std::size_t deliveries = 0, deliveriesWithoutData = 0;
  bool deliveryWithoutRequest = false;  // a delivery came with every request delivered already
  // The session's state as its queue (which also asks for the captures) last
  // changed it: a capture on a stopped session, or one a stop cuts short, has no photo.
  bool sessionStopped = true;
  std::size_t stops = 0, requestsWhileStopped = 0;

  std::size_t requests() {
    std::lock_guard<std::mutex> lock(mutex);
    return requestIDs.size();
  }
  std::size_t delivered() {
    std::lock_guard<std::mutex> lock(mutex);
    return deliveries;
  }
};

// Each delivery, beside the requests recorded so far.
void recordDeliveries(kivotest::RecordingDelegate& delegate, Record& record) {
  delegate.onPhoto = [&record](const std::optional<Data>& photo) {
    std::lock_guard<std::mutex> lock(record.mutex);
    ++record.deliveries;
    if (record.deliveries > record.requestIDs.size()) record.deliveryWithoutRequest = true;
    if (!photo) ++record.deliveriesWithoutData;
  };
}

// Two cameras at 240 fps, quick small photos, and the trace read for capture
// requests and the session's starts and stops.
void prepareWorld(sim::World& world, Record& record) {
  for (const auto position : {AVCaptureDevicePosition::back, AVCaptureDevicePosition::front})
    world.addCamera(sim::camera(position, sim::CameraType::wide, [](auto& d) { d.frameRate = 240; }));
  // Exposure, photo and end 2, 8 and 10 ms after the request; a small picture is cheap to encode.
  world.capture().setPhotoTimetable({0.002, 0.008, 0.010});
  world.capture().setPhotoSize(64, 48);
  world.trace().setRecording(false);
  world.trace().setSink([&record](std::string_view line) {
    const auto id = captureRequestID(line);
    const bool stop = line.find("platform session stopRunning") != std::string_view::npos;
    const bool start = line.find("platform session startRunning") != std::string_view::npos;
    if (!id && !stop && !start) return;
    std::lock_guard<std::mutex> lock(record.mutex);
    if (id) record.requestIDs.push_back(*id);
    if (id && record.sessionStopped) ++record.requestsWhileStopped;
    if (stop) ++record.stops;
    if (stop || start) record.sessionStopped = stop;
  });
}

// The main thread's share of the load at `step`, beside its capture request.
void loadStep(KivoCamera& camera, sim::World& world, std::size_t step, bool& back) {
  switch (step % 16) {
    case 0: camera.zoomWithScale(1.0 + static_cast<double>(step % 7) * 0.5); break;
    case 1: camera.focusAtPoint(CGPoint{40.0 + static_cast<double>(step % 50), 80.0}, true); break;
    case 2: world.motion().setAcceleration(step % 32 < 16 ? 0.4 : 0.0, -1.0, 0.0); break;
    case 3: camera.toggleTorch(step % 32 < 16); break;
    case 4: world.capture().postInterrupted(NSNumber(static_cast<std::int64_t>(1 + step % 4))); break;
    case 5: camera.zoomWithLevel(static_cast<double>(step % 5) * 0.25); break;
    case 6: camera.toggleFlash(static_cast<std::int64_t>(step % 3)); break;
    case 7: world.capture().postInterruptionEnded(); break;
    case 8: camera.focusWithAnimated(false); break;
    // Named: during a switch the session has no current camera for a moment.
    case 9: world.capture().setISO("back-wide", 100.0f + static_cast<float>(step % 200)); break;
    case 10: world.capture().postRuntimeError(); break;
    case 11: camera.zoomWithScale(2.0, true); break;
    case 12: camera.setExposureTargetBias(static_cast<float>(step % 5) - 2.0f); break;
    default: break;  // a step of captures and frames alone
  }
  // Rarer: a camera switch, and a stay in the background that stops the session.
  if (step % 128 == 64) {
    back = !back;
    camera.toggleCameraPosition(back);
  }
  if (step % 512 == 200) world.notifyWillResignActive();
  if (step % 512 == 260) world.notifyBecameActive();
}

// Captures run one at a time and each ends in one delivery block on the
// serial main queue, so the k-th delivery belongs to the k-th request: with
// none ahead of its request and equal totals, each came exactly once.
void expectEachCaptureDeliveredOnce(Record& record, const kivotest::RecordingDelegate& delegate, std::size_t target) {
  std::lock_guard<std::mutex> lock(record.mutex);
  std::printf("[ stress   ] %zu captures (%zu on a stopped session), %zu frames, %zu switches, %zu stops\n",
              record.requestIDs.size(), record.requestsWhileStopped, delegate.frameCount(), delegate.switchCount(),
              record.stops);
  ASSERT_GE(record.requestIDs.size(), target);
  EXPECT_EQ(record.deliveries, record.requestIDs.size());
  EXPECT_FALSE(record.deliveryWithoutRequest);
  // No photo fault was injected.
  EXPECT_LE(record.deliveriesWithoutData, record.requestsWhileStopped + record.stops);
  for (std::size_t i = 1; i < record.requestIDs.size(); ++i)
    ASSERT_LT(record.requestIDs[i - 1], record.requestIDs[i]) << "a capture was requested twice";
  EXPECT_GT(delegate.switchCount(), 0u) << "the camera never switched";
}

TEST(ThreadedStressTest, EveryCaptureArrivesOnceUnderLoadAndTheReleasedControllerIsDestroyed) {
  const std::size_t target = stressCountFromEnvironment("KIVO_STRESS_CAPTURES", kDefaultCaptures);
  const std::size_t processorsBefore = KivoPhotoCaptureProcessor::liveCount();
  Record record;  // outlives the world, whose workers may still run a handler while it shuts down
  sim::World world(sim::World::Mode::realtime);
  ThreadedExecutor& loop = *world.threadedExecutor();
  prepareWorld(world, record);

  kivotest::ShownCamera shown(world, {.configure =
                                          [](KivoCamera& camera) {
                                            camera.setEnableVideoDataOutput(true);
                                            camera.setShouldUseDeviceOrientation(true);
                                            camera.setShouldListeningToAutoFocus(true);
                                            camera.setShouldListeningToExposure(true);
                                            camera.setFlashMode(2);
                                          },
                                      .show = false,
                                      .keepPhotos = false});
  recordDeliveries(shown.delegate(), record);
  shown.attach();
  shown.appear();
  KivoCamera& camera = shown.camera();
  ASSERT_TRUE(shown.runUntil([&] { return shown.delegate().frameCount() > 0; }, kGenerousTimeout))
      << "the session never started streaming";

  // One step of load between capture requests (most of which arrive during
  // a capture and are dropped).
  auto lastProgress = std::chrono::steady_clock::now();
  std::size_t requestsSoFar = 0;
  bool back = true;
  for (std::size_t step = 0; requestsSoFar < target; ++step) {
    camera.capturePhoto();
    loadStep(camera, world, step, back);
    loop.runMainLoopFor(0.002);
    const auto now = std::chrono::steady_clock::now();
    if (const std::size_t requests = record.requests(); requests != requestsSoFar) {
      requestsSoFar = requests;
      lastProgress = now;
    }
    ASSERT_LT(std::chrono::duration<double>(now - lastProgress).count(), kGenerousTimeout)
        << "no capture started for a long time, after " << requestsSoFar << " of " << target;
  }

  // The last capture ends; then the host lets go. A queued delivery holds
  // the controller, so the numbers are final once it is gone.
  ASSERT_TRUE(loop.runMainLoopUntil(
      [&] {
        return record.delivered() >= record.requests() && KivoCameraInspector::capturesInProgress(camera) == 0;
      },
      kGenerousTimeout))
      << record.delivered() << " deliveries for " << record.requests() << " captures";
  ASSERT_TRUE(shown.letGo(kGenerousTimeout)) << "the released controller is still alive";
  expectEachCaptureDeliveredOnce(record, shown.delegate(), target);
  EXPECT_EQ(KivoPhotoCaptureProcessor::liveCount(), processorsBefore);
}

}  // namespace
