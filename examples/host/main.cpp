// A host application embedding KivoCamera: it shows the camera in its screen,
// takes one photo and lets the camera go. The simulated world stands in for
// the device. Exits 0 when the photo came back as JPEG bytes and the released
// camera was destroyed; otherwise prints what went wrong and exits 1.

#include <cstdio>
#include <memory>
#include <optional>

#include "KivoCamera.h"
#include "KivoCameraDelegate.h"
#include "sim/HostScreen.h"
#include "sim/World.h"

namespace {

// The host's delegate implements the one required callback, on the main queue.
class PhotoReceiver : public KivoCameraDelegate {
 public:
  void cameraDidCapturePhoto(KivoCamera&, const std::optional<Data>& photo) override {
    ++deliveries;
    this->photo = photo;
  }

  int deliveries = 0;
  std::optional<Data> photo;
};

// A JPEG file starts with the start-of-image marker and ends with end-of-image.
bool isJpeg(const Data& bytes) {
  const auto n = bytes.size();
  return n > 4 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[n - 2] == 0xFF && bytes[n - 1] == 0xD9;
}

int fail(const char* message) {
  std::fprintf(stderr, "kivocamera_host: %s\n", message);
  return 1;
}

}  // namespace

int main() {
  sim::World world;          // the device: back and front cameras, access granted
  sim::HostScreen screen;    // the host's screen and its root controller
  auto receiver = std::make_shared<PhotoReceiver>();  // the camera holds it weakly

  auto camera = KivoCamera::create();
  camera->setDelegate(receiver);
  screen.attach(camera, [&] { camera->addToController(screen.controller()); });
  screen.appear();
  world.runUntilIdle();  // the session is configured and started on its queue

  camera->capturePhoto();
  world.advance(1.0);  // the photo arrives a few hundred milliseconds later
  if (receiver->deliveries != 1) return fail("expected exactly one photo callback");
  if (!receiver->photo) return fail("the photo callback carried no data");
  if (!isJpeg(*receiver->photo)) return fail("the photo is not a JPEG file");

  const std::weak_ptr<KivoCamera> watch = camera;
  screen.disappear();
  screen.release();
  camera.reset();
  world.advance(1.0);  // the queued session stop runs and drops the last reference
  if (!watch.expired()) return fail("the released camera was not destroyed");

  std::printf("kivocamera_host: took a %zu-byte JPEG photo and released the camera\n", receiver->photo->size());
  return 0;
}
