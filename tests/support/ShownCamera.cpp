#include "support/ShownCamera.h"

#include <stdexcept>
#include <utility>

#include "AVFoundation/AVCaptureSession.h"
#include "Dispatch/Executor.h"
#include "KivoPreviewView.h"

namespace kivotest {

ShownCamera::ShownCamera(sim::World& world, Setup setup)
    : world_(world),
      configure_(std::move(setup.configure)),
      delegate_(std::make_shared<RecordingDelegate>(setup.keepPhotos)),
      camera_(KivoCamera::create()) {
  world_.markControllerCreated();
  if (setup.show) {
    attach();
    appear();
  }
}

ShownCamera::~ShownCamera() {
  if (camera_) letGo(1);
}

void ShownCamera::attach() {
  camera_->setDelegate(delegate_);
  if (configure_) configure_(*camera_);
  screen_.attach(camera_, [this] { camera_->addToController(screen_.controller()); });
  world_.runUntilIdle();
}

void ShownCamera::appear() {
  screen_.appear();
  if (world_.mode() == sim::World::Mode::deterministic) {
    world_.runUntilIdle();
    return;
  }
  const auto& preview = camera_->previewView();
  if (!runUntil([&] { return preview->session() && preview->session()->isRunning(); }, 20))
    throw std::runtime_error("the camera's session did not start");
}

void ShownCamera::disappear() {
  screen_.disappear();
  world_.runUntilIdle();
}

void ShownCamera::release() {
  if (screen_.embedded()) screen_.release();
  camera_.reset();
}

bool ShownCamera::letGo(double timeout) {
  if (screen_.appearance() == sim::HostScreen::Appearance::shown) screen_.disappear();
  std::weak_ptr<KivoCamera> watch = camera_;
  release();
  return runUntil([&] { return watch.expired(); }, timeout);
}

bool ShownCamera::runUntil(const std::function<bool()>& done, double timeout) {
  if (auto* loop = world_.threadedExecutor()) return loop->runMainLoopUntil(done, timeout);
  // Virtual time in steps of a millisecond, finer than any camera's frames.
  constexpr double kStep = 0.001;
  world_.runUntilIdle();
  for (double waited = 0; !done() && waited < timeout; waited += kStep) world_.advance(kStep);
  return done();
}

}  // namespace kivotest
