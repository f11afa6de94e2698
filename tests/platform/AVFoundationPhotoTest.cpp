// Photo capture: the delegate's callbacks in order, on the photo output's
// queue and on the virtual timetable; each injected photo fault; the photo
// connection; settings identifiers; the weakly held delegate; and JPEG data
// from sample buffers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "AVFoundation/AVFoundation.h"
#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "Foundation/PlatformTrace.h"
#include "sim/capture/CaptureSimulation.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

struct Callback {
  std::string name;
  double at;  // seconds after the request
  std::string queue;
  std::int64_t id;
  bool error = false;
  std::optional<std::size_t> bytes;  // photo data, for the processed callback
  bool operator==(const Callback&) const = default;
};

class Recorder : public AVCapturePhotoCaptureDelegate {
 public:
  explicit Recorder(double start) : start_(start) {}
  void willBeginCaptureForResolvedSettings(AVCapturePhotoOutput&, const Resolved& r) override {
    record("willBegin", r->uniqueID());
    range = r->photoProcessingTimeRange();
  }
  void willCapturePhotoForResolvedSettings(AVCapturePhotoOutput&, const Resolved& r) override {
    record("willCapture", r->uniqueID());
  }
  void didFinishProcessingPhoto(AVCapturePhotoOutput&, const std::shared_ptr<AVCapturePhoto>& photo,
                                const std::optional<NSError>& error) override {
    record("processed", photo->resolvedSettings()->uniqueID(), error.has_value());
    const auto& data = photo->fileDataRepresentation();
    if (data) {
      callbacks.back().bytes = data->size();
      fileData = *data;
    }
  }
  void didFinishCaptureForResolvedSettings(AVCapturePhotoOutput&, const Resolved& r,
                                           const std::optional<NSError>& error) override {
    record("finished", r->uniqueID(), error.has_value());
  }

  std::vector<Callback> callbacks;
  Data fileData;
  CMTimeRange range;

 private:
  void record(std::string name, std::int64_t id, bool error = false) {
    callbacks.push_back({std::move(name), CACurrentMediaTime() - start_, DispatchQueue::currentLabel(), id, error, {}});
  }
  double start_;
};

class AVPhotoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session->addInput(AVCaptureDeviceInput::createWithDevice(world.camera("back-wide")));
    session->addOutput(output);
    session->startRunning();
  }

  std::shared_ptr<Recorder> capture(const std::shared_ptr<AVCapturePhotoSettings>& settings =
                                        AVCapturePhotoSettings::create()) {
    auto recorder = std::make_shared<Recorder>(executor.now());
    output->capturePhotoWithSettings(settings, recorder);
    return recorder;
  }

  static std::vector<std::string> names(const Recorder& r) {
    std::vector<std::string> n;
    for (const auto& c : r.callbacks) n.push_back(c.name);
    return n;
  }

  DeterministicExecutor executor;
  sim::CaptureSimulation world;
  std::shared_ptr<AVCaptureSession> session = AVCaptureSession::create();
  std::shared_ptr<AVCapturePhotoOutput> output = AVCapturePhotoOutput::create();
};

TEST_F(AVPhotoTest, CallbacksFollowTheTimetableOnTheOutputQueue) {
  auto recorder = capture();
  EXPECT_THAT(recorder->callbacks, IsEmpty());
  EXPECT_EQ(output->capturesInFlight(), 1u);
  executor.advance(0.29);
  EXPECT_EQ(recorder->callbacks.size(), 3u);
  EXPECT_EQ(output->capturesInFlight(), 1u);
  executor.advance(0.01);
  const std::string q = "com.kivocamera.platform.photo-output";
  ASSERT_EQ(recorder->callbacks.size(), 4u);
  const auto& c = recorder->callbacks;
  EXPECT_EQ((std::vector<std::string>{c[0].name, c[1].name, c[2].name, c[3].name}),
            (std::vector<std::string>{"willBegin", "willCapture", "processed", "finished"}));
  const double expectedAt[] = {0, 0.05, 0.25, 0.3};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(c[i].at, expectedAt[i], 1e-9) << c[i].name;
    EXPECT_EQ(c[i].queue, q);
    EXPECT_EQ(c[i].id, 1);
    EXPECT_FALSE(c[i].error);
  }
  ASSERT_TRUE(c[2].bytes);
  ASSERT_GE(recorder->fileData.size(), 4u);
  EXPECT_EQ(recorder->fileData[0], 0xFF);
  EXPECT_EQ(recorder->fileData[1], 0xD8);
  EXPECT_EQ(output->capturesInFlight(), 0u);
  // Processing is announced to end when the photo arrives, well under a second.
  EXPECT_EQ(CMTimeCompare(CMTimeRangeGetEnd(recorder->range), CMTimeMakeWithSeconds(0.25, 600)), 0);
  EXPECT_LT(CMTimeCompare(CMTimeRangeGetEnd(recorder->range), CMTimeMakeWithSeconds(1.0, 1)), 0);
}

struct FaultCase {
  std::string name;
  sim::PhotoFault fault;
  std::vector<std::string> callbacks;
  bool processedError;
  bool data;
  bool finishError;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class AVPhotoFaultTest : public AVPhotoTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(AVPhotoFaultTest, TheNextCaptureGoesWrongThatWayAndTheOneAfterIsWhole) {
  const auto& f = GetParam();
  world.failNextPhoto(f.fault);
  auto faulty = capture();
  executor.advance(1);
  EXPECT_EQ(names(*faulty), f.callbacks);
  for (const auto& c : faulty->callbacks) {
    if (c.name == "processed") {
      EXPECT_EQ(c.error, f.processedError);
      EXPECT_EQ(c.bytes.has_value(), f.data);
    }
    if (c.name == "finished") {
      EXPECT_EQ(c.error, f.finishError);
    }
  }
  EXPECT_EQ(output->capturesInFlight(), f.callbacks.size() == 4 ? 0u : 1u);

  auto next = capture();
  executor.advance(1);
  EXPECT_THAT(names(*next), ElementsAre("willBegin", "willCapture", "processed", "finished"));
  EXPECT_TRUE(next->callbacks[2].bytes);
  EXPECT_FALSE(next->callbacks[2].error || next->callbacks[3].error);
}

const std::vector<std::string> kAll{"willBegin", "willCapture", "processed", "finished"};

INSTANTIATE_TEST_SUITE_P(
    Faults, AVPhotoFaultTest,
    ::testing::Values(FaultCase{"processingError", sim::PhotoFault::processingError, kAll, true, false, false},
                      FaultCase{"finishError", sim::PhotoFault::finishError, kAll, false, true, true},
                      FaultCase{"bothErrors", sim::PhotoFault::bothErrors, kAll, true, false, true},
                      FaultCase{"noData", sim::PhotoFault::noData, kAll, false, false, false},
                      FaultCase{"neverFinishes", sim::PhotoFault::neverFinishes, {"willBegin", "willCapture"}, false,
                                false, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(AVPhotoTest, TheConnectionNeedsACameraAndCanBeTakenAwayByTheWorld) {
  auto connection = output->connectionWithMediaType(AVMediaTypeVideo);
  ASSERT_TRUE(connection);
  EXPECT_EQ(connection, output->videoConnection());
  EXPECT_FALSE(output->connectionWithMediaType(AVMediaTypeAudio));
  world.setPhotoConnectionMissing(true);
  EXPECT_FALSE(output->connectionWithMediaType(AVMediaTypeVideo));
  world.setPhotoConnectionMissing(false);
  session->removeInput(session->inputs().at(0));
  EXPECT_FALSE(output->connectionWithMediaType(AVMediaTypeVideo));
}

TEST_F(AVPhotoTest, ACaptureWithoutConnectionEndsWithErrorsAndNoData) {
  world.setPhotoConnectionMissing(true);
  auto recorder = capture();
  executor.advance(1);
  ASSERT_THAT(names(*recorder), ElementsAre("willBegin", "willCapture", "processed", "finished"));
  EXPECT_TRUE(recorder->callbacks[2].error);
  EXPECT_FALSE(recorder->callbacks[2].bytes);
  EXPECT_TRUE(recorder->callbacks[3].error);
}

TEST_F(AVPhotoTest, TheOutputHoldsItsDelegateWeakly) {
  auto recorder = capture();
  std::weak_ptr<Recorder> weak = recorder;
  executor.advance(0.1);
  EXPECT_EQ(recorder->callbacks.size(), 2u);
  recorder.reset();
  EXPECT_TRUE(weak.expired());
  executor.advance(1);  // the remaining callbacks find nobody and are skipped
  EXPECT_EQ(output->capturesInFlight(), 0u);
}

TEST_F(AVPhotoTest, SettingsCountFromOneInEachWorldAndAreTraced) {
  std::vector<std::string> calls;
  ScopedPlatformCallSink sink([&](std::string_view r, std::string_view s, std::string_view a) {
    std::string line(r);
    line.append(" ").append(s).append(" ").append(a);
    calls.push_back(line);
  });
  auto first = AVCapturePhotoSettings::create();
  EXPECT_EQ(first->flashMode(), AVCaptureFlashMode::off);
  EXPECT_FALSE(first->isHighResolutionPhotoEnabled());
  EXPECT_FALSE(first->availablePreviewPhotoPixelFormatTypes().empty());
  auto second = AVCapturePhotoSettings::create();
  second->setFlashMode(AVCaptureFlashMode::automatic);
  second->setHighResolutionPhotoEnabled(true);
  capture(first);
  capture(second);
  output->setHighResolutionCaptureEnabled(true);
  output->setLivePhotoCaptureEnabled(output->isLivePhotoCaptureSupported());
  output->videoConnection()->setVideoOrientation(AVCaptureVideoOrientation::landscapeLeft);
  EXPECT_THAT(calls, ElementsAre("photo-output capturePhotoWithSettings:delegate: id=1 flash=0 highres=false",
                                 "photo-output capturePhotoWithSettings:delegate: id=2 flash=2 highres=true",
                                 "photo-output setHighResolutionCaptureEnabled: true",
                                 "photo-output setLivePhotoCaptureEnabled: true",
                                 "photo-connection setVideoOrientation: 4"));
  EXPECT_TRUE(output->isLivePhotoCaptureEnabled());

  sim::CaptureSimulation nextWorld;  // installed over the first one
  EXPECT_EQ(AVCapturePhotoSettings::create()->uniqueID(), 1);
}

TEST(AVPhotoOutput, JPEGDataComesOnlyFromValidJPEGSampleBuffers) {
  const Data jpeg{0xFF, 0xD8, 0xFF, 0xD9};
  const CMTime t = CMTimeMake(1, 1);
  auto good = CMSampleBuffer::create(t, kCMVideoCodecType_JPEG, jpeg);
  EXPECT_EQ(AVCapturePhotoOutput::JPEGPhotoDataRepresentationForJPEGSampleBuffer(good, nullptr), jpeg);
  auto notJPEG = CMSampleBuffer::create(t, kCVPixelFormatType_32BGRA, jpeg);
  auto noBytes = CMSampleBuffer::create(t, kCMVideoCodecType_JPEG);
  auto wrongMarker = CMSampleBuffer::create(t, kCMVideoCodecType_JPEG, Data{0x00, 0xD8});
  auto invalid = CMSampleBuffer::create(t, kCMVideoCodecType_JPEG, jpeg);
  invalid->invalidate();
  for (const auto& buffer : {CMSampleBufferRef(), notJPEG, noBytes, wrongMarker, invalid})
    EXPECT_FALSE(AVCapturePhotoOutput::JPEGPhotoDataRepresentationForJPEGSampleBuffer(buffer, good));
}

}  // namespace
