#pragma once
// KivoHostPlatform: the platform of a real host application, set up in one
// call. Without it (or a sim::World) there is no executor, and
// KivoCamera::create() refuses to make a controller.
//
// Made on the host's main thread, it installs for its lifetime:
//   - the device layer: real cameras through GStreamer when this build has
//     them (every camera found, one by name, or the test camera), else the
//     platform's empty layer (no cameras);
//   - the threaded executor, whose main thread is the calling thread: the
//     main queue runs there through the host's event loop (the descriptor
//     and drainMainQueue) or through runMainLoop;
//   - the default notification centre (emptied when it goes), the shared
//     application (the idle timer reported to the host), the current device
//     (held in portrait) and the main screen (size and scale of the options);
//   - a motion service without an accelerometer (the camera does not
//     re-focus after a move);
//   - the host's tracker: `Kivo()` hands each analytics event to the
//     options' callback;
//   - the resource lookup (Kivo/KivoResource.h: the installed copy, else
//     the source tree's), with the options' directory first if given.
// Log lines go to standard output, as they always do, and the memory check
// reads the machine's statistics (/proc/meminfo).
//
// In a GLib loop (a QSocketNotifier of type Read does the same in Qt):
//
//   g_unix_fd_add(platform.mainQueueDescriptor(), G_IO_IN,
//                 [](int, GIOCondition, void* p) {
//                   static_cast<KivoHostPlatform*>(p)->drainMainQueue();
//                   return gboolean(G_SOURCE_CONTINUE);
//                 }, &platform);
//
// Only one may exist at a time, and not beside a sim::World. Destroying it
// tears everything down in reverse order, the executor last: blocks still
// queued are dropped, and a controller the host still holds then finds an
// empty platform and does nothing harmful.
//
// Thread-bound: main (made, used and destroyed on one thread), except
// stopMainLoop and mainQueueDescriptor, which any thread may call.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Kivo/KivoCore.h"

class ThreadedExecutor;

/// Every member has a default, so designated initializers may name any few.
struct KivoHostOptions {
  /// Which cameras: none for every camera the device layer finds, a
  /// camera's name for only that one, "test" for the test camera (colour
  /// bars). Naming one in a build without real cameras is an error.
  std::optional<std::string> camera{};
  /// The main screen, in points, and its pixels per point (1, 2 or 3).
  double screenWidth = 375;
  double screenHeight = 812;
  int screenScale = 1;
  /// Looked in before every other resource directory.
  std::optional<std::filesystem::path> resources{};
  /// Called on the main queue right after each time the component asks for
  /// the idle timer (the screen's automatic dimming and locking) to be
  /// disabled (true: while the camera is shown) or enabled again (false).
  std::function<void(bool disabled)> idleTimerDisabled{};
  /// Receives every analytics event, on the queue that sends it (any
  /// thread, so it must be thread-safe).
  std::function<void(const std::string& name, const TrackingParameters& parameters)> trackingEvent{};
  /// Worker threads that run the serial queues other than the main queue.
  unsigned workerThreads = 2;
};

class KivoHostPlatform {
 public:
  /// Installs the platform. Throws std::invalid_argument for options out of
  /// range, std::logic_error when an executor is already installed, and
  /// std::runtime_error when the cameras asked for cannot be had (no real
  /// cameras in this build, GStreamer cannot start, no camera of that
  /// name); nothing stays installed then.
  explicit KivoHostPlatform(KivoHostOptions options = {});
  ~KivoHostPlatform();
  KivoHostPlatform(const KivoHostPlatform&) = delete;
  KivoHostPlatform& operator=(const KivoHostPlatform&) = delete;

  /// Whether this build has real cameras (the GStreamer device layer).
  static bool hasRealCameras();

  // --- The main queue (see ThreadedExecutor) ---------------------------------
  /// Readable while main-queue work is ready: watch it for reading in the
  /// host's event loop and call drainMainQueue when it is. Closed when the
  /// platform goes: remove it from the loop before.
  int mainQueueDescriptor();
  /// Runs the main-queue blocks ready now; returns how many ran.
  std::size_t drainMainQueue();
  /// Runs the main queue until `done()` holds or stopMainLoop is called;
  /// returns whether `done()` became true. For hosts without a loop.
  bool runMainLoop(const std::function<bool()>& done = {});
  /// Ends runMainLoop (or the next one, when none is running). Any thread.
  void stopMainLoop();

  ThreadedExecutor& executor();

 private:
  struct Installed;
  std::unique_ptr<Installed> installed_;
};
