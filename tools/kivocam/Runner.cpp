#include "Runner.h"

#include <algorithm>
#include <new>
#include <ostream>

#include "AVFoundation/AVCaptureBackend.h"
#include "KivoCamera.h"
#include "KivoCameraInspector.h"
#include "RealCameras.h"
#include "RunnerDelegate.h"
#include "sim/HostScreen.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"

namespace kivocam {

namespace {

// How long the end of a run lets queued work finish, in virtual seconds.
constexpr double kDrainSeconds = 15;

}  // namespace

// --- Set-up and end -------------------------------------------------------------

Runner::Runner(RunnerOptions options, std::ostream& output)
    : options_(std::move(options)), output_(output) {
  if (options_.realCamera) options_.realtime = true;
  world_ = std::make_unique<sim::World>(options_.realtime ? sim::World::Mode::realtime
                                                          : sim::World::Mode::deterministic);
  if (options_.realCamera)
    realCamera_ = std::make_unique<ScopedAVCaptureBackend>(realCameraLayer(*options_.realCamera));
  world_->trace().setRecording(options_.recordTrace);
  world_->setWorkBudget({.videoFrames = options_.maxVideoFrames,
                         .accelerometerUpdates = options_.maxAccelerometerUpdates});
  world_->trace().setSink([this](std::string_view line) {
    kivo::MutexLock lock(outputMutex_);
    output_ << line << '\n';
  });
  if (options_.photosDirectory) photos_ = std::make_unique<PhotoWriter>(*options_.photosDirectory);
  host_ = std::make_unique<sim::HostScreen>();
  delegate_ = newDelegate(std::nullopt);
}

Runner::~Runner() {
  try {
    finish();
  } catch (...) {
    // Unwinding from a failed run (out of memory, say): the members go anyway.
  }
}

void Runner::finish() {
  if (finished_) return;
  finished_ = true;
  // Nothing after the last line belongs to the trace.
  world_->trace().setSink({});
  world_->trace().setRecording(false);
  if (host_->embedded()) host_->release();
  camera_.reset();
  delegate_.reset();
  drain();
  host_.reset();
  realCamera_.reset();
  world_.reset();
  kivo::MutexLock lock(outputMutex_);
  output_.flush();
}

void Runner::flushOutput() {
  kivo::MutexLock lock(outputMutex_);
  if (output_.rdbuf() == nullptr) return;  // a stream without a buffer discards the trace
  if (!output_.flush()) throw RunFailure("cannot write the trace");
}

void Runner::drain() {
  try {
    if (auto* executor = world_->deterministicExecutor()) {
      // Let delayed work come due, but stop as soon as nothing is waiting.
      double waited = 0;
      executor->runUntilIdle();
      while (executor->pendingBlockCount() > 0 && waited < kDrainSeconds) {
        executor->advance(1);
        waited += 1;
      }
    } else {
      world_->runUntilIdle();
    }
  } catch (const RunBudgetExceeded&) {
    // The run is over; whatever still floods the queues is dropped with them.
    // Anything else (out of memory, a photo that cannot be written) ends the
    // run as it would have during a line.
  }
}

std::int64_t Runner::photosDelivered() const { return delivered_.load(std::memory_order_relaxed); }

void Runner::emit(std::string line) { world_->trace().add(std::move(line)); }

std::shared_ptr<KivoCameraDelegate> Runner::newDelegate(std::optional<std::set<KivoCameraDelegateSelector>> selectors) {
  sim::Trace* trace = &world_->trace();
  return std::make_shared<ScenarioDelegate>([trace](std::string line) { trace->add(std::move(line)); },
                                            std::move(selectors), photos_.get(), &delivered_);
}

// --- Lines ----------------------------------------------------------------------

void Runner::run(std::string_view line) {
  if (finished_) throw std::logic_error("kivocam: the run has finished");
  const auto words = splitWords(line);
  if (words.empty()) return;
  emit("> " + joinWords(words));
  flushOutput();
  try {
    perform(words);
    world_->runUntilIdle();
  } catch (const std::bad_alloc&) {
    throw;  // out of memory is the machine's failure, not the line's
  } catch (const ScenarioError&) {
    flushOutput();
    throw;
  } catch (const RunFailure&) {
    flushOutput();
    throw;  // a file of the run's that cannot be written, not the line's fault
  } catch (const RunBudgetExceeded& e) {
    flushOutput();
    throw ScenarioError(std::string("the queues never settle: ") + e.what());
  } catch (const sim::WorkBudgetExceeded& e) {
    flushOutput();
    throw ScenarioError(words.front() + ": " + e.what());
  } catch (const std::exception& e) {
    // The host screen refuses what makes no sense (a gesture that reaches
    // nothing, an appearance out of order) with a message that names the
    // problem.
    flushOutput();
    throw ScenarioError(e.what());
  }
  flushOutput();
  if (photos_) {
    if (auto error = photos_->takeError()) throw RunFailure(*error);
  }
}

void Runner::perform(const std::vector<std::string>& words) {
  const Match match = matchLine(words);
  if (realCamera_ && simulatesCamera(*match.command))
    throw ScenarioError(std::string(match.command->name) +
                        ": needs the simulated camera (this run uses a real one, --camera)");
  if (const auto problem = unmet(match.command->needs))
    throw ScenarioError(std::string(match.command->name) + ": " + std::string(*problem));
  match.command->perform(*this, match.args);
}

std::optional<std::string_view> Runner::unmet(Needs needs) const {
  bool met = true;
  switch (needs) {
    case Needs::nothing: break;
    case Needs::controller: met = camera_ != nullptr; break;
    case Needs::noController: met = camera_ == nullptr; break;
    case Needs::beforeCreate: met = !world_->controllerCreated(); break;
    case Needs::session: met = newestSession() != nullptr; break;
    case Needs::openRequest: met = world_->capture().hasOpenPermissionRequest(); break;
    case Needs::alert: met = host_->presentedAlert() != nullptr; break;
  }
  if (met) return std::nullopt;
  return needsMessage(needs);
}

sim::CaptureSimulation& Runner::capture() { return world_->capture(); }

std::shared_ptr<AVCaptureSession> Runner::newestSession() const {
  // A real device layer does not tell the world of sessions: the
  // controller's is the one there is.
  if (auto session = world_->capture().newestSession()) return session;
  return camera_ ? KivoCameraInspector::session(*camera_) : nullptr;
}

void Runner::useDelegate(std::shared_ptr<KivoCameraDelegate> delegate) {
  delegate_ = std::move(delegate);
  if (camera_) camera_->setDelegate(delegate_);
}

// --- Whole scenarios ------------------------------------------------------------------

ScenarioResult runScenario(std::string_view text, const RunnerOptions& options, std::ostream& output) {
  ScenarioResult result;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  Runner runner(options, output);
  int number = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    ++number;
    const std::string_view line = text.substr(start, end - start);
    try {
      runner.run(line);
    } catch (const ScenarioError& error) {
      result.status = 1;
      result.line = number;
      result.message = error.what();
      break;
    }
    if (end == text.size()) break;
    start = end + 1;
  }
  runner.finish();
  return result;
}

}  // namespace kivocam
