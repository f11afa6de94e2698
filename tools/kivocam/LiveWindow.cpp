#include "LiveWindow.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "CoreGraphics/CGContext.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/WhileAlive.h"
#include "KivoHostSurface.h"
#include "UIKit/UIApplication.h"

// Last: Xlib defines macros (None, Bool, Status, True…) the headers above
// must not see.
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/keysym.h>

namespace kivocam {

namespace {

// The display's refresh rate as far as core Xlib knows.
constexpr double kFrameRate = 60;
constexpr double kFramePeriod = 1 / kFrameRate;
// Longest pause between two resets of the screen saver's timer, in seconds.
constexpr double kLongestKeepAwakePeriod = 30;

// Xlib reports protocol errors to one handler for the whole process. While
// a request is checked (see `checked`) its error is kept here; any other is
// reported and the window carries on.
int* checkedError = nullptr;

int onError(Display* display, XErrorEvent* event) {
  if (checkedError) {
    *checkedError = event->error_code;
    return 0;
  }
  char text[160] = {};
  XGetErrorText(display, event->error_code, text, sizeof text);
  std::fprintf(stderr, "kivocam: the display refused a request (%d): %s\n", event->request_code, text);
  return 0;
}

// Runs `request` and waits for the server to have handled it; its error
// code, or 0.
template <class Request>
int checked(Display* display, Request&& request) {
  int error = 0;
  checkedError = &error;
  request();
  XSync(display, False);
  checkedError = nullptr;
  return error;
}

int connectionLost(Display*) {
  static constexpr char kMessage[] = "kivocam: lost the connection to the display\n";
  (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  std::_Exit(3);
}

// The shift of an 8-bit channel mask (0xFF0000 -> 16), or -1.
int shiftOf(unsigned long mask) {
  for (int shift = 0; shift <= 24; shift += 8)
    if (mask == 0xFFul << shift) return shift;
  return -1;
}

}  // namespace

struct LiveWindow::State {
  Display* display = nullptr;
  XVisualInfo visual{};
  KivoHostSurface::PixelOrder order = KivoHostSurface::PixelOrder::bgra;
  XErrorHandler previousErrorHandler = nullptr;
  XIOErrorHandler previousIOErrorHandler = nullptr;

  // The window, while open.
  KivoHostSurface* surface = nullptr;
  std::function<void(const LiveInput&)> onInput;
  Window window = 0;
  Colormap colormap = 0;
  GC gc = nullptr;
  Atom deleteWindow = 0;
  Atom frameDone = 0;  // the property whose change acknowledges an XPutImage
  int width = 0, height = 0;
  double scale = 1;
  bool mapped = false;
  bool exposed = false;  // the server lost the window's pixels: put them again

  // The frame's pixels: a shared segment, or memory of ours.
  XImage* image = nullptr;
  XShmSegmentInfo shm{};
  bool shared = false;
  int completionEvent = -1;
  std::vector<char> pixels;
  bool inFlight = false;
  Stats stats;

  double keepAwakePeriod = kLongestKeepAwakePeriod;
  double lastKeepAwake = -1e9;

  ~State() {
    closeWindow();
    if (!display) return;
    XCloseDisplay(display);
    XSetErrorHandler(previousErrorHandler);
    XSetIOErrorHandler(previousIOErrorHandler);
  }

  void closeWindow() {
    if (!window) return;
    destroyImage();
    XFreeGC(display, gc);
    XDestroyWindow(display, window);
    XFreeColormap(display, colormap);
    XSync(display, False);
    window = 0;
    surface = nullptr;
    onInput = nullptr;
  }

  void createImage() {
    if (XShmQueryExtension(display) && ImageByteOrder(display) == LSBFirst) createSharedImage();
    if (image) return;
    image = XCreateImage(display, visual.visual, static_cast<unsigned>(visual.depth), ZPixmap, 0, nullptr,
                         static_cast<unsigned>(width), static_cast<unsigned>(height), 32, 0);
    if (!image) throw std::runtime_error("the display cannot make an image of the window's size");
    // Pixels as we lay them out in memory; Xlib converts for the server.
    image->byte_order = LSBFirst;
    pixels.assign(static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(height), 0);
    image->data = pixels.data();
  }

  void createSharedImage() {
    image = XShmCreateImage(display, visual.visual, static_cast<unsigned>(visual.depth), ZPixmap, nullptr, &shm,
                            static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (!image) return;
    const auto bytes = static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(height);
    shm.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    void* address = shm.shmid >= 0 ? shmat(shm.shmid, nullptr, 0) : reinterpret_cast<void*>(-1);
    bool attached = false;
    if (address != reinterpret_cast<void*>(-1)) {
      shm.shmaddr = image->data = static_cast<char*>(address);
      shm.readOnly = False;
      // A remote server cannot reach the segment and refuses it.
      Bool accepted = False;
      attached = checked(display, [&] { accepted = XShmAttach(display, &shm); }) == 0 && accepted;
    }
    // Marked for removal at once: it goes with the last detach, however the
    // process ends.
    if (shm.shmid >= 0) shmctl(shm.shmid, IPC_RMID, nullptr);
    if (attached) {
      shared = true;
      completionEvent = XShmGetEventBase(display) + ShmCompletion;
      return;
    }
    if (address != reinterpret_cast<void*>(-1)) shmdt(address);
    image->data = nullptr;
    XDestroyImage(image);
    image = nullptr;
    shm = {};
  }

  void destroyImage() {
    if (!image) return;
    if (shared) {
      XShmDetach(display, &shm);
      XSync(display, False);
      shmdt(shm.shmaddr);
    }
    image->data = nullptr;  // ours, not Xlib's to free
    XDestroyImage(image);
    image = nullptr;
  }

  // Everything the server has sent so far.
  void pump() {
    std::vector<LiveInput> inputs;
    while (window && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      handle(event, inputs);
    }
    // After the events are read: a handler may do anything but close.
    for (const LiveInput& input : inputs)
      if (onInput) onInput(input);
  }

  CGPoint pointOf(int x, int y) const { return {x / scale, y / scale}; }

  void handle(const XEvent& event, std::vector<LiveInput>& inputs) {
    if (event.type == completionEvent) {
      inFlight = false;
      return;
    }
    switch (event.type) {
      case Expose:
        if (event.xexpose.count == 0) exposed = true;
        break;
      case MapNotify: mapped = true; break;
      case UnmapNotify: mapped = false; break;
      case PropertyNotify:
        if (event.xproperty.atom == frameDone) inFlight = false;
        break;
      case ButtonPress: {
        const CGPoint point = pointOf(event.xbutton.x, event.xbutton.y);
        if (event.xbutton.button == Button1) inputs.push_back({LiveInput::Kind::click, point});
        if (event.xbutton.button == Button4) inputs.push_back({LiveInput::Kind::wheelUp, point});
        if (event.xbutton.button == Button5) inputs.push_back({LiveInput::Kind::wheelDown, point});
        break;
      }
      case KeyPress: {
        XKeyEvent key = event.xkey;
        char name = 0;
        switch (XLookupKeysym(&key, 0)) {
          case XK_space: name = ' '; break;
          case XK_c: name = 'c'; break;
          case XK_f: name = 'f'; break;
          case XK_q: name = 'q'; break;
          case XK_t: name = 't'; break;
          case XK_Escape: name = '\x1b'; break;
          default: break;
        }
        if (name != 0) inputs.push_back({LiveInput::Kind::key, {}, name});
        break;
      }
      case ClientMessage:
        if (event.xclient.format == 32 && static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow)
          inputs.push_back({LiveInput::Kind::close});
        break;
      default: break;
    }
  }

  // The surface's picture into the image, and the image to the window.
  void draw() {
    const double start = CACurrentMediaTime();
    surface->render(reinterpret_cast<std::uint8_t*>(image->data), width, height,
                    static_cast<std::size_t>(image->bytes_per_line), order);
    put();
    stats.drawSeconds += CACurrentMediaTime() - start;
  }

  void put() {
    if (shared) {
      XShmPutImage(display, window, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width),
                   static_cast<unsigned>(height), True);
    } else {
      XPutImage(display, window, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
      // Its acknowledgement: the server handles requests in order.
      const unsigned long frame = static_cast<unsigned long>(stats.drawn);
      XChangeProperty(display, window, frameDone, XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&frame), 1);
    }
    inFlight = true;
    exposed = false;
    ++stats.drawn;
    XFlush(display);
  }

  void keepAwake() {
    if (!UIApplication::shared().isIdleTimerDisabled()) return;
    const double now = CACurrentMediaTime();
    if (now - lastKeepAwake < keepAwakePeriod) return;
    lastKeepAwake = now;
    XResetScreenSaver(display);
  }

  void tick() {
    pump();
    if (!window) return;
    keepAwake();
    if (!mapped || !(exposed || surface->needsRedraw())) return;
    if (inFlight) {
      ++stats.skipped;
      return;
    }
    draw();
  }

  // Ticks on a fixed cadence from `at`; a tick that comes late does not
  // move the ones after it, and ticks missed meanwhile are dropped.
  static void schedule(const std::shared_ptr<State>& state, double at) {
    const double delay = std::max(0.0, at - CACurrentMediaTime());
    auto tick = [at](const std::shared_ptr<State>& state) {
      if (!state->window) return;
      state->tick();
      if (!state->window) return;
      double next = at + kFramePeriod;
      if (const double now = CACurrentMediaTime(); next < now)
        next += std::ceil((now - next) / kFramePeriod) * kFramePeriod;
      schedule(state, next);
    };
    DispatchQueue::main().asyncAfter(delay, whileAlive(std::weak_ptr<State>(state), tick));
  }
};

LiveWindow::LiveWindow() : state_(std::make_shared<State>()) {
  KIVO_ASSERT_MAIN_THREAD();
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) throw DisplayUnavailable("no display: DISPLAY is not set (kivocam live shows an X window)");
  State& s = *state_;
  s.display = XOpenDisplay(name);
  if (!s.display) throw DisplayUnavailable(std::string("cannot open the display \"") + name + "\"");
  s.previousErrorHandler = XSetErrorHandler(onError);
  s.previousIOErrorHandler = XSetIOErrorHandler(connectionLost);

  const int screen = DefaultScreen(s.display);
  int formats = 0;
  bool fourBytes = false;
  if (XPixmapFormatValues* list = XListPixmapFormats(s.display, &formats)) {
    for (int i = 0; i < formats; ++i) fourBytes = fourBytes || (list[i].depth == 24 && list[i].bits_per_pixel == 32);
    XFree(list);
  }
  const bool trueColor = XMatchVisualInfo(s.display, screen, 24, TrueColor, &s.visual) != 0;
  const int red = trueColor ? shiftOf(s.visual.red_mask) : -1;
  const int green = trueColor ? shiftOf(s.visual.green_mask) : -1;
  const int blue = trueColor ? shiftOf(s.visual.blue_mask) : -1;
  if (!fourBytes || green != 8 || !((red == 16 && blue == 0) || (red == 0 && blue == 16)))
    throw DisplayUnavailable(std::string("the display \"") + name +
                             "\" has no 24-bit TrueColor visual with 32-bit pixels");
  s.order = red == 16 ? KivoHostSurface::PixelOrder::bgra : KivoHostSurface::PixelOrder::rgba;
}

LiveWindow::~LiveWindow() { KIVO_ASSERT_MAIN_THREAD(); }

void LiveWindow::show(KivoHostSurface& surface, const std::string& title,
                      std::function<void(const LiveInput&)> onInput) {
  KIVO_ASSERT_MAIN_THREAD();
  State& s = *state_;
  if (s.window) throw std::logic_error("LiveWindow::show: the window is open already");
  s.surface = &surface;
  s.onInput = std::move(onInput);
  s.scale = surface.scale();
  s.width = static_cast<int>(std::ceil(surface.size().width * s.scale - 1e-9));
  s.height = static_cast<int>(std::ceil(surface.size().height * s.scale - 1e-9));

  Display* d = s.display;
  const Window root = RootWindow(d, s.visual.screen);
  XSetWindowAttributes attributes{};
  s.colormap = XCreateColormap(d, root, s.visual.visual, AllocNone);
  attributes.colormap = s.colormap;
  attributes.background_pixmap = None;  // nothing drawn over the picture on exposure
  attributes.border_pixel = 0;
  attributes.event_mask = ExposureMask | StructureNotifyMask | KeyPressMask | ButtonPressMask | PropertyChangeMask;
  s.window = XCreateWindow(d, root, 0, 0, static_cast<unsigned>(s.width), static_cast<unsigned>(s.height), 0,
                           s.visual.depth, InputOutput, s.visual.visual,
                           CWColormap | CWBackPixmap | CWBorderPixel | CWEventMask, &attributes);
  s.gc = XCreateGC(d, s.window, 0, nullptr);

  XStoreName(d, s.window, title.c_str());
  XClassHint classHint{const_cast<char*>("kivocam"), const_cast<char*>("kivocam")};
  XSetClassHint(d, s.window, &classHint);
  // The host screen has one size: the window keeps it.
  if (XSizeHints* hints = XAllocSizeHints()) {
    hints->flags = PMinSize | PMaxSize;
    hints->min_width = hints->max_width = s.width;
    hints->min_height = hints->max_height = s.height;
    XSetWMNormalHints(d, s.window, hints);
    XFree(hints);
  }
  s.deleteWindow = XInternAtom(d, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(d, s.window, &s.deleteWindow, 1);
  s.frameDone = XInternAtom(d, "_KIVOCAM_FRAME", False);

  s.createImage();

  int timeout = 0, interval = 0, blanking = 0, exposures = 0;
  XGetScreenSaver(d, &timeout, &interval, &blanking, &exposures);
  if (timeout > 0) s.keepAwakePeriod = std::clamp(timeout / 2.0, 1.0, kLongestKeepAwakePeriod);

  XMapWindow(d, s.window);
  XFlush(d);
  State::schedule(state_, CACurrentMediaTime());
}

bool LiveWindow::isMapped() const {
  KIVO_ASSERT_MAIN_THREAD();
  return state_->mapped;
}

Data LiveWindow::screenshotPNG() {
  KIVO_ASSERT_MAIN_THREAD();
  State& s = *state_;
  if (!s.window) throw std::logic_error("LiveWindow::screenshotPNG: the window is not open");
  // The frame in flight has been handled once the server answers.
  XSync(s.display, False);
  s.pump();
  if (!s.window) throw std::logic_error("LiveWindow::screenshotPNG: the window was closed");
  s.draw();
  XImage* shot = nullptr;
  const int error = checked(s.display, [&] {
    shot = XGetImage(s.display, s.window, 0, 0, static_cast<unsigned>(s.width), static_cast<unsigned>(s.height),
                     AllPlanes, ZPixmap);
  });
  if (!shot || error != 0) {
    if (shot) XDestroyImage(shot);
    throw std::runtime_error("the display does not give the window's pixels (is it wholly on its screen?)");
  }
  const int red = shiftOf(s.visual.red_mask), green = shiftOf(s.visual.green_mask), blue = shiftOf(s.visual.blue_mask);
  std::vector<std::uint8_t> rgba(static_cast<std::size_t>(s.width) * static_cast<std::size_t>(s.height) * 4);
  std::uint8_t* to = rgba.data();
  for (int y = 0; y < s.height; ++y) {
    for (int x = 0; x < s.width; ++x, to += 4) {
      const unsigned long pixel = XGetPixel(shot, x, y);
      to[0] = static_cast<std::uint8_t>(pixel >> red);
      to[1] = static_cast<std::uint8_t>(pixel >> green);
      to[2] = static_cast<std::uint8_t>(pixel >> blue);
      to[3] = 0xFF;
    }
  }
  XDestroyImage(shot);
  CGContext context(s.width, s.height);
  context.drawImage(CGRectMake(0, 0, s.width, s.height),
                    CGImage(s.width, s.height, static_cast<std::size_t>(s.width) * 4, CGImagePixelLayout::rgbaOpaque,
                            rgba.data()));
  auto png = CGBitmapContextCreatePNGData(context);
  if (!png) throw std::runtime_error("cannot encode the screenshot");
  return std::move(*png);
}

void LiveWindow::close() {
  KIVO_ASSERT_MAIN_THREAD();
  state_->closeWindow();
}

LiveWindow::Stats LiveWindow::stats() const {
  KIVO_ASSERT_MAIN_THREAD();
  return state_->stats;
}

bool LiveWindow::usesSharedMemory() const {
  KIVO_ASSERT_MAIN_THREAD();
  return state_->shared;
}

}  // namespace kivocam
