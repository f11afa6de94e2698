// The text of `kivocam --help`: the command line, the scenario language in
// brief, and the runner's choices where the language leaves room.

#include "Runner.h"

namespace kivocam {

std::string_view helpText() {
  return R"(kivocam - runs a KivoCamera scenario on the simulated platform and prints its trace

usage:
  kivocam run FILE [--photos DIR] [--realtime]
  kivocam --help

  --photos DIR   write every photo delivered to camera:didCapturePhoto: to
                 DIR/photo-N.jpg (N from 1; DIR is created if missing)
  --realtime     threaded queues and the real clock; advance waits for real

exit status: 0 every line ran; 1 a line was wrong (the trace up to it is
printed, then FILE:LINE: message on standard error); 2 a bad command line or
an unreadable file.

A scenario has one command a line; words are separated by blanks; lines whose
first non-blank character is # are comments. Each line is echoed as "> LINE",
then performed, then every ready block runs (no time passes).

  world platform-version N | screen W H | camera POSITION TYPE [OPTION...] |
        no-cameras | permission STATUS | memory BYTES|unavailable |
        accelerometer on|off | device-orientation N | idle-timer-disabled B
  fail lock [N|always|off] | device-input | add-input on|off |
       add-photo-output on|off | add-video-output on|off | torch |
       photo-connection on|off | photo MODE
  delegate all | none | release | SELECTOR...
  create | create-at X Y | set NAME VALUE | attach | appear | appear-begin |
  appear-end | disappear | disappear-begin | disappear-end | layout |
  move-view X Y W H | hide view|preview B | release
  call OPERATION [ARGUMENT...]
  tap X Y | pinch STATE FACTOR [X Y] | answer grant|deny | alert cancel|settings
  accel X Y Z | accel-error
  notify runtime-error [code=N] [domain=NAME] | runtime-error no-error |
         runtime-error no-userinfo | runtime-error value=TEXT |
         interrupted [reason=V] | interruption-ended | became-active |
         will-resign-active
  device [CAMERA] iso V | device [CAMERA] adjusting-focus B
  advance T
  print PATH

Choices of this runner:
  - Numbers are decimal: an optional sign, digits with an optional fraction
    and an optional exponent (1, -0.5, .5, 2e3); inf and nan are not numbers.
    Whole numbers (counts, codes, raw values) take no fraction.
  - set takes Booleans as true/false, cameraPosition and flashMode as their
    raw integers (0-2), motionManager.motionState as its raw integer
    (0 undetermined, 1 still, 2 moving), sessionPreset and videoGravity as
    the platform's constant names; other texts are refused.
  - call toggleFlash takes the raw flash mode 0-2; setFocusImage gives the
    controller a small opaque 8 x 8 image.
  - set, call (except isAuthorized, isAuthorizedWithBlock), attach, move-view,
    hide and release need a controller: create one first. create needs the
    host to hold none; after release a new controller may be created.
  - move-view and hide view act on the controller's view even when it is not
    attached (reading the view loads it, as on the platform).
  - delegate lines made after create give the controller the new delegate at
    once; delegate none clears it; delegate release only drops the host's
    reference.
  - print camera.* prints nil while there is no controller; the views'
    paths print nil while the view is not loaded or the subview not made;
    object properties print their class name. Besides the documented paths:
    camera.delegate, camera.motionManager.movingThreshold,
    camera.motionManager.motionState and device.ISO.
  - device.* reads the controller's current camera (else the newest
    session's).
  - After the last line nothing more is printed: the host releases the
    controller silently and queued work may run for up to 15 virtual
    seconds before the world is torn down.
  - advance takes at most 86400 s (one day) in one line, and the virtual
    clock (1000 s at the start) cannot pass 1e9 s; a longer advance is a
    wrong line. A number too small to represent (1e-400) reads as 0.
  - A camera's fps=N is from 1 to 1000.
  - A line whose queued work never settles (more than 1,000,000 blocks in
    one instant) is a wrong line.
)";
}

}  // namespace kivocam
