#pragma once
// kivocam's runner: one KivoCamera on a simulated world, embedded in the
// world's host screen, driven line by line from a scenario. Everything
// observable goes to one output as the trace, in the order it happened.
//
// The runner adds no behaviour of its own: each line becomes world settings,
// faults, host calls on the controller's public API, user gestures on the
// host screen, sensor readings, platform events, time steps or inspections.
//
// Main thread only: the thread that makes the runner is the main thread of
// the world it drives.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "Commands.h"
#include "Scenario.h"

#include "Foundation/ThreadSafety.h"
#include "KivoCameraDelegate.h"

class AVCaptureSession;
class KivoCamera;
class ScopedAVCaptureBackend;
class KivoHostSurface;

namespace sim {
class World;
using HostScreen = ::KivoHostSurface;
class CaptureSimulation;
}  // namespace sim

namespace kivocam {

struct RunnerOptions {
  /// Threaded queues and the real clock instead of the deterministic
  /// scheduler.
  bool realtime = false;
  /// A real camera by name (see RealCameras.h) instead of the simulated
  /// ones; implies `realtime`. Lines that would simulate a camera are wrong
  /// lines then.
  std::optional<std::string> realCamera = std::nullopt;
  /// Where delivered photos are written as photo-N.jpg; none: not written.
  std::optional<std::filesystem::path> photosDirectory = std::nullopt;
  /// The longest single `advance` accepted; longer ones are wrong lines.
  /// One day by default, so that a scenario with a sensor or frames running
  /// cannot ask for work without end; fuzzing and randomized runs bound it
  /// more tightly.
  double maxAdvanceSeconds = 86400;
  /// The budget of simulated work of a deterministic run, counted over the
  /// whole run (see sim::World::WorkBudget): an `advance` that would take the
  /// run past it is a wrong line: refused before it runs when the frames the
  /// running streams would deliver in it are too many, otherwise stopped
  /// right after the moment the run exceeds it. No scenario of the project
  /// comes near it (the most is a few thousand frames); a run that reaches
  /// it has cost a few seconds (optimised build).
  std::uint64_t maxVideoFrames = 1'000'000;
  std::uint64_t maxAccelerometerUpdates = 10'000'000;
  /// Where `snapshot` lines write their images; none: the screen is
  /// rendered and encoded but not written (fuzzing, tests).
  std::optional<std::filesystem::path> snapshotsDirectory = std::nullopt;
  /// Whether the world also keeps the trace lines it prints, for tests to
  /// read; the record grows with every line, so kivocam turns it off.
  bool recordTrace = true;
};

/// Bounds of a snapshot: its name's length, and its size in pixels (the
/// screen's bounds times its scale).
inline constexpr std::size_t kMaxSnapshotNameLength = 64;
inline constexpr int kMaxSnapshotSide = 16384;
inline constexpr std::int64_t kMaxSnapshotPixels = std::int64_t{1} << 25;

class PhotoWriter;
class ScenarioDelegate;

/// The run cannot go on for a reason outside the scenario: the trace or a
/// photo cannot be written. Not a wrong line: kivocam ends with exit status 3.
class RunFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Runner {
 public:
  /// The trace goes to `output`; a stream without a buffer discards it.
  /// Throws CameraUnavailable (RealCameras.h) when a real camera was asked
  /// for and cannot be used.
  Runner(RunnerOptions options, std::ostream& output);
  /// Finishes the run (see `finish`) if it was not finished.
  ~Runner();
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  /// Runs one scenario line: echoes it (unless blank or a comment), performs
  /// it, then runs every ready block; the output is flushed after the echo
  /// and after the line. Throws ScenarioError for a wrong line, after
  /// printing the trace up to it; RunFailure when the output or a photo
  /// cannot be written; std::bad_alloc as it comes.
  void run(std::string_view line);

  /// The end of a run: the trace stops (nothing after the last line is
  /// printed), the host removes and drops the controller if it still holds
  /// it, and the world lets queued work finish (up to 15 virtual seconds)
  /// before it is torn down. Idempotent; no line may run afterwards.
  void finish();

  sim::World& world() { return *world_; }
  sim::HostScreen& host() { return *host_; }
  /// The controller while the host holds it.
  const std::shared_ptr<KivoCamera>& camera() const { return camera_; }
  /// The `camera:didCapturePhoto:` callbacks the host's delegates received.
  std::int64_t photosDelivered() const;
  /// Why a line with those needs cannot run now (the text it is refused
  /// with, after the command's name), or none when it can.
  std::optional<std::string_view> unmet(Needs needs) const;
  /// The newest capture session the run has seen, or null.
  std::shared_ptr<AVCaptureSession> newestSession() const;

 private:
  friend struct CommandTable;  // the command table's handlers, which perform the lines

  /// Looks the line up in the command table, checks it and performs it.
  void perform(const std::vector<std::string>& words);
  KivoCamera& controller() { return *camera_; }
  sim::CaptureSimulation& capture();
  std::shared_ptr<KivoCameraDelegate> newDelegate(std::optional<std::set<KivoCameraDelegateSelector>> selectors);
  void useDelegate(std::shared_ptr<KivoCameraDelegate> delegate);
  void emit(std::string line);
  /// `snapshot NAME`: renders the host screen and writes DIR/NAME.png.
  void snapshot(const std::string& name);
  void drain();
  /// Flushes the output; throws RunFailure if it cannot be written.
  void flushOutput();

  RunnerOptions options_;
  // In the realtime mode trace lines come from any thread.
  kivo::Mutex outputMutex_;
  std::ostream& output_ KIVO_GUARDED_BY(outputMutex_);
  std::unique_ptr<sim::World> world_;
  // The real device layer over the world's simulated one, with --camera.
  std::unique_ptr<ScopedAVCaptureBackend> realCamera_;
  std::unique_ptr<sim::HostScreen> host_;
  std::unique_ptr<PhotoWriter> photos_;
  std::shared_ptr<KivoCameraDelegate> delegate_;
  std::shared_ptr<KivoCamera> camera_;
  std::atomic<std::int64_t> delivered_{0};
  bool finished_ = false;
  // The names of the cameras `world camera` lines added.
  std::set<std::string, std::less<>> cameraNames_;
};

/// The outcome of a whole scenario.
struct ScenarioResult {
  /// 0: every line ran; 1: a line was wrong.
  int status = 0;
  /// The wrong line's number (from 1), or 0.
  int line = 0;
  std::string message;
};

/// The value at an inspection path (one of `inspectionPaths()`) as `print`
/// shows it.
std::string inspect(Runner& runner, std::string_view path);

/// Runs the text of a scenario file, printing the trace on `output`. A UTF-8
/// byte-order mark at its start is skipped. Throws what Runner::run throws
/// except ScenarioError.
ScenarioResult runScenario(std::string_view text, const RunnerOptions& options, std::ostream& output);

/// The text of `kivocam --help`.
std::string_view helpText();

}  // namespace kivocam
