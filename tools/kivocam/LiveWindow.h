#pragma once
// kivocam live's window: the host screen (KivoHostSurface) in an X11 window
// of its size in pixels (the screen's bounds times its scale), redrawn when
// the surface says a redraw is due, with the user's clicks, wheel notches,
// keys and the window's closing handed to the caller.
//
// Everything runs on the main queue. A frame clock ticks at the display's
// rate (60 a second: core Xlib does not tell a refresh rate) on a fixed
// cadence, and each tick first reads what the server sent (input, exposure,
// the acknowledgement of the last frame), then draws if a redraw is due. So
// the window stays live whenever the main queue runs, a line that waits on
// it (a realtime `advance`) included. The window never calls the runner: it
// reports input to the caller's handler, which must not close the window.
//
// Frames: the surface renders straight into the image's pixels, which go to
// the window through MIT-SHM (XShmPutImage) where the server can attach the
// shared segment (a local display), else through XPutImage. One frame is in
// flight at a time: the next is drawn only once the server has acknowledged
// the last (the MIT-SHM completion event, or the change of a property of the
// window queued after the XPutImage); a tick that finds it still in flight
// skips its frame rather than wait. Nothing here waits for the server but a
// screenshot.
//
// While the application asks for the idle timer to be disabled
// (UIApplication), the server's screen saver timer is reset well before it
// would start. The server's settings are never changed, so nothing is left
// to restore however the program ends.
//
// A broken connection to the display ends the process (Xlib's rule): a
// message on standard error, exit status 3.
//
// Thread-bound: main. Close the window (or destroy it) before the surface
// and the executor go.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "CoreGraphics/CGGeometry.h"
#include "Foundation/Data.h"

class KivoHostSurface;

namespace kivocam {

/// There is no display to show the window on: DISPLAY is unset, the display
/// cannot be opened, or it has no 24-bit TrueColor visual of 32-bit pixels.
class DisplayUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// What the user did in the window; points are the host screen's.
struct LiveInput {
  enum class Kind {
    click,      // the left button went down at `point`
    wheelUp,    // one notch away from the user, at `point`
    wheelDown,  // one notch towards the user, at `point`
    key,        // `key` was pressed: ' ', 'c', 'f', 'q', 't' or '\x1b' (Escape); other keys are not reported
    close,      // the window manager asks the window to close
  };
  Kind kind = Kind::click;
  CGPoint point{};
  char key = 0;
};

class LiveWindow {
 public:
  /// Frames since `show`.
  struct Stats {
    std::uint64_t drawn = 0;    // put into the window
    std::uint64_t skipped = 0;  // due while the last one was still in flight
    double drawSeconds = 0;     // spent rendering and putting them
  };

  /// Connects to the display DISPLAY names. Throws DisplayUnavailable.
  LiveWindow();
  /// Closes the window and the connection.
  ~LiveWindow();
  LiveWindow(const LiveWindow&) = delete;
  LiveWindow& operator=(const LiveWindow&) = delete;

  /// Opens the window on `surface`, titled `title`, maps it and starts the
  /// frame clock; `onInput` hears the input on the main queue. Once.
  void show(KivoHostSurface& surface, const std::string& title, std::function<void(const LiveInput&)> onInput);
  /// Whether the server has mapped the window (it shows).
  bool isMapped() const;
  /// Draws the surface now, waits until the server has it, reads the
  /// window's pixels back from the display and returns them as a PNG (8-bit
  /// RGB). Throws std::runtime_error when the server refuses to give them
  /// (the window is not viewable or not wholly on its screen).
  Data screenshotPNG();
  /// Stops the frame clock and destroys the window; the connection stays
  /// until destruction. Idempotent.
  void close();

  Stats stats() const;
  /// Whether frames go through MIT-SHM.
  bool usesSharedMemory() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace kivocam
