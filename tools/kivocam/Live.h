#pragma once
// `kivocam live`: the camera in an X11 window (LiveWindow), in real time.
//
// Everything the run does goes through one realtime Runner as lines, so the
// trace, photos, snapshots and real cameras behave as with `run`: first the
// host's own lines (`create`, `attach`, `appear`), then, once the window
// shows, the script's lines, and all along the user's input turned into the
// lines a scenario would say for it:
//
//   click                 tap X Y (points), or on a presented alert's
//                         action: alert cancel|settings
//   wheel                 pinch began 1 X Y, then pinch changed F X Y a notch
//                         (F = 1.1^n up, cumulative, ÷1.1 down), and
//                         pinch ended F X Y 0.25 s after the last notch
//   Space                 call capturePhoto
//   T                     call toggleTorch true, then false, alternately
//   F                     call toggleFlash N, the next mode after the
//                         controller's: 0, 1, 2, 0…
//   C                     call toggleCameraPosition true
//   Q, Escape, closing    quit: `release`, then the run ends once the
//                         controller is gone (its dealloc is in the trace)
//
// Re-entrancy: the runner is entered from the top level only, one line at a
// time. A line may run the main queue for a while (a realtime `advance`
// waits on it), and the window keeps drawing and reading input meanwhile,
// but input only queues its lines: the top level runs them after the line
// that is running, before the next script line. So input given during a
// long scripted `advance` (a quit too) takes effect when the advance ends.
// A user's line that is wrong is reported on standard error and the run goes
// on; a pinch whose `began` was wrong drops its other lines.
//
// Thread-bound: main.

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "Runner.h"

namespace kivocam {

class LiveWindow;

struct LiveOptions {
  /// The runner's options; `realtime` is set whatever they say.
  RunnerOptions runner;
  /// The script's name as messages give it, and its text; an empty text
  /// runs no line.
  std::string scriptName;
  std::string script;
  /// Where the window's pixels go after the script's last line, which then
  /// ends the run; none: the window stays until the user quits.
  std::optional<std::filesystem::path> screenshot;
};

/// Runs `kivocam live` in `window` (connected to its display, not shown),
/// the trace on `trace` and the user's wrong lines on `errors`. Returns
/// status 0 once the user quit or the screenshot was written, 1 with the
/// line's number and message for a wrong script line (the run ends as
/// `run`'s does after one). Throws CameraUnavailable and RunFailure as the
/// runner does; RunFailure also when the window does not show within 30 s
/// or the screenshot cannot be read back or written.
ScenarioResult runLive(LiveWindow& window, const LiveOptions& options, std::ostream& trace, std::ostream& errors);

}  // namespace kivocam
