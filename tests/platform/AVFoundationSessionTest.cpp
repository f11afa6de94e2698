// Sessions and their outputs over the simulated layer: inputs and outputs and
// the layer's refusals, a failed open, notifications, video frames at the
// camera's rate in the output's format, the preview's picture, and photos on
// the output's queue and timetable, with faults and without a connection.

#include "Foundation/NotificationCenter.h"
#include "platform/CaptureWorldTest.h"
#include "sim/capture/CameraSetup.h"

using ::testing::Each;
using ::testing::ElementsAre;

namespace {

using AVSessionTest = CaptureWorldTest;

TEST_F(AVSessionTest, OneCameraPerSessionAndEachOutputInOneSessionOncePerKind) {
  auto back = inputFor("back-wide"), front = inputFor("front-wide");
  session->addInput(back);
  EXPECT_FALSE(session->canAddInput(back) || session->canAddInput(front) || session->canAddInput(nullptr));
  session->addInput(front);  // refused, but traced
  session->removeInput(back);
  session->addInput(front);
  EXPECT_THAT(session->inputs(), ElementsAre(front));
  EXPECT_EQ(session->videoDevice(), world.camera("front-wide"));

  session->addOutput(photoOutput);
  auto other = AVCaptureSession::create();
  EXPECT_FALSE(other->canAddOutput(photoOutput) || session->canAddOutput(AVCapturePhotoOutput::create()));
  EXPECT_TRUE(session->canAddOutput(AVCaptureVideoDataOutput::create()));
  session->removeOutput(photoOutput);
  EXPECT_FALSE(photoOutput->session());
  EXPECT_TRUE(other->canAddOutput(photoOutput));
  EXPECT_THAT(calls, ElementsAre("session addInput: back-wide", "session addInput: front-wide",
                                 "session removeInput: back-wide", "session addInput: front-wide",
                                 "session addOutput: photo"));
}

struct RefusalCase {
  const char* name;
  void (sim::CaptureSimulation::*refuse)(bool);
  bool input, photo, video;  // refused while on
};

class AVRefusalTest : public AVSessionTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(AVRefusalTest, TheLayerRefusesOnlyWhatItNamesAndOnlyWhileItDoes) {
  const auto& c = GetParam();
  auto input = inputFor("back-wide");
  auto video = AVCaptureVideoDataOutput::create();
  (world.*c.refuse)(true);
  EXPECT_EQ(session->canAddInput(input), !c.input);
  EXPECT_EQ(session->canAddOutput(video), !c.video);
  session->addInput(input);
  session->addOutput(photoOutput);
  session->addOutput(video);
  EXPECT_EQ(session->inputs().size() + session->outputs().size(), 3u - c.input - c.photo - c.video);
  EXPECT_EQ(calls.size(), 3u);
  (world.*c.refuse)(false);
  EXPECT_EQ(session->canAddInput(input), c.input);
  EXPECT_EQ(session->canAddOutput(video), c.video);
}

INSTANTIATE_TEST_SUITE_P(
    Layer, AVRefusalTest,
    ::testing::Values(RefusalCase{"input", &sim::CaptureSimulation::setRefusesInputs, true, false, false},
                      RefusalCase{"photo", &sim::CaptureSimulation::setRefusesPhotoOutput, false, true, false},
                      RefusalCase{"video", &sim::CaptureSimulation::setRefusesVideoOutput, false, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AVSessionTest, ACameraThatFailsToOpenGivesNoInputButAnError) {
  world.failNextDeviceInput();
  NSError error, missing;
  EXPECT_FALSE(AVCaptureDeviceInput::createWithDevice(world.camera("back-wide"), &error));
  EXPECT_EQ(error.domain, "AVFoundationErrorDomain");
  EXPECT_EQ(error.code, AVErrorDeviceNotConnected);
  EXPECT_TRUE(inputFor("back-wide"));  // the fault is spent
  EXPECT_FALSE(AVCaptureDeviceInput::createWithDevice(nullptr, &missing));
  EXPECT_EQ(missing.code, AVErrorDeviceNotConnected);
}

TEST_F(AVSessionTest, NotificationsGoToTheNewestSessionOnThePlatformQueue) {
  auto newer = AVCaptureSession::create();
  std::vector<std::string> seen;
  auto observer = std::make_shared<int>(0);
  NotificationCenter::defaultCenter().addObserver(observer, [&](const Notification& n) {
    const auto& error = std::get<NSError>(n.userInfo.value().at(std::string(AVCaptureSessionErrorKey)));
    seen.push_back(error.description() + " @" + DispatchQueue::currentLabel());
  }, std::string(AVCaptureSessionRuntimeErrorNotification), newer.get());
  world.postRuntimeError(-11819, "NSOSStatusErrorDomain");
  executor.runUntilIdle();
  EXPECT_THAT(seen, ElementsAre("Error Domain=NSOSStatusErrorDomain Code=-11819 "
                                "\"The operation could not be completed\" @com.kivocamera.platform.session"));
  NotificationCenter::defaultCenter().removeObserver(observer.get());
  newer.reset();
  session.reset();
  EXPECT_THROW(world.postInterruptionEnded(), std::invalid_argument);
}

// --- Video frames and the preview ---------------------------------------------

class AVFrameTest : public AVSessionTest {
 protected:
  void SetUp() override {
    world.addCamera(
        sim::camera(AVCaptureDevicePosition::back, sim::CameraType::wide, [](auto& d) { d.frameRate = 20; }));
    session->addInput(inputFor("back-wide"));
    output->setSampleBufferDelegate(recorder, queue);
    session->addOutput(output);
  }
  std::shared_ptr<AVCaptureVideoDataOutput> output = AVCaptureVideoDataOutput::create();
  std::shared_ptr<FrameRecorder> recorder = std::make_shared<FrameRecorder>();
  DispatchQueue queue{"test.frames"};
};

TEST_F(AVFrameTest, FramesComeEveryIntervalFromOneIntervalAfterEachStartAndNoneWhileStopped) {
  const double start = executor.now();
  session->startRunning();
  executor.advance(0.049);
  EXPECT_TRUE(recorder->frames.empty());
  executor.advance(0.951);
  session->stopRunning();
  executor.advance(1);
  EXPECT_EQ(recorder->frames.size(), 20u);
  session->startRunning();
  executor.advance(0.05);
  ASSERT_EQ(recorder->frames.size(), 21u);
  for (std::size_t i = 0; i < 21; ++i) {
    const double at = CMTimeGetSeconds(CMSampleBufferGetPresentationTimeStamp(recorder->frames[i])) - start;
    EXPECT_NEAR(at, i < 20 ? 0.05 * double(i + 1) : 2.05, 1e-6) << i;  // a restart counts from itself
  }
  EXPECT_THAT(recorder->queues, Each(std::string("test.frames")));
}

TEST_F(AVFrameTest, LaterFramesComeInTheFormatSetAndUnofferedFormatsAreIgnored) {
  session->startRunning();
  executor.advance(0.025);  // changes fall between frames
  for (OSType format : {kCVPixelFormatType_32BGRA, OSType(1234), kCVPixelFormatType_420YpCbCr8BiPlanarFullRange}) {
    executor.advance(0.05);
    output->setVideoSettings({{std::string(kCVPixelBufferPixelFormatTypeKey), format}});
  }
  executor.advance(0.05);
  std::vector<OSType> formats;
  for (const auto& frame : recorder->frames) formats.push_back(CMSampleBufferGetImageBuffer(frame)->pixelFormatType());
  EXPECT_THAT(formats, ElementsAre(kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, kCVPixelFormatType_32BGRA,
                                   kCVPixelFormatType_32BGRA, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange));
}

TEST_F(AVFrameTest, NoFramesWithoutACameraOrWithoutADelegate) {
  session->removeInput(session->inputs().at(0));
  session->startRunning();
  executor.advance(1);
  session->stopRunning();
  session->addInput(inputFor("back-wide"));
  session->startRunning();
  recorder.reset();  // held weakly by the output
  executor.advance(1);
  EXPECT_EQ(output->framesDelivered(), 0u);
}

TEST_F(AVFrameTest, ThePreviewShowsAPictureExactlyWhileTheSessionRunsWithACamera) {
  auto layer = AVCaptureVideoPreviewLayer::layerWithSession(session);
  std::vector<bool> shown{bool(layer->currentFrame())};
  session->startRunning();
  const auto picture = layer->currentFrame();
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->pixelFormatType(), kCVPixelFormatType_32BGRA);
  EXPECT_LT(picture->width(), picture->height());  // portrait
  const auto input = session->inputs().at(0);
  session->removeInput(input);
  shown.push_back(bool(layer->currentFrame()));
  session->addInput(input);
  shown.push_back(bool(layer->currentFrame()));
  session->stopRunning();
  shown.push_back(bool(layer->currentFrame()));
  EXPECT_THAT(shown, ElementsAre(false, false, true, false));
}

// --- Photos -------------------------------------------------------------------

const std::vector<std::string> kAll{"willBegin", "willCapture", "processed", "finished"};
const std::string kPhotoQueue = "com.kivocamera.platform.photo-output";

class AVPhotoTest : public CaptureWorldTest {
 protected:
  void SetUp() override { runBackCamera(); }
};

TEST_F(AVPhotoTest, CallbacksFollowTheTimetableOnTheOutputQueue) {
  auto recorder = capture();
  executor.advance(0.29);
  EXPECT_EQ(photoOutput->capturesInFlight(), 1u);
  executor.advance(0.01);
  EXPECT_EQ(photoOutput->capturesInFlight(), 0u);
  std::vector<std::string> seen;
  for (const auto& c : recorder->calls)
    seen.push_back(c.name + " " + std::to_string(std::lround(c.at * 1e6)) + "us #" + std::to_string(c.id) + " @" +
                   c.queue + (c.error ? " error" : ""));
  const std::string rest = "us #1 @" + kPhotoQueue;
  EXPECT_THAT(seen, ElementsAre("willBegin 0" + rest, "willCapture 50000" + rest, "processed 250000" + rest,
                                "finished 300000" + rest));
  const auto& data = (*recorder)["processed"].data;
  ASSERT_TRUE(data && data->size() > 2);
  EXPECT_EQ((*data)[0], 0xFF);  // a JPEG
  EXPECT_EQ((*data)[1], 0xD8);
  // Processing is announced from the exposure to the photo.
  const CMTimeRange range = recorder->resolved->photoProcessingTimeRange();
  EXPECT_NEAR(CMTimeGetSeconds(range.start), 0.05, 1e-9);
  EXPECT_NEAR(CMTimeGetSeconds(CMTimeRangeGetEnd(range)), 0.25, 1e-9);
}

struct FaultCase {
  const char* name;
  sim::PhotoFault fault;
  bool finishes, processedError, data, finishError;
};

class AVPhotoFaultTest : public AVPhotoTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(AVPhotoFaultTest, TheNextCaptureGoesWrongThatWayAndTheOneAfterIsWhole) {
  const auto& f = GetParam();
  world.failNextPhoto(f.fault);
  auto faulty = capture();
  executor.advance(1);
  auto next = capture();
  executor.advance(1);
  EXPECT_EQ(photoOutput->capturesInFlight(), f.finishes ? 0u : 1u);
  if (!f.finishes) {
    EXPECT_THAT(faulty->names(), ElementsAre("willBegin", "willCapture"));
  } else {
    ASSERT_EQ(faulty->names(), kAll);
    EXPECT_EQ((*faulty)["processed"].error.has_value(), f.processedError);
    EXPECT_EQ((*faulty)["processed"].data.has_value(), f.data);
    EXPECT_EQ((*faulty)["finished"].error.has_value(), f.finishError);
  }
  ASSERT_EQ(next->names(), kAll);
  EXPECT_TRUE((*next)["processed"].data);
  EXPECT_FALSE((*next)["processed"].error || (*next)["finished"].error);
}

using F = sim::PhotoFault;
INSTANTIATE_TEST_SUITE_P(Faults, AVPhotoFaultTest,
                         ::testing::Values(FaultCase{"processingError", F::processingError, true, true, false, false},
                                           FaultCase{"finishError", F::finishError, true, false, true, true},
                                           FaultCase{"bothErrors", F::bothErrors, true, true, false, true},
                                           FaultCase{"noData", F::noData, true, false, false, false},
                                           FaultCase{"neverFinishes", F::neverFinishes, false, false, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct InactiveCase {
  const char* name;
  void (*change)(AVCaptureSession&, sim::CaptureSimulation&);
  bool connected;  // a connection, if not an active one
};

class AVPhotoInactiveTest : public AVPhotoTest, public ::testing::WithParamInterface<InactiveCase> {};

TEST_P(AVPhotoInactiveTest, WithoutAnActiveConnectionACaptureFailsAtOnceWithoutExposure) {
  GetParam().change(*session, world);
  EXPECT_EQ(bool(photoOutput->connectionWithMediaType(AVMediaTypeVideo)), GetParam().connected);
  auto recorder = capture();
  executor.runUntilIdle();
  ASSERT_THAT(recorder->names(), ElementsAre("willBegin", "processed", "finished"));
  for (const auto& c : recorder->calls) EXPECT_EQ(c.queue + " +" + std::to_string(c.at), kPhotoQueue + " +0.000000");
  EXPECT_FALSE((*recorder)["processed"].data);
  ASSERT_TRUE((*recorder)["processed"].error && (*recorder)["finished"].error);
  EXPECT_EQ((*recorder)["finished"].error->code, AVErrorSessionNotRunning);
  EXPECT_EQ(photoOutput->capturesInFlight(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Connections, AVPhotoInactiveTest,
    ::testing::Values(InactiveCase{"stopped", [](auto& s, auto&) { s.stopRunning(); }, true},
                      InactiveCase{"noCamera", [](auto& s, auto&) { s.removeInput(s.inputs().at(0)); }, false},
                      InactiveCase{"noConnection", [](auto&, auto& w) { w.setPhotoConnectionMissing(true); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AVPhotoTest, TheOutputHoldsItsDelegateWeakly) {
  auto recorder = capture();
  executor.advance(0.1);
  EXPECT_EQ(recorder->calls.size(), 2u);
  std::weak_ptr<PhotoRecorder> weak = recorder;
  recorder.reset();
  EXPECT_TRUE(weak.expired());
  executor.advance(1);  // the remaining callbacks find nobody
  EXPECT_EQ(photoOutput->capturesInFlight(), 0u);
}

TEST_F(AVPhotoTest, SettingsCountFromOneForEachLayerAndTheFlashNeedsACameraWithOne) {
  std::vector<bool> flash;
  for (const char* camera : {"back-wide", "front-wide"}) {
    session->removeInput(session->inputs().at(0));
    session->addInput(inputFor(camera));
    auto settings = AVCapturePhotoSettings::create();
    settings->setFlashMode(AVCaptureFlashMode::on);
    auto recorder = capture(settings);
    executor.advance(1);
    flash.push_back(recorder->resolved->isFlashEnabled());
  }
  EXPECT_THAT(flash, ElementsAre(true, false));
  EXPECT_EQ(AVCapturePhotoSettings::create()->uniqueID(), 3);
  sim::CaptureSimulation nextWorld;  // a new layer over this one
  EXPECT_EQ(AVCapturePhotoSettings::create()->uniqueID(), 1);
}

}  // namespace
