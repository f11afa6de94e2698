// Capture sessions: configuration blocks, presets, what the session accepts
// (and what the world makes it refuse), its notifications with each kind of
// user info, and video frames at the camera's rate while it runs.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "AVFoundation/AVFoundation.h"
#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "Foundation/NotificationCenter.h"
#include "platform/CaptureWorldTest.h"
#include "sim/capture/CaptureSimulation.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class AVSessionTest : public CaptureWorldTest {
 protected:
  std::shared_ptr<AVCaptureSession> session = AVCaptureSession::create();

  std::shared_ptr<AVCaptureDeviceInput> inputFor(std::string_view camera) {
    return AVCaptureDeviceInput::createWithDevice(world.camera(camera));
  }
};

TEST_F(AVSessionTest, ACommitWithoutAnOpenBlockDoesNothingButIsTraced) {
  session->commitConfiguration();
  EXPECT_FALSE(session->isConfiguring());
  session->beginConfiguration();
  session->beginConfiguration();
  session->commitConfiguration();
  EXPECT_TRUE(session->isConfiguring());
  session->commitConfiguration();
  session->commitConfiguration();
  EXPECT_FALSE(session->isConfiguring());
  EXPECT_THAT(calls, ElementsAre("session commitConfiguration", "session beginConfiguration",
                                 "session beginConfiguration", "session commitConfiguration",
                                 "session commitConfiguration", "session commitConfiguration"));
}

TEST_F(AVSessionTest, PresetsAreStoredByNameAndUnknownOnesIgnored) {
  EXPECT_EQ(session->sessionPreset(), "AVCaptureSessionPresetHigh");
  session->setSessionPreset(AVCaptureSessionPreset1920x1080);
  session->setSessionPreset("AVCaptureSessionPresetBogus");
  EXPECT_EQ(session->sessionPreset(), "AVCaptureSessionPreset1920x1080");
  EXPECT_THAT(calls, ElementsAre("session setSessionPreset: AVCaptureSessionPreset1920x1080",
                                 "session setSessionPreset: AVCaptureSessionPresetBogus"));
}

TEST_F(AVSessionTest, OneCameraPerSessionAndInputsAreTracedByCameraName) {
  auto back = inputFor("back-wide");
  auto front = inputFor("front-wide");
  ASSERT_TRUE(session->canAddInput(back));
  session->addInput(back);
  EXPECT_FALSE(session->canAddInput(back));
  EXPECT_FALSE(session->canAddInput(front));
  EXPECT_EQ(session->videoDevice(), world.camera("back-wide"));
  session->removeInput(back);
  EXPECT_TRUE(session->canAddInput(front));
  session->addInput(front);
  ASSERT_EQ(session->inputs().size(), 1u);
  EXPECT_EQ(session->inputs()[0], front);
  EXPECT_THAT(calls,
              ElementsAre("session addInput: back-wide", "session removeInput: back-wide", "session addInput: front-wide"));
}

struct RefusalCase {
  std::string name;
  std::function<void(sim::CaptureSimulation&, bool)> fault;
  bool refusesInput, refusesPhoto, refusesVideo;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class AVRefusalTest : public AVSessionTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(AVRefusalTest, TheWorldRefusesOnlyWhatTheFaultNamesAndOnlyWhileItIsOn) {
  const auto& c = GetParam();
  auto input = inputFor("back-wide");
  auto photo = AVCapturePhotoOutput::create();
  auto video = AVCaptureVideoDataOutput::create();
  c.fault(world, true);
  EXPECT_EQ(session->canAddInput(input), !c.refusesInput);
  EXPECT_EQ(session->canAddOutput(photo), !c.refusesPhoto);
  EXPECT_EQ(session->canAddOutput(video), !c.refusesVideo);
  // Adding regardless leaves refused objects out.
  session->addInput(input);
  session->addOutput(photo);
  session->addOutput(video);
  EXPECT_EQ(session->inputs().size(), c.refusesInput ? 0u : 1u);
  EXPECT_EQ(session->outputs().size(), 2u - (c.refusesPhoto ? 1u : 0u) - (c.refusesVideo ? 1u : 0u));
  EXPECT_EQ(calls.size(), 3u);  // every add is traced
  c.fault(world, false);
  EXPECT_EQ(session->canAddInput(input), c.refusesInput);
  EXPECT_EQ(session->canAddOutput(photo), c.refusesPhoto);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AVRefusalTest,
    ::testing::Values(RefusalCase{"addInput", [](auto& w, bool on) { w.setRefusesInputs(on); }, true, false, false},
                      RefusalCase{"addPhotoOutput", [](auto& w, bool on) { w.setRefusesPhotoOutput(on); }, false, true,
                                  false},
                      RefusalCase{"addVideoOutput", [](auto& w, bool on) { w.setRefusesVideoOutput(on); }, false,
                                  false, true}),
    [](const auto& info) { return info.param.name; });

TEST_F(AVSessionTest, AnOutputBelongsToOneSessionAndEachKindAppearsOnce) {
  auto photo = AVCapturePhotoOutput::create();
  session->addOutput(photo);
  EXPECT_EQ(photo->session(), session);
  auto other = AVCaptureSession::create();
  EXPECT_FALSE(other->canAddOutput(photo));
  EXPECT_FALSE(session->canAddOutput(AVCapturePhotoOutput::create()));
  EXPECT_TRUE(session->canAddOutput(AVCaptureVideoDataOutput::create()));
  session->removeOutput(photo);
  EXPECT_FALSE(photo->session());
  EXPECT_TRUE(other->canAddOutput(photo));
}

TEST_F(AVSessionTest, AFailedDeviceInputReportsAnErrorOnce) {
  world.failNextDeviceInput();
  NSError error;
  EXPECT_FALSE(AVCaptureDeviceInput::createWithDevice(world.camera("back-wide"), &error));
  EXPECT_EQ(error.domain, "AVFoundationErrorDomain");
  EXPECT_FALSE(error.localizedDescription.empty());
  EXPECT_TRUE(AVCaptureDeviceInput::createWithDevice(world.camera("back-wide"), &error));
  EXPECT_FALSE(AVCaptureDeviceInput::createWithDevice(nullptr, &error));
}

// --- Notifications ----------------------------------------------------------

struct PostCase {
  std::string name;
  std::function<void(sim::CaptureSimulation&)> post;
  std::string_view notification;
  // Checks the user info; none means there must be none.
  std::optional<std::function<void(const UserInfo&)>> check;
};

void PrintTo(const PostCase& c, std::ostream* os) { *os << c.name; }

class AVNotificationTest : public AVSessionTest, public ::testing::WithParamInterface<PostCase> {};

TEST_P(AVNotificationTest, ThePostCarriesTheSessionAndItsUserInfoOnThePlatformQueue) {
  const auto& c = GetParam();
  auto observer = std::make_shared<int>(0);
  std::vector<Notification> received;
  std::vector<std::string> queues;
  NotificationCenter::defaultCenter().addObserver(
      observer,
      [&](const Notification& n) {
        received.push_back(n);
        queues.push_back(DispatchQueue::currentLabel());
      },
      std::string(c.notification), session.get());
  c.post(world);
  EXPECT_THAT(received, IsEmpty());  // posted from a platform queue, later
  executor.runUntilIdle();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].object, session.get());
  EXPECT_THAT(queues, ElementsAre("com.kivocamera.platform.session"));
  ASSERT_EQ(received[0].userInfo.has_value(), c.check.has_value());
  if (c.check) (*c.check)(*received[0].userInfo);
  NotificationCenter::defaultCenter().removeObserver(observer.get());
}

const NSError* errorIn(const UserInfo& info) {
  auto it = info.find(AVCaptureSessionErrorKey);
  return it == info.end() ? nullptr : std::get_if<NSError>(&it->second);
}

std::optional<UserInfoValue> reasonIn(const UserInfo& info) {
  auto it = info.find(AVCaptureSessionInterruptionReasonKey);
  if (it == info.end()) return std::nullopt;
  return it->second;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, AVNotificationTest,
    ::testing::Values(
        PostCase{"runtimeErrorDefault", [](auto& w) { w.postRuntimeError(); }, AVCaptureSessionRuntimeErrorNotification,
                 [](const UserInfo& info) {
                   const NSError* error = errorIn(info);
                   ASSERT_NE(error, nullptr);
                   EXPECT_EQ(error->domain, "AVFoundationErrorDomain");
                   EXPECT_EQ(error->code, -11800);
                 }},
        PostCase{"runtimeErrorCodeAndDomain", [](auto& w) { w.postRuntimeError(-11819, "NSOSStatusErrorDomain"); },
                 AVCaptureSessionRuntimeErrorNotification,
                 [](const UserInfo& info) {
                   const NSError* error = errorIn(info);
                   ASSERT_NE(error, nullptr);
                   EXPECT_EQ(error->domain, "NSOSStatusErrorDomain");
                   EXPECT_EQ(error->code, -11819);
                 }},
        PostCase{"runtimeErrorWithoutError", [](auto& w) { w.postRuntimeErrorWithoutError(); },
                 AVCaptureSessionRuntimeErrorNotification,
                 [](const UserInfo& info) { EXPECT_FALSE(info.contains(AVCaptureSessionErrorKey)); }},
        PostCase{"runtimeErrorWithoutUserInfo", [](auto& w) { w.postRuntimeErrorWithoutUserInfo(); },
                 AVCaptureSessionRuntimeErrorNotification, std::nullopt},
        PostCase{"runtimeErrorWithText", [](auto& w) { w.postRuntimeErrorWithValue("boom"); },
                 AVCaptureSessionRuntimeErrorNotification,
                 [](const UserInfo& info) {
                   auto it = info.find(AVCaptureSessionErrorKey);
                   ASSERT_NE(it, info.end());
                   EXPECT_EQ(std::get<std::string>(it->second), "boom");
                 }},
        PostCase{"interruptedWithNumber",
                 [](auto& w) { w.postInterrupted(sim::CaptureSimulation::userInfoValueFromText("3")); },
                 AVCaptureSessionWasInterruptedNotification,
                 [](const UserInfo& info) { EXPECT_EQ(integerValueOf(reasonIn(info).value()), 3); }},
        PostCase{"interruptedWithText",
                 [](auto& w) { w.postInterrupted(sim::CaptureSimulation::userInfoValueFromText("phone-call")); },
                 AVCaptureSessionWasInterruptedNotification,
                 [](const UserInfo& info) {
                   auto reason = reasonIn(info);
                   ASSERT_TRUE(reason);
                   EXPECT_FALSE(integerValueOf(*reason));
                 }},
        PostCase{"interruptedWithoutReason", [](auto& w) { w.postInterrupted(); },
                 AVCaptureSessionWasInterruptedNotification,
                 [](const UserInfo& info) { EXPECT_FALSE(reasonIn(info)); }},
        PostCase{"interruptionEnded", [](auto& w) { w.postInterruptionEnded(); },
                 AVCaptureSessionInterruptionEndedNotification, [](const UserInfo&) {}}),
    [](const auto& info) { return info.param.name; });

TEST_F(AVSessionTest, NotificationsGoToTheNewestSessionAndNeedOne) {
  auto newer = AVCaptureSession::create();
  std::vector<const void*> objects;
  auto observer = std::make_shared<int>(0);
  NotificationCenter::defaultCenter().addObserver(
      observer, [&](const Notification& n) { objects.push_back(n.object); },
      std::string(AVCaptureSessionInterruptionEndedNotification), nullptr);
  world.postInterruptionEnded();
  executor.runUntilIdle();
  EXPECT_THAT(objects, ElementsAre(newer.get()));
  NotificationCenter::defaultCenter().removeObserver(observer.get());
  newer.reset();
  session.reset();
  EXPECT_THROW(world.postInterruptionEnded(), std::invalid_argument);
}

// --- Video frames -----------------------------------------------------------

class FrameRecorder : public AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  struct Frame {
    double time;
    std::string queue;
    OSType format;
    bool valid;
  };
  void captureOutput(AVCaptureOutput&, const CMSampleBufferRef& buffer, AVCaptureConnection&) override {
    frames.push_back({CACurrentMediaTime(), DispatchQueue::currentLabel(), buffer->mediaSubType(),
                      CMSampleBufferIsValid(buffer)});
  }
  std::vector<Frame> frames;
};

class AVFrameTest : public AVSessionTest {
 protected:
  void SetUp() override {
    world.addCamera(sim::parseCameraOptions(AVCaptureDevicePosition::back, sim::CameraType::wide, {"fps=20"}));
    session->addInput(inputFor("back-wide"));
    output->setSampleBufferDelegate(recorder, queue);
    session->addOutput(output);
  }
  std::shared_ptr<AVCaptureVideoDataOutput> output = AVCaptureVideoDataOutput::create();
  std::shared_ptr<FrameRecorder> recorder = std::make_shared<FrameRecorder>();
  DispatchQueue queue{"com.kivocamera.video.output"};
};

TEST_F(AVFrameTest, FramesArriveEveryIntervalOnlyWhileRunning) {
  executor.advance(1);
  EXPECT_THAT(recorder->frames, IsEmpty());
  const double start = executor.now();
  session->startRunning();
  executor.advance(0.049);
  EXPECT_THAT(recorder->frames, IsEmpty());
  executor.advance(0.001);
  ASSERT_EQ(recorder->frames.size(), 1u);
  EXPECT_DOUBLE_EQ(recorder->frames[0].time, start + 0.05);
  EXPECT_EQ(recorder->frames[0].queue, "com.kivocamera.video.output");
  EXPECT_EQ(recorder->frames[0].format, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
  EXPECT_TRUE(recorder->frames[0].valid);
  executor.advance(0.95);
  EXPECT_EQ(recorder->frames.size(), 20u);
  EXPECT_NEAR(recorder->frames.back().time, start + 1.0, 1e-9);

  session->stopRunning();
  executor.advance(1);
  EXPECT_EQ(recorder->frames.size(), 20u);

  // A restart counts its first interval from the restart.
  const double restart = executor.now();
  session->startRunning();
  executor.advance(0.05);
  ASSERT_EQ(recorder->frames.size(), 21u);
  EXPECT_DOUBLE_EQ(recorder->frames.back().time, restart + 0.05);
}

TEST_F(AVFrameTest, VideoSettingsChooseAnOfferedFormatAndIgnoreOthers) {
  output->setVideoSettings({{std::string(kCVPixelBufferPixelFormatTypeKey), kCVPixelFormatType_32BGRA}});
  output->setVideoSettings({{std::string(kCVPixelBufferPixelFormatTypeKey), 1234}});
  session->startRunning();
  executor.advance(0.05);
  ASSERT_EQ(recorder->frames.size(), 1u);
  EXPECT_EQ(recorder->frames[0].format, kCVPixelFormatType_32BGRA);
  EXPECT_THAT(calls, ElementsAre("session addInput: back-wide", "session addOutput: video",
                                 "video-output setVideoSettings: 1111970369", "video-output setVideoSettings: 1234",
                                 "session startRunning"));
}

TEST_F(AVFrameTest, NoFramesWithoutACameraOrWithoutADelegate) {
  session->removeInput(session->inputs().at(0));
  session->startRunning();
  executor.advance(1);
  EXPECT_THAT(recorder->frames, IsEmpty());
  session->stopRunning();
  session->addInput(inputFor("back-wide"));
  session->startRunning();
  recorder.reset();  // the output holds its delegate weakly
  executor.advance(1);
  EXPECT_EQ(output->framesDelivered(), 0u);
}

}  // namespace
