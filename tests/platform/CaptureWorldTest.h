#pragma once
// Shared by the capture tests: a deterministic executor with the simulated
// device layer, the platform calls made meanwhile ("session stopRunning"), a
// session with a photo output, and delegates that record photo callbacks and
// video frames.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "AVFoundation/AVFoundation.h"
#include "Dispatch/Executor.h"
#include "Foundation/PlatformTrace.h"
#include "sim/capture/CaptureSimulation.h"

// One capture's callbacks, with the seconds since the request and the queue.
class PhotoRecorder : public AVCapturePhotoCaptureDelegate {
 public:
  struct Call {
    std::string name;
    double at;
    std::string queue;
    std::optional<NSError> error;
    std::optional<Data> data;  // of `processed`
  };
  void willBeginCaptureForResolvedSettings(AVCapturePhotoOutput&, const Resolved&) override { record("willBegin"); }
  void willCapturePhotoForResolvedSettings(AVCapturePhotoOutput&, const Resolved&) override { record("willCapture"); }
  void didFinishProcessingPhoto(AVCapturePhotoOutput&, const std::shared_ptr<AVCapturePhoto>& photo,
                                const std::optional<NSError>& error) override {
    record("processed", error, photo->fileDataRepresentation());
  }
  void didFinishCaptureForResolvedSettings(AVCapturePhotoOutput&, const Resolved&,
                                           const std::optional<NSError>& error) override {
    record("finished", error);
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& c : calls) out.push_back(c.name);
    return out;
  }
  const Call& operator[](std::string_view name) const {
    for (const auto& c : calls)
      if (c.name == name) return c;
    throw std::out_of_range("no " + std::string(name) + " callback");
  }

  std::vector<Call> calls;

 private:
  void record(const char* name, std::optional<NSError> error = std::nullopt, std::optional<Data> data = std::nullopt) {
    calls.push_back({name, CACurrentMediaTime() - start_, DispatchQueue::currentLabel(), error, data});
  }
  const double start_ = CACurrentMediaTime();
};

class FrameRecorder : public AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  void captureOutput(AVCaptureOutput&, const CMSampleBufferRef& frame, AVCaptureConnection&) override {
    frames.push_back(frame);
  }
  std::vector<CMSampleBufferRef> frames;
};

class CaptureWorldTest : public ::testing::Test {
 protected:
  std::shared_ptr<AVCaptureDeviceInput> inputFor(std::string_view camera) {
    return AVCaptureDeviceInput::createWithDevice(world.camera(camera));
  }
  /// The back camera and the photo output in the session, running.
  void runBackCamera() {
    session->addInput(inputFor("back-wide"));
    session->addOutput(photoOutput);
    session->startRunning();
  }
  std::shared_ptr<PhotoRecorder> capture() {
    auto recorder = std::make_shared<PhotoRecorder>();
    photoOutput->capturePhotoWithSettings(AVCapturePhotoSettings::create(), recorder);
    return recorder;
  }

  DeterministicExecutor executor;
  sim::CaptureSimulation world;
  std::vector<std::string> calls;
  ScopedPlatformCallSink sink{[this](std::string_view receiver, std::string_view selector, std::string_view args) {
    calls.push_back(std::string(receiver).append(" ").append(selector).append(args.empty() ? "" : " ").append(args));
  }};
  std::shared_ptr<AVCaptureSession> session = AVCaptureSession::create();
  std::shared_ptr<AVCapturePhotoOutput> photoOutput = AVCapturePhotoOutput::create();
};
